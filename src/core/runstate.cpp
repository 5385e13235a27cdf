#include "core/runstate.h"

#include "config.h"
#include "core/log.h"
#include "sys/clock.h"

relaxed_flag f_exit;
relaxed_flag f_reload;
relaxed_flag f_valid_time;
time_t tm_appboot = 0;

pthread_mutex_t global_mutex = PTHREAD_MUTEX_INITIALIZER;

void main_lock() { pthread_mutex_lock(&global_mutex); }
void main_unlock() { pthread_mutex_unlock(&global_mutex); }

void validate_time() {
  const bool valid = sys::clock().now() > VALID_TIME_THRESHOLD;
  f_valid_time = valid ? 1 : 0;
  if (!valid) warn("Invalid system time");
}
