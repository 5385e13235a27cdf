#include "master.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "config.h"
#include "configman.h"
#include "core/hooks.h"
#include "core/log.h"
#include "core/runstate.h"
#include "device/device.h"
#include "mygpio.h"
#include "scheduler/scheduler.h"
#include "sercomm.h"
#include "sys/clock.h"
#include "tcpdaemon.h"
#include "tinycommand/tinycommand.h"

namespace {

constexpr long long kBlinkStepNs = 50000000LL;

// Signal handlers only set flags, close descriptors and write their line,
// all async-signal-safe; the cycle winds down in the threads themselves.
void exit_on_signal(const char* line) {
  master_exit();
  // puts() is not async-signal-safe: one write() of the whole line instead.
  ssize_t ignored = write(STDOUT_FILENO, line, std::strlen(line));
  (void)ignored;
}

void install_handler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a blocking call returns EINTR so its loop sees the flag.
  sa.sa_flags = 0;
  sigaction(sig, &sa, nullptr);
}

void install_signals() {
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGPIPE, &ign, nullptr);
  install_handler(SIGINT, sigint);
  install_handler(SIGHUP, sighup);
  install_handler(SIGQUIT, sigquit);
  install_handler(SIGTERM, sigterm);
}

void run_cycle() {
  f_reload = 0;
  init_daemons();
  tcpdaemon_sigexit = 0;
  scheduler_sigexit = 0;
  pthread_mutex_init(&global_mutex, nullptr);
  pthread_mutex_init(&sercomm_mutex, nullptr);
  blink_leds();
  poll_devices(POLL_ALL);
  dbg("start daemons ...");
  const bool http_started =
      pthread_create(&tcpdaemon_thread, nullptr, tcpdaemon_run, nullptr) == 0;
  if (!http_started) err("Failed to create tcpdaemon thread");
  scheduler_run(nullptr);
  if (http_started) pthread_join(tcpdaemon_thread, nullptr);
  pthread_mutex_destroy(&sercomm_mutex);
  pthread_mutex_destroy(&global_mutex);
  shutdown_daemons();
}

}  // namespace

void master_boot() {
  log_init();
  std::printf("%s (v%s)\n", APP_NAME, APP_VERSION);
  tm_appboot = sys::clock().now();
  char when[32] = "";
  if (ctime_r(&tm_appboot, when) == nullptr) std::strcpy(when, "?\n");
  std::fputs(when, stdout);
  master_run();
}

void master_run() {
  hook_poll_devices = poll_devices;
  hook_master_reload = master_reload;
  tcpdaemon_command_hook = {command_execute, command_tcpreply};
  install_signals();
  while (!f_exit) run_cycle();
}

void init_daemons() {
  dbg("... init daemons ...");
  configman_init();
  device_init();
  gpio_init();
  sercomm_init();
  tcpdaemon_init();
  scheduler_init();
}

void shutdown_daemons() {
  dbg("... shutdown daemons ...");
  scheduler_shutdown();
  tcpdaemon_shutdown();
  sercomm_shutdown();
  gpio_shutdown();
  device_shutdown();
  configman_shutdown();
}

void master_reload() {
  f_reload = 1;
  tcpdaemon_kill();
  scheduler_kill();
}

void master_exit() {
  f_exit = 1;
  tcpdaemon_killex();
  scheduler_kill();
  sercomm_kill();
}

void blink_leds() {
  for (int i = 1; i <= 8; ++i) {
    gpio_set(GPIO_LED_GREEN, i % 2, 1);
    gpio_set(GPIO_LED_YELLOW, i % 2, 1);
    sys::clock().sleep_ns(kBlinkStepNs);
  }
}

void sighup(int) { exit_on_signal("SIGHUP signal\n"); }
void sigint(int) { exit_on_signal("SIGINT signal\n"); }
void sigquit(int) { exit_on_signal("SIGQUIT signal\n"); }
void sigterm(int) { exit_on_signal("SIGTERM signal\n"); }
