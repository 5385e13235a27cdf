// Definitions shared by every module: result codes, limits, GPIO lines,
// condition alarm bits and the plain truth type.
#pragma once

// A plain int used as a truth value; kept as int because records and files
// carry it as a number.
using boolean_t = int;

// Result codes shared by commands, counter operations and the remote exchange.
enum : int {
  ERR_NONE = 0,
  ERR_GENERIC = 1,
  ERR_UNKCMD = 2,
  ERR_SERCOMM = 3,
  ERR_BADPARAM = 4,
  ERR_CMDEXEC = 5,
  ERR_CHECKPOINT = 6,
  ERR_SENDSCRIPT = 7,
  ERR_RANGEPARAM = 8,
  ERR_GPIO = 9,
  ERR_CONFIG = 10,
  ERR_NOTREG = 11,
  ERR_FTPPARAM = 12,
  ERR_FTPSCRIPT = 13,
  ERR_BADIP = 14,
};

// Command parameter limits.
inline constexpr int PARAM_NAME_LEN = 16;
inline constexpr int MAX_TINYPARAM_STRLEN = 256;
inline constexpr int MAX_LARGEPARAM_STRLEN = 4096;
inline constexpr int MAX_CMD_LEN = 16;
inline constexpr int NUM_ARGS = 32;
inline constexpr int MAX_KEY_LEN = 16;
inline constexpr int MAX_VALUE_LEN = 1024;
inline constexpr int MAX_INT_STRLEN = 16;
inline constexpr const char* KEY_PAR1 = "param1";

// GPIO lines of the board.
inline constexpr int NUM_GPIO = 10;
inline constexpr int GPIO_RSTRADIO = 1;
inline constexpr int GPIO_LED_GREEN = 2;
inline constexpr int GPIO_LED_YELLOW = 5;

// Alarm bits: the low four come with a counter's samples, the others are
// made locally for offline devices and failed sends.
inline constexpr int BIT_ALM_PV = 1;
inline constexpr int BIT_ALM_POTZERO2GG = 2;
inline constexpr int BIT_ALM_POTSUPNOM = 4;
inline constexpr int BIT_ALM_ASSENZAPV = 8;
inline constexpr int BIT_ALM_GWOFFLINE = 256;
inline constexpr int BIT_ALM_CNOFFLINE = 512;
inline constexpr int BIT_ALM_SENDERR = 1024;
inline constexpr int BIT_ALM_CNDEAD = 2048;
