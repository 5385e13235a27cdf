// The device model: devices, variables, counter blocks, samples, alarms.
#pragma once

#include <cstdint>
#include <ctime>
#include <type_traits>

#include "common.h"

// Text field sizes, terminating NUL included.
inline constexpr int DEVNAME_LEN = 6;
inline constexpr int VARNAME_LEN = 8;
inline constexpr int DEVDESC_LEN = 16;
inline constexpr int VARDESC_LEN = 16;
inline constexpr int MAX_TINYVAL_STRLEN = 256;

// Variable types. VAR_UINT lives in the same signed field as VAR_INT.
inline constexpr int VAR_INT = 1;
inline constexpr int VAR_STR = 2;
inline constexpr int VAR_FLOAT = 3;
inline constexpr int VAR_UINT = 4;

// Variable flags (bit set).
inline constexpr int VARFL_VIRTUAL = 1;  // never requested: derived or set locally
inline constexpr int VARFL_DISK = 2;
inline constexpr int VARFL_HIDDEN = 4;  // raw reply text, left out of listings

// Status characters of devices and variables.
inline constexpr char ST_UNKNOWN = '?';
inline constexpr char ST_READY = 'r';

inline constexpr int POLL_ALL = 1;

// Devices; the id is also the index in device_list.
inline constexpr int NUM_DEVICE = 7;
inline constexpr int DEV_NULL = 0;
inline constexpr int DEV_SYS = 1;
inline constexpr int DEV_GW1 = 2;
inline constexpr int DEV_CN1 = 3;
inline constexpr int DEV_CN2 = 4;
inline constexpr int DEV_CN3 = 5;
inline constexpr int DEV_CN4 = 6;

// Variable ids. The CN1_ rows are the template every counter block copies.
inline constexpr int CN1_PING = 0;
inline constexpr int CN1_MAC = 1;
inline constexpr int CN1_CFG = 2;
inline constexpr int CN1_ARD = 3;
inline constexpr int CN1_ETOT = 4;
inline constexpr int CN1_PTOT = 5;
inline constexpr int CN1_POW = 6;
inline constexpr int CN1_LOF = 7;
inline constexpr int CN1_HIF = 8;
inline constexpr int CN1_VER = 9;
inline constexpr int CN1_SIG = 10;
inline constexpr int CN1_WHI = 11;
inline constexpr int CN1_PNOM = 12;
inline constexpr int CN1_IH = 13;
inline constexpr int CN1_TIME = 14;
inline constexpr int CN1_ALM = 15;
inline constexpr int CN1_CHK = 16;
inline constexpr int CN1_PMIN = 17;
inline constexpr int CN1_OLDS = 18;
inline constexpr int CN1_NEWS = 19;
inline constexpr int CN1_INIT = 20;
inline constexpr int CN1_ON = 21;
inline constexpr int CN1_MAXVAR = 22;

inline constexpr int GW1_PING = 22;
inline constexpr int GW1_MAC = 23;
inline constexpr int GW1_VER = 24;
inline constexpr int GW1_RAD = 25;
inline constexpr int GW1_ON = 26;

inline constexpr int SYS_VER = 27;
inline constexpr int SYS_PTID = 28;
inline constexpr int SYS_TIME = 29;
inline constexpr int SYS_SRVURL = 30;
inline constexpr int SYS_NTPSRV = 31;
inline constexpr int SYS_MAXDLY = 32;
inline constexpr int SYS_REMON = 33;
inline constexpr int SYS_ON = 34;
inline constexpr int SYS_NUMCNT = 35;
inline constexpr int SYS_ACQTIME = 36;
inline constexpr int SYS_INTTIME = 37;
inline constexpr int SYS_NIMP = 38;
inline constexpr int SYS_CUSER = 39;
inline constexpr int SYS_CPASS = 40;
inline constexpr int SYS_CMAIL = 41;
inline constexpr int SYS_CODINS = 42;
inline constexpr int SYS_PREZZO = 43;
inline constexpr int SYS_REGIST = 44;
inline constexpr int SYS_SN = 45;
inline constexpr int SYS_INDIR = 46;
inline constexpr int SYS_CO2 = 47;
inline constexpr int SYS_CURRIP = 48;
inline constexpr int SYS_DHCP = 49;
inline constexpr int SYS_IP = 50;
inline constexpr int SYS_MASK = 51;
inline constexpr int SYS_GWAY = 52;
inline constexpr int SYS_DNS = 53;
inline constexpr int SYS_ALRPWR = 54;
inline constexpr int NUM_VAR = 55;

// Power and energy are hundredths of kW/kWh; Wh per pulse is tenths of Wh.
inline constexpr int SCALE_KW = 100;
inline constexpr double FSCALE_KW = 100.0;
inline constexpr int SCALE_WHI = 10;
inline constexpr double FSCALE_WHI = 10.0;

