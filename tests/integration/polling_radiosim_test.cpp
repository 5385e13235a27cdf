// Full polls against the radio simulator over a real pseudo-terminal: what a
// poll costs on the line, and what it reads.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

#include "core/settings.h"
#include "device/device.h"
#include "radiosim.h"
#include "sercomm.h"
#include "util.h"

namespace {

class PollRadiosim : public testing::Test {
 protected:
  radiosim::Pty pty{};
  std::unique_ptr<radiosim::Simulator> sim;

  void start(int counters, bool gateway = true) {
    radiosim::Config cfg;
    for (int i = 0; i < radiosim::kMaxCounters; ++i) cfg.counters[i].present = i < counters;
    cfg.gateway_present = gateway;
    cfg.interval = 60;
    cfg.counters[0].prefill = 5;
    sim = std::make_unique<radiosim::Simulator>(cfg);
    auto p = radiosim::open_pty();
    ASSERT_TRUE(p.has_value());
    pty = *p;
    ASSERT_TRUE(sim->start(pty.master));

    copy_str(cfg_serialcfg, pty.slave_path + ";19200,N,8,1;10/0/300/./.");
    cfg_numcounters = counters;
    device_init();
    pthread_mutex_init(&sercomm_mutex, nullptr);
    ASSERT_EQ(sercomm_init(), 0);
    // Absent devices cost one read timer each; keep it short.
    sercomm_setMaxTimeout(300);
  }

  int poll() {
    sim->clear_requests();
    testing::internal::CaptureStdout();
    const int r = poll_devices(POLL_ALL);
    testing::internal::GetCapturedStdout();
    return r;
  }

  void TearDown() override {
    sercomm_shutdown();
    if (sim) sim->stop();
    radiosim::close_pty(pty);
  }
};

}  // namespace

TEST_F(PollRadiosim, FourCountersCostTwoPlusElevenExchangesEach) {
  start(4);
  EXPECT_EQ(poll(), 0);
  EXPECT_EQ(sim->requests().size(), 2u + 4u * 11u);
  EXPECT_EQ(gw1->status, ST_READY);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(counter_list[i].dev->status, ST_READY) << i;
    EXPECT_EQ(counter_list[i].pvars[CN1_ON]->value.i, 1) << i;
    EXPECT_STREQ(counter_list[i].pvars[CN1_VER]->value.s, "060502") << i;
  }
  // What counter 1 holds is what the poll read.
  const auto st = sim->state(1);
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(counter_list[0].pvars[CN1_OLDS]->value.i, static_cast<int>(st->oldest));
  EXPECT_EQ(counter_list[0].pvars[CN1_NEWS]->value.i, static_cast<int>(st->newest));
  EXPECT_EQ(counter_list[0].pvars[CN1_LOF]->status, ST_READY);
  // The serial number is the gateway MAC's first four bytes reversed.
  const std::string mac = varp[GW1_MAC]->value.s;
  ASSERT_GE(mac.size(), 8u);
  sys_poll(sys_dev, varp[SYS_SN]);
  EXPECT_EQ(std::string(varp[SYS_SN]->value.s),
            mac.substr(6, 2) + mac.substr(4, 2) + mac.substr(2, 2) + mac.substr(0, 2));
}

TEST_F(PollRadiosim, AbsentGatewayCostsOnePingPerPollAndKeepsItsValues) {
  start(1);
  poll();
  const std::string ver = varp[GW1_VER]->value.s;
  ASSERT_FALSE(ver.empty());
  sim->set_absent(radiosim::kGateway, true);
  for (int round = 0; round < 2; ++round) {
    EXPECT_NE(poll(), 0);
    EXPECT_EQ(sim->request_count(radiosim::kGateway, "4QZ"), 1u) << round;
    EXPECT_EQ(sim->request_count(radiosim::kGateway, "4VS"), 0u) << round;
    EXPECT_EQ(gw1->status, ST_UNKNOWN);
    EXPECT_EQ(varp[GW1_ON]->value.i, 0);
    EXPECT_STREQ(varp[GW1_VER]->value.s, ver.c_str());
    EXPECT_EQ(sim->request_count(1, "4QZ"), 1u);  // the counter is still read
  }
}

TEST_F(PollRadiosim, NoCountersConfiguredReadsOnlyTheGateway) {
  start(2);
  cfg_numcounters = 0;
  poll();
  EXPECT_EQ(sim->requests().size(), 2u);
  EXPECT_EQ(sys_dev->status, ST_READY);
}

TEST_F(PollRadiosim, AbsentCounterIsTriedOnceAndRecovers) {
  start(2);
  sim->set_absent(2, true);
  poll();
  EXPECT_EQ(sim->request_count(2, "4QZ"), 1u);
  EXPECT_EQ(sim->requests().size(), 2u + 11u + 1u);
  EXPECT_EQ(counter_list[1].dev->status, ST_UNKNOWN);
  EXPECT_EQ(counter_list[1].pvars[CN1_ON]->value.i, 0);
  EXPECT_EQ(f_alm_counter_offline[1], 1);

  sim->set_absent(2, false);
  poll();
  EXPECT_EQ(counter_list[1].dev->status, ST_READY);
  EXPECT_EQ(counter_list[1].pvars[CN1_ON]->value.i, 1);
}
