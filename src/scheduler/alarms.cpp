// The two reportable plant alarms: raised and ended from counter 1's
// samples, reported until a checkpoint, start times kept in the settings so
// a raised alarm survives a restart. Also the per-counter condition samples.
#include <cstdio>

#include "configman.h"
#include "core/settings.h"
#include "device/device.h"
#include "scheduler/scheduler.h"
#include "sys/clock.h"

sampleset_t curr_alarmset[MAX_COUNTERS];

namespace {

struct alarm_range {
  int first;
  int last;  // inclusive; below first when nothing is selected
};

alarm_range selected(int almid) {
  if (almid == ALM_ALL) return {0, NUM_ALM - 1};
  if (almid >= 0 && almid < NUM_ALM) return {almid, almid};
  return {0, -1};
}

void alarm_key(char (&key)[16], int i) { std::snprintf(key, sizeof key, "alm%d", i); }

void load_alarm(int i) {
  char key[16];
  alarm_key(key, i);
  int start = 0;
  cfg_readIntParam(key, &start, 0);
  alarmrec_t& a = alm_list[i];
  a.start = start;
  // A reload starts from the saved state as a restart does. Keeping an
  // unreported stop here would leave the record ended with nothing left to
  // report or checkpoint, so it could never be raised again.
  a.stop = 0;
  a.fchanged = 0;
}

void save_alarm(int i) {
  char key[16];
  alarm_key(key, i);
  cfg_writeIntParam(key, static_cast<int>(alm_list[i].start));
}

int unreported() {
  int n = 0;
  for (const alarmrec_t& a : alm_list) n += a.fchanged != 0 ? 1 : 0;
  return n;
}

int update(const sampleset_t* sset) {
  if (sset == nullptr) return 0;
  const int num = sset->num < 0 ? 0 : (sset->num > MAX_SAMPLE ? MAX_SAMPLE : sset->num);
  int count = 0;
  for (int i = 0; i < num; ++i) {
    const sample_t& e = sset->el[i];
    // A start or stop of 0 means "none": a sample without a real time
    // cannot date an alarm.
    if (e.time >= 2) {
      for (int j = 0; j < NUM_ALM; ++j) {
        alarmrec_t& a = alm_list[j];
        const bool present = (e.alm & msk_alm[j]) != 0;
        // Even times for the first alarm, odd for the second: the two never
        // share a start or stop time.
        const time_t stamp = static_cast<time_t>(e.time / 2) * 2 + j;
        if (present && a.start == 0) {
          a.start = stamp;
          a.fchanged = 1;
          ++count;
        } else if (!present && a.start != 0 && a.stop == 0) {
          a.stop = stamp;
          a.fchanged = 1;
          ++count;
        }
      }
    }
    std::printf("RES:%d\n", count);
  }
  // Transitions whose report failed go out again with the next alarm report.
  return count != 0 ? count : unreported();
}

void checkpoint() {
  for (int i = 0; i < NUM_ALM; ++i) {
    alarmrec_t& a = alm_list[i];
    if (a.fchanged == 0) continue;
    if (!alm_active(i)) {
      a.start = 0;
      a.stop = 0;
    }
    a.fchanged = 0;
    save_alarm(i);
  }
}

}  // namespace

int procAlarms(int op, int almid, sampleset_t* sset) {
  switch (op) {
    case OP_ALM_LOAD:
    case OP_ALM_SAVE: {
      const alarm_range r = selected(almid);
      for (int i = r.first; i <= r.last; ++i) {
        if (op == OP_ALM_LOAD) {
          load_alarm(i);
        } else {
          save_alarm(i);
        }
      }
      return 0;
    }
    case OP_ALM_UPDATE:
      return update(sset);
    case OP_ALM_CHECKPOINT:
      checkpoint();
      return 0;
    default:
      return 0;
  }
}

int grab_counter_alarms(int cnt) {
  if (cnt < 0 || cnt >= MAX_COUNTERS) return 0;
  sampleset_t& set = curr_alarmset[cnt];
  set = sampleset_t{};
  set.cnt = cnt;
  auto add = [&set](time_t t, int alm) {
    sample_t& e = set.el[set.num++];
    e.time = static_cast<std::int32_t>(t);
    e.etot = 0;
    e.ptot = DUM_PTOT;
    e.alm = alm;
    e.dbm = 0;
  };
  if (cnt == 0 && f_remote_err != 0) add(tm_remote_err, BIT_ALM_SENDERR);
  if (f_alm_counter_offline[cnt] != 0) {
    const time_t first = tm_alm_counter_first[cnt];
    const long long panic = static_cast<long long>(cfg_cntpanic) * 60;
    const bool dead =
        first != 0 &&
        static_cast<long long>(sys::clock().now()) - static_cast<long long>(first) > panic;
    add(tm_alm_counter_offline[cnt], dead ? BIT_ALM_CNDEAD : BIT_ALM_CNOFFLINE);
  }
  if (cnt == 0 && f_alm_gateway_offline != 0) add(tm_alm_gateway_offline, BIT_ALM_GWOFFLINE);
  return 0;
}
