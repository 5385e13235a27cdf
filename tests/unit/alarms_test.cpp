// Alarm records: raised and ended from samples, reported until a
// checkpoint, start times kept across restarts; and the condition samples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/settings.h"
#include "device/device.h"
#include "fake_clock.h"
#include "scheduler/scheduler.h"
#include "temp_dir.h"

using testsupport::FakeClock;
using testsupport::ScopedChdir;
using testsupport::ScopedClock;
using testsupport::TempDir;

namespace {

struct rec {
  time_t start, stop;
  int fchanged;
  bool operator==(const rec&) const = default;
};

class Alarms : public testing::Test {
 protected:
  TempDir dir;
  ScopedChdir cd{dir.path()};

  void SetUp() override {
    dir.write("config/.keep", "");
    reset();
  }
  void TearDown() override { reset(); }
  static void reset() {
    for (auto& a : alm_list) a.start = a.stop = a.fchanged = 0;
    msk_alm[0] = MSK_ALM_PV;
    msk_alm[1] = MSK_ALM_ASSENZAPV;
  }
  // One update over samples given as {time, alm} pairs.
  static int update(std::vector<std::pair<int, int>> samples, std::string* out = nullptr) {
    sampleset_t set{};
    for (auto [t, alm] : samples) set.el[set.num++] = {t, 0, 0, alm, 0};
    testing::internal::CaptureStdout();
    const int n = procAlarms(OP_ALM_UPDATE, ALM_ALL, &set);
    const std::string log = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = log;
    return n;
  }
  static rec get(int i) { return {alm_list[i].start, alm_list[i].stop, alm_list[i].fchanged}; }
  std::string setting(int i) {
    const std::string f = "config/alm" + std::to_string(i) + ".dat";
    return dir.exists(f) ? dir.read(f) : "<none>";
  }
};

}  // namespace

TEST_F(Alarms, UpdateRaisesAndEndsWithEvenAndOddTimes) {
  const struct {
    const char* what;
    rec before0;
    int msk0;
    std::vector<std::pair<int, int>> samples;
    int result;
    rec after0, after1;
  } cases[] = {
      {"PV bit 2", {}, MSK_ALM_PV, {{1000001, 2}}, 1, {1000000, 0, 1}, {}},
      {"absent PV", {}, MSK_ALM_PV, {{1000001, 8}}, 1, {}, {1000001, 0, 1}},
      {"both", {}, MSK_ALM_PV, {{1000000, 9}}, 2, {1000000, 0, 1}, {1000001, 0, 1}},
      {"over nominal only", {}, MSK_ALM_PV, {{1000001, 4}}, 0, {}, {}},
      {"bit 2 ignored", {}, MSK_ALM_PV_ONLY, {{1000001, 2}}, 0, {}, {}},
      {"raise and end", {}, MSK_ALM_PV, {{1000001, 2}, {1000901, 0}}, 2, {1000000, 1000900, 1}, {}},
      {"end reported", {1000000, 0, 0}, MSK_ALM_PV, {{1000901, 0}}, 1, {1000000, 1000900, 1}, {}},
      {"ended stays until checkpoint",
       {1000000, 1000900, 1},
       MSK_ALM_PV,
       {{1001801, 1}},
       1,
       {1000000, 1000900, 1},
       {}},
      {"no time", {}, MSK_ALM_PV, {{1, 3}, {0, 8}}, 0, {}, {}},
  };
  for (const auto& c : cases) {
    reset();
    msk_alm[0] = c.msk0;
    alm_list[0].start = c.before0.start;
    alm_list[0].stop = c.before0.stop;
    alm_list[0].fchanged = c.before0.fchanged;
    EXPECT_EQ(update(c.samples), c.result) << c.what;
    EXPECT_EQ(get(0), c.after0) << c.what;
    EXPECT_EQ(get(1), c.after1) << c.what;
  }
  EXPECT_EQ(procAlarms(OP_ALM_UPDATE, ALM_ALL, nullptr), 0);
}

