// Reply texts of the local command interface: the result code first, then
// what the command has to show (variables, samples, a transcript, a raw
// radio reply), in the query-string form of the requests.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/settings.h"
#include "device/device.h"
#include "device/format.h"
#include "scheduler/scheduler.h"
#include "sys/paths.h"
#include "tinycommand/tinycommand.h"
#include "util.h"
#include "xstring.h"

namespace {

// The ping transcript read back, as much as the reply can carry.
constexpr std::size_t kPingTextSize = 2040;
// One sample set encoded with its key: three samples of at most about 80
// characters each, every character escaped.
constexpr int kPieceSize = 8192;
// One variable's pair encoded: names and a 255-character value.
constexpr int kPairSize = 1024;

// Appends piece whole, or nothing when it does not fit: a pair cut short
// would read as a different value.
bool put_whole(xstring_p xs, std::string_view piece) {
  if (piece.size() > static_cast<std::size_t>(xs->maxlen - xs->length)) return false;
  std::memcpy(xs->end, piece.data(), piece.size());
  xs->length += static_cast<int>(piece.size());
  xs->end = xs->s + xs->length;
  *xs->end = '\0';
  return true;
}

// URL-encodes text into xs until it is full, never cutting an escape or a
// multi-byte character.
void put_url_text(xstring_p xs, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    len = std::min(len, text.size() - i);
    char enc[4 * 3 + 1];
    int k = 0;
    for (std::size_t j = 0; j < len; ++j)
      k += xsurlchar(static_cast<unsigned char>(text[i + j]), enc + k);
    if (!put_whole(xs, std::string_view(enc, static_cast<std::size_t>(k)))) return;
    i += len;
  }
}

void counter_key(char (&key)[16], const char* what, int n) {
  std::snprintf(key, sizeof key, "cn%d.%s", n + 1, what);
}

void reply_ping(xstring_p xs) {
  xsstrcat(xs, "result=");
  char text[kPingTextSize];
  const std::size_t n = loadFileString(sys::tmp_path("ping.txt").c_str(), text, sizeof text);
  put_url_text(xs, std::string_view(text, n));
}

void reply_tlx(const tinycommand_t* cmd, xstring_p xs) {
  const int len = std::clamp(cmd->result.i, 0, static_cast<int>(sizeof cmd->result.s));
  xsprintf(xs, "packetlen=%d&packet=", cmd->result.i);
  for (int i = 0; i < len; ++i) {
    // Printable form of the byte, then that form encoded, so its '%'
    // travels as %25.
    char shown[4];
    strdump_packet(shown, cmd->result.s, 1, i);
    char enc[3 * 3 + 1];
    int k = 0;
    for (const char* c = shown; *c != '\0'; ++c)
      k += xsurlchar(static_cast<unsigned char>(*c), enc + k);
    if (!put_whole(xs, std::string_view(enc, static_cast<std::size_t>(k)))) return;
  }
}

void reply_history(tinycommand_t* cmd) {
  const tinyparam_t* dd1 = find_param(cmd, "dd1");
  const tinyparam_t* dd2 = find_param(cmd, "dd2");
  if (dd1 == nullptr || dd2 == nullptr) return;
  // Unlike the other commands, a "cnt" out of range means all counters.
  const tinyparam_t* cnt = find_param(cmd, "cnt");
  int sel = cnt != nullptr ? cnt->i : 0;
  if (sel < 0 || sel > cfg_numcounters) sel = 0;
  // The export writes the whole HTTP reply itself; the buffer is not sent.
  cmd->err = get_history(dd1->i, dd2->i, sel == 0 ? CNT_ALL : sel - 1);
  cmd->flag |= CMDFLAG_STREAMED;
}

// The on-demand readings; "sendtest" adds the server's answer when the
// sample did not reach it.
void reply_async(tinycommand_t* cmd, xstring_p xs, bool sendtest) {
  static char piece[kPieceSize];
  bool complete = true;
  for_selected(cmd, [&](int n) {
    char key[16];
    counter_key(key, "async", n);
    jsonSample(piece, key, &async_sample[n], 1);
    complete = put_whole(xs, piece);
    return complete;
  });
  if (!complete || !sendtest) return;
  if (cmd->err == ERR_SENDSCRIPT || cmd->err == ERR_NOTREG) {
    xsstrcat(xs, "sys.remerr=");
    put_url_text(xs, remote_err.s);
  }
}

