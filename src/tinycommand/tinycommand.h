// The command record of the local command protocol and of the remote
// server's replies (both are query strings of key=value pairs), its parser
// and the small formatters the replies use.
#pragma once

#include <algorithm>
#include <type_traits>

#include "common.h"
#include "core/settings.h"
#include "device/device.h"

// Parameter types; 0 marks an empty slot.
inline constexpr char PAR_INT = 1;
inline constexpr char PAR_STR = 2;

// Reply flags (bit set).
inline constexpr int CMDFLAG_TEXT = 1;
inline constexpr int CMDFLAG_HTML = 2;
inline constexpr int CMDFLAG_XLS = 4;  // reserved, never set
inline constexpr int CMDFLAG_ATTACH = 8;
inline constexpr int CMDFLAG_STREAMED = 16;  // the reply already went out

struct tinyparam_t {
  char xtype;
  char name[PARAM_NAME_LEN];
  int i;  // the value when xtype is PAR_INT, else 0
  float f;
  char s[MAX_TINYPARAM_STRLEN];
};

struct largeparam_t {
  char xtype;
  char name[PARAM_NAME_LEN];
  int i;
  float f;
  char s[MAX_LARGEPARAM_STRLEN];
};

struct tinycommand_t {
  char cmd[MAX_CMD_LEN];
  tinyparam_t args[NUM_ARGS];
  int numargs;
  int err;
  largeparam_t result;
  int flag;
};

// Records are cleared with memset and copied whole.
static_assert(std::is_trivially_copyable_v<tinyparam_t> && std::is_standard_layout_v<tinyparam_t>);
static_assert(std::is_trivially_copyable_v<largeparam_t> &&
              std::is_standard_layout_v<largeparam_t>);
static_assert(std::is_trivially_copyable_v<tinycommand_t> &&
              std::is_standard_layout_v<tinycommand_t>);

// ASCII letter or digit, '_' or '.'.
boolean_t validKeyChar(int c);

// Clears cmd and fills it from the query string in buffer, reading at most
// bufsize characters and stopping at the first NUL. Never fails: what does
// not fit is cut or dropped.
void command_parse(tinycommand_t* cmd, const char* buffer, int bufsize);
// Adds one pair: "cmd" sets the command name, anything else takes the next
// free parameter slot (dropped when all are used). Text longer than a field
// is cut to it.
void pusharg(tinycommand_t* cmd, const char* key, const char* value);
// The first parameter named exactly param, or nullptr.
tinyparam_t* find_param(tinycommand_t* cmd, const char* param);
// The counter chosen by "cnt" as index 0..3, or -1 (CNT_ALL) for all.
int pick_cnt(tinycommand_t* cmd);

// The counters in use, kept within the four counter blocks.
inline int num_counters() { return std::clamp(cfg_numcounters, 0, MAX_COUNTERS); }

// Calls f(n) for every counter in use that "cnt" selects, in order, until f
// returns false.
template <class F>
void for_selected(tinycommand_t* cmd, F f) {
  const int sel = pick_cnt(cmd);
  for (int n = 0; n < num_counters(); ++n) {
    if (sel != CNT_ALL && sel != n) continue;
    if (!f(n)) break;
  }
}

// Write a sample (or a sample set) at buf, as "key=<text>&" when key is
// given, the text URL-encoded when urlenc; return the terminating NUL so
// that calls can be chained.
char* jsonSample(char* buf, const char* key, const sample_t* sam, boolean_t urlenc);
char* jsonSampleSet(char* buf, const char* key, const sampleset_t* sset, boolean_t urlenc);
// The HTML page that hands the command's name and code to its parent frame.
void js_callback(const tinycommand_t* cmd, char* buf);

// Execution and replies of the local command interface. Both run with the
// shared-state lock held by the caller (the HTTP daemon takes it around
// execute and reply together).

// Host pinged by "ping" when no target is given.
inline constexpr const char* DEF_PING_ADDR = "www.google.com";

// Per counter, what the last "stat" read (the samples not yet sent and the
// newest one) and the last on-demand reading ("async"; entry 0 also
// "sendtest"). They keep their contents between commands.
extern sampleset_t next_sendset[MAX_COUNTERS];
extern sample_t last_sample[MAX_COUNTERS];
extern sample_t async_sample[MAX_COUNTERS];

// Carries out cmd in place: cmd->err gets the result code, cmd->flag
// CMDFLAG_TEXT, and "tlx" fills cmd->result with the raw radio reply.
void command_execute(tinycommand_t* cmd);
// Writes the reply text for an executed cmd into buffer (bufsize bytes,
// always terminated and never overrun). "firmware" may turn it into an
// HTML page, and "history" streams its own reply (CMDFLAG_STREAMED).
void command_tcpreply(tinycommand_t* cmd, char* buffer, int bufsize);
