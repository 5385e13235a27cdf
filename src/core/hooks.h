// Upward calls. A low-level module that must start work owned by a higher
// one calls through a hook; the higher module installs it at init. An
// uninstalled hook does nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "common.h"

// A full poll of every device (settings store -> polling).
extern int (*hook_poll_devices)(int mode);
// Refreshes the status LEDs (polling -> scheduler).
extern void (*hook_update_leds)();
// Ends the supervisor cycle so every subsystem restarts (commands -> master).
extern void (*hook_master_reload)();

int call_poll_devices(int mode);
void call_update_leds();
void call_master_reload();

// The connection being answered (history export -> HTTP daemon): the reply
// headers (len -1: no length, the body is streamed) and one body piece.
// Uninstalled, nothing is sent and every body write fails, so an export
// without a client stops at once instead of walking the radio for nobody.
extern void (*hook_http_reply)(const char* buffer, int len, int mime, boolean_t attach,
                               const char* filename);
extern ssize_t (*hook_http_writeline)(const char* vptr, size_t n);

void call_http_reply(const char* buffer, int len, int mime, boolean_t attach,
                     const char* filename);
// n, or -1 when the piece could not be written.
ssize_t call_http_writeline(const char* vptr, size_t n);
