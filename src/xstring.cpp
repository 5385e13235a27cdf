#include "xstring.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sys/fd.h"

namespace {

int free_space(const xstring_t* xs) { return xs->maxlen - xs->length; }

// Bytes as unsigned values with the POSIX classes, so a signed char on the
// PC and an unsigned one on the board give the same text.
bool url_safe(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
         c == '_' || c == '-';
}

void advance(xstring_p xs, int k) {
  xs->length += k;
  xs->end = xs->s + xs->length;
  *xs->end = '\0';
}

// Appends up to the free space; the source may lie inside the destination.
void append_bytes(xstring_p dest, const char* src, std::size_t k) {
  const int room = free_space(dest);
  if (room <= 0 || k == 0) return;
  const int n = k > static_cast<std::size_t>(room) ? room : static_cast<int>(k);
  std::memmove(dest->end, src, static_cast<std::size_t>(n));
  advance(dest, n);
}

}  // namespace

xstring_p xsinit(xstring_p xs, char* abuf, int n) {
  xs->length = 0;
  xs->maxlen = n - 1;
  xs->s = abuf;
  xs->end = abuf;
  abuf[0] = '\0';
  return xs;
}

xstring_p xswrap(xstring_p xs, char* abuf, int size) {
  xs->maxlen = size - 1;
  xs->s = abuf;
  // Bounded scan: the buffer may hold an unterminated text.
  const std::size_t len = strnlen(abuf, static_cast<std::size_t>(size));
  if (len > static_cast<std::size_t>(xs->maxlen)) {
    xs->length = xs->maxlen;
    abuf[xs->maxlen] = '\0';
  } else {
    xs->length = static_cast<int>(len);
  }
  xs->end = abuf + xs->length;
  return xs;
}

void xsclear(xstring_p dest) {
  dest->length = 0;
  dest->end = dest->s;
  dest->s[0] = '\0';
}

void xsfix(xstring_p xs) {
  // The buffer was written directly; never scan or count past the capacity.
  xs->length = static_cast<int>(strnlen(xs->s, static_cast<std::size_t>(xs->maxlen)));
  xs->end = xs->s + xs->length;
  *xs->end = '\0';
}

void xstrunc(xstring_p xs, int n) {
  if (n <= 0) {
    xsclear(xs);
    return;
  }
  if (n > xs->length) n = xs->length;
  xs->length = n;
  xs->end = xs->s + n;
  *xs->end = '\0';
}

void xsstrcat(xstring_p dest, const char* src) {
  if (src == nullptr) return;
  const int room = free_space(dest);
  if (room <= 0) return;
  append_bytes(dest, src, strnlen(src, static_cast<std::size_t>(room)));
}

void xsstrcpy(xstring_p dest, const char* src) {
  xsclear(dest);
  xsstrcat(dest, src);
}

void xsappend(xstring_p dest, const xstring_t* src) {
  if (src->length <= 0) return;
  append_bytes(dest, src->s, static_cast<std::size_t>(src->length));
}

void xscopy(xstring_p dest, const xstring_t* src) {
  if (dest == src) return;  // clearing first would lose the source
  xsclear(dest);
  xsappend(dest, src);
}

int xsurlchar(int c, char* buf) {
  const auto b = static_cast<unsigned char>(c);
  if (url_safe(b)) {
    buf[0] = static_cast<char>(b);
    return 1;
  }
  std::snprintf(buf, 4, "%%%02X", static_cast<unsigned>(b));
  return 3;
}

void xsurlstr(xstring_p xs, const char* src) {
  if (src == nullptr) return;
  // Stop while three characters still fit, so an escape is never cut.
  for (const char* p = src; *p != '\0' && free_space(xs) > 2; ++p) {
    const int k = xsurlchar(static_cast<unsigned char>(*p), xs->end);
    advance(xs, k);
  }
}

void xsurlstropt(xstring_p xs, const char* src, int urlenc) {
  if (urlenc != 0) {
    xsurlstr(xs, src);
  } else {
    xsstrcat(xs, src);
  }
}

std::size_t xsappendfile(xstring_p dest, const char* filename) {
  sys::unique_fd fd(sys::retry_eintr([&] { return ::open(filename, O_RDONLY | O_CLOEXEC); }));
  if (!fd) return 0;
  // Read until the string is full or the file ends: pipes and /proc files
  // hand out their content in pieces.
  std::size_t total = 0;
  while (free_space(dest) > 0) {
    const ssize_t r = sys::retry_eintr(
        [&] { return ::read(fd.get(), dest->end, static_cast<std::size_t>(free_space(dest))); });
    if (r <= 0) break;
    advance(dest, static_cast<int>(r));
    total += static_cast<std::size_t>(r);
  }
  return total;
}

std::size_t xsreadfile(xstring_p dest, const char* filename) {
  xsclear(dest);
  return xsappendfile(dest, filename);
}

void xsprintf(xstring_p s, const char* fmt, ...) {
  const int room = free_space(s);
  // The bound counts the terminator within the free space, so the last
  // character of capacity is left empty by formatted appends.
  if (room <= 0) return;
  va_list ap;
  va_start(ap, fmt);
  const int r = std::vsnprintf(s->end, static_cast<std::size_t>(room), fmt, ap);
  va_end(ap);
  if (r < 0) {
    *s->end = '\0';
    return;
  }
  advance(s, r < room ? r : room - 1);
}

void xsprint(const xstring_t* xs) {
  std::printf("Len: %d (max: %d) data: %s\n", xs->length, xs->maxlen, xs->s);
}
