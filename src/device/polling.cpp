// The polling cycle: reading every variable of the local application, the
// gateway and the counters in use, deriving the virtual variables from the
// raw replies, and keeping each device's online state after every exchange.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/hooks.h"
#include "core/settings.h"
#include "device/device.h"
#include "leapday.h"
#include "sys/clock.h"
#include "util.h"

namespace {

constexpr int SECONDS_PER_DAY = 86400;
constexpr int SIGNED_SAMPLE_LEN = 23;

// The firmware whose stored-sample times come back shifted: 06.04 up to
// build 28.
constexpr int SHIFTED_MAJOR = 6;
constexpr int SHIFTED_MINOR = 4;
constexpr int SHIFTED_LAST_BUILD = 0x1C;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The version text's first six characters as major, minor and build. A text
// that does not have them tells us nothing about the firmware, so it never
// counts as the shifted one.
bool firmware_shifted(int cnt) {
  if (cnt < 0 || cnt >= MAX_COUNTERS) return false;
  const char* s = counter_list[cnt].pvars[CN1_VER]->value.s;
  int field[3];
  for (int i = 0; i < 3; ++i) {
    // A NUL is no digit, so a short text stops here before its end.
    const int hi = hex_digit(s[2 * i]);
    if (hi < 0) return false;
    const int lo = hex_digit(s[2 * i + 1]);
    if (lo < 0) return false;
    field[i] = hi * 16 + lo;
  }
  return field[0] == SHIFTED_MAJOR && field[1] == SHIFTED_MINOR && field[2] <= SHIFTED_LAST_BUILD;
}

struct CivilDate {
  int year;
  struct tm date;  // only tm_mon (0 = January) and tm_mday are set
};

// UTC calendar date of an unsigned 32-bit time, the same on the board (32-bit
// time_t) and on a PC, and good past 2038.
CivilDate civil_date(std::uint32_t t) {
  const std::int64_t z = static_cast<std::int64_t>(t / SECONDS_PER_DAY) + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;  // 0 = March
  CivilDate d{};
  d.date.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  d.date.tm_mon = static_cast<int>(mp < 10 ? mp + 2 : mp - 10);
  d.year = static_cast<int>(yoe + era * 400 + (d.date.tm_mon <= 1 ? 1 : 0));
  return d;
}

struct tm day_month(int mday, int mon0) {
  struct tm t {};
  t.tm_mday = mday;
  t.tm_mon = mon0;
  return t;
}

bool in_days(const struct tm& date, int from_day, int from_mon0, int to_day, int to_mon0) {
  const struct tm from = day_month(from_day, from_mon0);
  const struct tm to = day_month(to_day, to_mon0);
  return isInRangeOfDays(&from, &to, &date) != 0;
}

// What the shifted firmware gets wrong in the oldest and newest sample
// times, by where the date stands relative to the last leap year.
int shifted_time_offset(std::uint32_t v) {
  // 0 is "no sample", not a date in 1970.
  if (v == 0) return 0;
  const CivilDate d = civil_date(v);
  const int m = d.date.tm_mon;
  const int day = d.date.tm_mday;
  if (isLeap(d.year)) {
    if (in_days(d.date, 29, 1, 30, 11)) return SECONDS_PER_DAY;
  } else if (isLeap(d.year - 1)) {
    if (in_days(d.date, 2, 1, 31, 11)) return (day >= m ? 1 - m : 2 - m) * SECONDS_PER_DAY;
  } else if (isLeap(d.year - 2)) {
    if (in_days(d.date, 1, 0, 11, 0)) return -11 * SECONDS_PER_DAY;
  }
  return 0;
}

// Tenfold in unsigned arithmetic: a reading out of range wraps instead of
// being undefined.
void times10(devicevar_t* v) {
  v->value.i = static_cast<std::int32_t>(static_cast<std::uint32_t>(v->value.i) * 10U);
}

}  // namespace

int telvo_poll(device_t* dev, devicevar_t* var) {
  if (var == nullptr) return ERR_SERCOMM;
  if ((var->flags & VARFL_VIRTUAL) != 0) return ERR_NONE;
  if (dev == nullptr) return ERR_SERCOMM;

  char buf[RADIO_REPLY_SIZE] = "";
  if (telvo_comm(dev, dev->addr, RADIO_SRC_ADDR, var->tag, nullptr, 0, buf, RADIO_REPLY_SIZE) < 0) {
    var->status = ST_UNKNOWN;
    return ERR_SERCOMM;
  }
  var->status = ST_READY;
  switch (var->vartype) {
    case VAR_STR:
      copy_str(var->value.s, buf);
      break;
    case VAR_UINT:
    case VAR_INT: {
      const int len = static_cast<int>(std::strlen(buf));
      auto v = static_cast<std::uint32_t>(xtoi(buf, len));
      if ((var->varid == CN1_OLDS || var->varid == CN1_NEWS) &&
          firmware_shifted(counter_index(dev))) {
        const int offset = shifted_time_offset(v);
        if (offset != 0) {
          std::printf("Possible wrong value -> add an offset of %d\n", offset);
          v += static_cast<std::uint32_t>(offset);
        }
      }
      set_int_var(var, static_cast<int>(v), len, var->vartype == VAR_INT ? 1 : 0);
      break;
    }
    default:
      break;  // no variable holds a float
  }
  return ERR_NONE;
}

void after_read(device_t* /*dev*/, devicevar_t* var) {
  if (var == nullptr || var->varid != GW1_PING || var->status != ST_READY) return;
  var_copy_to(var, varp[GW1_MAC], 0, 16);
  var_copy_to(var, varp[GW1_RAD], 20, 36);
}

