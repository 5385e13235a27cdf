// One periodic send end to end: simulated counters on a pty, the real
// transfer script, and the stand-in monitoring server on loopback.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "core/runstate.h"
#include "core/settings.h"
#include "device/device.h"
#include "fake_clock.h"
#include "process.h"
#include "radiosim.h"
#include "scheduler/scheduler.h"
#include "sercomm.h"
#include "temp_dir.h"
#include "util.h"

namespace {

// The source tree, from this file's own path.
std::string source_dir() {
  const std::string f = __FILE__;
  return f.substr(0, f.rfind("/tests/integration/"));
}

class ExchangeMonitor : public testing::Test {
 protected:
  void SetUp() override {
    dir.write("config/.keep", "");
    dir.write("tmp/.keep", "");
    setenv("ZANTOR_TMPDIR", dir.file("tmp").c_str(), 1);
    monitor = std::make_unique<testsupport::Process>(
        std::vector<std::string>{"/usr/bin/env", "python3",
                                 source_dir() + "/tools/monitor/monitor.py", "--strict", "--record",
                                 dir.file("record.jsonl")},
        testsupport::ProcessOptions{dir.path(), {}, dir.file("monitor.out")});
    ASSERT_TRUE(monitor->wait_for_output("\n", std::chrono::seconds(20)));
    const std::string port = monitor->output().substr(0, monitor->output().find('\n'));

    radiosim::Config cfg;
    cfg.now = [this] { return sim_now.load(); };
    cfg.counters[0].alarm = alarm_at_start;
    cfg.counters[0].prefill = 5;
    cfg.counters[1].prefill = 4;
    for (int i = 2; i < radiosim::kMaxCounters; ++i) cfg.counters[i].present = false;
    sim = std::make_unique<radiosim::Simulator>(cfg);
    auto p = radiosim::open_pty();
    ASSERT_TRUE(p.has_value());
    pty = *p;
    ASSERT_TRUE(sim->start(pty.master));

    copy_str(cfg_serialcfg, pty.slave_path + ";19200,N,8,1;10/0/300/./.");
    copy_str(cfg_sendscript, source_dir() + "/runtime/bin/sendjson.sh");
    copy_str(cfg_srvurl, "http://127.0.0.1:" + port + "/");
    copy_str(cfg_pointid, "abc");
    copy_str(cfg_nimp, "Impianto \"Sole\"");
    cfg_numcounters = 2;
    cfg_pnomxlmask = 0;
    cfg_acqtime = 900;
    cfg_regist = 1;
    device_init();
    pthread_mutex_init(&sercomm_mutex, nullptr);
    ASSERT_EQ(sercomm_init(), 0);
  }
  void TearDown() override {
    sercomm_shutdown();
    if (sim) sim->stop();
    radiosim::close_pty(pty);
    unsetenv("ZANTOR_TMPDIR");
  }

  // Records of the documents the server received, of one kind.
  std::vector<std::string> received(const std::string& kind) {
    std::vector<std::string> out;
    std::istringstream in(dir.read("record.jsonl"));
    for (std::string line; std::getline(in, line);)
      if (line.find("\"kind\": \"" + kind + "\"") != std::string::npos) out.push_back(line);
    return out;
  }
  int send() {
    testing::internal::CaptureStdout();
    {
      const main_guard lock;
      poll_devices(POLL_ALL);
      validate_time();
    }
    const int r = send_data();
    testing::internal::GetCapturedStdout();
    return r;
  }

  int alarm_at_start = 0;
  std::atomic<std::int64_t> sim_now{std::time(nullptr)};
  testsupport::TempDir dir;
  testsupport::ScopedChdir cd{dir.path()};
  // Our clock runs 1000 s behind, so the server's "utc" corrects it.
  testsupport::FakeClock clock{std::time(nullptr) - 1000};
  testsupport::ScopedClock use{clock};
  std::unique_ptr<testsupport::Process> monitor;
  std::unique_ptr<radiosim::Simulator> sim;
  radiosim::Pty pty{};
};

}  // namespace

TEST_F(ExchangeMonitor, EverySampleReachesTheServerBeforeItsCounterForgetsIt) {
  testing::internal::CaptureStdout();
  {
    const main_guard lock;
    poll_devices(POLL_ALL);
    validate_time();
    post_midnight = calc_post_midnight(0) - 1;  // the daily report is due
  }
  const int r = send_data();
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(r, ERR_NONE) << log << monitor->output();

  int datalogs[3] = {0, 0, 0};
  std::vector<std::string> kinds;
  std::istringstream in(dir.read("record.jsonl"));
  for (std::string line; std::getline(in, line);) {
    EXPECT_NE(line.find("\"ok\": true"), std::string::npos) << line;
    const auto k = line.find("\"kind\": \"");
    ASSERT_NE(k, std::string::npos);
    kinds.push_back(line.substr(k + 9, line.find('"', k + 9) - k - 9));
    if (kinds.back() == "setDataLog") {
      ++datalogs[line.find("\"counter\": 2") != std::string::npos ? 2 : 1];
    }
    if (kinds.back() == "setStatus") {
      EXPECT_NE(line.find(R"("nomeInstall": "Impianto \"Sole\"")"), std::string::npos) << line;
    }
  }
  // 5 and 4 samples at three a pass: two data exchanges each.
  EXPECT_EQ(datalogs[1], 2);
  EXPECT_EQ(datalogs[2], 2);
  EXPECT_EQ(kinds.back(), "setConf");
  for (int c = 1; c <= 2; ++c) {
    const auto st = sim->state(c);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->checkpoint, st->newest) << c;
  }
  ASSERT_FALSE(clock.set_calls().empty());  // only our fake clock moved
  EXPECT_GT(clock.set_calls().front(), VALID_TIME_THRESHOLD);
  EXPECT_EQ(last_sendset[1].num, 1);
}

// The PV alarm bit in counter 1's samples raises the plant's PV alarm; the
// server hears of the start and, once samples come without it, of the end,
// after which the record is cleared.
class ExchangeMonitorAlarm : public ExchangeMonitor {
 protected:
  void SetUp() override {
    alarm_at_start = BIT_ALM_PV;
    ExchangeMonitor::SetUp();
  }
};

TEST_F(ExchangeMonitorAlarm, RaisedAndEndedAlarmsAreReportedAndCleared) {
  cfg_numcounters = 1;
  ASSERT_EQ(send(), ERR_NONE) << monitor->output();
  auto alarms = received("setAlarms");
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_NE(alarms[0].find("ALARM_ATTIVO"), std::string::npos) << alarms[0];
  EXPECT_NE(alarms[0].find("Allarme PV"), std::string::npos) << alarms[0];
  EXPECT_EQ(alm_active(ALM_PV), 1);
  EXPECT_EQ(alm_list[ALM_PV].fchanged, 0);  // reported: nothing pending

  // Later samples without the bit end the alarm.
  sim->set_alarm(1, 0);
  sim_now += 4 * 900;
  sim->tick();
  ASSERT_EQ(send(), ERR_NONE) << monitor->output();
  alarms = received("setAlarms");
  ASSERT_EQ(alarms.size(), 2u);
  EXPECT_NE(alarms[1].find("ENDED_ALARM"), std::string::npos) << alarms[1];
  EXPECT_EQ(alm_active(ALM_PV), 0);
  EXPECT_EQ(alm_list[ALM_PV].start, 0);  // cleared once the end was reported

  // Nothing changed since: no further alarm document.
  sim_now += 900;
  sim->tick();
  ASSERT_EQ(send(), ERR_NONE);
  EXPECT_EQ(received("setAlarms").size(), 2u);
}
