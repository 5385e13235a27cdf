// Bounded strings: a descriptor over a caller-owned buffer. Every append
// cuts silently at the capacity and the text is always terminated.
#pragma once

#include <cstddef>

struct xstring_t {
  int length;  // characters held
  int maxlen;  // capacity, not counting the terminator
  char* end;   // the terminator, always s + length
  char* s;     // buffer of maxlen + 1 bytes
};
using xstring_p = xstring_t*;

// An empty string of capacity amaxlen over a new buffer abuf.
#define XSTRING(a, abuf, amaxlen) \
  char abuf[(amaxlen) + 1] = "";  \
  xstring_t a = {0, (amaxlen), abuf, abuf}

// A full string over a buffer initialised with def; it takes nothing more
// until cleared.
#define XSTRINGDEF(a, abuf, def)                                           \
  char abuf[] = def;                                                       \
  xstring_t a = {static_cast<int>(sizeof(abuf) - 1),                       \
                 static_cast<int>(sizeof(abuf) - 1), abuf + sizeof(abuf) - 1, \
                 abuf}

xstring_p xsinit(xstring_p xs, char* abuf, int n);
xstring_p xswrap(xstring_p xs, char* abuf, int size);
void xsclear(xstring_p dest);
void xsfix(xstring_p xs);
void xstrunc(xstring_p xs, int n);
void xsstrcat(xstring_p dest, const char* src);
void xsstrcpy(xstring_p dest, const char* src);
void xsappend(xstring_p dest, const xstring_t* src);
void xscopy(xstring_p dest, const xstring_t* src);
int xsurlchar(int c, char* buf);
void xsurlstr(xstring_p xs, const char* src);
void xsurlstropt(xstring_p xs, const char* src, int urlenc);
std::size_t xsappendfile(xstring_p dest, const char* filename);
std::size_t xsreadfile(xstring_p dest, const char* filename);
[[gnu::format(printf, 2, 3)]] void xsprintf(xstring_p s, const char* fmt, ...);
void xsprint(const xstring_t* xs);
