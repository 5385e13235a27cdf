#include "configman.h"

// Loading and writing the settings files arrives with the store itself;
// until then every cycle runs on the zeroed globals.
void configman_init() {}
void configman_shutdown() {}
