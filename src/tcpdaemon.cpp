#include "tcpdaemon.h"

#include <chrono>
#include <thread>

relaxed_flag tcpdaemon_sigexit;
pthread_t tcpdaemon_thread;

void tcpdaemon_init() {}
void tcpdaemon_shutdown() {}

// Until the server is built the thread only waits for its stop request.
void* tcpdaemon_run(void* /*arg*/) {
  while (!tcpdaemon_sigexit && !f_reload && !f_exit)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return nullptr;
}

void tcpdaemon_kill() { tcpdaemon_sigexit = 1; }
void tcpdaemon_killex() { tcpdaemon_sigexit = 1; }
