#include "core/log.h"

#include <cstdio>

const char* const LEVS[6] = {"DEV", "DBG", "INF", "WRN", "ERR", "CRI"};

void pr(int lev, const char* s) {
  if (lev < LEV_DEV || lev > LEV_CRIT) lev = LEV_INF;
  std::printf("%s: %s\n", LEVS[lev + 2], s);
}

void dev(const char* s) { pr(LEV_DEV, s); }
void dbg(const char* s) { pr(LEV_DBG, s); }
void inf(const char* s) { pr(LEV_INF, s); }
void warn(const char* s) { pr(LEV_WARN, s); }
void err(const char* s) { pr(LEV_ERR, s); }
void crit(const char* s) { pr(LEV_CRIT, s); }

void log_init() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }
