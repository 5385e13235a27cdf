#include "tcpdaemon.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config.h"
#include "core/hooks.h"
#include "core/log.h"
#include "sys/fd.h"
#include "sys/paths.h"
#include "tinycommand/tinycommand.h"
#include "util.h"

const char* const mime_types[7] = {"text/plain", "text/html", "text/javascript", "image/png",
                                   "text/css",   "text/cvs",  "image/gif"};

relaxed_flag tcpdaemon_sigexit;
pthread_t tcpdaemon_thread;
int16_t port = DIGI_PORT;
std::atomic<int> list_s{-1};
std::atomic<int> conn_s{-1};
boolean_t dbg_sock_write = false;
tinycommand_t curr_cmd;
int tcpdaemon_io_timeout_ms = HTTP_IO_TIMEOUT_MS;
tcpdaemon_command_hook_t tcpdaemon_command_hook{};

namespace {

constexpr int MAX_LINE = 4096;  // request line, page, query and body buffers
constexpr int LISTENQ = 1024;
// A header line is read with this limit, so at most 4093 characters of it
// are kept and the rest is read as the next line.
constexpr int kLineLimit = 4094;
constexpr std::size_t kBoundarySize = 128;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kKeySize = 256;
constexpr std::size_t kFileChunk = 4095;
// How long an idle accept wait goes before it looks at the stop flags again.
constexpr int kAcceptPollMs = 200;
// Most request bytes discarded unread at close (see close_connection).
constexpr std::size_t kDrainMax = 64 * 1024;

constexpr char kPreflight[] =
    "HTTP/1.1 200 OK\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Max-Age: 86400\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Length: 0\r\n"
    "\r\n";
static_assert(sizeof(kPreflight) - 1 == 221);
constexpr char kNotFound[] = "HTTP/1.1 404 Not Found\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
static_assert(sizeof(kNotFound) - 1 == 58);
constexpr char kStatusOk[] = "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\n";

// What one request has told us so far; starts afresh with every request,
// including the one that follows a preflight on the same connection.
struct request_t {
  bool f_firstline = true;
  bool f_options = false;
  bool f_multipart = false;
  int content_length = 0;
  char boundary[kBoundarySize] = "";
  char page[MAX_LINE] = "";
  char query[MAX_LINE] = "";
};

bool stop_requested() { return tcpdaemon_sigexit != 0 || f_exit != 0 || f_reload != 0; }

ssize_t write_str(int fd, std::string_view s) { return Writeline(fd, s.data(), s.size()); }

[[gnu::format(printf, 2, 3)]] ssize_t write_fmt(int fd, const char* fmt, ...) {
  char line[MAX_LINE + 64];  // room for a full-length attachment name
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  return Writeline(fd, line, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof(line) - 1));
}

void builtin_execute(tinycommand_t* cmd) {
  cmd->flag = CMDFLAG_TEXT;
  cmd->err = ERR_UNKCMD;
}

void builtin_tcpreply(tinycommand_t* cmd, char* buffer, int bufsize) {
  std::snprintf(buffer, static_cast<std::size_t>(bufsize), "err=%d&", cmd->err);
}

// The URL is the text between the first and the second space; a '?' in it
// splits page from query.
void parse_request_line(request_t& rq, const char* line) {
  rq.f_options = std::strstr(line, "OPTIONS") != nullptr;
  rq.page[0] = rq.query[0] = '\0';
  const char* sp = std::strchr(line, ' ');
  if (sp == nullptr) return;
  const std::string_view rest(sp + 1);
  const std::string_view url = rest.substr(0, rest.find(' '));
  const std::size_t q = url.find('?');
  copy_str(rq.page, url.substr(0, q));
  if (q != std::string_view::npos) copy_str(rq.query, url.substr(q + 1));
  std::printf("Page: %s Query: %s\n", rq.page, rq.query);
}

// Decimal digits after "Content-Length:"; a length too large for an int is
// taken as the largest one (the body is cut to the buffer anyway).
int parse_length(const char* s) {
  if (*s == ' ') ++s;
  while (*s == ' ' || *s == '\t') ++s;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = std::min<long long>(v * 10 + (*s - '0'), INT_MAX);
  return static_cast<int>(v);
}