TEST_F(Alarms, CheckpointKeepsRaisedAlarmsAndIdlesEndedOnes) {
  update({{1000001, 2}});
  procAlarms(OP_ALM_CHECKPOINT, ALM_ALL, nullptr);
  EXPECT_EQ(get(0), (rec{1000000, 0, 0}));
  EXPECT_EQ(setting(0), "1000000");
  EXPECT_EQ(setting(1), "<none>");  // unchanged records are not written

  EXPECT_EQ(update({{1000001, 2}}), 0);  // still raised, already reported
  EXPECT_EQ(update({{1000901, 0}}), 1);
  procAlarms(OP_ALM_CHECKPOINT, ALM_ALL, nullptr);
  EXPECT_EQ(get(0), (rec{0, 0, 0}));
  EXPECT_EQ(setting(0), "0");
  EXPECT_EQ(update({{1001801, 1}}), 1);  // idle again: can be raised anew
  EXPECT_EQ(get(0), (rec{1001800, 0, 1}));
}

TEST_F(Alarms, AnUnreportedTransitionGoesOutWithTheNextReport) {
  std::string log;
  update({{1000001, 2}, {1000901, 8}}, &log);  // its exchange fails: no checkpoint
  EXPECT_EQ(log, "RES:1\nRES:3\n");
  EXPECT_EQ(update({{1001801, 8}}), 2);
  procAlarms(OP_ALM_CHECKPOINT, ALM_ALL, nullptr);
  EXPECT_EQ(update({{1002701, 8}}), 0);
}

TEST_F(Alarms, LoadBringsBackRaisedAlarms) {
  dir.write("config/alm1.dat", "1000001");
  alm_list[0] = {ALM_PV, 5, 7, "warning", "Allarme PV", 1};
  procAlarms(OP_ALM_LOAD, ALM_ALL, nullptr);
  EXPECT_EQ(get(0), (rec{0, 0, 0}));
  EXPECT_EQ(get(1), (rec{1000001, 0, 0}));
  EXPECT_EQ(alm_global(), 2);
  EXPECT_EQ(update({{1000901, 8}}), 0);  // not reported again while it lasts

  // An end whose report failed, then a reload: the alarm is raised again
  // from its saved start, so its end is seen and reported once more.
  alm_list[1].stop = 1000901;
  alm_list[1].fchanged = 1;
  procAlarms(OP_ALM_LOAD, ALM_ASSENZAPV, nullptr);
  EXPECT_EQ(get(1), (rec{1000001, 0, 0}));
  EXPECT_EQ(update({{1001801, 0}}), 1);

  alm_list[0].start = 1000000;
  procAlarms(OP_ALM_SAVE, ALM_ALL, nullptr);
  procAlarms(OP_ALM_SAVE, 7, nullptr);  // unknown id: nothing
  EXPECT_EQ(setting(0), "1000000");
  EXPECT_EQ(setting(1), "1000001");
}

TEST_F(Alarms, ConditionSamplesPerCounter) {
  FakeClock clock{1700000000};
  ScopedClock use_clock{clock};
  cfg_cntpanic = 720;
  const time_t edge = 1700000000 - 720 * 60;
  const int send = BIT_ALM_SENDERR, off = BIT_ALM_CNOFFLINE, dead = BIT_ALM_CNDEAD,
            gw = BIT_ALM_GWOFFLINE;
  const struct {
    int cnt;
    time_t first;                           // -1: the counter is online
    std::vector<std::pair<int, int>> want;  // {alm, time}
  } cases[] = {
      {0, edge, {{send, 1000}, {off, 2000}, {gw, 3000}}},
      {0, edge - 1, {{send, 1000}, {dead, 2000}, {gw, 3000}}},
      {0, 0, {{send, 1000}, {off, 2000}, {gw, 3000}}},
      {3, edge - 1, {{dead, 2000}}},
      {2, -1, {}},
  };
  f_remote_err = f_alm_gateway_offline = 1;
  tm_remote_err = 1000;
  tm_alm_gateway_offline = 3000;
  for (const auto& c : cases) {
    curr_alarmset[c.cnt] = {3, 9, {}};
    f_alm_counter_offline[c.cnt] = c.first >= 0 ? 1 : 0;
    tm_alm_counter_first[c.cnt] = c.first;
    tm_alm_counter_offline[c.cnt] = 2000;
    grab_counter_alarms(c.cnt);
    const sampleset_t& set = curr_alarmset[c.cnt];
    std::vector<std::pair<int, int>> got;
    for (int i = 0; i < set.num; ++i) {
      got.emplace_back(set.el[i].alm, set.el[i].time);
      EXPECT_EQ(set.el[i].ptot, DUM_PTOT);
    }
    EXPECT_EQ(set.cnt, c.cnt);
    EXPECT_EQ(got, c.want) << c.cnt << " " << c.first;
  }
  f_remote_err = f_alm_gateway_offline = 0;
  for (auto& f : f_alm_counter_offline) f = 0;
}
