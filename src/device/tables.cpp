#include <cstdio>
#include <cstring>
#include <string_view>

#include "config.h"
#include "core/settings.h"
#include "device/device.h"
#include "util.h"

device_t device_list[NUM_DEVICE] = {
    {"null", "Null", 0, 0, DEV_NULL},      {"sys", "Local app", 0, 0, DEV_SYS},
    {"gw1", "Gateway", 0, 65535, DEV_GW1}, {"cn1", "Counter 1", 0, 1, DEV_CN1},
    {"cn2", "Counter 2", 0, 2, DEV_CN2},   {"cn3", "Counter 3", 0, 3, DEV_CN3},
    {"cn4", "Counter 4", 0, 4, DEV_CN4},
};

// Columns: devid, varid, devname, varname, vardesc, status, vartype, group,
// tag, flags, value.
devicevar_t var_list[NUM_VAR] = {
    {DEV_CN1, CN1_PING, "", "ping", "Ping", 0, VAR_STR, 0, "4QZ", VARFL_HIDDEN, {}},
    {DEV_CN1, CN1_MAC, "", "mac", "MAC address", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_CFG, "", "cfg", "Config", 0, VAR_STR, 0, "4SZ", VARFL_HIDDEN, {}},
    {DEV_CN1, CN1_ARD, "", "ard", "Async read", 0, VAR_STR, 0, "4AR", VARFL_HIDDEN, {}},
    {DEV_CN1, CN1_ETOT, "", "etot", "Energy tot", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_PTOT, "", "ptot", "Power tot", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_POW, "", "pow", "Instant pow", 0, VAR_UINT, 0, "4pw", 0, {}},
    {DEV_CN1, CN1_LOF, "", "lof", "Low freq.", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_HIF, "", "hif", "High freq.", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_VER, "", "ver", "Version", 0, VAR_STR, 0, "4VS", 0, {}},
    {DEV_CN1, CN1_SIG, "", "sig", "Sig. level", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_WHI, "", "whi", "Wh/pulse", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_PNOM, "", "pnom", "Pot. nom.", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_IH, "", "ih", "Pulse/h", 0, VAR_UINT, 0, "4PH", 0, {}},
    {DEV_CN1, CN1_TIME, "", "time", "UTC Time", 0, VAR_UINT, 0, "4CK", 0, {}},
    {DEV_CN1, CN1_ALM, "", "alm", "Alarms", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_CHK, "", "chk", "Checkpoint", 0, VAR_UINT, 0, "4CP", 0, {}},
    {DEV_CN1, CN1_PMIN, "", "pmin", "Sogl.pot.min", 0, VAR_UINT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_CN1, CN1_OLDS, "", "olds", "Oldest samp.", 0, VAR_UINT, 0, "4SO", 0, {}},
    {DEV_CN1, CN1_NEWS, "", "news", "Newest samp.", 0, VAR_UINT, 0, "4SN", 0, {}},
    {DEV_CN1, CN1_INIT, "", "init", "Init flag", 0, VAR_UINT, 0, "4IN", 0, {}},
    {DEV_CN1, CN1_ON, "", "on", "Online", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},

    {DEV_GW1, GW1_PING, "", "ping", "Ping", 0, VAR_STR, 0, "4QZ", VARFL_HIDDEN, {}},
    {DEV_GW1, GW1_MAC, "", "mac", "MAC address", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_GW1, GW1_VER, "", "ver", "Version", 0, VAR_STR, 0, "4VS", 0, {}},
    {DEV_GW1, GW1_RAD, "", "rad", "Radio info", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_GW1, GW1_ON, "", "on", "Online", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},

    {DEV_SYS, SYS_VER, "", "ver", "Version", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_PTID, "", "ptid", "PTID", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_TIME, "", "time", "Time", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_SRVURL, "", "srvurl", "Server URL", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_NTPSRV, "", "ntpsrv", "NTP server", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_MAXDLY, "", "maxdly", "Max delay", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_REMON, "", "remon", "Remote online", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_ON, "", "on", "Online", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_NUMCNT, "", "numcnt", "Counters", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_ACQTIME, "", "acqtime", "Acq.time", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_INTTIME, "", "inttime", "Int.time", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_NIMP, "", "nimp", "Nome imp.", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CUSER, "", "cuser", "Username", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CPASS, "", "cpass", "Password", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CMAIL, "", "cmail", "Mail", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CODINS, "", "codins", "Cod.inst.", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_PREZZO, "", "prezzo", "Prezzo", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_REGIST, "", "regist", "Regist", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_SN, "", "sn", "Ser.num.", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_INDIR, "", "indir", "Indirizzo", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CO2, "", "co2", "Equiv.CO2", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_CURRIP, "", "currip", "eth0 ip", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_DHCP, "", "dhcp", "DHCP", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_IP, "", "ip", "Ip", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_MASK, "", "mask", "Mask", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_GWAY, "", "gway", "Gateway", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_DNS, "", "dns", "DNS", 0, VAR_STR, 0, "", VARFL_VIRTUAL, {}},
    {DEV_SYS, SYS_ALRPWR, "", "alrpwr", "AlarmPower", 0, VAR_INT, 0, "", VARFL_VIRTUAL, {}},
};

