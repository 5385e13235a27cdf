#include "sys/clock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <atomic>

namespace sys {
namespace {

RealClock real_clock;
std::atomic<Clock*> current{nullptr};

bool dry_clock() {
  const char* v = std::getenv("ZANTOR_DRY_CLOCK");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace

Clock& clock() {
  Clock* c = current.load(std::memory_order_acquire);
  return c != nullptr ? *c : real_clock;
}

void set_clock(Clock* c) { current.store(c, std::memory_order_release); }

timeval RealClock::now_tv() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

void RealClock::sleep_ns(long long ns) {
  if (ns <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
  ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
  // An interrupting signal ends the sleep early: every stop request comes
  // with a signal or is polled right after the sleep anyway.
  nanosleep(&ts, nullptr);
}

int RealClock::set_time(const timeval& tv) {
  if (dry_clock()) {
    std::printf("dry clock: system time left alone, would be set to %lld\n",
                static_cast<long long>(tv.tv_sec));
    return 0;
  }
  return settimeofday(&tv, nullptr);
}

struct tm utc_tm(time_t t) {
  struct tm out{};
  gmtime_r(&t, &out);
  return out;
}

struct tm local_tm(time_t t) {
  struct tm out{};
  localtime_r(&t, &out);
  return out;
}

time_t from_utc_tm(struct tm tm) { return timegm(&tm); }

time_t from_local_tm(struct tm tm) { return mktime(&tm); }

}  // namespace sys
