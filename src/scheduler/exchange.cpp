// The exchange with the monitoring server: documents go out through the
// transfer script, the reply comes back in a file the script leaves.
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "config.h"
#include "configman.h"
#include "core/log.h"
#include "core/settings.h"
#include "leapday.h"
#include "scheduler/scheduler.h"
#include "sys/clock.h"
#include "sys/paths.h"
#include "util.h"

namespace {

constexpr int QUERY_MAXLEN = 8000;
// The transfer script got the query as a double-quoted shell argument with
// every quote escaped; this many escaped characters at most.
constexpr std::size_t QUERY_ESC_LIMIT = 4094;
// A server clock further off than this corrects ours.
constexpr long long MAX_SERVER_TIME_DIFF = 300;
constexpr const char* KEY_FAILS = "fails";
constexpr const char* FAILS_DEFAULT = "0/0/0/0";
// What the shell answers for a missing command: an unset transfer script
// fails the same way.
constexpr int NO_SCRIPT = 127;

int counters_configured() { return std::clamp(cfg_numcounters, 0, MAX_COUNTERS); }

// The part of the query that stays within the escaped-length limit: a
// quote counts twice, and a quote and its backslash are never split.
std::string_view query_cut(const char* q) {
  std::size_t written = 0;
  std::size_t i = 0;
  for (; q[i] != '\0' && written < QUERY_ESC_LIMIT; ++i) written += q[i] == '"' ? 2 : 1;
  return {q, i};
}

bool blank(const char* s) {
  for (; *s != '\0'; ++s) {
    if (*s != ' ' && *s != '\t') return false;
  }
  return true;
}

int run_transfer_script(int flags, std::string_view query) {
  // The setting is the command itself. A blank one must not run anything,
  // or the quoted URL that follows would become the command.
  if (blank(cfg_sendscript)) {
    warn("No transfer script (sendscript) set");
    return NO_SCRIPT;
  }
  std::string cmd = cfg_sendscript;
  cmd += ' ';
  cmd += shell_quote(cfg_srvurl);
  cmd += ' ' + std::to_string(flags) + ' ' + std::to_string(cfg_regist) + ' ';
  cmd += shell_quote(query);
  return sys_exec(cmd.c_str());
}

void set_remon(int v) {
  devicevar_t* remon = varp[SYS_REMON];
  remon->value.i = v;
  remon->status = ST_READY;
}

// A "utc" in a status reply puts our clock right when it is far off. A
// value that cannot be read, or one that is not a valid time itself, is
// ignored rather than taken for 1970.
void apply_server_time() {
  const char* p = std::strstr(remote_err.s, "\"utc\":");
  if (p == nullptr) return;
  p += 6;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(p, &end, 10);
  const bool readable = end != p && errno == 0;
  std::printf("Estratta ora: %lld\n", readable ? v : 0LL);
  if (!readable || v <= VALID_TIME_THRESHOLD ||
      v > static_cast<long long>(std::numeric_limits<time_t>::max())) {
    return;
  }
  const long long now = sys::clock().now();
  if (std::llabs(v - now) <= MAX_SERVER_TIME_DIFF) return;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(v);
  tv.tv_usec = 0;
  if (sys::clock().set_time(tv) == 0) {
    std::printf("\nIMPOSTATO TIME\n");
  } else {
    warn("Cannot set the system time");
  }
}

void read_reply(int flags) {
  const std::string reply1 = sys::tmp_path("remote1.dat");
  const std::string reply2 = sys::tmp_path("remote2.dat");
  if (file_exists(reply1.c_str()) == 0 && file_exists(reply2.c_str()) == 0) {
    xsstrcpy(&remote_err, CURL_ERRSERVER);
    return;
  }
  // Empty when only the second file is there.
  xsreadfile(&remote_err, reply1.c_str());
  if ((flags & FLAG_SETSTATUS) != 0) apply_server_time();
}

}  // namespace

int curl_exec_json(int flags, sampleset_t* sset) {
  if (flags == 0) return ERR_NONE;

  XSTRING(q, qbuf, QUERY_MAXLEN);
  xsstrcat(&q, "query=[");
  // A separator only after a document that wrote something: an empty data
  // log must not leave "[," in the query.
  int falm = 0;
  bool any = false;
  auto append = [&](auto build) {
    const int before = q.length;
    if (any) xsstrcat(&q, ",");
    const int after_sep = q.length;
    build();
    if (q.length == after_sep) {
      xstrunc(&q, before);
    } else {
      any = true;
    }
  };
  if ((flags & FLAG_INITCONF) != 0) append([&] { build_initConf(&q); });
  if ((flags & FLAG_SETCONF) != 0) append([&] { build_setConf(&q); });
  if ((flags & FLAG_SETDATALOG) != 0) append([&] { build_setDataLog(&q, sset); });
  if ((flags & FLAG_SETALARMS) != 0) {
    falm = procAlarms(OP_ALM_UPDATE, ALM_ALL, sset);
    if (falm != 0) append([&] { build_setAlarms(&q, sset); });
  }
  if ((flags & FLAG_SETSTATUS) != 0) append([&] { build_setStatus(&q); });
  xsstrcat(&q, "]");

  print_time(0);
  const int e = run_transfer_script(flags, query_cut(q.s));
  read_reply(flags);

  if (e == 0) {
    if (falm != 0) procAlarms(OP_ALM_CHECKPOINT, ALM_ALL, nullptr);
    set_remon(1);
    return ERR_NONE;
  }
  if (f_remote_err == 0) {
    f_remote_err = 1;
    tm_remote_err = sys::clock().now();
  }
  ++fail_conn;
  if ((flags & FLAG_SETSTATUS) != 0) ++fail_setstatus;
  if ((flags & FLAG_SETCONF) != 0) ++fail_setconf;
  if ((flags & FLAG_SETDATALOG) != 0) ++fail_setdatalog;
  read_write_failures(1);
  set_remon(0);
  return ERR_SENDSCRIPT;
}

