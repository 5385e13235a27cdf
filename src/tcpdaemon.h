// The HTTP daemon thread: web pages and the command interface.
#pragma once

#include <pthread.h>

#include "core/runstate.h"

extern relaxed_flag tcpdaemon_sigexit;
extern pthread_t tcpdaemon_thread;

void tcpdaemon_init();
void tcpdaemon_shutdown();
// Thread entry; returns once tcpdaemon_sigexit, f_reload or f_exit is set.
void* tcpdaemon_run(void* arg);
void tcpdaemon_kill();
// As tcpdaemon_kill, and closes the connection being served. Safe to call
// from a signal handler.
void tcpdaemon_killex();
