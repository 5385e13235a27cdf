// The main thread's timed loop: periodic sends, clock checks, nightly jobs.
#pragma once

#include "core/runstate.h"

extern relaxed_flag scheduler_sigexit;

void scheduler_init();
void scheduler_shutdown();
// The loop; returns once scheduler_sigexit is set.
void* scheduler_run(void* arg);
void scheduler_kill();