void read_write_failures(boolean_t fsave) {
  char buf[64];
  if (fsave != 0) {
    std::snprintf(buf, sizeof buf, "%d/%d/%d/%d", fail_conn, fail_setstatus, fail_setconf,
                  fail_setdatalog);
    std::printf("Writing failures: %s\n", buf);
    cfg_writeStrParam(KEY_FAILS, buf);
    return;
  }
  cfg_readStrParam(KEY_FAILS, buf, sizeof buf, FAILS_DEFAULT);
  std::printf("Reading failures: %s\n", buf);
  // Counters whose number is missing keep their value.
  std::sscanf(buf, "%d/%d/%d/%d", &fail_conn, &fail_setstatus, &fail_setconf, &fail_setdatalog);
}

int send_async(int flags, sample_t* buf) {
  counter4_t& cn = counter_list[0];
  devicevar_t* ard = cn.pvars[CN1_ARD];
  const int r = telvo_poll(cn.dev, ard);
  if (buf != nullptr) buf->time = 0;
  if (r != ERR_NONE) return r;
  sampleset_t set{};
  set.cnt = 0;
  set.num = 1;
  strToSample(0, ard->value.s, &set.el[0]);
  if (buf != nullptr) *buf = set.el[0];
  return curl_exec_json(flags, &set);
}

int grab_counter_data(int cnt) {
  if (cnt < 0 || cnt >= MAX_COUNTERS) return 0;
  sampleset_t& set = curr_dataset[cnt];
  set = sampleset_t{};
  set.cnt = cnt;
  grab_counter_alarms(cnt);
  if (read_samples(counter_list[cnt].dev, &set) != ERR_NONE) set.num = 0;
  set.cnt = cnt;
  return 0;
}

namespace {

// One data pass: read every counter, then one exchange per counter with
// samples, each followed by its checkpoint. A checkpoint never advances
// before the exchange carrying its samples succeeded. Sets *more to false
// when no counter had anything left.
int data_pass(bool* more) {
  const int n = counters_configured();
  int samples = 0;
  for (int i = 0; i < n; ++i) {
    grab_counter_data(i);
    samples += curr_dataset[i].num;
  }
  *more = samples > 0;
  if (!*more) return ERR_NONE;
  for (int i = 0; i < n; ++i) {
    if (curr_dataset[i].num <= 0) continue;
    const int err = curl_exec_json(FLAG_SETDATALOG, &curr_dataset[i]);
    if (err != ERR_NONE) return err;
    // Stopping here only means the samples go out again next time.
    if (scheduler_sigexit) return ERR_NONE;
    last_sendset[i] = curr_dataset[i];
    const int cerr = update_checkpoint(counter_list[i].dev);
    saveHotSample(i, curr_dataset[i]);
    if (cerr != ERR_NONE) return cerr;
  }
  return ERR_NONE;
}

// Status (with alarms when the clock can date them), then the daily or
// requested configuration report and an upgrade its reply asks for.
int send_tail() {
  send_async(f_valid_time == 1 ? (FLAG_SETSTATUS | FLAG_SETALARMS) : FLAG_SETSTATUS, nullptr);
  const int pm = calc_post_midnight(0);
  if (std::strstr(remote_err.s, "\"cnf\":1") == nullptr && pm <= post_midnight) return ERR_NONE;
  std::puts("setConf request ...");
  int err = send_async(FLAG_SETCONF, nullptr);
  if (err != ERR_NONE) return err;
  if (pm > post_midnight) {
    post_midnight = pm;
    std::printf("Post midnight updated to %d\n", pm);
  }
  if (std::strstr(remote_err.s, "\"ftp\"") != nullptr) {
    std::puts("Upgrade request ...");
    std::printf("remote: %s\n", remote_err.s);
    // Static: too large for the stack; the shared-state lock guards them.
    static char hack[REMOTE_ERR_BUFSIZE];
    hack_json(remote_err.s, hack);
    std::printf("hack: %s\n", hack);
    static tinycommand_t cmd;
    command_parse(&cmd, hack, REMOTE_ERR_BUFSIZE - 1);
    err = proc_remote_upgrade(&cmd);
  }
  return err;
}

}  // namespace

int send_data() {
  dbg("Sending data to remote server ...");
  {
    const main_guard lock;
    if (cfg_pointid[0] == '\0') {
      warn("Empty pointid\n");
      return ERR_GENERIC;
    }
    if (cfg_regist == 0) {
      std::puts("Not registered, send aborted.");
      return ERR_NONE;
    }
    for (int i = 0; i < counters_configured(); ++i) grab_counter_alarms(i);
  }
  int err = ERR_NONE;
  for (int pass = 0;
       f_valid_time == 1 && err == ERR_NONE && pass < MAX_DATA_SEND && !scheduler_sigexit; ++pass) {
    const main_guard lock;
    bool more = false;
    err = data_pass(&more);
    if (!more) break;
  }
  if (err == ERR_NONE) {
    const main_guard lock;
    err = send_tail();
  }
  dbg("Sending data end.");
  return err;
}