// A boundary that does not fit its buffer is refused rather than cut: a cut
// one would end the first part in the middle of the real delimiter.
void take_boundary(request_t& rq, const char* value) {
  rq.f_multipart = true;
  const std::size_t len = std::strlen(value);
  if (len < kBoundarySize)
    copy_str(rq.boundary, std::string_view(value, len));
  else
    rq.boundary[0] = '\0';
  std::printf("Boundary: %s\n", rq.boundary);
}

// Reads the request head, answering preflights on the way. Returns true
// when the head ended with its blank line, so a body may follow.
bool read_head(int fd, request_t& rq, char* buffer) {
  for (;;) {
    const ssize_t rd = Readline(fd, buffer, kLineLimit, 1);
    if (rd <= 0) return false;
    const std::size_t line_len = std::strlen(buffer);
    if (rq.f_firstline) {
      parse_request_line(rq, buffer);
      rq.f_firstline = false;
    }
    if (line_len > 15 && mystrnicmp(buffer, "content-length:", 15) == 0) {
      rq.content_length = parse_length(buffer + 15);
      std::printf("Parsed length: %d\n", rq.content_length);
    }
    if (const char* b = std::strstr(buffer, "boundary=")) take_boundary(rq, b + 9);
    if (line_len == 0) {
      if (!rq.f_options) return true;
      write_str(fd, std::string_view(kPreflight, sizeof(kPreflight) - 1));
      rq = request_t{};
    }
  }
}

// No ".." segment may climb out of the web root.
bool has_dotdot_segment(std::string_view page) {
  while (!page.empty()) {
    const std::size_t slash = page.find('/');
    if (page.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    page.remove_prefix(slash + 1);
  }
  return false;
}

int mime_of(const char* path) {
  int mime = MIME_TEXT;
  if (std::strstr(path, ".html") != nullptr || std::strstr(path, ".htm") != nullptr)
    mime = MIME_HTML;
  if (std::strstr(path, ".css") != nullptr) mime = MIME_CSS;
  if (std::strstr(path, ".png") != nullptr) mime = MIME_PNG;
  if (std::strstr(path, ".js") != nullptr) mime = MIME_JS;
  if (std::strstr(path, ".gif") != nullptr) mime = MIME_GIF;
  return mime;
}

void handle_command(int fd, const request_t& rq, bool head_complete, char (&buffer)[MAX_LINE]) {
  if (rq.f_multipart) {
    handle_multipart(static_cast<std::size_t>(rq.content_length), rq.boundary, &curr_cmd);
  } else {
    if (head_complete && rq.content_length >= 1) {
      // The body replaces the URL's query; at most Content-Length bytes and
      // never more than the buffer holds.
      const long long limit = std::min<long long>(rq.content_length + 1LL, kLineLimit);
      const ssize_t rd = Readline(fd, buffer, static_cast<std::size_t>(limit), 0);
      if (rd < 0) buffer[0] = '\0';
      std::printf("Socket read %d: %s\n", static_cast<int>(rd), buffer);
    } else {
      std::printf("Using query: %s\n", rq.query);
      copy_str(buffer, rq.query);
    }
    command_parse(&curr_cmd, buffer, MAX_LINE);
  }

  auto* execute = tcpdaemon_command_hook.execute ? tcpdaemon_command_hook.execute : builtin_execute;
  auto* tcpreply =
      tcpdaemon_command_hook.tcpreply ? tcpdaemon_command_hook.tcpreply : builtin_tcpreply;
  {
    // Commands read and change the tables the scheduler works on.
    const main_guard lock;
    execute(&curr_cmd);
    buffer[0] = '\0';
    tcpreply(&curr_cmd, buffer, MAX_LINE);
    buffer[MAX_LINE - 1] = '\0';
  }
  if ((curr_cmd.flag & CMDFLAG_STREAMED) != 0) return;
  const int mime = (curr_cmd.flag & CMDFLAG_HTML) != 0 ? MIME_HTML : MIME_TEXT;
  // result.s may hold raw bytes; only an attachment reads it as a name.
  char filename[sizeof(curr_cmd.result.s)];
  copy_str(filename, std::string_view(curr_cmd.result.s,
                                      strnlen(curr_cmd.result.s, sizeof(curr_cmd.result.s))));
  http_reply(buffer, static_cast<int>(std::strlen(buffer)), mime,
             (curr_cmd.flag & CMDFLAG_ATTACH) != 0 ? 1 : 0, filename);
}

void set_timeouts(int fd) {
  const int ms = std::max(tcpdaemon_io_timeout_ms, 1);
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  // Replies go out in several small writes; do not hold them back waiting
  // for the client's acknowledgement.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void serve_connection(int fd) {
  set_timeouts(fd);
  request_t rq;
  char buffer[MAX_LINE];
  const bool head_complete = read_head(fd, rq, buffer);
  // Nothing was asked (or only preflights), and the client is gone.
  if (rq.f_firstline) return;
  if (std::strstr(rq.page, "comm4.php") != nullptr)
    handle_command(fd, rq, head_complete, buffer);
  else
    handle_static_page(rq.page);
}

bool transient_accept_error(int e) {
  switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Waits for the next client while watching the stop flags. An invalid fd
// means stop, or an accept error that will not go away.
sys::unique_fd accept_next(int lfd) {
  for (;;) {
    if (stop_requested()) return {};
    pollfd p{lfd, POLLIN, 0};
    const int r = ::poll(&p, 1, kAcceptPollMs);
    if (r < 0 && errno != EINTR) return {};
    if (r <= 0) continue;
    const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      // The connection itself blocks (with time limits), whatever the listener does.
      const int fl = ::fcntl(fd, F_GETFL);
      if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
      return sys::unique_fd(fd);
    }
    // A client that gave up before we got to it must not stop the server.
    if (!transient_accept_error(errno)) return {};
  }
}

// Closing with unread request bytes (a body longer than we read) makes the
// kernel reset the connection, which can destroy the reply still in flight.
// So: our end first, then discard what the client has already sent.
bool close_connection(sys::unique_fd& conn) {
  conn_s.store(-1);
  const int fd = conn.release();
  ::shutdown(fd, SHUT_WR);
  char scratch[1024];
  for (std::size_t drained = 0; drained < kDrainMax;) {
    const ssize_t r = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (r <= 0) break;
    drained += static_cast<std::size_t>(r);
  }
  return ::close(fd) == 0;
}

}  // namespace

