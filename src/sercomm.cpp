#include "sercomm.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/runstate.h"
#include "core/settings.h"
#include "mbe.h"
#include "util.h"

#define CFG_STRTIMEOUT "10/0/%d/./."

pthread_mutex_t sercomm_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> fd_serial{-1};
char wr_serbuf[WR_SERBUF_SIZE];
char rd_serbuf[RD_SERBUF_SIZE];

namespace {

constexpr int SHORT_TIMEOUT = 5000;  // ms: a 5 s inter-byte timer
constexpr char STX = 0x02;
constexpr char CR = 0x0D;
constexpr int CMD_OFF = 9;
constexpr int CMD_LEN = 3;
constexpr int FRAME_MIN = HEAD_LEN + TAIL_LEN;
// An internal result only: telvo_read2 reports a closed port as 0, which an
// exchange must not mistake for an empty answer.
constexpr int RD_CLOSED = -3;
// "%XX" per byte at worst.
constexpr int DUMP_SIZE = 3 * std::max(WR_SERBUF_SIZE, RD_SERBUF_SIZE) + 1;

// The exit signal may close the port while a thread is between loading the
// descriptor and using it. Closing then would let the number be reused by
// the next open in the process, and the exchange would talk to that file.
// So the signal only takes the descriptor away; whoever is last to stop
// using it closes it. Everything here is a lock-free atomic, safe in a
// signal handler.
std::atomic<int> port_users{0};
std::atomic<int> orphan_fd{-1};

void close_orphan() {
  const int fd = orphan_fd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void close_port() {
  const int old = fd_serial.exchange(-1);
  if (old < 0) return;
  orphan_fd.store(old);
  if (port_users.load() == 0) close_orphan();
}

// The descriptor for one step of an exchange, kept open for its lifetime.
class port_use {
 public:
  port_use() {
    port_users.fetch_add(1);
    fd_ = fd_serial.load();
  }
  ~port_use() {
    if (port_users.fetch_sub(1) == 1) close_orphan();
  }
  port_use(const port_use&) = delete;
  port_use& operator=(const port_use&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

class serial_lock {
 public:
  serial_lock() { pthread_mutex_lock(&sercomm_mutex); }
  ~serial_lock() { pthread_mutex_unlock(&sercomm_mutex); }
  serial_lock(const serial_lock&) = delete;
  serial_lock& operator=(const serial_lock&) = delete;
};

bool stop_requested() { return f_exit != 0 || f_reload != 0; }

bool is_hex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Checksum digits and the closing CR at p (three bytes).
void put_tail(char* p, int crc) {
  constexpr char kHex[] = "0123456789ABCDEF";
  p[0] = kHex[(crc >> 4) & 0x0F];
  p[1] = kHex[crc & 0x0F];
  p[2] = CR;
}

// Printable form of a frame for the log. Each log line is then one printf,
// so the two threads' lines never tear.
struct frame_dump {
  frame_dump(const char* frame, int len) { strdump_packet(text, frame, len, 0); }
  char text[DUMP_SIZE] = "";
};

int receive(char* buf, int bufsize, const char* cmd) {
  if (stop_requested()) return -1;
  const port_use port;
  if (port.fd() < 0) return RD_CLOSED;

  std::memset(rd_serbuf, 0, sizeof rd_serbuf);
  // The whole frame is taken off the line even when the caller's buffer is
  // smaller, so its tail cannot spoil the next exchange; the data is cut on
  // copying instead.
  const int count = w_read(port.fd(), rd_serbuf, RD_SERBUF_SIZE, CR);
  std::printf("Read %d bytes packet \"%s\"\n", count, frame_dump(rd_serbuf, count).text);

  if (count < FRAME_MIN || rd_serbuf[count - 1] != CR || telvo_check_crc(rd_serbuf, count) == 0) {
    dbg("telvo_read() error");
    return -1;
  }
  if (cmd != nullptr) {
    for (int i = 0; i < CMD_LEN; ++i) {
      if (cmd[i] != rd_serbuf[CMD_OFF + i]) {
        err("Unmatched command.");
        return -2;
      }
      if (cmd[i] == '\0') break;  // never read past a short code
    }
  }
  const int datalen = count - FRAME_MIN;
  const int n = bufsize > 0 ? std::min(datalen, bufsize - 1) : 0;
  if (bufsize > 0) {
    std::memcpy(buf, rd_serbuf + HEAD_LEN, static_cast<std::size_t>(n));
    buf[n] = '\0';
  }
  std::printf("Extracted: %s\n", bufsize > 0 ? buf : "");
  return n;
}

int receive_with_retry(char* buf, int bufsize, const char* cmd) {
  int r = receive(buf, bufsize, cmd);
  if (r == -2) r = receive(buf, bufsize, cmd);
  return r;
}

}  // namespace

int sercomm_init() {
  if (fd_serial.load() < 0) {
    fd_serial.store(w_open(cfg_serialcfg));
    sercomm_setMaxTimeout(SHORT_TIMEOUT);
  }
  return fd_serial.load() >= 0 ? 0 : -1;
}

void sercomm_shutdown() { close_port(); }

void sercomm_kill() { close_port(); }

int sercomm_setMaxTimeout(int msec) {
  const port_use port;
  char stimeouts[64];
  std::snprintf(stimeouts, sizeof stimeouts, CFG_STRTIMEOUT, msec);
  return w_setTimeouts(port.fd(), stimeouts);
}

int telvo_crc(const char* buf, int len) {
  unsigned sum = 0;
  for (int i = 1; i < len; ++i) sum += static_cast<unsigned char>(buf[i]);
  return static_cast<int>((256U - (sum & 0xFFU)) & 0xFFU);
}

int telvo_check_crc(const char* buf, int len) {
  if (len <= 12) return 0;
  const auto hi = static_cast<unsigned char>(buf[len - 3]);
  const auto lo = static_cast<unsigned char>(buf[len - 2]);
  // A non-digit would still map to some value and could match by chance.
  if (!is_hex(hi) || !is_hex(lo)) return 0;
  return (x2i(hi) << 4 | x2i(lo)) == telvo_crc(buf, len - 3) ? 1 : 0;
}

int telvo_write(int dest, int src, const char* cmd, const char* data, int /*datasize*/) {
  if (stop_requested()) return -1;
  const port_use port;
  if (port.fd() < 0) return -1;
  // Anything but three characters would shift every later field.
  if (cmd == nullptr || strnlen(cmd, CMD_LEN + 1) != CMD_LEN) return -1;
  const char* text = data != nullptr ? data : "";
  const std::size_t n = strnlen(text, MAX_FRAME_DATA + 1);
  if (n > MAX_FRAME_DATA) return -1;

  // Only the low 16 bits of an address fit the frame.
  std::snprintf(wr_serbuf, sizeof wr_serbuf, "_%04X%04X%s%02X%s",
                static_cast<unsigned>(dest) & 0xFFFFU, static_cast<unsigned>(src) & 0xFFFFU, cmd,
                static_cast<unsigned>(n), text);
  wr_serbuf[0] = STX;
  const int body = HEAD_LEN + static_cast<int>(n);
  put_tail(wr_serbuf + body, telvo_crc(wr_serbuf, body));
  const int frame_len = body + TAIL_LEN;

  const int written = w_write(port.fd(), wr_serbuf, frame_len);
  std::printf("Write packet (%d bytes) \"%s\"\n", written, frame_dump(wr_serbuf, frame_len).text);
  return written;
}

int telvo_read2(char* buf, int bufsize, const char* cmd) {
  const int r = receive(buf, bufsize, cmd);
  return r == RD_CLOSED ? 0 : r;
}

int telvo_read(char* buf, int bufsize, const char* cmd) {
  const int r = receive_with_retry(buf, bufsize, cmd);
  return r == RD_CLOSED ? 0 : r;
}

int telvo_comm_wr(int dest, int src, const char* cmd, const char* data, int datasize, char* buf,
                  int bufsize) {
  const serial_lock lock;
  if (telvo_write(dest, src, cmd, data, datasize) < 1) return -1;
  const int r = receive_with_retry(buf, bufsize, cmd);
  return r < 0 ? -1 : r;
}

int telvo_bridge(const char* wrbuf, int wrsize, char* rdbuf, int rdsize) {
  const serial_lock lock;
  const port_use port;
  if (port.fd() < 0) return -1;
  if (wrbuf == nullptr || wrsize < 0) return -1;
  // The body is text: a NUL ends it even if wrsize says more. STX, checksum
  // and CR must fit around it.
  const auto n = static_cast<int>(strnlen(wrbuf, static_cast<std::size_t>(wrsize)));
  if (n + 1 + TAIL_LEN > WR_SERBUF_SIZE) return -1;

  wr_serbuf[0] = STX;
  std::memcpy(wr_serbuf + 1, wrbuf, static_cast<std::size_t>(n));
  put_tail(wr_serbuf + 1 + n, telvo_crc(wr_serbuf, n + 1));

  if (w_write(port.fd(), wr_serbuf, n + 1 + TAIL_LEN) < 1) return -1;
  return w_read(port.fd(), rdbuf, rdsize, -1);
}
