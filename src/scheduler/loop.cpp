// The main thread's timed loop: one pass a second, a send per acquisition
// period at a per-installation delay, clock checks and the nightly jobs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/hooks.h"
#include "core/log.h"
#include "core/settings.h"
#include "scheduler/scheduler.h"
#include "sys/clock.h"

relaxed_flag scheduler_sigexit;

int post_midnight;
int last_midnight_check;
int last_eleven_timecheck;

namespace {

constexpr int MIDNIGHT_WINDOW = 2350;
constexpr int ELEVEN_WINDOW = 2310;
constexpr long long ONE_SECOND_NS = 1000000000LL;

// Local day of the last run of each nightly job, so that each runs again
// on the next day (the window value alone would stop it after the first).
int midnight_day;
int eleven_day;

// "HH:MM:SS" of t in local time.
struct clock_text {
  char s[16] = "";
  explicit clock_text(time_t t) {
    struct tm lt {};
    if (localtime_r(&t, &lt) == nullptr || std::strftime(s, sizeof s, "%H:%M:%S", &lt) == 0) {
      s[0] = '\0';
    }
  }
};

}  // namespace

void scheduler_init() {
  xsinit(&remote_err, remote_err_buf, REMOTE_ERR_BUFSIZE);
  f_remote_err = 0;
  // Polling refreshes the LEDs whenever a counter goes on- or offline.
  hook_update_leds = update_leds;
}

void scheduler_shutdown() {}

void* scheduler_run(void* /*arg*/) {
  scheduler_run_wrap();
  return nullptr;
}

void scheduler_kill() { scheduler_sigexit = 1; }

int magic_delay_calculator() {
  if (cfg_pointid[0] == '\0' || cfg_maxdly <= 0) return 0;
  // Unsigned arithmetic wraps like the two's-complement hash it stands for.
  std::uint32_t h = 0;
  for (const char* p = cfg_pointid; *p != '\0'; ++p) h = h * 31U + static_cast<unsigned char>(*p);
  auto hash = static_cast<std::int32_t>(h);
  if (hash == INT32_MIN) hash += 1;
  return std::abs(hash) % cfg_maxdly;
}

int calc_post_midnight(int fset) {
  const struct tm t = sys::utc_tm(sys::clock().now());
  const int key = t.tm_year * 10000 + t.tm_mon * 100 + t.tm_mday + 19000000;
  if (fset != 0) post_midnight = key;
  return key;
}

void round_midnight() {
  const time_t now = sys::clock().now();
  struct tm lt {};
  if (localtime_r(&now, &lt) == nullptr) return;
  const int w = lt.tm_hour * 100 + (lt.tm_min / 10) * 10;
  const int day = (lt.tm_year + 1900) * 10000 + lt.tm_mon * 100 + lt.tm_mday;
  if (w == MIDNIGHT_WINDOW && (last_midnight_check != w || midnight_day != day)) {
    inf("Midnight check");
    last_midnight_check = w;
    midnight_day = day;
    sync_time();
  }
  if (w == ELEVEN_WINDOW && (last_eleven_timecheck != w || eleven_day != day)) {
    inf("Eleven time check");
    last_eleven_timecheck = w;
    eleven_day = day;
    kick_ntpd();
  }
}

void print_time(time_t currtm) {
  if (currtm == 0) currtm = sys::clock().now();
  std::printf("Time: %s\n", clock_text(currtm).s);
}

void scheduler_run_wrap() {
  sys::Clock& clk = sys::clock();
  int acqtime = 0;
  {
    const main_guard lock;
    acqtime = cfg_acqtime;
    std::printf("Enter scheduler (acqtime=%d maxdelay=%d)\n", cfg_acqtime, cfg_maxdly);
  }
  int hash = 0;
  int fschedule = 1;
  int minutesec = 1;
  {
    const main_guard lock;
    sync_time();
  }
  {
    const main_guard lock;
    calc_post_midnight(1);
    read_write_failures(0);
    procAlarms(OP_ALM_LOAD, ALM_ALL, nullptr);
  }
  time_t currtm = clk.now();
  time_t tm_base = currtm;
  time_t tm_send = tm_base;
  std::printf("Base time: %s\n", clock_text(tm_base).s);
  time_t time_check = currtm + TIME_CHECK_INTERVAL;
  if (!scheduler_sigexit) {
    const main_guard lock;
    if (cfg_regist != 0) {
      curl_exec_json(FLAG_SETCONF, nullptr);
      send_async(FLAG_SETSTATUS, nullptr);
    }
  }

  while (!scheduler_sigexit) {
    bool due = false;
    {
      // Settings change under commands at any time: read them afresh, locked.
      const main_guard lock;
      acqtime = cfg_acqtime;
      if (acqtime > 0 && currtm >= tm_base + acqtime) {
        // Periods missed while busy (or skipped by a clock jump) are not
        // made up: jump straight to the period holding the current time.
        tm_base += ((currtm - tm_base) / acqtime) * acqtime;
        fschedule = 1;
        std::printf("Base time: %s\n", clock_text(tm_base).s);
      }
      if (fschedule == 1) {
        fschedule = 0;
        hash = cfg_maxdly > 0 ? magic_delay_calculator() : 0;
        std::printf("Delay %d secs (maxdly:%d acqtime:%d)\n", hash, cfg_maxdly, acqtime);
        tm_send = tm_base + hash;
        std::printf("Will send at %s\n", clock_text(tm_send).s);
      }
      due = acqtime > 0 && currtm >= tm_send && hash >= 0;
    }
    if (due) {
      // Takes the lock step by step itself, so commands get their turn.
      send_data();
      {
        const main_guard lock;
        update_leds();
      }
      hash = -1;
    }
    if (currtm > time_check && !scheduler_sigexit) {
      time_check = currtm + TIME_CHECK_INTERVAL;
      const main_guard lock;
      inf("Time check");
      validate_time();
      if (f_valid_time == 0) kick_ntpd();
      if (counter_initialized(0) == 0) sync_time();
    }
    if (minutesec == 0 && !scheduler_sigexit) {
      const main_guard lock;
      round_midnight();
    }
    clk.sleep_ns(ONE_SECOND_NS);
    if (++minutesec > 59) minutesec = 0;
    currtm = clk.now();
  }
  inf("Exit scheduler_run()");
}
