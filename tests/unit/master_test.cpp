// The supervisor's own behaviour in-process: levelled log, clock validity,
// LED blink timing and the reload/exit cycle.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "config.h"
#include "core/log.h"
#include "core/runstate.h"
#include "fake_clock.h"
#include "sim_board.h"
#include "temp_dir.h"
#include "master.h"
#include "scheduler/scheduler.h"
#include "tcpdaemon.h"

using testsupport::FakeClock;
using testsupport::ScopedClock;

namespace {

int count(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t p = text.find(line); p != std::string::npos; p = text.find(line, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(Log, EachLevelHasItsTagAndOutOfRangeIsInfo) {
  struct Case {
    int lev;
    const char* want;
  } cases[] = {{-2, "DEV: x\n"}, {-1, "DBG: x\n"}, {0, "INF: x\n"}, {1, "WRN: x\n"},
               {2, "ERR: x\n"},  {3, "CRI: x\n"},  {7, "INF: x\n"}, {-5, "INF: x\n"},
               {4, "INF: x\n"},  {-3, "INF: x\n"}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    pr(c.lev, "x");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want) << "level " << c.lev;
  }
}

TEST(Log, WrappersUseTheirLevelAndKeepATrailingNewline) {
  testing::internal::CaptureStdout();
  dev("a");
  dbg("b");
  inf("c");
  warn("d");
  err("e");
  crit("Empty pointid\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "DEV: a\nDBG: b\nINF: c\nWRN: d\nERR: e\nCRI: Empty pointid\n\n");
}

TEST(ValidateTime, ThresholdItselfIsInvalid) {
  FakeClock clk(VALID_TIME_THRESHOLD);
  ScopedClock use(clk);
  testing::internal::CaptureStdout();
  validate_time();
  EXPECT_EQ(f_valid_time, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WRN: Invalid system time\n");

  clk.set(VALID_TIME_THRESHOLD + 1);
  testing::internal::CaptureStdout();
  validate_time();
  EXPECT_EQ(f_valid_time, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  clk.set(0);
  testing::internal::CaptureStdout();
  validate_time();
  EXPECT_EQ(f_valid_time, 0);
  testing::internal::GetCapturedStdout();
}

TEST(BlinkLeds, EightSteps50msEach) {
  FakeClock clk;
  ScopedClock use(clk);
  blink_leds();
  EXPECT_EQ(clk.total_slept_ns(), 8 * 50000000LL);
}

TEST(MasterCycle, ReloadRunsASecondCycleAndExitEndsAfterShutdown) {
  testsupport::TempDir dir;
  dir.write("config/.keep", "");
  testsupport::make_sim_board(dir.file("board"));
  setenv("ZANTOR_SYSROOT", dir.file("board").c_str(), 1);
  testsupport::ScopedChdir cd(dir.path());
  FakeClock clk;
  ScopedClock use(clk);
  testing::internal::CaptureStdout();
  std::thread supervisor(master_run);
  // The scheduler placeholder runs on the fake clock, so cycles spin fast;
  // wait until a cycle is running before asking for a reload.
  auto wait_slept = [&](long long ns) {
    for (int i = 0; i < 5000 && clk.total_slept_ns() < ns; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  wait_slept(2000000000LL);
  master_reload();
  // Only the start of a new cycle clears the scheduler's stop flag.
  for (int i = 0; i < 5000 && scheduler_sigexit; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(scheduler_sigexit, 0);
  master_exit();
  supervisor.join();
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(count(out, "DBG: ... init daemons ...\n"), 2);
  EXPECT_EQ(count(out, "DBG: start daemons ...\n"), 2);
  EXPECT_EQ(count(out, "DBG: ... shutdown daemons ...\n"), 2);
  // Each cycle starts, runs and shuts down before the next begins.
  const auto first_shutdown = out.find("... shutdown daemons ...");
  const auto second_init = out.find("... init daemons ...", out.find("... init daemons ...") + 1);
  EXPECT_LT(first_shutdown, second_init);
  EXPECT_EQ(f_exit, 1);
  EXPECT_EQ(scheduler_sigexit, 1);
  EXPECT_EQ(tcpdaemon_sigexit, 1);
}
