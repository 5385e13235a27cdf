// Process-wide run state: the stop flags every loop polls, the clock
// validity, the boot time and the shared-state lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>

#include "common.h"

// A word-sized flag written with one store and polled by the loops. Relaxed
// ordering is enough: it carries no data, only "stop at your next check".
// A relaxed load or store of an aligned word is a plain access on every
// target we build for, so signal handlers may set it.
class relaxed_flag {
 public:
  operator int() const noexcept { return v_.load(std::memory_order_relaxed); }
  relaxed_flag& operator=(int x) noexcept {
    v_.store(x, std::memory_order_relaxed);
    return *this;
  }
  relaxed_flag& operator=(const relaxed_flag&) = delete;

 private:
  std::atomic<int> v_{0};
};

extern relaxed_flag f_exit;        // set on a signal, never cleared
extern relaxed_flag f_reload;      // set by the "reload" command, cleared per cycle
extern relaxed_flag f_valid_time;  // result of the last validate_time()
extern time_t tm_appboot;          // wall-clock time at process start

// Guards the device tables, settings, sample tables and server-exchange
// state. Created and destroyed once per supervisor cycle.
extern pthread_mutex_t global_mutex;
void main_lock();
void main_unlock();

// Holds global_mutex for one scope.
class main_guard {
 public:
  main_guard() { main_lock(); }
  ~main_guard() { main_unlock(); }
  main_guard(const main_guard&) = delete;
  main_guard& operator=(const main_guard&) = delete;
};

// Refreshes f_valid_time from the system clock; warns when it is not set.
void validate_time();
