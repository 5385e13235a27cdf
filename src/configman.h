// Settings store: one small text file per setting under ./config.
#pragma once

#include "core/settings.h"

void configman_init();
void configman_shutdown();