// Limits of the counter configuration.
inline constexpr int MIN_CN1_LOF = 900;
inline constexpr int MAX_CN1_LOF = 900;
inline constexpr int MIN_CN1_HIF = 60;
inline constexpr int MAX_CN1_HIF = 300;
inline constexpr int MIN_CN1_WHI = 1;
inline constexpr int MAX_CN1_WHI = 20000;
inline constexpr int MIN_CN1_PNOM = 3;
inline constexpr int MAX_CN1_PNOM = 5000;
inline constexpr int MIN_CN1_MAXDLY = 0;
inline constexpr int MAX_CN1_MAXDLY = 600;
// Nominal power above which a counter works in units ten times larger.
inline constexpr int CN1_PNOM_SHIFT = 500;

inline constexpr int CNT_ALL = -1;

// Field offsets in the counter configuration text (4 hex digits each).
inline constexpr int OFF_WHI = 1;
inline constexpr int OFF_PMIN = 5;
inline constexpr int OFF_HIF = 17;
inline constexpr int OFF_LOF = 21;
inline constexpr int OFF_PNOM = 25;

// Field offsets in the sample text.
inline constexpr int OFF_TIME = 0;
inline constexpr int OFF_PTOT = 8;
inline constexpr int OFF_ETOT = 12;
inline constexpr int OFF_ALM = 20;

inline constexpr int MAX_SAMPLE = 3;
inline constexpr int MAX_COUNTERS = 4;

// Alarm records, the sample bits that raise them, and their operations.
inline constexpr int NUM_ALM = 2;
inline constexpr int ALM_ALL = -1;
inline constexpr int ALM_PV = 0;
inline constexpr int ALM_ASSENZAPV = 1;

inline constexpr int MSK_ALM_PV_ONLY = 1;
inline constexpr int MSK_ALM_PV = 3;
inline constexpr int MSK_ALM_ASSENZAPV = 8;

inline constexpr int OP_ALM_LOAD = 1;
inline constexpr int OP_ALM_SAVE = 2;
inline constexpr int OP_ALM_UPDATE = 3;
inline constexpr int OP_ALM_CHECKPOINT = 4;

struct tinyvalue_t {
  std::int32_t i;
  float f;
  char s[MAX_TINYVAL_STRLEN];
};

struct device_t {
  char devname[DEVNAME_LEN];
  char devdesc[DEVDESC_LEN];
  char status;  // 'r', '?', or 0 for the null device
  std::int32_t addr;
  std::int32_t devid;
};

struct devicevar_t {
  // signed char: plain char is unsigned on the board and signed on a PC.
  signed char devid;
  signed char varid;
  char devname[DEVNAME_LEN];  // always empty: the name comes from device_list
  char varname[VARNAME_LEN];
  char vardesc[VARDESC_LEN];
  char status;
  std::int32_t vartype;
  std::int32_t group;
  char tag[DEVNAME_LEN];  // request command code, empty when not requested
  std::int32_t flags;
  tinyvalue_t value;
};

struct sample_t {
  // 32 bits on every platform, so "FFFFFFFF" reads as -1 on the board and
  // on a 64-bit PC alike.
  std::int32_t time;
  std::int32_t etot;
  std::int32_t ptot;
  std::int32_t alm;
  std::int32_t dbm;
};

struct sampleset_t {
  std::int32_t num;
  std::int32_t cnt;
  sample_t el[MAX_SAMPLE];
};

struct counter4_t {
  device_t* dev;
  devicevar_t vars[CN1_MAXVAR];
  devicevar_t* pvars[CN1_MAXVAR];
};

struct alarmrec_t {
  std::int32_t almid;
  time_t start;
  time_t stop;
  char lev[12];
  char desc[64];
  std::int32_t fchanged;
};

// The records are copied with memcpy and assignment and never own anything.
static_assert(std::is_trivially_copyable_v<tinyvalue_t> && std::is_standard_layout_v<tinyvalue_t>);
static_assert(std::is_trivially_copyable_v<device_t> && std::is_standard_layout_v<device_t>);
static_assert(std::is_trivially_copyable_v<devicevar_t> && std::is_standard_layout_v<devicevar_t>);
static_assert(std::is_trivially_copyable_v<sample_t> && std::is_standard_layout_v<sample_t>);
static_assert(std::is_trivially_copyable_v<sampleset_t> && std::is_standard_layout_v<sampleset_t>);
static_assert(std::is_trivially_copyable_v<counter4_t> && std::is_standard_layout_v<counter4_t>);
static_assert(std::is_trivially_copyable_v<alarmrec_t> && std::is_standard_layout_v<alarmrec_t>);
static_assert(sizeof(sample_t) == 20, "a sample has the same layout on the board and a PC");
static_assert(sizeof(tinyvalue_t::s) == MAX_TINYVAL_STRLEN);

extern device_t device_list[NUM_DEVICE];
extern devicevar_t var_list[NUM_VAR];
// varp[id] is the var_list row of that id; for CN1_* ids the template rows,
// never a counter's live record.
extern devicevar_t* varp[NUM_VAR];
extern counter4_t counter_list[MAX_COUNTERS];
// The "gw1", "sys" and "cn1" entries of device_list. The "sys" entry is
// sys_dev because sys names the system-interface namespace.
extern device_t* gw1;
extern device_t* sys_dev;
extern device_t* cn1;

