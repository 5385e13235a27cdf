// The exchange with the server through stub transfer scripts: documents,
// command line, replies, clock correction, failure counters, upgrade, LEDs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/hooks.h"
#include "device/device.h"
#include "fake_clock.h"
#include "mygpio.h"
#include "scheduler/scheduler.h"
#include "scheduler_stubs.h"
#include "sim_board.h"

using Args = std::vector<std::string>;

namespace {

std::string doc(void (*build)(xstring_p)) {
  XSTRING(s, buf, 8000);
  build(&s);
  return s.s;
}

}  // namespace

class Exchange : public testing::Test {
 protected:
  void SetUp() override {
    device_init();
    for (auto& a : alm_list) a.start = a.stop = a.fchanged = 0;
    fail_conn = fail_setstatus = fail_setconf = fail_setdatalog = 0;
    f_remote_err = 0;
    cfg_regist = 1;
    cfg_nimp[0] = '\0';
    scheduler_init();
  }
  void TearDown() override { hook_update_leds = nullptr; }
  int exchange(int flags, sampleset_t* set = nullptr) {
    testing::internal::CaptureStdout();
    const int r = curl_exec_json(flags, set);
    log_ = testing::internal::GetCapturedStdout();
    return r;
  }
  std::vector<Args> sends() const { return tree_.calls("send.sh"); }

  testsupport::FakeClock clock_{1700000000};
  testsupport::ScopedClock scoped_{clock_};
  StubTree tree_;
  std::string log_;
};

TEST_F(Exchange, DocumentsFollowTheFlagsInTheirFixedOrder) {
  sampleset_t set{};
  set.num = 1;
  set.el[0] = {1700000000, 500, 100, 0, -60};
  const std::string status = doc(build_setStatus);

  EXPECT_EQ(exchange(0), ERR_NONE);
  EXPECT_TRUE(sends().empty());

  EXPECT_EQ(exchange(FLAG_SETSTATUS | FLAG_SETALARMS, &set), ERR_NONE);  // no alarm changed
  EXPECT_EQ(sends().back(), (Args{cfg_srvurl, "20", "1", "query=[" + status + "]"}));

  set.el[0].alm = BIT_ALM_PV;  // raises the PV alarm: its report follows the data log
  XSTRING(dl, dlbuf, 8000);
  build_setDataLog(&dl, &set);
  EXPECT_EQ(exchange(FLAG_SETDATALOG | FLAG_SETALARMS, &set), ERR_NONE);
  const std::string q = sends().back().at(3);
  EXPECT_EQ(q.rfind("query=[" + std::string(dl.s) + ",{\"act\":\"setAlarms\"", 0), 0U) << q;
  EXPECT_EQ(q.back(), ']');
  EXPECT_EQ(alm_list[ALM_PV].fchanged, 0);  // delivered: checkpointed

  set.num = 0;  // an empty data log leaves no stray separator
  EXPECT_EQ(exchange(FLAG_SETDATALOG | FLAG_SETSTATUS, &set), ERR_NONE);
  EXPECT_EQ(sends().back().at(3).rfind("query=[{\"act\":\"setStatus\"", 0), 0U);
}

