#include "configman.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "core/hooks.h"
#include "device/device.h"
#include "sys/fd.h"
#include "util.h"

namespace {

constexpr int kMaxCounters = 4;
constexpr int kDefaultAcqtime = 900;
constexpr int kStrReadSize = 256;  // 255 characters and the terminator

struct KeyPath {
  char path[512];
};

KeyPath key_path(const char* name) {
  KeyPath p{};
  std::snprintf(p.path, sizeof p.path, "%s/%s%s", DIR_CONFIG, name, CONFIG_EXT);
  return p;
}

// Decimal conversion as the stored files expect: optional blanks and sign,
// digits up to the first non-digit. Out-of-range values saturate instead of
// overflowing.
int parse_int(const char* text) {
  errno = 0;
  const long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

void print_masks() {
  std::printf("configman_init msk_alm[0] %u msk_alm[1] %u\n", static_cast<unsigned>(msk_alm[0]),
              static_cast<unsigned>(msk_alm[1]));
}

// The PV alarm record reacts to sample bits 1 and 2, or to bit 1 only.
void set_pv_mask(int mask) {
  for (int i = 0; i < NUM_ALM; ++i) {
    if (alm_list[i].almid == ALM_PV) {
      msk_alm[i] = mask;
      return;
    }
  }
}

void refresh(int varid) { sys_poll(sys_dev, varp[varid]); }

}  // namespace

void cfg_readStrParam(const char* name, char* buf, std::size_t bufsize, const char* def) {
  if (bufsize == 0) return;
  const KeyPath p = key_path(name);
  if (file_exists(p.path)) {
    loadFileString(p.path, buf, bufsize);
    return;
  }
  const char* src = def != nullptr ? def : "";
  const std::size_t n = std::min(std::strlen(src), bufsize - 1);
  std::memcpy(buf, src, n);
  buf[n] = '\0';
}

void cfg_readIntParam(const char* name, int* value, int def) {
  char text[MAX_INT_STRLEN];
  cfg_readStrParam(name, text, sizeof text, "?");
  *value = text[0] == '?' ? def : parse_int(text);
}

void cfg_writeStrParam(const char* name, const char* buf) {
  saveFileString(key_path(name).path, buf);
}

void cfg_writeIntParam(const char* name, int value) {
  char text[MAX_INT_STRLEN];
  std::snprintf(text, sizeof text, "%d", value);
  cfg_writeStrParam(name, text);
}

void cfg_writeNtpdConf() {
  char path[512];
  std::snprintf(path, sizeof path, "%s/%s", DIR_CONFIG, FILE_NTPD_CONF);
  char text[CFG_STR_LEN + 64];
  std::snprintf(text, sizeof text, "# ntpd configuration file\nserver %s\n", cfg_ntpsrv);
  saveFileString(path, text);
}

int ipinfo(char* host) {
  host[0] = '\0';
  int result = 0;
  sys::unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock) {
    ifreq ifr{};
    ifr.ifr_addr.sa_family = AF_INET;
    std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(sock.get(), SIOCGIFADDR, &ifr) == 0) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(&ifr.ifr_addr);
      if (inet_ntop(AF_INET, &sin->sin_addr, host, 256) == nullptr) host[0] = '\0';
    } else {
      result = 1;
    }
  }
  std::printf("IP address: <%s>\n", host);
  return result;
}

void configman_init() {
  cfg_readStrParam(PARAM_POINTID, cfg_pointid, kStrReadSize, nullptr);
  cfg_readStrParam("srvurl", cfg_srvurl, kStrReadSize, nullptr);
  cfg_readStrParam("serialcfg", cfg_serialcfg, kStrReadSize, nullptr);
  cfg_readStrParam("sendscript", cfg_sendscript, kStrReadSize, nullptr);
  cfg_readIntParam("maxdly", &cfg_maxdly, 0);
  cfg_readIntParam("acqtime", &cfg_acqtime, kDefaultAcqtime);
  cfg_readIntParam("inttime", &cfg_inttime, 60);
  cfg_readIntParam("cntpanic", &cfg_cntpanic, 720);
  cfg_readIntParam("pnomxlmask", &cfg_pnomxlmask, 0);
  cfg_readIntParam("numcounters", &cfg_numcounters, 1);
  cfg_readStrParam("nimp", cfg_nimp, kStrReadSize, nullptr);
  cfg_readStrParam("indir", cfg_indir, kStrReadSize, nullptr);
  cfg_readStrParam("cmail", cfg_cmail, kStrReadSize, nullptr);
  cfg_readIntParam("prezzo", &cfg_prezzo, 274);
  cfg_readIntParam("regist", &cfg_regist, 0);
  cfg_readIntParam("co2", &cfg_co2, 500);
  cfg_readIntParam("dhcp", &cfg_dhcp, 1);
  cfg_readStrParam("ip", cfg_ip, kStrReadSize, nullptr);
  cfg_readStrParam("mask", cfg_mask, kStrReadSize, nullptr);
  cfg_readStrParam("gway", cfg_gway, kStrReadSize, nullptr);
  cfg_readStrParam("dns", cfg_dns, kStrReadSize, nullptr);
  cfg_readStrParam("ntpsrv", cfg_ntpsrv, kStrReadSize, nullptr);

  // There are exactly four counter blocks; a damaged file must not index
  // past them.
  if (cfg_numcounters < 0) cfg_numcounters = 0;
  if (cfg_numcounters > kMaxCounters) cfg_numcounters = kMaxCounters;
  if (cfg_acqtime < 1) cfg_acqtime = kDefaultAcqtime;
  if (cfg_acqtime < cfg_maxdly) cfg_maxdly = cfg_acqtime;

  ipinfo(cfg_currip);

  cfg_readIntParam("alrpwr", &cfg_alrpwr, 1);
  if (cfg_alrpwr == 0) set_pv_mask(MSK_ALM_PV_ONLY);
  print_masks();
}

