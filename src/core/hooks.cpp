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

void call_master_reload() {
  if (hook_master_reload != nullptr) hook_master_reload();
}
