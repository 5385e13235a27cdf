// The clock seam: every read of the wall clock, every sleep and every change
// of the system clock goes through here, so tests can run a simulated day in
// milliseconds and never touch the host's clock.
#pragma once

#include <sys/time.h>

#include <ctime>

namespace sys {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time with microseconds (gettimeofday).
  virtual timeval now_tv() = 0;
  // Sleeps for the given interval; a signal may end it early.
  virtual void sleep_ns(long long ns) = 0;
  // Sets the system clock; 0 on success, -1 on failure (settimeofday).
  virtual int set_time(const timeval& tv) = 0;

  time_t now() { return now_tv().tv_sec; }
};

// The clock in use: the real one unless a test installed another.
Clock& clock();
// Installs a clock for tests; nullptr restores the real one. The caller
// keeps ownership and must restore before the clock dies.
void set_clock(Clock* c);

// The real clock. With ZANTOR_DRY_CLOCK=1 in the environment, set_time only
// logs the change it would make and reports success.
class RealClock final : public Clock {
 public:
  timeval now_tv() override;
  void sleep_ns(long long ns) override;
  int set_time(const timeval& tv) override;
};

// Broken-down time, thread-safe (gmtime_r / localtime_r).
struct tm utc_tm(time_t t);
struct tm local_tm(time_t t);
// Inverse conversions (timegm / mktime).
time_t from_utc_tm(struct tm tm);
time_t from_local_tm(struct tm tm);

}  // namespace sys
