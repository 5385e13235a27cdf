#include "sercomm.h"

pthread_mutex_t sercomm_mutex = PTHREAD_MUTEX_INITIALIZER;

// The serial port is not opened yet: the radio link arrives with the port
// driver and the frame protocol.
int sercomm_init() { return 0; }
void sercomm_shutdown() {}
void sercomm_kill() { sercomm_shutdown(); }
