// Small text, file and process helpers used by every module. They keep no
// state and never log through the levelled log.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common.h"

// 1 when this process can open the file for reading.
int file_exists(const char* filename);
// Replaces the file's content with exactly the bytes of str (no line end
// added). The write is atomic: a temporary file beside it, fsync, rename, so
// a power cut leaves either the old or the new content. false when the file
// cannot be written.
boolean_t saveFileString(const char* filename, const char* str);
// Reads up to bufsize - 1 bytes, terminated; an unreadable file gives "" and 0.
size_t loadFileString(const char* filename, char* buf, size_t bufsize);

// Printable rendering of raw bytes: 0x20..0x7F as themselves, others "%XX".
int dump_packet(const char* buf, int len, int off);
char* strdump_packet(char* dest, const char* buf, int len, int off);

// Dotted-quad check; fmask non-zero checks a network mask. Non-zero is valid.
int is_valid_ip(const char* ip_str, int fmask);

// Hexadecimal digit value, not validated.
int x2i(int i);
// size hexadecimal digits as an unsigned value (size < 0: the whole text).
int xtoi(const char* s, int size);
// As xtoi, sign-extended from a size-digit field when fsigned is set.
int xtoisig(const char* s, int size, int fsigned);
// 1 for an optionally signed decimal integer.
int isdecimal(const char* s);

// Runs a command line through the system shell; its status modulo 255.
int sys_exec(const char* buf);
// 'text' for a shell command line, every single quote inside written as
// '\'': text from settings, parameters and replies reaches the program as
// one argument and nothing in it is interpreted.
std::string shell_quote(std::string_view text);

// URL form of one byte (1 or 3 characters written).
int urlchar(int c, char* buf, boolean_t urlenc);
// URL form of a text; returns the position of the terminator written.
char* urlstr(char* buf, const char* s, boolean_t urlenc);

int mystrnicmp(const char* pStr1, const char* pStr2, size_t Count);
// Trims trailing white space in place; returns the first non-blank character.
char* mytrim(char* s);
// One line without CR and LF, at most maxlen - 1 characters; (size_t)-1 at
// end of input.
size_t myreadline(std::FILE* fd, char* s, size_t maxlen);
// Unbounded formatted append; returns the position of the terminator.
[[gnu::format(printf, 2, 3)]] char* mysprintf(char* buf, const char* fmt, ...);

// The one way text enters a fixed-size field: at most N - 1 characters are
// copied and the field is always terminated. Returns the characters copied.
template <std::size_t N>
std::size_t copy_str(char (&dest)[N], std::string_view src) {
  static_assert(N > 0);
  const std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
  if (n > 0) std::memcpy(dest, src.data(), n);
  dest[n] = '\0';
  return n;
}
