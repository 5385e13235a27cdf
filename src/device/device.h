// The device model: devices, variables, counter blocks, samples, alarms.
#pragma once

#include "common.h"

inline constexpr int POLL_ALL = 1;

void device_init();
void device_shutdown();

// Polls the devices once (POLL_ALL: every device).
int poll_devices(int mode);