extern alarmrec_t alm_list[NUM_ALM];
extern int msk_alm[NUM_ALM];

// Offline bookkeeping: set by the polling cycle, kept across reloads.
extern time_t tm_alm_counter_first[MAX_COUNTERS];
extern time_t tm_alm_counter_offline[MAX_COUNTERS];
extern boolean_t f_alm_counter_offline[MAX_COUNTERS];
extern time_t tm_alm_gateway_offline;
extern boolean_t f_alm_gateway_offline;

void device_init();
void device_shutdown();

// The device_list entry named exactly devname, or nullptr.
device_t* getDev(const char* devname);
// 0..3 for the counter devices, -1 for every other device (or nullptr).
int counter_index(const device_t* dev);
int is_counter(const device_t* dev);
int is_online(const device_t* dev);
int counter_initialized(int i);
// 1 when counter cnt exchanges power and energy in tens of the usual unit.
int is_scaled(int cnt);

// Stores v into var->value.i, sign-extending 2- and 4-digit signed fields.
void set_int_var(devicevar_t* var, int v, int size, int fsigned);
// Derivations: dest takes src's status; its value changes only when that
// status is 'r', so a failed source leaves the last value in place.
void var_copy_to(const devicevar_t* src, devicevar_t* dest, int off, int len);
void var_icopy_to(const devicevar_t* src, devicevar_t* dest, int off, int len, int fsign);
void var_iset(const devicevar_t* src, devicevar_t* dest, int value);

// Parses a 21- or 23-character sample text of counter cnt into sam.
void strToSample(int cnt, const char* s, sample_t* sam);

int alm_active(int almid);
// Bit almid set for every active alarm record.
int alm_global();

// One radio exchange with dev, whose online state then follows the outcome
// (on_comm_end). The reply payload length, or a negative value on failure.
int telvo_comm(device_t* dev, int dest, int src, const char* cmd, const char* data, int datasize,
               char* buf, int bufsize);

// Counter requests. The callers hold the shared-state lock: these update
// the device tables.
//
// Moves the counter's checkpoint past the samples last read: ERR_NONE,
// ERR_SERCOMM (no answer) or ERR_CHECKPOINT (refused).
int update_checkpoint(device_t* dev);
// The counter's latest sample (all zero on failure): ERR_NONE or ERR_SERCOMM.
int read_last_sample(device_t* dev, sample_t* sam);
// The batch of unsent samples, at most MAX_SAMPLE: ERR_NONE or ERR_SERCOMM.
// sset->cnt is left to the caller.
int read_samples(device_t* dev, sampleset_t* sset);
int telvo_reset(device_t* dev);
// Opens or closes the radio network; a null dev means the gateway.
int telvo_netop(device_t* dev, boolean_t fopen);
int telvo_set_clock(device_t* dev, time_t utc);
// Presets the energy total (hundredths of kWh), or resets it when val < 0.
int set_energy_counter(device_t* dev, int val);
// Minimum-power threshold of the counter block, in W.
int getPmin(const counter4_t* cnt);
// Minimum power pmin (W) as the counter holds it: the pulse interval in
// 1/256 s for whi tenths of Wh per pulse.
int calcAaaa(int whi, int pmin);
// Rewrites counter cnt's configuration (pmin already in the counter's unit)
// and reads it back.
int write_config(int cnt, int lof, int hif, int whi, int pnom, int pmin);

// Every request we compose names the gateway's address as its source, and
// a device's reply text fits this buffer.
inline constexpr int RADIO_SRC_ADDR = 65535;
inline constexpr int RADIO_REPLY_SIZE = 512;

// Polls the devices once (POLL_ALL: every device). 0, or the last error of
// a radio variable read. Like the counter requests it runs under the
// shared-state lock its caller holds, which also keeps two polls apart.
int poll_devices(int mode);
// Reads one variable of dev: ERR_NONE (also for a virtual one, which costs
// no exchange) or ERR_SERCOMM.
int telvo_poll(device_t* dev, devicevar_t* var);
// Refreshes one variable of the local application from the settings and
// the clock; the variable and the "sys" device become ready.
void sys_poll(device_t* dev, devicevar_t* var);
// Derives the gateway's virtual variables from a variable just read.
void after_read(device_t* dev, devicevar_t* var);
// Derives the counter's virtual variables from a variable just read.
void after_counter_read(counter4_t* cn, devicevar_t* var);
// Records the outcome of an exchange with dev (may be null): status, the
// "on" variable and the offline-alarm bookkeeping.
void on_comm_end(device_t* dev, boolean_t err);

// Streams the stored samples of counter selcnt (CNT_ALL: every counter in
// use) from dd1 up to the end of the day that starts at dd2 as the HTTP
// attachment "storico.csv". ERR_SERCOMM when a counter did not answer (the
// lines sent stay sent); ERR_NONE otherwise, also when the client went away.
int get_history(time_t dd1, time_t dd2, int selcnt);
