// Commands against the radio simulator over a real pseudo-terminal: what a
// command changes in the counter is what the counter then reports.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/settings.h"
#include "device/device.h"
#include "radiosim.h"
#include "sercomm.h"
#include "temp_dir.h"
#include "tinycommand/tinycommand.h"
#include "util.h"

namespace {

class CommandsRadiosim : public testing::Test {
 protected:
  testsupport::TempDir dir;
  testsupport::ScopedChdir cd{dir.path()};
  radiosim::Pty pty{};
  std::unique_ptr<radiosim::Simulator> sim;
  tinycommand_t cmd{};

  void SetUp() override {
    dir.write("config/.keep", "");
    setenv("ZANTOR_TMPDIR", dir.path().c_str(), 1);
    radiosim::Config cfg;
    for (int i = 1; i < radiosim::kMaxCounters; ++i) cfg.counters[i].present = false;
    cfg.counters[0].prefill = 5;
    sim = std::make_unique<radiosim::Simulator>(cfg);
    auto p = radiosim::open_pty();
    ASSERT_TRUE(p.has_value());
    pty = *p;
    ASSERT_TRUE(sim->start(pty.master));
    copy_str(cfg_serialcfg, pty.slave_path + ";19200,N,8,1;10/0/300/./.");
    cfg_numcounters = 1;
    cfg_pnomxlmask = 0;
    cfg_acqtime = 900, cfg_inttime = 60, cfg_maxdly = 0, cfg_regist = 0;
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

  std::string run(const std::string& query) {
    testing::internal::CaptureStdout();
    command_parse(&cmd, query.c_str(), 4096);
    command_execute(&cmd);
    char buf[4096];
    command_tcpreply(&cmd, buf, sizeof buf);
    testing::internal::GetCapturedStdout();
    return buf;
  }
};

}  // namespace

TEST_F(CommandsRadiosim, ConfigurationAndEnergyReachTheCounter) {
  ASSERT_EQ(run("cmd=cfg&prezzo=30&co2=530&alrpwr=1&whi1=2.5&pnom1=300&pmin1=100").substr(0, 6),
            "err=0&");
  const std::string dump = run("cmd=rdall");
  EXPECT_NE(dump.find("&cn1.whi=25&"), std::string::npos) << dump;
  EXPECT_NE(dump.find("&cn1.pnom=300&"), std::string::npos);
  EXPECT_NE(dump.find("&cn1.pmin=23040&"), std::string::npos);  // 2.5 Wh pulses at 100 W

  EXPECT_EQ(run("cmd=setecount&param1=1234.56").substr(0, 6), "err=0&");
  EXPECT_EQ(sim->state(1)->energy, 123456U);
}

TEST_F(CommandsRadiosim, StatListsTheSamplesNotYetSent) {
  const auto stored = sim->stored(1);
  ASSERT_GE(stored.size(), 3U);
  sampleset_t next{};
  next.num = 3;
  for (int i = 0; i < 3; ++i) {
    const auto& s = stored[static_cast<std::size_t>(i)];
    next.el[i] = sample_t{static_cast<std::int32_t>(s.time), static_cast<std::int32_t>(s.etot),
                          static_cast<std::int32_t>(s.ptot), s.alm, 0};
  }
  char want[2048];
  jsonSampleSet(want, "cn1.nxtsnd", &next, 1);
  const std::string reply = run("cmd=stat");
  EXPECT_EQ(reply.substr(0, 6), "err=0&");
  EXPECT_NE(reply.find(want), std::string::npos) << reply;
  // Reading them does not move the checkpoint: they are still to be sent.
  EXPECT_EQ(run("cmd=stat"), reply);
}
