// Execution of the local command interface: each command checks its
// parameters, then acts on the radio devices, the settings, the scripts or
// the monitoring server. The result code travels to the client in the reply.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config.h"
#include "configman.h"
#include "core/hooks.h"
#include "core/log.h"
#include "core/settings.h"
#include "device/device.h"
#include "mygpio.h"
#include "scheduler/scheduler.h"
#include "sercomm.h"
#include "sys/clock.h"
#include "sys/fd.h"
#include "sys/paths.h"
#include "tinycommand/tinycommand.h"
#include "util.h"
#include "xstring.h"

sampleset_t next_sendset[MAX_COUNTERS];
sample_t last_sample[MAX_COUNTERS];
sample_t async_sample[MAX_COUNTERS];

namespace {

constexpr const char* DIR_BIN = "./bin";
constexpr long long kResetPulseNs = 1000000000LL;
// Lines of an uploaded settings file longer than this are read in pieces.
constexpr std::size_t kConfLineLen = 4096;
// Point identifiers are exactly this long.
constexpr std::size_t kPointIdLen = 32;
// Minimum power against Wh per pulse: 3600 * 256 / 65536.
constexpr double kPminPerWh = 14.0625;

using handler_t = void (*)(tinycommand_t*);

// A parameter's text trimmed of surrounding white space, in its own buffer
// so the record keeps what the client sent.
struct trimmed {
  explicit trimmed(const tinyparam_t* p) {
    copy_str(buf, p != nullptr ? std::string_view(p->s, strnlen(p->s, sizeof p->s)) : "");
    s = mytrim(buf);
  }
  char buf[MAX_TINYPARAM_STRLEN];
  const char* s;
};

bool is_ascii_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Host names and addresses only. A leading '-' would reach the program as
// an option, never as a host.
bool is_host_text(std::string_view s) {
  if (s.empty() || s.front() == '-') return false;
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return is_ascii_alnum(c) || c == '.' || c == '-' || c == ':';
  });
}

// A dotted quad and nothing after it: trailing text would be stored and
// handed to the network set-up as part of the address.
bool is_address(const char* s) {
  const std::string_view v(s);
  if (v.empty() || v.find_first_not_of("0123456789.") != std::string_view::npos) return false;
  return is_valid_ip(s, 0) != 0;
}

// A mask whose one bits are contiguous from the top: with any other the
// board would come up unreachable after the reboot.
bool is_mask(const char* s) {
  const std::string_view v(s);
  if (v.empty() || v.find_first_not_of("0123456789.") != std::string_view::npos) return false;
  if (is_valid_ip(s, 1) == 0) return false;
  unsigned q[4] = {};
  if (std::sscanf(s, "%u.%u.%u.%u", &q[0], &q[1], &q[2], &q[3]) != 4) return false;
  const std::uint32_t host = ~((q[0] << 24) | (q[1] << 16) | (q[2] << 8) | q[3]);
  return (host & (host + 1)) == 0;
}

// The leading decimal number of a text ("12.5" or "3,2" -> 12.5 and 3),
// 0 when it starts with none.
double leading_decimal(const char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  const char* p = s;
  if (*p == '+' || *p == '-') ++p;
  while (*p >= '0' && *p <= '9') ++p;
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') ++p;
  }
  // strtod alone would also take exponents, "inf" and hexadecimal.
  const std::string num(s, p);
  return std::strtod(num.c_str(), nullptr);
}

// The parameter times scale, truncated toward zero: integers exactly,
// other texts through their leading decimal number. false when the result
// does not fit an int.
bool scaled_value(const tinyparam_t* p, int scale, int* out) {
  if (p->xtype == PAR_INT) {
    const long long v = static_cast<long long>(p->i) * scale;
    if (v > INT_MAX || v < INT_MIN) return false;
    *out = static_cast<int>(v);
    return true;
  }
  const double v = std::trunc(leading_decimal(p->s) * static_cast<double>(scale));
  if (!(v <= INT_MAX && v >= INT_MIN)) return false;
  *out = static_cast<int>(v);
  return true;
}

// Whole numbers stay; others go to the next whole number away from zero.
double ceiling(double x) {
  const double t = std::trunc(x);
  if (t == x) return x;
  return x > 0 ? t + 1 : t - 1;
}

int run_script(const std::string& line) { return sys_exec(line.c_str()); }

std::string bin_path(const char* script) { return std::string(DIR_BIN) + "/" + script; }

void cmd_rdall(tinycommand_t* cmd) {
  ipinfo(cfg_currip);
  poll_devices(POLL_ALL);
  cmd->err = ERR_NONE;
}

void cmd_netop(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  if (p == nullptr) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  cmd->err = telvo_netop(nullptr, p->i != 0 ? 1 : 0);
}