void configman_shutdown() {}

int write_config_sys(int maxdly, int acqtime, int inttime, int pnomxlmask, int prezzo, int co2,
                     int alrpwr) {
  cfg_maxdly = maxdly;
  cfg_acqtime = acqtime;
  cfg_inttime = inttime;
  cfg_pnomxlmask = pnomxlmask;
  cfg_prezzo = prezzo;
  cfg_co2 = co2;
  cfg_alrpwr = alrpwr;
  // maxdly, acqtime and inttime reach this call unchanged and stay unwritten.
  cfg_writeIntParam("pnomxlmask", pnomxlmask);
  cfg_writeIntParam("prezzo", prezzo);
  cfg_writeIntParam("co2", co2);
  cfg_writeIntParam("alrpwr", alrpwr);
  refresh(SYS_MAXDLY);
  refresh(SYS_PREZZO);
  refresh(SYS_CO2);
  refresh(SYS_ALRPWR);
  set_pv_mask(alrpwr != 0 ? MSK_ALM_PV : MSK_ALM_PV_ONLY);
  print_masks();
  return 0;
}

int write_regist(int v) {
  cfg_regist = v;
  cfg_writeIntParam("regist", v);
  refresh(SYS_SN);
  refresh(SYS_REGIST);
  return 0;
}

int write_config_net(int dhcp, const char* ip, const char* mask, const char* gway,
                     const char* dns, const char* ntpsrv) {
  cfg_dhcp = dhcp;
  if (dhcp == 0) {
    copy_str(cfg_ip, ip);
    copy_str(cfg_mask, mask);
    copy_str(cfg_gway, gway);
    copy_str(cfg_dns, dns);
  }
  copy_str(cfg_ntpsrv, ntpsrv);

  cfg_writeIntParam("dhcp", dhcp);
  if (dhcp == 0) {
    cfg_writeStrParam("ip", cfg_ip);
    cfg_writeStrParam("mask", cfg_mask);
    cfg_writeStrParam("gway", cfg_gway);
    cfg_writeStrParam("dns", cfg_dns);
  }
  cfg_writeStrParam("ntpsrv", cfg_ntpsrv);
  cfg_writeNtpdConf();

  refresh(SYS_DHCP);
  if (dhcp == 0) {
    refresh(SYS_IP);
    refresh(SYS_MASK);
    refresh(SYS_GWAY);
    refresh(SYS_DNS);
  }
  refresh(SYS_NTPSRV);
  return 0;
}

int write_config_sys_ex(const char* srvurl, const char* nimp, const char* indir,
                        const char* cmail) {
  copy_str(cfg_srvurl, srvurl);
  copy_str(cfg_nimp, nimp);
  copy_str(cfg_indir, indir);
  copy_str(cfg_cmail, cmail);
  cfg_writeStrParam("srvurl", cfg_srvurl);
  cfg_writeStrParam("nimp", cfg_nimp);
  cfg_writeStrParam("indir", cfg_indir);
  cfg_writeStrParam("cmail", cfg_cmail);
  refresh(SYS_SRVURL);
  refresh(SYS_NIMP);
  refresh(SYS_INDIR);
  refresh(SYS_CMAIL);
  return 0;
}

int write_config_numcounters(int n) {
  cfg_numcounters = n;
  cfg_writeIntParam("numcounters", n);
  call_poll_devices(POLL_ALL);
  return 0;
}