devicevar_t* varp[NUM_VAR];
counter4_t counter_list[MAX_COUNTERS];
device_t* gw1;
device_t* sys_dev;
device_t* cn1;

alarmrec_t alm_list[NUM_ALM] = {
    {ALM_PV, 0, 0, "warning", "Allarme PV", 0},
    {ALM_ASSENZAPV, 0, 0, "warning", "Assenza PV", 0},
};
int msk_alm[NUM_ALM] = {MSK_ALM_PV, MSK_ALM_ASSENZAPV};

time_t tm_alm_counter_first[MAX_COUNTERS];
time_t tm_alm_counter_offline[MAX_COUNTERS];
boolean_t f_alm_counter_offline[MAX_COUNTERS];
time_t tm_alm_gateway_offline;
boolean_t f_alm_gateway_offline;

namespace {

std::string_view text_of(const char* s) { return s ? std::string_view(s) : std::string_view(""); }

std::string_view value_text(const devicevar_t* v) {
  return {v->value.s, strnlen(v->value.s, sizeof v->value.s)};
}

// Hexadecimal field of len digits at off, read through xtoi/xtoisig without
// ever reading past the end of text: positions outside it count as a NUL,
// which the converter takes as a 0 digit. A negative len means the rest of
// the text, as for xtoi.
int hex_field(std::string_view text, int off, int len, int fsigned) {
  const int textlen = static_cast<int>(text.size());
  if (len < 0) len = off < textlen ? textlen - off : 0;
  // Only the last eight digits survive in the result, so a longer field
  // reduces to its last eight (sign extension never applies at that width).
  constexpr int kMaxDigits = 8;
  if (len > kMaxDigits) {
    off += len - kMaxDigits;
    len = kMaxDigits;
  }
  char buf[kMaxDigits + 1] = {};
  for (int k = 0; k < len; ++k) {
    const long p = static_cast<long>(off) + k;
    buf[k] = (p >= 0 && p < textlen) ? text[static_cast<std::size_t>(p)] : '\0';
  }
  return fsigned ? xtoisig(buf, len, 1) : xtoi(buf, len);
}

// Tenfold in unsigned arithmetic: an out-of-range reading wraps as on the
// board instead of being undefined.
std::int32_t times10(std::int32_t v) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) * 10U);
}

void reset_value(devicevar_t& v) {
  v.status = ST_UNKNOWN;
  v.value = tinyvalue_t{};
}

}  // namespace

void device_init() {
  for (auto& row : var_list) {
    reset_value(row);
    if (row.varid >= 0 && row.varid < NUM_VAR) varp[row.varid] = &row;
  }
  varp[GW1_ON]->status = ST_READY;
  varp[SYS_ON]->status = ST_READY;

  gw1 = getDev("gw1");
  sys_dev = getDev("sys");
  cn1 = getDev("cn1");
  gw1->status = ST_UNKNOWN;
  sys_dev->status = ST_UNKNOWN;

  for (int n = 0; n < MAX_COUNTERS; ++n) {
    counter4_t& c = counter_list[n];
    const char name[] = {'c', 'n', static_cast<char>('1' + n), '\0'};
    c.dev = getDev(name);
    // Every slot points at its own record even if the copy stops early, so
    // no caller ever follows a null pointer.
    for (int k = 0; k < CN1_MAXVAR; ++k) c.pvars[k] = &c.vars[k];
    for (int k = 0; k < CN1_MAXVAR; ++k) {
      if (var_list[k].devid != DEV_CN1) {
        std::printf("%s", "!!! WARNING, inconsistent CN var array !!!");
        break;
      }
      c.vars[k] = var_list[k];
      c.vars[k].devid = static_cast<signed char>(DEV_CN1 + n);
    }
    c.vars[CN1_ON].status = ST_READY;
    c.dev->status = ST_UNKNOWN;
  }

  copy_str(varp[SYS_VER]->value.s, APP_VERSION);
}