TEST_F(Exchange, ServerTimeSetsTheClockOnlyWhenFarOffAndValid) {
  struct Case {
    const char* reply;
    int flags;
    time_t want;  // 0: clock left alone
  } cases[] = {
      {R"({"utc":1700000200})", FLAG_SETSTATUS, 0},
      {R"({"utc":1700000400})", FLAG_SETSTATUS, 1700000400},
      {R"({"x":1,"utc": 1699999600,"y":2})", FLAG_SETSTATUS, 1699999600},
      {R"({"utc":"soon"})", FLAG_SETSTATUS, 0},
      {R"({"utc":1000})", FLAG_SETSTATUS, 0},  // not a valid time itself
      {R"({"utc":99999999999999999999})", FLAG_SETSTATUS, 0},
      {R"({"utc":1700000400})", FLAG_SETCONF, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    clock_.set(1700000000);
    tree_.dir.write("send.sh.reply", c.reply);
    const size_t before = clock_.set_calls().size();
    EXPECT_EQ(exchange(c.flags), ERR_NONE);
    const auto calls = clock_.set_calls();
    if (c.want == 0) {
      EXPECT_EQ(calls.size(), before);
    } else {
      ASSERT_EQ(calls.size(), before + 1);
      EXPECT_EQ(calls.back(), c.want);
      EXPECT_NE(log_.find("\nIMPOSTATO TIME\n"), std::string::npos);
    }
  }
}

TEST_F(Exchange, SuccessIsTheExitCodeAndTheReplyComesFromTheFirstFile) {
  struct Case {
    const char* script;  // nullptr: the stub
    int rc;
    const char* reply1;
    const char* reply2;
    int want;
    int remon;
    const char* remote;
  } cases[] = {
      {nullptr, 0, nullptr, nullptr, ERR_NONE, 1, CURL_ERRSERVER},
      {nullptr, 0, nullptr, R"({"utc":1800000000})", ERR_NONE, 1, ""},
      {nullptr, 3, R"({"err":"no"})", nullptr, ERR_SENDSCRIPT, 0, R"({"err":"no"})"},
      {"", 0, nullptr, nullptr, ERR_SENDSCRIPT, 0, CURL_ERRSERVER},
      {"  ", 0, nullptr, nullptr, ERR_SENDSCRIPT, 0, CURL_ERRSERVER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rc << " " << (c.script ? c.script : "stub"));
    copy_str(cfg_sendscript, c.script ? c.script : tree_.dir.file("send.sh"));
    tree_.dir.write("send.sh.rc", std::to_string(c.rc));
    std::remove(tree_.dir.file("send.sh.reply").c_str());
    std::remove(tree_.dir.file("send.sh.second").c_str());
    for (const char* f : {"tmp/remote1.dat", "tmp/remote2.dat"}) {
      std::remove(tree_.dir.file(f).c_str());
    }
    if (c.reply1) tree_.dir.write("send.sh.reply", c.reply1);
    if (c.reply2) tree_.dir.write("send.sh.second", c.reply2);
    const size_t before = sends().size();
    EXPECT_EQ(exchange(FLAG_SETSTATUS), c.want);
    EXPECT_EQ(sends().size(), before + (c.script ? 0 : 1));
    EXPECT_EQ(varp[SYS_REMON]->value.i, c.remon);
    EXPECT_EQ(varp[SYS_REMON]->status, ST_READY);
    EXPECT_STREQ(remote_err.s, c.remote);
    EXPECT_TRUE(clock_.set_calls().empty());
  }
}

TEST_F(Exchange, FailuresAreCountedPerDocumentAndPersisted) {
  read_write_failures(0);
  tree_.dir.write("send.sh.rc", "1");
  for (int i = 0; i < 3; ++i) {
    clock_.advance(60);
    EXPECT_EQ(exchange(FLAG_SETSTATUS), ERR_SENDSCRIPT);
  }
  EXPECT_EQ(tree_.dir.read("config/fails.dat"), "3/3/0/0");
  EXPECT_EQ(f_remote_err, 1);
  EXPECT_EQ(tm_remote_err, 1700000060);  // the first failure's time

  fail_conn = fail_setstatus = 0;
  read_write_failures(0);
  EXPECT_EQ(fail_conn + fail_setstatus, 6);
  tree_.dir.write("config/fails.dat", "7/8");
  read_write_failures(0);
  EXPECT_EQ((std::vector<int>{fail_conn, fail_setstatus, fail_setconf, fail_setdatalog}),
            (std::vector<int>{7, 8, 0, 0}));
}

TEST_F(Exchange, ALongQueryIsCutAtTheEscapedLimit) {
  std::string quotes(255, '"');
  copy_str(cfg_nimp, quotes);
  copy_str(cfg_indir, quotes);
  copy_str(cfg_cmail, quotes);
  EXPECT_EQ(exchange(FLAG_INITCONF | FLAG_SETCONF | FLAG_SETSTATUS), ERR_NONE);
  const std::string q = sends().back().at(3);
  size_t escaped = 0;
  for (char ch : q) escaped += ch == '"' ? 2 : 1;
  EXPECT_TRUE(escaped == 4094 || escaped == 4095) << escaped;
  EXPECT_EQ(q.rfind("query=[{\"act\":\"initConf\"", 0), 0U);
}

TEST_F(Exchange, NoSettingOrReplyTextRunsACommand) {
  // The working directory is the tree, so "canary" lands there.
  const std::string evil = "x'; touch canary; '\"$(touch canary)`touch canary`\"; touch canary #";
  copy_str(cfg_nimp, evil);
  copy_str(cfg_srvurl, "http://h/" + evil);
  EXPECT_EQ(exchange(FLAG_INITCONF | FLAG_SETSTATUS), ERR_NONE);
  ASSERT_EQ(sends().size(), 1U);
  EXPECT_EQ(sends()[0].at(0), std::string(cfg_srvurl));

  const Args args = {"h;touch canary", "'$(touch canary)'", "a'b", "`touch canary`",
                     "\"; touch canary #"};
  const std::string query = "ftp=" + args[0] + "&prt=21;touch canary&bin=" + args[1] +
                            "&usr=" + args[2] + "&pwd=" + args[3] + "&pth=" + args[4];
  tinycommand_t cmd{};
  testing::internal::CaptureStdout();
  command_parse(&cmd, query.c_str(), static_cast<int>(query.size()));
  EXPECT_EQ(proc_remote_upgrade(&cmd), ERR_NONE);
  testing::internal::GetCapturedStdout();
  const auto calls = tree_.calls("bin/ftpupgrade.sh");
  ASSERT_EQ(calls.size(), 1U);
  EXPECT_EQ(calls[0], (Args{"F", args[0], "0", args[1], args[2], args[3], args[4], "upgrade.tgz"}));
  EXPECT_FALSE(tree_.dir.exists("canary"));
}

TEST_F(Exchange, UpgradeNeedsEveryParameterAndAWholeCommandLine) {
  struct Case {
    const char* query;
    int rc;
    int want;
    Args args;  // empty: the script must not run
  } cases[] = {
      {"ftp=srv&prt=21&bin=fw&usr=u&pwd=p&pth=/up",
       0,
       ERR_NONE,
       {"F", "srv", "21", "fw", "u", "p", "/up", "upgrade.tgz"}},
      {"ftp=srv&prt=x&bin=fw&usr=u&pwd=p&pth=/up",
       0,
       ERR_NONE,
       {"F", "srv", "0", "fw", "u", "p", "/up", "upgrade.tgz"}},
      {"ftp=srv&prt=21&bin=fw&usr=u&pwd=p", 0, ERR_FTPPARAM, {}},
      {"ftp=srv&prt=21&bin=fw&usr=u&pwd=p&pth=/up",
       4,
       ERR_FTPSCRIPT,
       {"F", "srv", "21", "fw", "u", "p", "/up", "upgrade.tgz"}},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Would not fit the 256-character command line: refused, not cut.
  all.push_back({nullptr, 0, ERR_FTPPARAM, {}});
  for (const auto& c : all) {
    SCOPED_TRACE(c.query ? c.query : "long");
    tinycommand_t cmd{};
    const std::string q =
        c.query ? c.query : "ftp=srv&prt=21&bin=fw&usr=u&pwd=p&pth=" + std::string(210, 'a');
    testing::internal::CaptureStdout();
    command_parse(&cmd, q.c_str(), static_cast<int>(q.size()));
    tree_.dir.write("bin/ftpupgrade.sh.rc", std::to_string(c.rc));
    std::remove(tree_.dir.file("bin/ftpupgrade.sh.log").c_str());
    EXPECT_EQ(proc_remote_upgrade(&cmd), c.want);
    testing::internal::GetCapturedStdout();
    const auto calls = tree_.calls("bin/ftpupgrade.sh");
    if (c.args.empty()) {
      EXPECT_TRUE(calls.empty());
    } else {
      ASSERT_EQ(calls.size(), 1U);
      EXPECT_EQ(calls[0], c.args);
    }
  }
}

TEST_F(Exchange, LedsShowServerAndCounterState) {
  testsupport::make_sim_board(tree_.dir.file("board"));
  setenv("ZANTOR_SYSROOT", tree_.dir.file("board").c_str(), 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(gpio_init(), ERR_NONE);
  testing::internal::GetCapturedStdout();
  struct Case {
    char remon_status;
    int remon;
    char cn1, cn2;
    int numcounters;
    int green, yellow;
  } cases[] = {
      {ST_READY, 1, ST_READY, ST_READY, 2, 1, 0},   {ST_READY, 0, ST_READY, ST_READY, 2, 0, 0},
      {ST_UNKNOWN, 1, ST_READY, ST_READY, 2, 0, 0}, {ST_READY, 1, ST_READY, ST_UNKNOWN, 2, 1, 1},
      {ST_READY, 1, ST_READY, ST_UNKNOWN, 1, 1, 0}, {ST_READY, 1, ST_UNKNOWN, ST_UNKNOWN, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.remon << c.cn1 << c.cn2 << c.numcounters);
    varp[SYS_REMON]->status = c.remon_status;
    varp[SYS_REMON]->value.i = c.remon;
    counter_list[0].dev->status = c.cn1;
    counter_list[1].dev->status = c.cn2;
    cfg_numcounters = c.numcounters;
    call_update_leds();  // the hook polling calls, installed at init
    EXPECT_EQ(testsupport::sim_gpio_value(tree_.dir.file("board"), GPIO_LED_GREEN), c.green);
    EXPECT_EQ(testsupport::sim_gpio_value(tree_.dir.file("board"), GPIO_LED_YELLOW), c.yellow);
  }
  gpio_shutdown();
  unsetenv("ZANTOR_SYSROOT");
}