void reply_stat(tinycommand_t* cmd, xstring_p xs) {
  static char piece[kPieceSize];
  for_selected(cmd, [&](int n) {
    char key[16];
    counter_key(key, "lstsam", n);
    jsonSample(piece, key, &last_sample[n], 1);
    if (!put_whole(xs, piece)) return false;
    counter_key(key, "nxtsnd", n);
    if (next_sendset[n].num == 0)
      std::snprintf(piece, sizeof piece, "%s=0&", key);
    else
      jsonSampleSet(piece, key, &next_sendset[n], 1);
    if (!put_whole(xs, piece)) return false;
    counter_key(key, "lstsnd", n);
    jsonSampleSet(piece, key, &last_sendset[n], 1);
    return put_whole(xs, piece);
  });
}

// Appends the variables' pairs while whole pairs fit; false once one did not.
bool put_vars(xstring_p xs, const devicevar_t* const* vars, int num) {
  for (int k = 0; k < num; ++k) {
    XSTRING(pair, pairbuf, kPairSize);
    fmt_vars2(&vars[k], 1, &pair, 1);
    if (!put_whole(xs, std::string_view(pair.s, static_cast<std::size_t>(pair.length))))
      return false;
  }
  return true;
}

// Every variable of the gateway, the system and each configured counter.
// "sys.eop=1" marks a dump that fitted whole; a longer one ends after its
// last complete pair, or inside the server text, without it.
void reply_dump(xstring_p xs) {
  const devicevar_t* fixed[NUM_VAR];
  int num = 0;
  for (int id = 0; id < NUM_VAR; ++id) {
    if (varp[id] != nullptr && varp[id]->devid != DEV_CN1) fixed[num++] = varp[id];
  }
  if (!put_vars(xs, fixed, num)) return;
  for (int n = 0; n < num_counters(); ++n) {
    if (!put_vars(xs, counter_list[n].pvars, CN1_MAXVAR)) return;
  }
  xsstrcat(xs, "&sys.remerr=");
  put_url_text(xs, remote_err.s);
  put_whole(xs, "&sys.eop=1");
}

bool is_dump_command(std::string_view name) {
  for (const char* c : {"rdall", "cfg", "cfgnet", "register", "cfgnumcnt", "setecount"}) {
    if (name == c) return true;
  }
  return false;
}

}  // namespace

void command_tcpreply(tinycommand_t* cmd, char* buffer, int bufsize) {
  update_leds();
  if (buffer == nullptr || bufsize <= 0) return;
  xstring_t xs;
  xsinit(&xs, buffer, bufsize);
  xsprintf(&xs, "err=%d&", cmd->err);
  char* const p = xs.end;

  const std::string_view name(cmd->cmd, strnlen(cmd->cmd, sizeof cmd->cmd));
  if (name == "ping") {
    if (cmd->err == ERR_NONE) reply_ping(&xs);
  } else if (name == "tlx") {
    if (cmd->err == ERR_NONE) reply_tlx(cmd, &xs);
  } else if (name == "xsetpointid") {
    if (cmd->err == ERR_NONE) xsprintf(&xs, "update=1&sys.ptid=%s", cfg_pointid);
  } else if (name == "history") {
    reply_history(cmd);
  } else if (name == "async" || name == "sendtest") {
    reply_async(cmd, &xs, name == "sendtest");
  } else if (name == "firmware") {
    if (find_param(cmd, "html") != nullptr) {
      char page[512];
      js_callback(cmd, page);
      std::snprintf(buffer, static_cast<std::size_t>(bufsize), "%s", page);
      cmd->flag = CMDFLAG_HTML;
    }
  } else if (name == "stat") {
    reply_stat(cmd, &xs);
  } else if (is_dump_command(name)) {
    reply_dump(&xs);
    // A registration that never reached the server shows only why.
    if (name == "register" && cmd->err == ERR_SENDSCRIPT)
      fmt_key_val(p, bufsize - static_cast<int>(p - buffer), "sys.remerr", remote_err.s, 1);
  }
}
