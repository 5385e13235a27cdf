// The scheduler loop in simulated time (hours of passes in milliseconds),
// and the periodic send against scripted counters and a stub script.
#include "scheduler/scheduler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "device_radio_fixture.h"
#include "leapday.h"
#include "mygpio.h"
#include "scheduler_stubs.h"

using testsupport::answer;
using testsupport::RadioAnswer;
using testsupport::RadioRequest;

namespace {

// Whole seconds; each sleep moves it on and prints "@<time>", so every log
// line can be dated. After `passes` sleeps it asks the loop to stop; one
// scripted jump may move it anywhere.
class SimClock final : public sys::Clock {
 public:
  explicit SimClock(time_t start) : now_(start) {}
  timeval now_tv() override {
    const std::lock_guard lock(m_);
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(now_);
    return tv;
  }
  void sleep_ns(long long ns) override {
    long long now = 0;
    {
      const std::lock_guard lock(m_);
      now_ += ns / 1000000000LL;
      if (jump_from != 0 && now_ == jump_from) {
        now_ = jump_to;
        jump_from = 0;
      }
      now = now_;
    }
    std::printf("@%lld\n", now);
    if (--passes <= 0) scheduler_kill();
  }
  int set_time(const timeval& tv) override {
    const std::lock_guard lock(m_);
    now_ = tv.tv_sec;
    return 0;
  }
  long long passes = 0;
  long long jump_from = 0;
  long long jump_to = 0;

 private:
  std::mutex m_;
  long long now_;
};

time_t local(int y, int mo, int d, int h, int mi, int s) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return mktime(&t);
}

// One run of the loop: each log line with the time of its pass.
struct LoopRun {
  std::vector<std::pair<time_t, std::string>> lines;
  std::vector<long long> at(const std::string& needle, time_t base = 0) const {
    std::vector<long long> out;
    for (const auto& [t, l] : lines) {
      if (l.find(needle) != std::string::npos) out.push_back(t - base);
    }
    return out;
  }
};

LoopRun run_loop(SimClock& clk, long long passes) {
  clk.passes = passes;
  scheduler_sigexit = 0;
  time_t t = clk.now();
  testing::internal::CaptureStdout();
  scheduler_run(nullptr);
  std::istringstream in(testing::internal::GetCapturedStdout());
  LoopRun run;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '@') {
      t = std::stoll(line.substr(1));
    } else {
      run.lines.emplace_back(t, line);
    }
  }
  return run;
}

void loop_settings(const char* pointid, int maxdly, int acqtime) {
  copy_str(cfg_pointid, pointid);
  cfg_maxdly = maxdly;
  cfg_acqtime = acqtime;
  cfg_regist = 0;  // each send stops at "Not registered": no radio, no script
  cfg_numcounters = 0;
}

constexpr const char* SEND = "Sending data to remote server";

}  // namespace

class Loop : public testing::Test {
 protected:
  void SetUp() override {
    device_init();
    scheduler_init();
    for (auto& g : gpiolist) g = {-1, 0};  // no board: the LEDs stay closed
    loop_settings("abc", 600, 900);
  }
  void TearDown() override { hook_update_leds = nullptr; }
  StubTree tree_;
};

TEST_F(Loop, SendsFollowThePeriodAndTheHashedDelay) {
  struct Case {
    const char* pointid;
    int maxdly, acqtime;
    std::vector<long long> sends;
  } cases[] = {
      {"abc", 600, 900, {354, 1254, 2154, 3054}},
      {"abc", 0, 900, {0, 900, 1800, 2700}},
      {"", 600, 900, {0, 900, 1800, 2700}},  // the first pass sends
      {"abc", 600, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pointid << " " << c.maxdly << " " << c.acqtime);
    loop_settings(c.pointid, c.maxdly, c.acqtime);
    const time_t start = local(2024, 1, 15, 12, 0, 30);
    SimClock clk(start);
    testsupport::ScopedClock use(clk);
    EXPECT_EQ(run_loop(clk, 3600).at(SEND, start), c.sends);
  }
  loop_settings("abc", 600, 900);
  EXPECT_EQ(magic_delay_calculator(), 354);
  EXPECT_EQ(magic_delay_calculator(), 354);
}

TEST_F(Loop, ClockJumpsSkipWholePeriodsOrWait) {
  struct Case {
    long long jump_to;  // from start + 100
    long long passes;
    std::vector<long long> sends;
    long long first_check;
  } cases[] = {
      {2850, 2000, {0, 2850, 3600, 4500}, 2850},  // one send for the skipped periods
      {-1000, 2200, {0, 900}, 301},               // nothing until the plan is reached again
  };
  loop_settings("", 0, 900);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.jump_to);
    const time_t start = 1700000000;
    SimClock clk(start);
    clk.jump_from = start + 100;
    clk.jump_to = start + c.jump_to;
    testsupport::ScopedClock use(clk);
    const LoopRun run = run_loop(clk, c.passes);
    EXPECT_EQ(run.at(SEND, start), c.sends);
    ASSERT_FALSE(run.at("Time check").empty());
    EXPECT_EQ(run.at("Time check", start).front(), c.first_check);
  }
}

