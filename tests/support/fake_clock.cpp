#include "fake_clock.h"

namespace testsupport {

FakeClock::FakeClock(time_t start) : now_us_(static_cast<long long>(start) * 1000000LL) {}

timeval FakeClock::now_tv() {
  std::lock_guard lock(m_);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(now_us_ / 1000000LL);
  tv.tv_usec = static_cast<suseconds_t>(now_us_ % 1000000LL);
  return tv;
}

void FakeClock::sleep_ns(long long ns) {
  std::lock_guard lock(m_);
  if (ns <= 0) return;
  now_us_ += ns / 1000;
  slept_ns_ += ns;
}

int FakeClock::set_time(const timeval& tv) {
  std::lock_guard lock(m_);
  set_calls_.push_back(tv.tv_sec);
  now_us_ = static_cast<long long>(tv.tv_sec) * 1000000LL + tv.tv_usec;
  return 0;
}

void FakeClock::advance(long long seconds) {
  std::lock_guard lock(m_);
  now_us_ += seconds * 1000000LL;
}

void FakeClock::set(time_t t) {
  std::lock_guard lock(m_);
  now_us_ = static_cast<long long>(t) * 1000000LL;
}

long long FakeClock::total_slept_ns() const {
  std::lock_guard lock(m_);
  return slept_ns_;
}

std::vector<time_t> FakeClock::set_calls() const {
  std::lock_guard lock(m_);
  return set_calls_;
}

}  // namespace testsupport
