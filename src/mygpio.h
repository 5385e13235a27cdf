// The board's GPIO output lines: radio reset and the two status LEDs.
#pragma once

#include "common.h"

int gpio_init();
void gpio_shutdown();
// Writes val to line io; unless force is set, only a change is written.
void gpio_set(int io, int val, boolean_t force);
int gpio_get(int io);
