#include "core/hooks.h"

int (*hook_poll_devices)(int mode) = nullptr;

int call_poll_devices(int mode) { return hook_poll_devices != nullptr ? hook_poll_devices(mode) : 0; }