void cmd_tlx(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  if (p == nullptr) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  const trimmed text(p);
  const int n = telvo_bridge(text.s, static_cast<int>(std::strlen(text.s)), cmd->result.s,
                             static_cast<int>(sizeof cmd->result.s));
  cmd->result.i = std::max(n, 0);
  cmd->err = cmd->result.i >= 1 ? ERR_NONE : ERR_SERCOMM;
}

void cmd_history(tinycommand_t* cmd) {
  // The export itself runs while the reply is written.
  const bool ok = find_param(cmd, "dd1") != nullptr && find_param(cmd, "dd2") != nullptr;
  cmd->err = ok ? ERR_NONE : ERR_BADPARAM;
}

void cmd_firmware(tinycommand_t* cmd) {
  cmd->err = run_script(bin_path("preupgrade.sh") + " " + shell_quote(sys::tmp_path(FILE_TMP)));
}

void cmd_rstradio(tinycommand_t* cmd) {
  gpio_set(GPIO_RSTRADIO, 0, 1);
  sys::clock().sleep_ns(kResetPulseNs);
  gpio_set(GPIO_RSTRADIO, 1, 1);
  cmd->err = ERR_NONE;
}

// Every selected counter is acted on; the code is the first failure, so a
// later success never hides an earlier one.
void keep_first_failure(tinycommand_t* cmd, bool& first, int r) {
  if (first || cmd->err == ERR_NONE) cmd->err = r;
  first = false;
}

void cmd_setecount(tinycommand_t* cmd) {
  cmd->err = ERR_BADPARAM;
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  if (p == nullptr) return;
  int value = 0;
  if (!scaled_value(p, SCALE_KW, &value) || value < 0) return;
  bool first = true;
  for_selected(cmd, [&](int n) {
    keep_first_failure(cmd, first, set_energy_counter(counter_list[n].dev, value));
    return true;
  });
}

void cmd_rstecount(tinycommand_t* cmd) {
  bool first = true;
  for_selected(cmd, [&](int n) {
    keep_first_failure(cmd, first, set_energy_counter(counter_list[n].dev, -1));
    return true;
  });
}

void cmd_reboot(tinycommand_t* cmd) { cmd->err = run_script(bin_path("reboot.sh")); }

void cmd_reset(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  if (p != nullptr && std::strcmp(p->s, "gw1") == 0) {
    cmd->err = telvo_reset(gw1);
  } else if (p != nullptr && std::strcmp(p->s, "cnt") == 0) {
    for_selected(cmd, [&](int n) {
      cmd->err = telvo_reset(counter_list[n].dev);
      return cmd->err == ERR_NONE;
    });
  } else {
    cmd->err = ERR_BADPARAM;
  }
}

void cmd_xsetpointid(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  const trimmed id(p);
  const std::string_view v(id.s);
  if (p == nullptr || v.size() != kPointIdLen || !std::all_of(v.begin(), v.end(), [](char c) {
        return is_ascii_alnum(static_cast<unsigned char>(c));
      })) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  copy_str(cfg_pointid, v);
  std::printf("New pointID=%s %s\n", cfg_pointid, id.s);
  copy_str(varp[SYS_PTID]->value.s, v);
  cfg_writeStrParam(PARAM_POINTID, id.s);
  cmd->err = ERR_NONE;
}

void cmd_reload(tinycommand_t* cmd) {
  call_master_reload();
  cmd->err = ERR_NONE;
}

void cmd_stat(tinycommand_t* cmd) {
  for_selected(cmd, [&](int n) {
    device_t* dev = counter_list[n].dev;
    const int r1 = read_samples(dev, &next_sendset[n]);
    next_sendset[n].cnt = n;
    const int r2 = read_last_sample(dev, &last_sample[n]);
    cmd->err = std::max(r1, r2);
    return cmd->err == ERR_NONE;
  });
}

void cmd_getconf(tinycommand_t* cmd) { cmd->err = ERR_NONE; }

void cmd_putconf(tinycommand_t* cmd) {
  // One record is enough: an upload may not run another upload.
  static tinycommand_t inner;
  std::memset(&inner, 0, sizeof inner);
  copy_str(inner.cmd, "cfg");

  const std::string path = sys::tmp_path(FILE_TMP);
  {
    const sys::unique_file f(std::fopen(path.c_str(), "re"));
    if (!f) {
      cmd->err = ERR_CMDEXEC;
      return;
    }
    static char line[kConfLineLen];
    while (myreadline(f.get(), line, sizeof line) != static_cast<std::size_t>(-1)) {
      if (line[0] == '\0' || line[0] == '#') continue;
      char* eq = std::strchr(line, '=');
      if (eq == nullptr) continue;
      *eq = '\0';
      pusharg(&inner, mytrim(line), mytrim(eq + 1));
    }
  }

  if (std::strcmp(inner.cmd, "putconf") == 0) {
    // It would read the same file again, without end.
    cmd->err = ERR_BADPARAM;
    return;
  }
  command_execute(&inner);
  std::printf("cmd result: %d\n", inner.err);
  cmd->err = inner.err;
}