void tcpdaemon_init() {
  port = static_cast<int16_t>(DIGI_PORT);
  // The history export streams its file through these.
  hook_http_reply = http_reply;
  hook_http_writeline = http_writeline;
  const char* env = std::getenv("ZANTOR_HTTP_PORT");
  if (env == nullptr || *env == '\0') return;
  long v = 0;
  for (const char* p = env; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || v > 65535) return;
    v = v * 10 + (*p - '0');
  }
  if (v <= 65535) port = static_cast<int16_t>(static_cast<uint16_t>(v));
}

void tcpdaemon_shutdown() {}

void* tcpdaemon_run(void* /*arg*/) {
  // Non-blocking, so a client that vanishes between poll() and accept()
  // cannot leave the thread stuck where it no longer sees a stop request.
  sys::unique_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener) {
    crit("Error creating listening socket");
    return nullptr;
  }
  // Connections of the previous cycle may linger after a reload.
  const int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) < 0) {
    crit("Error calling bind()");
    return nullptr;
  }
  if (::listen(listener.get(), LISTENQ) < 0) {
    crit("Error calling listen()");
    return nullptr;
  }
  list_s.store(listener.get());
  inf("Enter tcpdaemon_run()");

  while (!stop_requested()) {
    dbg("Socket accept()");
    sys::unique_fd conn = accept_next(listener.get());
    if (!conn) {
      if (!stop_requested()) crit("Error calling accept()");
      break;
    }
    conn_s.store(conn.get());
    serve_connection(conn.get());
    dbg("Close socket connection.");
    if (!close_connection(conn)) {
      crit("Error calling close()");
      list_s.store(-1);
      return nullptr;
    }
  }

  dbg("Close socket listener.");
  list_s.store(-1);
  listener.reset();
  inf("Exit tcpdaemon_run().");
  return nullptr;
}

void tcpdaemon_kill() { tcpdaemon_sigexit = 1; }