TEST_F(Loop, AReloadRestartsTheScheduleFromTheReloadTime) {
  const time_t start = local(2024, 1, 15, 11, 50, 0);
  SimClock clk(start);
  testsupport::ScopedClock use(clk);
  EXPECT_EQ(run_loop(clk, 630).at(SEND, start), (std::vector<long long>{354}));
  const time_t reload = local(2024, 1, 15, 12, 0, 30);
  ASSERT_EQ(clk.now(), reload);
  const LoopRun second = run_loop(clk, 1800);
  EXPECT_EQ(second.at(SEND, reload), (std::vector<long long>{354, 1254}));  // 12:06:24, 12:21:24
  EXPECT_EQ(second.at("Reading failures").size(), 1U);                      // start-up steps again
  EXPECT_EQ(second.at("INF: Exit scheduler_run()").size(), 1U);
}

TEST_F(Loop, NightlyJobsRunOncePerDayInTheirWindows) {
  loop_settings("abc", 600, 0);
  const time_t start = local(2024, 1, 15, 22, 0, 0);
  SimClock clk(start);
  testsupport::ScopedClock use(clk);
  const LoopRun run = run_loop(clk, 48 * 3600);
  struct Job {
    const char* line;
    int hour, minute;
  } jobs[] = {{"INF: Midnight check", 23, 50}, {"INF: Eleven time check", 23, 10}};
  for (const auto& j : jobs) {
    SCOPED_TRACE(j.line);
    const auto times = run.at(j.line);
    ASSERT_EQ(times.size(), 2U);
    for (size_t k = 0; k < times.size(); ++k) {
      const time_t t = static_cast<time_t>(times[k]);
      struct tm lt {};
      localtime_r(&t, &lt);
      EXPECT_EQ(lt.tm_mday, 15 + static_cast<int>(k));
      EXPECT_EQ(lt.tm_hour, j.hour);
      EXPECT_EQ(lt.tm_min / 10 * 10, j.minute);
    }
  }
  EXPECT_EQ(tree_.calls("bin/kickntpd.sh").size(), 2U);  // the clock is valid: only 23:10
}

// The clock check with a counter that has not reported its start-up yet.
class LoopWithRadio : public DeviceRadioTest {
 protected:
  StubTree tree_;
};

TEST_F(LoopWithRadio, AnInvalidClockKicksNtpEveryCheckAndNeverTouchesACounter) {
  struct Case {
    time_t start;
    size_t kicks;
    bool clock_requests;
  } cases[] = {
      {VALID_TIME_THRESHOLD - 5000, 3, false},
      {1700000000, 0, true},
  };
  radio_.set_script(
      [](const RadioRequest& r) { return answer(r.cmd == "4CK" ? "6553F200" : "1"); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    loop_settings("", 0, 0);
    cfg_numcounters = 1;
    std::remove(tree_.dir.file("bin/kickntpd.sh.log").c_str());
    radio_.clear();
    SimClock clk(c.start);
    sys::set_clock(&clk);
    const LoopRun run = run_loop(clk, 1000);  // checks at 301, 602 and 903 s
    sys::set_clock(&clock_);
    EXPECT_EQ(run.at("INF: Time check").size(), 3U);
    EXPECT_EQ(tree_.calls("bin/kickntpd.sh").size(), c.kicks);
    bool any = false;
    for (const auto& r : radio_.requests()) any = any || r.cmd == "4CK";
    EXPECT_EQ(any, c.clock_requests);
  }
}

// Counters with stored samples behind a scripted radio; 4MV forgets them.
class SendData : public DeviceRadioTest {
 protected:
  void SetUp() override {
    DeviceRadioTest::SetUp();
    cfg_numcounters = 2;
    copy_str(cfg_pointid, "abc");
    cfg_regist = 1;
    f_valid_time = 1;
    scheduler_sigexit = 0;
    scheduler_init();
    hook_update_leds = nullptr;
    for (auto& s : last_sendset) s = sampleset_t{};
    radio_.set_script([this](const RadioRequest& r) { return device(r); });
  }
  RadioAnswer device(const RadioRequest& r) {
    const std::lock_guard lock(m_);
    const int n = r.dest >= 1 && r.dest <= 2 ? r.dest : 0;
    if (r.cmd == "4RS") {
      std::string s = std::to_string(pending_[n]);
      for (int i = 0; i < pending_[n]; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%08X0064000000%d00", 0x6553F100 + i * 900, n);
        s += text;
      }
      return answer(s);
    }
    if (r.cmd == "4MV") pending_[n] = 0;
    if (r.cmd == "4AR") return answer("6553F10000640000001F051");
    return answer(r.cmd == "4MV" ? "0" : "1");
  }
  std::vector<std::string> checkpoints() const {
    std::vector<std::string> out;
    for (const auto& r : radio_.requests()) {
      if (r.cmd == "4MV") out.push_back(std::to_string(r.dest));
    }
    return out;
  }

  std::mutex m_;
  int pending_[3] = {0, 0, 0};
  StubTree tree_;
};

TEST_F(SendData, EachCounterGoesInItsOwnExchangeBeforeItsCheckpoint) {
  struct Case {
    int samples1, samples2, rc;
    std::vector<std::string> flags, checkpoints;
    int want;
  } cases[] = {
      {2, 1, 0, {"8", "8", "20", "2"}, {"1", "2"}, ERR_NONE},
      {0, 1, 0, {"8", "20", "2"}, {"2"}, ERR_NONE},
      {2, 1, 1, {"8"}, {}, ERR_SENDSCRIPT},  // not delivered: nothing forgotten
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.samples1 << c.samples2 << c.rc);
    pending_[1] = c.samples1;
    pending_[2] = c.samples2;
    tree_.dir.write("send.sh.rc", std::to_string(c.rc));
    std::remove(tree_.dir.file("send.sh.log").c_str());
    radio_.clear();
    post_midnight = calc_post_midnight(0) - 1;  // the daily report is due
    testing::internal::CaptureStdout();
    EXPECT_EQ(send_data(), c.want);
    testing::internal::GetCapturedStdout();
    std::vector<std::string> flags;
    const auto calls = tree_.calls("send.sh");
    for (const auto& a : calls) flags.push_back(a.at(1));
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(checkpoints(), c.checkpoints);
    if (c.rc == 0 && c.samples2 > 0) {
      const std::string& q2 = calls.at(c.samples1 > 0 ? 1 : 0).at(3);
      EXPECT_NE(q2.find("\"nome\":\"200000\""), std::string::npos) << q2;
      EXPECT_EQ(last_sendset[1].num, c.samples2);
      EXPECT_EQ(post_midnight, calc_post_midnight(0));
    }
  }
}

