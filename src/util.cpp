#include "util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sys/fd.h"

namespace {

// Character classes of the POSIX locale on unsigned bytes: no byte of 128 or
// above is a digit, letter or blank, whatever the host's locale or the
// signedness of char.
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_alnum(unsigned char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
unsigned char to_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
unsigned char to_upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool dump_plain(unsigned char c) { return c >= 0x20 && c < 0x80; }

// Renders one byte of a frame dump; returns the characters written (no
// terminator).
int dump_byte(unsigned char c, char* out) {
  if (dump_plain(c)) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out[0] = '%';
  out[1] = kHex[c >> 4];
  out[2] = kHex[c & 0x0F];
  return 3;
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = sys::retry_eintr([&] { return ::write(fd, p, n); });
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::string dir_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A temporary beside the target, unique across threads and processes.
// Created with 0666 so the umask gives the same mode a plain create would.
sys::unique_fd open_temp(const std::string& target, std::string& tmp_name) {
  static std::atomic<unsigned> seq{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp_name = target + ".tmp." + std::to_string(::getpid()) + "." +
               std::to_string(seq.fetch_add(1, std::memory_order_relaxed));
    sys::unique_fd fd(sys::retry_eintr(
        [&] { return ::open(tmp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }));
    if (fd || errno != EEXIST) return fd;
  }
  return sys::unique_fd();
}

}  // namespace

int file_exists(const char* filename) {
  sys::unique_file f(std::fopen(filename, "re"));
  return f ? 1 : 0;
}

boolean_t saveFileString(const char* filename, const char* str) {
  // Written beside the target and renamed over it, so a power cut leaves
  // either the old or the new content, never a truncated file.
  const std::string target(filename);
  std::string tmp;
  sys::unique_fd fd = open_temp(target, tmp);
  if (!fd) return false;
  const bool ok = write_all(fd.get(), str, std::strlen(str)) && ::fsync(fd.get()) == 0 &&
                  ::close(fd.release()) == 0 && ::rename(tmp.c_str(), filename) == 0;
  if (!ok) {
    fd.reset();
    ::unlink(tmp.c_str());
    return false;
  }
  // Make the rename itself durable; the content is already safe either way.
  sys::unique_fd dir(::open(dir_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

size_t loadFileString(const char* filename, char* buf, size_t bufsize) {
  if (bufsize == 0) return 0;
  buf[0] = '\0';
  sys::unique_fd fd(sys::retry_eintr([&] { return ::open(filename, O_RDONLY | O_CLOEXEC); }));
  if (!fd) return 0;
  // Keep reading until full or at the end: /proc and pipes deliver in pieces.
  size_t total = 0;
  while (total < bufsize - 1) {
    const ssize_t r =
        sys::retry_eintr([&] { return ::read(fd.get(), buf + total, bufsize - 1 - total); });
    if (r <= 0) break;
    total += static_cast<size_t>(r);
  }
  buf[total] = '\0';
  return total;
}

int dump_packet(const char* buf, int len, int off) {
  // Rendered in pieces and written with fwrite, so a long frame costs a few
  // calls rather than one per byte.
  char chunk[3 * 128];
  int printed = 0;
  int used = 0;
  for (int i = 0; i < len; ++i) {
    used += dump_byte(static_cast<unsigned char>(buf[off + i]), chunk + used);
    if (used > static_cast<int>(sizeof chunk) - 3) {
      std::fwrite(chunk, 1, static_cast<size_t>(used), stdout);
      printed += used;
      used = 0;
    }
  }
  if (used > 0) std::fwrite(chunk, 1, static_cast<size_t>(used), stdout);
  return printed + used;
}

char* strdump_packet(char* dest, const char* buf, int len, int off) {
  if (len <= 0) return dest;
  char* p = dest;
  for (int i = 0; i < len; ++i) p += dump_byte(static_cast<unsigned char>(buf[off + i]), p);
  *p = '\0';
  return p;
}

int is_valid_ip(const char* ip_str, int fmask) {
  if (std::strlen(ip_str) > 15) return 0;
  unsigned int q[4];
  if (std::sscanf(ip_str, "%u.%u.%u.%u", &q[0], &q[1], &q[2], &q[3]) < 4) return 0;
  for (unsigned int v : q) {
    if (v > 255) return 0;
  }
  if (fmask == 0) {
    if (q[0] == 0 || q[0] == 255 || q[3] == 0 || q[3] == 255) return 0;
    return 1;
  }
  const std::uint32_t m = (q[0] << 24) | (q[1] << 16) | (q[2] << 8) | q[3];
  for (int k = 0; k <= 30; ++k) {
    if (((m >> (k + 1)) & 1U) != 0 && ((m >> k) & 1U) == 0) return -1;
  }
  return 1;
}

int x2i(int i) {
  const int c = to_upper(static_cast<unsigned char>(i));
  int v = c - '0';
  if (v > 9) v -= 7;
  return v;
}

int xtoi(const char* s, int size) {
  if (size < 0) size = static_cast<int>(std::strlen(s));
  // Unsigned arithmetic: digits beyond the eighth shift out without overflow.
  std::uint32_t v = 0;
  for (int i = 0; i < size; ++i) {
    v = (v << 4) | (static_cast<std::uint32_t>(x2i(static_cast<unsigned char>(s[i]))) & 0x0FU);
  }
  return static_cast<int>(v);
}

int xtoisig(const char* s, int size, int fsigned) {
  if (size < 0) size = static_cast<int>(std::strlen(s));
  auto v = static_cast<std::uint32_t>(xtoi(s, size));
  if (fsigned != 0 && size >= 1 && size <= 7) {
    const int bits = 4 * size;
    if (((v >> (bits - 1)) & 1U) != 0) v |= ~((std::uint32_t{1} << bits) - 1);
  }
  return static_cast<int>(v);
}

int isdecimal(const char* s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return 0;
  for (; *p != '\0'; ++p) {
    if (!is_digit(*p)) return 0;
  }
  return 1;
}

namespace {

// std::system would ignore SIGINT and SIGQUIT in the daemon while the shell
// runs, so a stop requested during a send would be lost; wait for it here.
int run_shell(const char* cmd) {
  char sh[] = "sh";
  char opt[] = "-c";
  char* argv[] = {sh, opt, const_cast<char*>(cmd), nullptr};
  // The scripts start as from a login shell: SIGPIPE, which the daemon
  // ignores, back to its default, and nothing blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t def;
  sigemptyset(&def);
  sigaddset(&def, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &def);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) return -1;
  int status = 0;
  if (sys::retry_eintr([&] { return waitpid(pid, &status, 0); }) != pid) return -1;
  return status;
}

}  // namespace

int sys_exec(const char* buf) {
  std::printf("Executing \"%s\"\n", buf);
  // The command writes to the same stdout; our line must come out first.
  std::fflush(stdout);
  const int status = run_shell(buf);
  // The wait status folded by 255 gives the exit code for codes 0..254 and
  // a small non-zero value for a signal. Exit code 255 folds to 0 and would
  // pass a failed transfer as delivered, losing the samples it carried, so
  // it is reported as 255.
  const int result = (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
                         ? 255
                         : status % 255;
  std::printf("Command result: %d\n", result);
  std::fflush(stdout);
  return result;
}

std::string shell_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

int urlchar(int c, char* buf, boolean_t urlenc) {
  const auto b = static_cast<unsigned char>(c);
  if (urlenc == 0 || is_alnum(b) || b == '.' || b == '_' || b == '-') {
    buf[0] = static_cast<char>(b);
    return 1;
  }
  std::snprintf(buf, 4, "%%%02X", static_cast<unsigned>(b));
  return 3;
}

char* urlstr(char* buf, const char* s, boolean_t urlenc) {
  char* p = buf;
  for (; *s != '\0'; ++s) p += urlchar(static_cast<unsigned char>(*s), p, urlenc);
  *p = '\0';
  return p;
}

int mystrnicmp(const char* pStr1, const char* pStr2, size_t Count) {
  const auto* a = reinterpret_cast<const unsigned char*>(pStr1);
  const auto* b = reinterpret_cast<const unsigned char*>(pStr2);
  int r = 0;
  for (size_t i = 0; i < Count; ++i) {
    r = to_lower(a[i]) - to_lower(b[i]);
    if (r != 0 || a[i] == '\0') break;
  }
  return r;
}

char* mytrim(char* s) {
  while (is_space(static_cast<unsigned char>(*s))) ++s;
  size_t n = std::strlen(s);
  while (n > 0 && is_space(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
  return s;
}

size_t myreadline(std::FILE* fd, char* s, size_t maxlen) {
  if (maxlen == 0) return 0;  // no room even for the terminator
  size_t n = 0;
  s[0] = '\0';
  while (n < maxlen - 1) {
    const int c = std::getc(fd);
    if (c == EOF) {
      if (n == 0) return static_cast<size_t>(-1);
      break;
    }
    if (c == '\r') continue;
    if (c == '\n') break;
    s[n++] = static_cast<char>(c);
  }
  s[n] = '\0';
  return n;
}

char* mysprintf(char* buf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int r = std::vsprintf(buf, fmt, ap);
  va_end(ap);
  return r < 0 ? buf : buf + r;
}
