#include "core/hooks.h"

int (*hook_poll_devices)(int mode) = nullptr;
void (*hook_update_leds)() = nullptr;
void (*hook_master_reload)() = nullptr;

int call_poll_devices(int mode) {
  return hook_poll_devices != nullptr ? hook_poll_devices(mode) : 0;
}

void call_update_leds() {
  if (hook_update_leds != nullptr) hook_update_leds();
}

void (*hook_http_reply)(const char* buffer, int len, int mime, boolean_t attach,
                        const char* filename) = nullptr;
ssize_t (*hook_http_writeline)(const char* vptr, size_t n) = nullptr;

void call_http_reply(const char* buffer, int len, int mime, boolean_t attach,
                     const char* filename) {
  if (hook_http_reply != nullptr) hook_http_reply(buffer, len, mime, attach, filename);
}

ssize_t call_http_writeline(const char* vptr, size_t n) {
  return hook_http_writeline != nullptr ? hook_http_writeline(vptr, n) : -1;
}

void call_master_reload() {
  if (hook_master_reload != nullptr) hook_master_reload();
}