void cmd_ping(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  const trimmed given(p);
  const std::string_view target = p != nullptr ? std::string_view(given.s) : DEF_PING_ADDR;
  if (!is_host_text(target)) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  cmd->err = run_script("ping -c 2 " + shell_quote(target) + " > " +
                        shell_quote(sys::tmp_path("ping.txt")));
}

void cmd_async(tinycommand_t* cmd) {
  for_selected(cmd, [&](int n) {
    devicevar_t* ard = counter_list[n].pvars[CN1_ARD];
    cmd->err = telvo_poll(counter_list[n].dev, ard);
    async_sample[n].time = 0;
    if (cmd->err != ERR_NONE) return false;
    strToSample(n, ard->value.s, &async_sample[n]);
    return true;
  });
}

void cmd_sendtest(tinycommand_t* cmd) {
  if (cfg_regist == 0) {
    xsstrcpy(&remote_err, "Impianto non registrato");
    cmd->err = ERR_NOTREG;
    return;
  }
  cmd->err = send_async(FLAG_SETDATALOG | FLAG_SETALARMS, &async_sample[0]);
}

void cmd_cfgnet(tinycommand_t* cmd) {
  ipinfo(cfg_currip);
  const tinyparam_t* pdhcp = find_param(cmd, "dhcp");
  const tinyparam_t* pip = find_param(cmd, "ip");
  const tinyparam_t* pmask = find_param(cmd, "mask");
  const tinyparam_t* pgway = find_param(cmd, "gway");
  const tinyparam_t* pdns = find_param(cmd, "dns");
  const tinyparam_t* pntp = find_param(cmd, "ntpsrv");
  if (!pdhcp || !pip || !pmask || !pgway || !pdns || !pntp) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  const trimmed ip(pip), mask(pmask), gway(pgway), dns(pdns), ntpsrv(pntp);
  if (!is_address(ip.s) || !is_mask(mask.s) || !is_address(gway.s) || !is_address(dns.s)) {
    cmd->err = ERR_BADIP;
    return;
  }
  // The name goes into the NTP daemon's configuration as a line of its own.
  if (!is_host_text(ntpsrv.s)) {
    cmd->err = ERR_RANGEPARAM;
    return;
  }
  cmd->err = write_config_net(pdhcp->i, ip.s, mask.s, gway.s, dns.s, ntpsrv.s);
  if (cmd->err == ERR_NONE) cmd->err = run_script(bin_path("reboot.sh"));
}

void cmd_register(tinycommand_t* cmd) {
  const tinyparam_t* purl = find_param(cmd, "srvurl");
  const tinyparam_t* pnimp = find_param(cmd, "nimp");
  const tinyparam_t* pindir = find_param(cmd, "indir");
  const tinyparam_t* pmail = find_param(cmd, "cmail");
  if (!purl || !pnimp || !pindir || !pmail) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  const trimmed srvurl(purl), nimp(pnimp), indir(pindir), cmail(pmail);
  if (srvurl.s[0] == '\0') {
    cmd->err = ERR_RANGEPARAM;
    return;
  }
  cmd->err = write_config_sys_ex(srvurl.s, nimp.s, indir.s, cmail.s);
  if (cmd->err != ERR_NONE) return;
  cmd->err = curl_exec_json(FLAG_INITCONF, nullptr);
  if (cmd->err != ERR_NONE) return;
  write_regist(1);
  curl_exec_json(FLAG_SETSTATUS, nullptr);
  curl_exec_json(FLAG_SETCONF, nullptr);
}

