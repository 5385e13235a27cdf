// Remote upgrade on the server's request, and the two status LEDs.
#include <cstdio>
#include <string>

#include "core/settings.h"
#include "mygpio.h"
#include "scheduler/scheduler.h"
#include "util.h"

namespace {

constexpr const char* FTP_UPGRADE_SCRIPT = "./bin/ftpupgrade.sh";
constexpr const char* UPGRADE_FILE = "upgrade.tgz";
constexpr std::size_t UPGRADE_CMD_LEN = 256;

}  // namespace

int proc_remote_upgrade(tinycommand_t* cmd) {
  if (cmd == nullptr) return ERR_FTPPARAM;
  tinyparam_t* ftp = find_param(cmd, "ftp");
  tinyparam_t* prt = find_param(cmd, "prt");
  tinyparam_t* bin = find_param(cmd, "bin");
  tinyparam_t* usr = find_param(cmd, "usr");
  tinyparam_t* pwd = find_param(cmd, "pwd");
  tinyparam_t* pth = find_param(cmd, "pth");
  if (ftp == nullptr || prt == nullptr || bin == nullptr || usr == nullptr || pwd == nullptr ||
      pth == nullptr) {
    return ERR_FTPPARAM;
  }
  // The command line had room for 256 characters. Cutting it would fetch
  // or install with a wrong name or password, so a request that does not
  // fit is refused like one with a parameter missing.
  char plain[UPGRADE_CMD_LEN + 1];
  const int len =
      std::snprintf(plain, sizeof plain, "%s F %s %d %s %s %s %s %s", FTP_UPGRADE_SCRIPT, ftp->s,
                    prt->i, bin->s, usr->s, pwd->s, pth->s, UPGRADE_FILE);
  if (len < 0 || static_cast<std::size_t>(len) > UPGRADE_CMD_LEN) return ERR_FTPPARAM;

  std::string line = FTP_UPGRADE_SCRIPT;
  line += " F " + shell_quote(ftp->s) + ' ' + std::to_string(prt->i);
  for (const tinyparam_t* p : {bin, usr, pwd, pth}) line += ' ' + shell_quote(p->s);
  line += ' ';
  line += UPGRADE_FILE;
  return sys_exec(line.c_str()) != 0 ? ERR_FTPSCRIPT : ERR_NONE;
}

void update_leds() {
  const devicevar_t* remon = varp[SYS_REMON];
  const int srvok = remon->status == ST_READY && remon->value.i != 0 ? 1 : 0;
  int cntok = 1;
  for (int i = 0; i < cfg_numcounters && i < MAX_COUNTERS; ++i) {
    const device_t* dev = counter_list[i].dev;
    if (dev == nullptr || is_online(dev) == 0) cntok = 0;
  }
  gpio_set(GPIO_LED_GREEN, srvok, 0);
  gpio_set(GPIO_LED_YELLOW, 1 - cntok, 0);
}
