// Radio frames to the gateway over the serial port.
//
// A frame is STX, destination and source address (4 hex digits each), a
// 3-character command code, the data length (2 hex digits), the data, a
// checksum (2 hex digits) and CR. The checksum makes the bytes from the
// first address digit to the last data byte sum to a multiple of 256.
#pragma once

#include <pthread.h>

#include <atomic>

inline constexpr int WR_SERBUF_SIZE = 512;
inline constexpr int RD_SERBUF_SIZE = 512;
inline constexpr int HEAD_LEN = 14;
inline constexpr int TAIL_LEN = 3;
// Two length digits.
inline constexpr int MAX_FRAME_DATA = 255;

// Serialises whole exchanges (one request and its answer) on the line.
// Created and destroyed by the supervisor once per cycle.
extern pthread_mutex_t sercomm_mutex;

// The open port, -1 when closed. Atomic because the exit signal closes it.
extern std::atomic<int> fd_serial;
// Where frames are composed and received; touched only under sercomm_mutex.
extern char wr_serbuf[WR_SERBUF_SIZE];
extern char rd_serbuf[RD_SERBUF_SIZE];

// Opens the port from cfg_serialcfg unless it is open, with a 5 s read
// timer. 0 when the port is open afterwards, else -1 (every exchange then
// fails).
int sercomm_init();
void sercomm_shutdown();
// Closes the port from the exit path; async-signal-safe. An exchange in
// progress keeps the descriptor until it ends, later ones fail.
void sercomm_kill();
// Sets the read timer of the open port; the tcsetattr() result, or -1.
int sercomm_setMaxTimeout(int msec);

// Checksum of buf[1] .. buf[len - 1].
int telvo_crc(const char* buf, int len);
// 1 when the received frame of len bytes (CR included) carries a correct
// checksum; the digits may be in either case.
int telvo_check_crc(const char* buf, int len);

// The next three are the parts of one exchange: call them with
// sercomm_mutex held.
//
// Composes and sends one request; bytes written, or -1 (stop requested,
// port closed, bad command code, data longer than 255 characters, write
// error). datasize is not used: the data is the whole text.
int telvo_write(int dest, int src, const char* cmd, const char* data, int datasize);
// Receives one answer and copies its data, cut to bufsize - 1 characters and
// terminated, into buf. The data length, -1 for a bad frame or a stop
// request, -2 for an answer to another command, 0 when the port is closed.
int telvo_read2(char* buf, int bufsize, const char* cmd);
// telvo_read2, once more after an answer to another command, so that one
// late answer to an earlier request is skipped.
int telvo_read(char* buf, int bufsize, const char* cmd);

// One locked request/answer exchange: the answer's data length, or -1.
int telvo_comm_wr(int dest, int src, const char* cmd, const char* data, int datasize, char* buf,
                  int bufsize);
// One locked raw exchange: wrbuf is a frame body (addresses, command,
// length and data as text); it is framed and sent, and whatever arrives
// first is stored in rdbuf, unterminated. The byte count, 0 when nothing
// came, -1 on failure. Ignores the stop flags.
int telvo_bridge(const char* wrbuf, int wrsize, char* rdbuf, int rdsize);