void cmd_cfg(tinycommand_t* cmd) {
  const int acqtime = cfg_acqtime;
  const int inttime = cfg_inttime;
  const int maxdly = cfg_maxdly;
  const tinyparam_t* prezzo = find_param(cmd, "prezzo");
  const tinyparam_t* co2 = find_param(cmd, "co2");
  const tinyparam_t* alrpwr = find_param(cmd, "alrpwr");
  if (!prezzo || !co2 || !alrpwr) {
    cmd->err = ERR_BADPARAM;
    return;
  }

  int whi[MAX_COUNTERS] = {};
  int pnom[MAX_COUNTERS] = {};
  int pmin[MAX_COUNTERS] = {};
  int pnomxlmask = 0;
  for (int n = 0; n < num_counters(); ++n) {
    char name[PARAM_NAME_LEN + 16];
    std::snprintf(name, sizeof name, "whi%d", n + 1);
    const tinyparam_t* pwhi = find_param(cmd, name);
    std::snprintf(name, sizeof name, "pnom%d", n + 1);
    const tinyparam_t* ppnom = find_param(cmd, name);
    std::snprintf(name, sizeof name, "pmin%d", n + 1);
    const tinyparam_t* ppmin = find_param(cmd, name);
    if (!pwhi || !ppnom || !ppmin) {
      cmd->err = ERR_BADPARAM;
      return;
    }
    // Too large for an int is far outside the valid range: saturate.
    if (!scaled_value(pwhi, SCALE_WHI, &whi[n])) whi[n] = INT_MAX;
    pnom[n] = ppnom->i;
    pmin[n] = ppmin->i;
    if (pnom[n] > CN1_PNOM_SHIFT) pnomxlmask |= 1 << (2 * n);
    // Below this margin the counter's 16-bit pulse interval overflows.
    const auto pmin_valid = static_cast<float>(pmin[n] - ceiling(whi[n] / FSCALE_WHI * kPminPerWh));
    pmin[n] = calcAaaa(whi[n], pmin[n]);
    std::printf("Writing cn%d config whi=%d pnom=%d pmin=%d (scaled=%d)\n", n + 1, whi[n], pnom[n],
                pmin[n], (pnomxlmask >> (2 * n)) & 3);
    const bool valid = whi[n] >= MIN_CN1_WHI && whi[n] <= MAX_CN1_WHI && pnom[n] >= MIN_CN1_PNOM &&
                       pnom[n] <= MAX_CN1_PNOM && (pmin[n] == 0 || pmin_valid > 0);
    if (!valid) {
      cmd->err = ERR_RANGEPARAM;
      return;
    }
  }

  std::printf(
      "Writing sys config (acqtime=%d inttime=%d maxdly=%d pnomxlmask=%d prezzo=%d co2=%d "
      "alrpwr=%d)\n",
      acqtime, inttime, maxdly, pnomxlmask, prezzo->i, co2->i, alrpwr->i);
  if (acqtime < MIN_CN1_LOF || acqtime > MAX_CN1_LOF || inttime < MIN_CN1_HIF ||
      inttime > MAX_CN1_HIF || maxdly < MIN_CN1_MAXDLY || maxdly > MAX_CN1_MAXDLY) {
    cmd->err = ERR_RANGEPARAM;
    return;
  }

  // The system write first: the counter writes scale by the new mask.
  cmd->err = write_config_sys(maxdly, acqtime, inttime, pnomxlmask, prezzo->i, co2->i, alrpwr->i);
  for (int n = 0; n < num_counters(); ++n) {
    const int r = write_config(n, acqtime, inttime, whi[n], pnom[n], pmin[n]);
    if (cmd->err == ERR_NONE) cmd->err = r;
  }
  if (cmd->err == ERR_NONE && cfg_regist != 0) curl_exec_json(FLAG_SETCONF, nullptr);
}

void cmd_cfgnumcnt(tinycommand_t* cmd) {
  const tinyparam_t* p = find_param(cmd, KEY_PAR1);
  if (p == nullptr) {
    cmd->err = ERR_BADPARAM;
    return;
  }
  const int v = p->i < 0 || p->i > MAX_COUNTERS ? 1 : p->i;
  write_config_numcounters(v);
  cmd->err = ERR_NONE;
}

struct command_entry {
  std::string_view name;
  handler_t run;
};

constexpr command_entry kCommands[] = {
    {"rdall", cmd_rdall},
    {"netop", cmd_netop},
    {"tlx", cmd_tlx},
    {"history", cmd_history},
    {"firmware", cmd_firmware},
    {"rstradio", cmd_rstradio},
    {"setecount", cmd_setecount},
    {"rstecount", cmd_rstecount},
    {"reboot", cmd_reboot},
    {"reset", cmd_reset},
    {"xsetpointid", cmd_xsetpointid},
    {"reload", cmd_reload},
    {"stat", cmd_stat},
    {"getconf", cmd_getconf},
    {"putconf", cmd_putconf},
    {"ping", cmd_ping},
    {"async", cmd_async},
    {"sendtest", cmd_sendtest},
    {"cfgnet", cmd_cfgnet},
    {"register", cmd_register},
    {"cfg", cmd_cfg},
    {"cfgnumcnt", cmd_cfgnumcnt},
};

}  // namespace

void command_execute(tinycommand_t* cmd) {
  cmd->flag = CMDFLAG_TEXT;
  cmd->err = ERR_UNKCMD;
  const std::string_view name(cmd->cmd, strnlen(cmd->cmd, sizeof cmd->cmd));
  char line[64];
  std::snprintf(line, sizeof line, "command_execute(\"%.*s\")", static_cast<int>(name.size()),
                name.data());
  pr(LEV_DBG, line);
  for (const command_entry& c : kCommands) {
    if (c.name == name) {
      c.run(cmd);
      return;
    }
  }
}
