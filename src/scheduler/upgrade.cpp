// Remote upgrade and the status LEDs.
#include "scheduler/scheduler.h"

int proc_remote_upgrade(tinycommand_t* /*cmd*/) { return ERR_NONE; }
void update_leds() {}
