#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/settings.h"
#include "tinycommand/tinycommand.h"
#include "util.h"

namespace {

// Every byte is taken as unsigned, so the board (unsigned char) and a PC
// (signed char) decode escapes and high bytes the same way.
unsigned char byte_at(const char* p) { return static_cast<unsigned char>(*p); }

// Hex digit value as the protocol has always computed it: not validated, so
// a non-hex character still yields some byte rather than stopping the parse.
int escape_digit(unsigned char c) {
  const int u = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
  return u - 48 <= 9 ? u - 48 : u - 55;
}

// Decimal value of a text that isdecimal() accepted. Out-of-range values
// saturate, as a 32-bit board's atoi does, instead of wrapping differently
// per platform.
int decimal_value(const char* s) {
  const bool neg = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (neg) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

constexpr std::size_t kSampleArea = 2048;

int sample_text(char* area, std::size_t size, const sample_t* sam) {
  return std::snprintf(area, size, "{time:\"%u\",ptot:\"%d\",\"etot\":%d,\"dbm\":%d,\"alm\":%d}",
                       static_cast<unsigned>(sam->time), static_cast<int>(sam->ptot),
                       static_cast<int>(sam->etot), static_cast<int>(sam->dbm),
                       static_cast<int>(sam->alm));
}

// key=<text>& (key optional), the text encoded when urlenc.
char* write_keyed(char* buf, const char* key, const char* text, boolean_t urlenc) {
  char* p = buf;
  if (key != nullptr) {
    const std::size_t n = std::strlen(key);
    std::memcpy(p, key, n);
    p += n;
    *p++ = '=';
  }
  p = urlstr(p, text, urlenc);
  if (key != nullptr) *p++ = '&';
  *p = '\0';
  return p;
}

}  // namespace

boolean_t validKeyChar(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.';
}

void command_parse(tinycommand_t* cmd, const char* buffer, int bufsize) {
  std::memset(cmd, 0, sizeof(*cmd));
  if (buffer == nullptr) return;

  char key[MAX_KEY_LEN] = "";
  char value[MAX_VALUE_LEN] = "";
  int keylen = 0;
  int vallen = 0;
  int st = 0;  // 0 between pairs, 1 in a key, 2 in a value

  for (int i = 0; i < bufsize && buffer[i] != '\0'; ++i) {
    int c = byte_at(buffer + i);
    bool fescape = false;
    // An escape needs both of its digits inside the text; a '%' near the end
    // is kept as a plain character instead of decoding the terminator and
    // reading past it.
    if (c == '%' && i < bufsize - 3 && buffer[i + 1] != '\0' && buffer[i + 2] != '\0') {
      c = (escape_digit(byte_at(buffer + i + 1)) * 16 | escape_digit(byte_at(buffer + i + 2))) &
          0xFF;
      i += 2;
      fescape = true;
    }

    switch (st) {
      case 1:
        if (validKeyChar(c) && keylen < MAX_KEY_LEN - 1) key[keylen++] = static_cast<char>(c);
        if (c == '=' && !fescape) {
          key[keylen] = '\0';
          st = 2;
        }
        break;
      case 2:
        if (c == '&' && !fescape) {
          value[vallen] = '\0';
          if (keylen > 0) pusharg(cmd, key, value);
          keylen = vallen = 0;
          key[0] = value[0] = '\0';
          st = 0;
        } else if (vallen < MAX_VALUE_LEN - 1) {
          value[vallen++] = static_cast<char>(c);
        }
        break;
      default:
        if (validKeyChar(c)) {
          key[0] = static_cast<char>(c);
          keylen = 1;
          st = 1;
        }
        break;
    }
  }

  if (st == 2) {
    value[vallen] = '\0';
    pusharg(cmd, key, value);
  }
}

void pusharg(tinycommand_t* cmd, const char* key, const char* value) {
  if (key == nullptr) key = "";
  if (value == nullptr) value = "";
  std::printf("pusharg(key:%s value:%s)\n", key, value);
  if (std::strcmp(key, "cmd") == 0) {
    copy_str(cmd->cmd, value);
    return;
  }
  if (cmd->numargs < 0 || cmd->numargs >= NUM_ARGS) return;

  tinyparam_t& par = cmd->args[cmd->numargs];
  copy_str(par.name, key);
  if (isdecimal(value) != 0) {
    par.i = decimal_value(value);
    par.xtype = PAR_INT;
  } else {
    par.i = 0;
    par.xtype = PAR_STR;
  }
  copy_str(par.s, value);
  ++cmd->numargs;
}

tinyparam_t* find_param(tinycommand_t* cmd, const char* param) {
  const int n = cmd->numargs < NUM_ARGS ? cmd->numargs : NUM_ARGS;
  for (int k = 0; k < n; ++k) {
    const char* name = cmd->args[k].name;
    if (std::string_view(name, strnlen(name, PARAM_NAME_LEN)) == param) return &cmd->args[k];
  }
  return nullptr;
}

int pick_cnt(tinycommand_t* cmd) {
  const tinyparam_t* par = find_param(cmd, "cnt");
  if (par == nullptr) return CNT_ALL;
  int res = par->i;
  if (res < 0 || res > cfg_numcounters) res = 1;
  return res == 0 ? CNT_ALL : res - 1;
}

char* jsonSample(char* buf, const char* key, const sample_t* sam, boolean_t urlenc) {
  char area[kSampleArea];
  sample_text(area, sizeof(area), sam);
  return write_keyed(buf, key, area, urlenc);
}

char* jsonSampleSet(char* buf, const char* key, const sampleset_t* sset, boolean_t urlenc) {
  // A set never holds more than MAX_SAMPLE samples; a larger count would
  // read past el[].
  int num = sset->num;
  if (num < 0) num = 0;
  if (num > MAX_SAMPLE) num = MAX_SAMPLE;

  // Three samples take well under 500 characters, far below the area.
  char area[kSampleArea];
  char* p = area;
  *p++ = '[';
  for (int k = 0; k < num; ++k) {
    if (k > 0) *p++ = ',';
    p = jsonSample(p, nullptr, &sset->el[k], 0);
  }
  *p++ = ']';
  *p = '\0';
  return write_keyed(buf, key, area, urlenc);
}

void js_callback(const tinycommand_t* cmd, char* buf) {
  std::sprintf(buf,
               "<html><body><script language=\"javascript\" "
               "type=\"text/javascript\">parent.cmdCallback('%.*s',%d);</script></body></html>",
               MAX_CMD_LEN - 1, cmd->cmd, cmd->err);
}
