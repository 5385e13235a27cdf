// A clock for tests: time stands still until a sleep or the test moves it.
#pragma once

#include <mutex>
#include <vector>

#include "sys/clock.h"

namespace testsupport {

class FakeClock final : public sys::Clock {
 public:
  explicit FakeClock(time_t start = 1700000000);
  timeval now_tv() override;
  void sleep_ns(long long ns) override;  // advances the clock, returns at once
  int set_time(const timeval& tv) override;

  void advance(long long seconds);
  void set(time_t t);
  long long total_slept_ns() const;
  std::vector<time_t> set_calls() const;  // every set_time request, in order

 private:
  mutable std::mutex m_;
  long long now_us_;
  long long slept_ns_ = 0;
  std::vector<time_t> set_calls_;
};

// Installs a clock for the lifetime of the object.
class ScopedClock {
 public:
  explicit ScopedClock(sys::Clock& c) { sys::set_clock(&c); }
  ~ScopedClock() { sys::set_clock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace testsupport
