// Levelled log output on standard output, shared by every module.
#pragma once

inline constexpr int LEV_DEV = -2;
inline constexpr int LEV_DBG = -1;
inline constexpr int LEV_INF = 0;
inline constexpr int LEV_WARN = 1;
inline constexpr int LEV_ERR = 2;
inline constexpr int LEV_CRIT = 3;

// Tags indexed by level + 2.
extern const char* const LEVS[6];

// Prints "<tag>: <text>\n"; a level outside -2..3 is logged as LEV_INF.
void pr(int lev, const char* s);
void dev(const char* s);
void dbg(const char* s);
void inf(const char* s);
void warn(const char* s);
void err(const char* s);
void crit(const char* s);

// Makes standard output line-buffered wherever it goes (file, pipe, tty),
// so every line reaches the log as one write.
void log_init();
