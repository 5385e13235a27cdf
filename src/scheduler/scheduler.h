// The main thread's timed loop: periodic sends, clock checks, nightly jobs.
#pragma once

#include <ctime>

#include "core/runstate.h"
#include "device/device.h"
#include "tinycommand/tinycommand.h"
#include "xstring.h"

extern relaxed_flag scheduler_sigexit;

// Empties the server reply and clears f_remote_err; installs the LED hook.
void scheduler_init();
void scheduler_shutdown();
// The loop; returns once scheduler_sigexit is set.
void* scheduler_run(void* arg);
void scheduler_run_wrap();
void scheduler_kill();

// Seconds between clock checks.
inline constexpr int TIME_CHECK_INTERVAL = 300;
// Day key of the later of: the day the loop last started, the day of the last
// daily configuration report.
extern int post_midnight;
// Window values (hhm0) of the last nightly jobs.
extern int last_midnight_check;
extern int last_eleven_timecheck;

// The per-installation send delay in seconds, hashed from cfg_pointid.
int magic_delay_calculator();
// Today's key (UTC): growing from day to day; stored in post_midnight when
// fset is non-zero.
int calc_post_midnight(int fset);
// The nightly clock jobs, each once per day in its window.
void round_midnight();
// "Time: HH:MM:SS" of currtm, or of now when currtm is 0.
void print_time(time_t currtm);

// Remote exchange. Document flags, combinable.
inline constexpr int FLAG_INITCONF = 1;
inline constexpr int FLAG_SETCONF = 2;
inline constexpr int FLAG_SETSTATUS = 4;
inline constexpr int FLAG_SETDATALOG = 8;
inline constexpr int FLAG_SETALARMS = 16;
inline constexpr int MAX_DATA_SEND = 30;
inline constexpr const char* CURL_ERRSERVER =
    "Server remoto non raggiungibile o nessuna risposta ricevuta";

// All of these assume the caller holds the shared-state lock (main_lock):
// the HTTP thread holds it for a whole command, the scheduler for one step.
// Exchanges therefore never overlap.
//
// One exchange through the transfer script; ERR_NONE or ERR_SENDSCRIPT.
// sset feeds the data log and the alarm update; null when neither is asked.
int curl_exec_json(int flags, sampleset_t* sset);
// Reads counter 1 now, then one exchange with that sample; the sample is
// copied to buf when given. A failed read returns its error, no exchange.
int send_async(int flags, sample_t* buf);
// Stored samples of counter cnt into curr_dataset[cnt]; always 0.
int grab_counter_data(int cnt);
// Saves (fsave non-zero) or loads the failure counters, setting "fails".
void read_write_failures(boolean_t fsave);
// The periodic send. Unlike the rest it takes the shared-state lock itself,
// step by step, so commands get their turn between data passes: call it
// without the lock.
int send_data();

// Clock synchronisation (lock held). Counters are set only from a valid
// system clock.
void sync_time();
void kick_ntpd();

// Remote upgrade from the parameters of a server reply;
// ERR_NONE, ERR_FTPPARAM or ERR_FTPSCRIPT.
int proc_remote_upgrade(tinycommand_t* cmd);
// Green: last exchange succeeded; yellow: a configured counter is offline.
void update_leds();

// Server-exchange state, guarded by the shared-state lock.
inline constexpr int REMOTE_ERR_BUFSIZE = 3000;
extern char remote_err_buf[REMOTE_ERR_BUFSIZE];
// The server's last reply, or the unreachable-server text.
extern xstring_t remote_err;
// Set by the first failed exchange of a supervisor cycle, at tm_remote_err.
extern boolean_t f_remote_err;
extern time_t tm_remote_err;
// Failed exchanges, in total and per document carried; they only grow.
extern int fail_conn;
extern int fail_setstatus;
extern int fail_setconf;
extern int fail_setdatalog;
// Per counter: the samples of the current data pass, and the last set the
// server accepted.
extern sampleset_t curr_dataset[MAX_COUNTERS];
extern sampleset_t last_sendset[MAX_COUNTERS];

// Documents for the monitoring server. Each appends to s and is cut at its
// capacity; text values are escaped as JSON strings.
//
// Opens a document: {"act":action,"sn":SN,"DATI":{ followed by aux as it
// stands (raw JSON), left open for the caller.
void build_head(xstring_p s, const char* action, const char* aux);
// One displayed parameter; a null lbl repeats name; comma non-zero appends ",".
void xsConf(xstring_p s, const char* name, const char* lbl, const char* value, const char* unit,
            int vis, int comma);
void xsConfInt(xstring_p s, const char* name, const char* lbl, int value, const char* unit, int vis,
               int comma);
// One column label of the data log.
void xsVarLab(xstring_p s, const char* name, const char* lbl, const char* type, const char* unit,
              const char* id, int comma);
// The data rows of a sample set; nothing for a null set.
void xsData(xstring_p s, const sampleset_t* sset);
void build_initConf(xstring_p s);
void build_setStatus(xstring_p s);
void build_setConf(xstring_p s);
// The data log of sset's counter (sset->cnt picks its ids); nothing at all
// for a null or empty set.
void build_setDataLog(xstring_p s, const sampleset_t* sset);
// Every alarm record changed since the last checkpoint; sset is unused.
void build_setAlarms(xstring_p s, const sampleset_t* sset);
// Turns a JSON reply into a query string ({"a":1,"b":"x"} -> a=1&b=x&).
// dest holds at least strlen(src) + 1 bytes; the result is never longer.
void hack_json(const char* src, char* dest);

// Alarm records.
//
// Power of the locally made condition samples, which measure nothing.
inline constexpr int DUM_PTOT = -9999;
// Per counter: pseudo-samples for an offline gateway or counter and a
// failed server exchange, rebuilt at each periodic send.
extern sampleset_t curr_alarmset[MAX_COUNTERS];

// OP_ALM_LOAD / OP_ALM_SAVE for one alarm or ALM_ALL; OP_ALM_UPDATE from
// the samples of sset and OP_ALM_CHECKPOINT after a delivered report treat
// both. An update returns the transitions it counted, or, when it counted
// none, the records still waiting to be reported since an exchange failed,
// so the next alarm report carries them again. Every other case returns 0.
int procAlarms(int op, int almid, sampleset_t* sset);
// Fills curr_alarmset[cnt]; returns 0.
int grab_counter_alarms(int cnt);