// Runs in a signal handler. shutdown() rather than close(): it wakes a read
// blocked on the connection (close() from another thread does not), and the
// descriptor number stays ours until the HTTP thread closes it, so no file
// opened meanwhile can be hit by that thread's remaining writes.
void tcpdaemon_killex() {
  const int fd = conn_s.exchange(-1);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  tcpdaemon_sigexit = 1;
}

ssize_t Readline(int sockd, void* vptr, size_t maxlen, int parsenewline) {
  if (maxlen == 0) return 0;
  char* buf = static_cast<char*>(vptr);
  std::size_t stored = 0;
  ssize_t count = 0;
  for (std::size_t attempt = 1; attempt < maxlen;) {
    char c = 0;
    const ssize_t r = ::read(sockd, &c, 1);
    if (r == 1) {
      ++attempt;
      ++count;
      if (parsenewline != 0) {
        if (c == '\n') break;
        if (c == '\r') continue;
      }
      buf[stored++] = c;
    } else if (r == 0) {
      if (count == 0) {
        buf[0] = '\0';
        return 0;
      }
      break;
    } else if (errno != EINTR) {
      buf[0] = '\0';
      return -1;
    }
  }
  buf[stored] = '\0';
  return count;
}

ssize_t Writeline(int sockd, const void* vptr, size_t n) {
  const char* p = static_cast<const char*>(vptr);
  if (dbg_sock_write != 0)
    std::printf("Socket write (%d): %.*s\n", static_cast<int>(n), static_cast<int>(n), p);
  std::size_t left = n;
  while (left > 0) {
    // MSG_NOSIGNAL: a client that hung up is a failed write, not a signal.
    ssize_t w = ::send(sockd, p, left, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = ::write(sockd, p, left);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return -1;
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return static_cast<ssize_t>(n);
}

void http_reply(const char* buffer, int len, int mime, boolean_t attach, const char* filename) {
  const int fd = conn_s.load();
  if (mime < MIME_TEXT || mime > MIME_GIF) mime = MIME_TEXT;
  write_str(fd, std::string_view(kStatusOk, sizeof(kStatusOk) - 1));
  write_fmt(fd, "Content-Type: %s\r\n", mime_types[mime]);
  if (attach != 0)
    write_fmt(fd, "Content-disposition: attachment; filename=%s\r\n",
              filename != nullptr ? filename : "");
  if (len >= 0) write_fmt(fd, "Content-Length: %d\r\n", len);
  write_str(fd, "\r\n");
  if (len > 0 && buffer != nullptr) Writeline(fd, buffer, static_cast<std::size_t>(len));
}

ssize_t http_writeline(const char* vptr, size_t n) { return Writeline(conn_s.load(), vptr, n); }

void handle_static_page(const char* page) {
  const int fd = conn_s.load();
  char path[kPathSize];
  bool allowed = true;
  if (std::strcmp(page, "/") == 0) {
    std::snprintf(path, sizeof(path), "%s/index.html", DIR_WWWROOT);
  } else {
    // Only paths below the web root: absolute, no "..", and no longer than
    // the path buffer (a cut path could name another file).
    const int n = std::snprintf(path, sizeof(path), "%s%s", DIR_WWWROOT, page);
    allowed = page[0] == '/' && !has_dotdot_segment(page) && n > 0 &&
              static_cast<std::size_t>(n) < sizeof(path);
  }

  sys::unique_file file;
  struct stat st {};
  if (allowed) {
    file.reset(std::fopen(path, "rbe"));
    // Directories and devices open too; only regular files are pages.
    if (file && (::fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode))) file.reset();
  }
  if (!file) {
    write_str(fd, std::string_view(kNotFound, sizeof(kNotFound) - 1));
    std::printf("Requested file [%s], 404 Not Found\n", path);
    return;
  }

  write_str(fd, std::string_view(kStatusOk, sizeof(kStatusOk) - 1));
  write_fmt(fd, "Content-Type: %s\r\n", mime_types[mime_of(path)]);
  const long long size = std::min<long long>(st.st_size, INT_MAX);
  write_fmt(fd, "Content-Length: %d\r\n\r\n", static_cast<int>(size));
  std::printf("Serving file [%s] size:%d bytes\n", path, static_cast<int>(size));

  // File data is never traced. Only the announced length is sent, even if
  // the file grows meanwhile.
  const boolean_t saved_trace = dbg_sock_write;
  dbg_sock_write = false;
  char chunk[kFileChunk];
  for (long long left = size; left > 0;) {
    const std::size_t want = static_cast<std::size_t>(std::min<long long>(left, kFileChunk));
    const std::size_t got = std::fread(chunk, 1, want, file.get());
    if (got == 0 || Writeline(fd, chunk, got) < 0) break;
    left -= static_cast<long long>(got);
  }
  dbg_sock_write = saved_trace;
}

void handle_multipart(size_t /*bufsize*/, const char* boundary, tinycommand_t* cmd) {
  std::memset(cmd, 0, sizeof(*cmd));
  const std::size_t boundlen = boundary != nullptr ? strnlen(boundary, kBoundarySize) : 0;
  // An empty delimiter would end every part at once; an over-long one was
  // refused when the header was read.
  if (boundlen == 0 || boundlen >= kBoundarySize) return;

  const int fd = conn_s.load();
  const std::string upload_path = sys::tmp_path(FILE_TMP);
  char line[MAX_LINE];
  char key[kKeySize] = "";
  char value[MAX_LINE];
  std::size_t filesize = 0;
  bool f_filename = false;
  sys::unique_file upload;

  // The look-behind window: the last boundlen + 4 bytes read ("\r\n--" and
  // the delimiter), which may still turn out to be the end of the part.
  // Kept in a buffer twice its size so it slides with one move per
  // window's worth of bytes.
  const std::size_t winsize = boundlen + 4;
  char win[2 * (kBoundarySize + 4)];
  std::size_t wstart = 0;
  std::size_t wlen = 0;

  int state = 0;
  for (;;) {
    if (state < 2) {
      if (Readline(fd, line, MAX_LINE - 1, 1) < 1) break;
      std::printf("Header: %s\n", line);
      if (state == 0) {
        if (std::strstr(line, boundary) != nullptr) state = 1;
        continue;
      }
      if (line[0] == '\0') {
        wstart = wlen = 0;
        value[0] = '\0';
        filesize = 0;
        if (f_filename) {
          // Every file part goes to the same file: the last one wins. If it
          // cannot be created the part is still read, and dropped.
          upload.reset(std::fopen(upload_path.c_str(), "wbe"));
          state = 3;
        } else {
          state = 2;
        }
        continue;
      }
      if (std::strstr(line, "filename") != nullptr) f_filename = true;
      if (const char* n = std::strstr(line, "name=\"")) {
        n += 6;
        if (const char* q = std::strchr(n, '"')) {
          copy_str(key, std::string_view(n, static_cast<std::size_t>(q - n)));
          std::printf("Found name=\"%s\" ffile:%d\n", key, f_filename ? 1 : 0);
        }
      }
      continue;
    }

    char byte[2];
    if (Readline(fd, byte, 2, 0) < 1) break;
    if (wlen < winsize) {
      win[wstart + wlen++] = byte[0];
    } else {
      const char out = win[wstart++];
      if (state == 2) {
        if (filesize < sizeof(value) - 1) value[filesize] = out;
      } else if (upload) {
        std::fputc(static_cast<unsigned char>(out), upload.get());
      }
      ++filesize;
      if (wstart + winsize == sizeof(win)) {
        std::memmove(win, win + wstart, winsize - 1);
        wstart = 0;
      }
      win[wstart + winsize - 1] = byte[0];
    }
    if (wlen < winsize || std::memcmp(win + wstart + 4, boundary, boundlen) != 0) continue;

    // The part ends; the "\r\n--" and the delimiter are not its data.
    std::printf("Filesize: %d (state %d)\n",
                static_cast<int>(std::min<std::size_t>(filesize, INT_MAX)), state);
    char tail[3];
    const ssize_t tl = Readline(fd, tail, 3, 0);
    if (state == 2) {
      value[std::min(filesize, sizeof(value) - 1)] = '\0';
      pusharg(cmd, key, value);
    } else {
      upload.reset();
    }
    if (tl == 2 && tail[0] == '-' && tail[1] == '-') {
      Readline(fd, tail, 3, 0);  // the closing delimiter's CR LF
      break;
    }
    f_filename = false;
    wstart = wlen = 0;
    filesize = 0;
    state = 1;
  }
}
