// Upward calls. A low-level module that must start work owned by a higher
// one calls through a hook; the higher module installs it at init. An
// uninstalled hook does nothing.
#pragma once

// A full poll of every device (settings store -> polling).
extern int (*hook_poll_devices)(int mode);
// Refreshes the status LEDs (polling -> scheduler).
extern void (*hook_update_leds)();

int call_poll_devices(int mode);
void call_update_leds();
