// Upward calls. A low-level module that must start work owned by a higher
// one calls through a hook; the higher module installs it at init. An
// uninstalled hook does nothing.
#pragma once

// A full poll of every device (settings store -> polling).
extern int (*hook_poll_devices)(int mode);
// Refreshes the status LEDs (polling -> scheduler).
extern void (*hook_update_leds)();
// Ends the supervisor cycle so every subsystem restarts (commands -> master).
extern void (*hook_master_reload)();

int call_poll_devices(int mode);
void call_update_leds();
void call_master_reload();
