// Process-wide state of the exchange with the monitoring server.
#include "scheduler/scheduler.h"

char remote_err_buf[REMOTE_ERR_BUFSIZE];
// A valid empty string from the start, so a reply read before the first
// scheduler_init finds a usable buffer.
xstring_t remote_err = {0, REMOTE_ERR_BUFSIZE - 1, remote_err_buf, remote_err_buf};
boolean_t f_remote_err;
time_t tm_remote_err;

int fail_conn;
int fail_setstatus;
int fail_setconf;
int fail_setdatalog;

sampleset_t curr_dataset[MAX_COUNTERS];
sampleset_t last_sendset[MAX_COUNTERS];
