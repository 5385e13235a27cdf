// The serial port: opened from a one-line port definition, then plain reads
// and writes. It knows nothing of frames.
//
// A port definition is "device;line;timeouts", e.g.
// "/dev/ttyS12;19200,N,8,1;10/0/300/./.": line is speed, parity, data bits,
// stop bits and an optional options field ("+CRTSCTS" turns on hardware flow
// control); of the five timeouts only the third (milliseconds) is used.
//
// Descriptors are plain ints; a negative one stands for an absent port and
// every call accepts it without touching the system.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Splits s at any of the characters of lim, keeping at most maxlen fields.
// Runs of separators count as one and leading or trailing ones produce
// nothing, so empty fields are never returned.
std::vector<std::string> str_split(std::string_view s, std::string_view lim, std::size_t maxlen);

// Opens and configures the port; the descriptor, or -1 for a definition with
// the wrong number of fields or a device that cannot be opened. portdef is
// left unchanged.
int w_open(const char* portdef);
// Raw mode with the read timer from the third timeouts field. The
// tcsetattr() result, or -1 for a negative fd or a malformed text.
int w_setTimeouts(int fd, const char* stimeouts);
int w_close(int fd);
// One write call: bytes written, -1 on error, 0 for a negative fd.
int w_write(int fd, const char* data, int len);
// stopchar < 0: one read call, its result as is. Otherwise byte by byte up to
// and including stopchar, at most len bytes: the count stored, or the failed
// read's own result (0 on timeout, -1 on error) when nothing was stored.
// Nothing is terminated.
int w_read(int fd, char* data, int len, int stopchar);
// Discards unread input and unsent output.
int w_clearerr(int fd);
int w_sync();
