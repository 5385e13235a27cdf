// Radio frames to the gateway over the serial port.
#pragma once

#include <pthread.h>

// Serialises whole exchanges (one request and its answer) on the line.
// Created and destroyed by the supervisor once per cycle.
extern pthread_mutex_t sercomm_mutex;

int sercomm_init();
void sercomm_shutdown();
// Closes the port from the exit path; pending requests fail.
void sercomm_kill();