TEST_F(SendData, TheServerAsksForTheConfigurationAndAnUpgrade) {
  post_midnight = calc_post_midnight(0);  // no daily report today
  tree_.dir.write("send.sh.reply20", R"({"cnf":1})");
  tree_.dir.write("send.sh.reply2",
                  R"({"ftp":"srv","prt":21,"bin":"fw","usr":"u","pwd":"p","pth":"/up"})");
  tree_.dir.write("bin/ftpupgrade.sh.rc", "0");
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_data(), ERR_NONE);
  testing::internal::GetCapturedStdout();
  std::vector<std::string> flags;
  for (const auto& a : tree_.calls("send.sh")) flags.push_back(a.at(1));
  EXPECT_EQ(flags, (std::vector<std::string>{"20", "2"}));
  EXPECT_EQ(tree_.calls("bin/ftpupgrade.sh"),
            (std::vector<std::vector<std::string>>{
                {"F", "srv", "21", "fw", "u", "p", "/up", "upgrade.tgz"}}));
}

class SyncTime : public DeviceRadioTest {};

TEST_F(SyncTime, CountersAreSetWhenAMinuteOffOrForced) {
  struct tm d {};
  d.tm_year = 2024 - 1900;
  d.tm_mon = 5;
  d.tm_mday = 10;
  d.tm_hour = 23;
  d.tm_min = 55;
  const time_t late = timegm(&d);  // 23:55 UTC in a leap year: a one-day offset
  ASSERT_EQ(loadClockOffset(late), 86400);
  struct Case {
    time_t now;
    long long counter_off;  // counter clock minus now
    const char* ver;
    bool initialised;
    long long want;  // set to now + want; -1: not set
  } cases[] = {
      {1700000000, -59, "060500", true, -1},
      {1700000000, -60, "060500", true, 0},
      {1700000000, 60, "060500", true, 0},
      {1700000000, 0, "060500", false, 0},
      {late, 0, "060410", true, 86400},
      {late, 0, "06041D", true, -1},
      {VALID_TIME_THRESHOLD, 3600, "060500", false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.now << " " << c.counter_off << " " << c.ver);
    clock_.set(c.now);
    copy_str(var(0, CN1_VER).value.s, c.ver);
    var(0, CN1_INIT).status = c.initialised ? ST_READY : ST_UNKNOWN;
    var(0, CN1_INIT).value.i = 1;
    char now_hex[16];
    std::snprintf(now_hex, sizeof now_hex, "%08llX",
                  static_cast<unsigned long long>(c.now + c.counter_off));
    radio_.set_script(
        [&](const RadioRequest& r) { return answer(r.data.empty() ? now_hex : "1"); });
    radio_.clear();
    testing::internal::CaptureStdout();
    sync_time();
    testing::internal::GetCapturedStdout();
    std::vector<std::string> sets;
    for (const auto& r : radio_.requests()) {
      if (r.cmd == "4CK" && !r.data.empty()) sets.push_back(r.data);
    }
    if (c.want < 0) {
      EXPECT_TRUE(sets.empty());
    } else {
      char want[16];
      std::snprintf(want, sizeof want, "%08llX", static_cast<unsigned long long>(c.now + c.want));
      EXPECT_EQ(sets, std::vector<std::string>{want});
    }
  }
}
