// The built daemon as a process in a temporary runtime tree: banner, start
// time, and how each signal ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "process.h"
#include "sim_board.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::ProcessOptions;
using testsupport::TempDir;

namespace {

struct Daemon {
  TempDir dir;
  std::unique_ptr<Process> proc;

  Daemon() {
    dir.write("config/.keep", "");
    testsupport::make_sim_board(dir.file("board"));
    ProcessOptions opts;
    opts.cwd = dir.path();
    opts.env = {{"ZANTOR_DRY_CLOCK", "1"},
                {"ZANTOR_TMPDIR", dir.path()},
                {"ZANTOR_SYSROOT", dir.file("board")}};
    opts.output_file = dir.file("daemon.log");
    proc = std::make_unique<Process>(std::vector<std::string>{ZANTOR_BINARY}, opts);
  }
};

}  // namespace

TEST(DaemonProcess, PrintsBannerThenStartTime) {
  Daemon d;
  ASSERT_TRUE(d.proc->wait_for_output("start daemons ...", 10s)) << d.proc->output();
  const std::string out = d.proc->output();
  // ctime form: "Mon Dec  7 20:09:59 2026\n" right after the banner.
  const std::regex head(
      "^zantor \\(v030200\\)\n[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");
  EXPECT_TRUE(std::regex_search(out, head)) << out;
  // After the first send the LEDs show the plant: the exchange failed (no
  // server: green off) and the configured counter does not answer, as there
  // is no radio (yellow on).
  const std::string board = d.dir.file("board");
  for (int i = 0; i < 500 && testsupport::sim_gpio_value(board, 5) != 1; ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(testsupport::sim_gpio_value(board, 2), 0);
  EXPECT_EQ(testsupport::sim_gpio_value(board, 5), 1);
}

TEST(DaemonProcess, EachStopSignalPrintsItsLineAndExitsZero) {
  const struct {
    int sig;
    const char* line;
  } cases[] = {{SIGINT, "SIGINT signal\n"},
               {SIGHUP, "SIGHUP signal\n"},
               {SIGQUIT, "SIGQUIT signal\n"},
               {SIGTERM, "SIGTERM signal\n"}};
  for (const auto& c : cases) {
    Daemon d;
    ASSERT_TRUE(d.proc->wait_for_output("start daemons ...", 10s)) << d.proc->output();
    d.proc->signal(c.sig);
    auto st = d.proc->wait(10s);
    ASSERT_TRUE(st.has_value()) << c.line << d.proc->output();
    EXPECT_TRUE(WIFEXITED(*st)) << c.line;
    EXPECT_EQ(WEXITSTATUS(*st), 0) << c.line;
    const std::string out = d.proc->output();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    // The cycle winds down in order after the signal.
    EXPECT_LT(out.find(c.line), out.rfind("DBG: ... shutdown daemons ...\n")) << out;
  }
}

TEST(DaemonProcess, SigpipeDoesNotEndIt) {
  Daemon d;
  ASSERT_TRUE(d.proc->wait_for_output("start daemons ...", 10s));
  d.proc->signal(SIGPIPE);
  EXPECT_FALSE(d.proc->wait(500ms).has_value()) << "SIGPIPE ended the daemon";
  d.proc->signal(SIGINT);
  auto st = d.proc->wait(10s);
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(WEXITSTATUS(*st), 0);
}
