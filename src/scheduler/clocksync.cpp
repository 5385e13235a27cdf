// Keeping the counters' clocks in step with a valid system clock, and
// nudging the NTP daemon when the system clock itself is not valid.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "core/settings.h"
#include "leapday.h"
#include "scheduler/scheduler.h"
#include "sys/clock.h"
#include "util.h"

namespace {

constexpr long long MAX_TIME_DIFF = 60;
constexpr const char* KICK_NTPD_SCRIPT = "./bin/kickntpd.sh";

// Firmware 06.04 up to build 28 keeps its clock a leap-day offset off and
// must be set again just before midnight UTC.
bool leap_firmware(unsigned major, unsigned minor, unsigned build) {
  return major == 6 && minor == 4 && build <= 28;
}

}  // namespace

void sync_time() {
  boolean_t force_clock = 0;
  validate_time();
  // Never spread a wrong system time to the counters.
  if (f_valid_time == 0) return;
  const int n =
      cfg_numcounters < 0 ? 0 : (cfg_numcounters > MAX_COUNTERS ? MAX_COUNTERS : cfg_numcounters);
  for (int i = 0; i < n; ++i) {
    counter4_t& cn = counter_list[i];
    if (counter_initialized(i) == 0) {
      inf("Forcing clock init.");
      force_clock = 1;
    }
    devicevar_t* tvar = cn.pvars[CN1_TIME];
    // A force raised for a counter that does not answer carries over.
    if (telvo_poll(cn.dev, tvar) != ERR_NONE) continue;
    const time_t utc = sys::clock().now();
    const long long counter_time = static_cast<std::uint32_t>(tvar->value.i);
    const long long diff = std::llabs(static_cast<long long>(utc) - counter_time);
    int offset = 0;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    std::sscanf(cn.pvars[CN1_VER]->value.s, "%02X%02X%02X", &major, &minor, &build);
    if (leap_firmware(major, minor, build)) {
      const struct tm t = sys::utc_tm(utc);
      if (t.tm_hour == 23 && t.tm_min > 49) force_clock = 1;
      offset = loadClockOffset(utc);
    }
    if (diff >= MAX_TIME_DIFF || force_clock == 1) {
      if (offset != 0) {
        std::printf("%s clock with offset %d\n", force_clock == 1 ? "Forcing" : "Setting", offset);
      }
      telvo_set_clock(cn.dev, utc + offset);
      force_clock = 0;
    }
  }
}

void kick_ntpd() {
  inf("Kicking ntpd ...");
  sys_exec(KICK_NTPD_SCRIPT);
}