void after_counter_read(counter4_t* cn, devicevar_t* var) {
  if (cn == nullptr || var == nullptr || var->status != ST_READY) return;
  devicevar_t* const* v = cn->pvars;
  const int cnt = counter_index(cn->dev);
  const int scaled = is_scaled(cnt);
  switch (var->varid) {
    case CN1_PING:
      var_copy_to(var, v[CN1_MAC], 0, 16);
      var_icopy_to(var, v[CN1_SIG], 26, 2, 1);
      break;
    case CN1_CFG:
      var_icopy_to(var, v[CN1_WHI], OFF_WHI, 4, 0);
      var_icopy_to(var, v[CN1_PMIN], OFF_PMIN, 4, 0);
      var_icopy_to(var, v[CN1_HIF], OFF_HIF, 4, 0);
      var_icopy_to(var, v[CN1_LOF], OFF_LOF, 4, 0);
      var_icopy_to(var, v[CN1_PNOM], OFF_PNOM, 4, 0);
      if (scaled) {
        times10(v[CN1_PNOM]);
        times10(v[CN1_PMIN]);
        times10(v[CN1_WHI]);
      }
      std::printf(
          "CN%d lof:%4x hif:%4x whi:%4x pnom:%4x pmin:%4x (scaled:%d)\n", cnt + 1,
          static_cast<unsigned>(v[CN1_LOF]->value.i), static_cast<unsigned>(v[CN1_HIF]->value.i),
          static_cast<unsigned>(v[CN1_WHI]->value.i), static_cast<unsigned>(v[CN1_PNOM]->value.i),
          static_cast<unsigned>(v[CN1_PMIN]->value.i), scaled);
      break;
    case CN1_ARD: {
      sample_t sam{};
      strToSample(cnt, var->value.s, &sam);
      var_iset(var, v[CN1_TIME], sam.time);
      var_iset(var, v[CN1_PTOT], sam.ptot);
      var_iset(var, v[CN1_ETOT], sam.etot);
      var_iset(var, v[CN1_ALM], sam.alm);
      if (std::strlen(var->value.s) == SIGNED_SAMPLE_LEN) var_iset(var, v[CN1_SIG], sam.dbm);
      std::printf("CN%d time:%x ptot:%4x etot:%4x (scaled:%d) dbm:%d alm:%x\n", cnt + 1,
                  static_cast<unsigned>(v[CN1_TIME]->value.i),
                  static_cast<unsigned>(v[CN1_PTOT]->value.i),
                  static_cast<unsigned>(v[CN1_ETOT]->value.i), scaled, v[CN1_SIG]->value.i,
                  static_cast<unsigned>(v[CN1_ALM]->value.i));
      break;
    }
    default:
      break;
  }
}

void on_comm_end(device_t* dev, boolean_t err) {
  if (dev == nullptr) return;
  const char old = dev->status;
  const int online = err ? 0 : 1;
  dev->status = online ? ST_READY : ST_UNKNOWN;

  const int n = counter_index(dev);
  if (n >= 0) {
    counter_list[n].pvars[CN1_ON]->value.i = online;
    if (!online && !f_alm_counter_offline[n]) {
      f_alm_counter_offline[n] = 1;
      tm_alm_counter_offline[n] = sys::clock().now();
      if (tm_alm_counter_first[n] == 0) tm_alm_counter_first[n] = tm_alm_counter_offline[n];
    }
    if (online) tm_alm_counter_first[n] = 0;
  } else if (dev->devid == DEV_GW1) {
    varp[GW1_ON]->value.i = online;
    if (!online && !f_alm_gateway_offline) {
      f_alm_gateway_offline = 1;
      tm_alm_gateway_offline = sys::clock().now();
    }
  }
  if (dev->status != old && n == 0) call_update_leds();
}

int poll_devices(int /*mode*/) {
  // A device is tried once per poll; after a failed exchange it is offline
  // and the rest of its variables wait for the next poll.
  bool tried[NUM_DEVICE] = {};
  const auto may_read = [&tried](const device_t* dev) {
    if (tried[dev->devid] && dev->status != ST_READY) return false;
    tried[dev->devid] = true;
    return true;
  };

  int result = 0;
  for (int id = 0; id < NUM_VAR; ++id) {
    devicevar_t* var = varp[id];
    if (var->devid == DEV_CN1) continue;  // the counter template
    if (var->devid != DEV_SYS && var->devid != DEV_GW1) continue;
    device_t* dev = &device_list[var->devid];
    if (!may_read(dev)) continue;
    if (var->devid == DEV_SYS) {
      sys_poll(dev, var);
    } else {
      const int r = telvo_poll(dev, var);
      if (r != 0) result = r;
    }
    after_read(dev, var);
  }

  const int numcounters = cfg_numcounters < 0              ? 0
                          : cfg_numcounters > MAX_COUNTERS ? MAX_COUNTERS
                                                           : cfg_numcounters;
  for (int j = 0; j < numcounters; ++j) {
    counter4_t& cn = counter_list[j];
    std::printf("Reading %s (addr:%d) (devid:%d)\n", cn.dev->devdesc, j + 1, cn.dev->devid);
    for (int k = 0; k < CN1_MAXVAR; ++k) {
      if (!may_read(cn.dev)) continue;
      const int r = telvo_poll(cn.dev, cn.pvars[k]);
      if (r != 0) result = r;
      after_counter_read(&cn, cn.pvars[k]);
    }
  }
  return result;
}
