// The supervisor: process entry, signals, and the reload/exit cycle that
// starts and stops every subsystem in a fixed order.
#pragma once

// Banner and start time, then master_run().
void master_boot();
// Signal set-up and the cycles, until an exit is requested.
void master_run();
void init_daemons();
void shutdown_daemons();
// Ends the current cycle; a new one starts with the settings read afresh.
void master_reload();
// Ends the current cycle and the process.
void master_exit();
// Flashes both status LEDs four times (400 ms), ending with them off.
void blink_leds();

void sighup(int sig);
void sigint(int sig);
void sigquit(int sig);
void sigterm(int sig);
