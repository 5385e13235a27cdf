#include "device/device.h"

void device_init() {}
void device_shutdown() {}