void device_shutdown() {}

device_t* getDev(const char* devname) {
  if (!devname) return nullptr;
  for (auto& d : device_list) {
    if (std::strcmp(d.devname, devname) == 0) return &d;
  }
  return nullptr;
}

int counter_index(const device_t* dev) {
  if (!dev || dev->devid < DEV_CN1 || dev->devid > DEV_CN4) return -1;
  return dev->devid - DEV_CN1;
}

int is_counter(const device_t* dev) { return counter_index(dev) >= 0 ? 1 : 0; }

int is_online(const device_t* dev) { return dev && dev->status == ST_READY ? 1 : 0; }

int counter_initialized(int i) {
  if (i < 0 || i >= MAX_COUNTERS) return 0;
  const devicevar_t* v = counter_list[i].pvars[CN1_INIT];
  return v && v->status == ST_READY && v->value.i != 0 ? 1 : 0;
}

int is_scaled(int cnt) {
  if (cnt < 0 || cnt >= MAX_COUNTERS) return 0;
  return (cfg_pnomxlmask >> (2 * cnt)) & 1;
}

void set_int_var(devicevar_t* var, int v, int size, int fsigned) {
  if (!var) return;
  auto u = static_cast<std::uint32_t>(v);
  if (fsigned && size == 2 && (u & 0x80U)) u |= ~0xFFU;
  if (fsigned && size == 4 && (u & 0x8000U)) u |= ~0xFFFFU;
  var->value.i = static_cast<std::int32_t>(u);
}

void var_copy_to(const devicevar_t* src, devicevar_t* dest, int off, int len) {
  if (!src || !dest) return;
  dest->status = src->status;
  if (dest->status != ST_READY) return;
  const std::string_view text = value_text(src);
  std::string_view slice = "";
  if (off >= 0 && len > 0 && static_cast<std::size_t>(off) < text.size()) {
    slice = text.substr(static_cast<std::size_t>(off), static_cast<std::size_t>(len));
  }
  // Through a copy, so a slice of a variable's own text is safe.
  char tmp[MAX_TINYVAL_STRLEN];
  copy_str(tmp, slice);
  copy_str(dest->value.s, tmp);
}

void var_icopy_to(const devicevar_t* src, devicevar_t* dest, int off, int len, int fsign) {
  if (!src || !dest) return;
  dest->status = src->status;
  if (dest->status != ST_READY) return;
  set_int_var(dest, hex_field(value_text(src), off, len, 0), len, fsign);
}

void var_iset(const devicevar_t* src, devicevar_t* dest, int value) {
  if (!src || !dest) return;
  dest->status = src->status;
  if (dest->status == ST_READY) dest->value.i = value;
}

void strToSample(int cnt, const char* s, sample_t* sam) {
  if (!sam) return;
  const std::string_view text = text_of(s);
  // Only the 23-character form carries the signal level, ahead of the alarm
  // digit; every other length is read as the 21-character form.
  const bool with_dbm = text.size() == 23;
  sam->time = hex_field(text, OFF_TIME, 8, 0);
  sam->ptot = hex_field(text, OFF_PTOT, 4, 0);
  sam->etot = hex_field(text, OFF_ETOT, 8, 0);
  sam->dbm = with_dbm ? hex_field(text, 20, 2, 1) : 0;
  sam->alm = hex_field(text, with_dbm ? 22 : OFF_ALM, 1, 0) & 0xF;
  if (is_scaled(cnt)) {
    sam->etot = times10(sam->etot);
    sam->ptot = times10(sam->ptot);
  }
}

int alm_active(int almid) {
  if (almid < 0 || almid >= NUM_ALM) return 0;
  return alm_list[almid].start != 0 && alm_list[almid].stop == 0 ? 1 : 0;
}

int alm_global() {
  int mask = 0;
  for (int a = 0; a < NUM_ALM; ++a) {
    if (alm_active(a)) mask |= 1 << a;
  }
  return mask;
}
