// The HTTP daemon thread: web pages and the command interface.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>

#include "common.h"
#include "core/runstate.h"

struct tinycommand_t;

// Content types of the replies, indexes into mime_types.
inline constexpr int MIME_TEXT = 0;
inline constexpr int MIME_HTML = 1;
inline constexpr int MIME_JS = 2;
inline constexpr int MIME_PNG = 3;
inline constexpr int MIME_CSS = 4;
inline constexpr int MIME_CVS = 5;
inline constexpr int MIME_GIF = 6;
extern const char* const mime_types[7];

extern relaxed_flag tcpdaemon_sigexit;
extern pthread_t tcpdaemon_thread;

// The listening socket and the connection being served; -1 when none.
// Atomic because the exit path (a signal handler) reads and clears conn_s.
extern std::atomic<int> list_s;
extern std::atomic<int> conn_s;
// When set, every socket write is traced on standard output.
extern boolean_t dbg_sock_write;
// The record every command request is parsed into; HTTP thread only.
extern tinycommand_t curr_cmd;
// Longest silence from a client, per read or write, before its connection
// is dropped. HTTP_IO_TIMEOUT_MS unless changed before the thread starts.
extern int tcpdaemon_io_timeout_ms;

// How a parsed command is executed and its reply text built. The command
// module installs its functions before the thread starts; while a member is
// null a minimal built-in stands in: every command is unknown (err=2&).
struct tcpdaemon_command_hook_t {
  // Carries out cmd in place: sets cmd->err and cmd->flag.
  void (*execute)(tinycommand_t* cmd);
  // Writes the reply text into buffer (bufsize bytes, terminated); may
  // change cmd->flag, and with CMDFLAG_STREAMED has written the whole HTTP
  // reply itself through http_reply/http_writeline.
  void (*tcpreply)(tinycommand_t* cmd, char* buffer, int bufsize);
};
extern tcpdaemon_command_hook_t tcpdaemon_command_hook;

void tcpdaemon_init();
void tcpdaemon_shutdown();
// Thread entry; returns once tcpdaemon_sigexit, f_reload or f_exit is set.
void* tcpdaemon_run(void* arg);
void tcpdaemon_kill();
// As tcpdaemon_kill, and cuts the connection being served. Safe to call
// from a signal handler.
void tcpdaemon_killex();

// One line (parsenewline: up to LF, CR dropped) or maxlen - 1 raw bytes,
// read a byte at a time and terminated. Returns the bytes consumed, 0 when
// the stream ended before the first byte, -1 on a read error or time-out.
ssize_t Readline(int sockd, void* vptr, size_t maxlen, int parsenewline);
// Writes all n bytes; n, or -1 when a write fails.
ssize_t Writeline(int sockd, const void* vptr, size_t n);

// A 200 reply on the current connection. len -1 sends the headers without
// Content-Length so the caller can stream the body with http_writeline;
// the end of the body is then the end of the connection.
void http_reply(const char* buffer, int len, int mime, boolean_t attach, const char* filename);
ssize_t http_writeline(const char* vptr, size_t n);

// Serves one file of the web root, or the 404 reply.
void handle_static_page(const char* page);
// Reads a multipart/form-data body: fields become parameters of cmd, a file
// part is stored as the upload file. bufsize is not used: the body is read
// to its closing delimiter or the end of the stream.
void handle_multipart(size_t bufsize, const char* boundary, tinycommand_t* cmd);
