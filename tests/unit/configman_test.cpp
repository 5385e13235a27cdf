// The settings store against real files in a temporary runtime tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>

#include "configman.h"
#include "core/hooks.h"
#include "device/device.h"
#include "temp_dir.h"

using testsupport::ScopedChdir;
using testsupport::TempDir;

namespace {

class Configman : public testing::Test {
 protected:
  TempDir dir;
  ScopedChdir cd{dir.path()};

  void SetUp() override {
    dir.write("config/.keep", "");
    device_init();
  }
  void put(const std::string& key, const std::string& value) {
    dir.write("config/" + key + ".dat", value);
  }
  std::string get(const std::string& key) { return dir.read("config/" + key + ".dat"); }
  bool has(const std::string& key) { return dir.exists("config/" + key + ".dat"); }
  void load() {
    testing::internal::CaptureStdout();
    configman_init();
    log_ = testing::internal::GetCapturedStdout();
  }
  std::string log_;
};

}  // namespace

TEST_F(Configman, MissingFilesGiveTheDefaults) {
  load();
  EXPECT_STREQ(cfg_pointid, "");
  EXPECT_STREQ(cfg_ntpsrv, "");
  EXPECT_EQ(cfg_maxdly, 0);
  EXPECT_EQ(cfg_acqtime, 900);
  EXPECT_EQ(cfg_inttime, 60);
  EXPECT_EQ(cfg_cntpanic, 720);
  EXPECT_EQ(cfg_pnomxlmask, 0);
  EXPECT_EQ(cfg_numcounters, 1);
  EXPECT_EQ(cfg_prezzo, 274);
  EXPECT_EQ(cfg_regist, 0);
  EXPECT_EQ(cfg_co2, 500);
  EXPECT_EQ(cfg_dhcp, 1);
  EXPECT_EQ(cfg_alrpwr, 1);
  EXPECT_EQ(msk_alm[ALM_PV], MSK_ALM_PV);
  EXPECT_NE(log_.find("IP address: <"), std::string::npos);
  EXPECT_NE(log_.find("configman_init msk_alm[0] 3 msk_alm[1] 8\n"), std::string::npos);
}

TEST_F(Configman, IntegerFilesConvertLikeTheStoredTextsNeed) {
  const struct {
    const char* text;
    int want;
  } cases[] = {{"?", 274},   {"?123", 274}, {" 42abc", 42}, {"abc", 0},       {"", 0},
               {"-7", -7},   {"1000", 1000}, {"12\n", 12},  {"99999999999", 2147483647}};
  for (const auto& c : cases) {
    put("prezzo", c.text);
    int v = -1;
    cfg_readIntParam("prezzo", &v, 274);
    EXPECT_EQ(v, c.want) << '"' << c.text << '"';
  }
}

TEST_F(Configman, AcqtimeBelowOneBecomes900AndLimitsMaxdly) {
  for (const char* acq : {"0", "-5", static_cast<const char*>(nullptr)}) {
    if (acq != nullptr) put("acqtime", acq);
    put("maxdly", "1200");
    load();
    EXPECT_EQ(cfg_acqtime, 900) << (acq ? acq : "missing");
    EXPECT_EQ(cfg_maxdly, 900) << (acq ? acq : "missing");
  }
  put("acqtime", "300");
  put("maxdly", "200");
  load();
  EXPECT_EQ(cfg_acqtime, 300);
  EXPECT_EQ(cfg_maxdly, 200);
}

TEST_F(Configman, StoredCounterCountIsKeptWithinTheFourBlocks) {
  const struct {
    const char* text;
    int want;
  } cases[] = {{"7", 4}, {"4", 4}, {"0", 0}, {"-2", 0}, {"2", 2}};
  for (const auto& c : cases) {
    put("numcounters", c.text);
    load();
    EXPECT_EQ(cfg_numcounters, c.want) << c.text;
  }
}

TEST_F(Configman, LongTextIsCutTo255Characters) {
  put("nimp", std::string(300, 'x'));
  load();
  EXPECT_EQ(std::string(cfg_nimp), std::string(255, 'x'));
}

TEST_F(Configman, AlrpwrZeroAtLoadSwitchesThePvMask) {
  put("alrpwr", "0");
  load();
  EXPECT_EQ(msk_alm[ALM_PV], MSK_ALM_PV_ONLY);
  EXPECT_NE(log_.find("configman_init msk_alm[0] 1 msk_alm[1] 8\n"), std::string::npos);
}

TEST_F(Configman, NtpdConfHoldsExactlyTwoLines) {
  load();
  cfg_writeNtpdConf();
  EXPECT_EQ(dir.read("config/ntpd.conf"), "# ntpd configuration file\nserver \n");
  testing::internal::CaptureStdout();
  write_config_net(1, "", "", "", "", "pool.ntp.org");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(dir.read("config/ntpd.conf"), "# ntpd configuration file\nserver pool.ntp.org\n");
}

TEST_F(Configman, NetworkWriteWithDhcpLeavesStaticValuesAlone) {
  load();
  put("ip", "10.0.0.2");
  write_config_net(1, "192.168.1.9", "255.255.255.0", "192.168.1.1", "8.8.8.8", "ntp1");
  EXPECT_EQ(get("dhcp"), "1");
  EXPECT_EQ(get("ntpsrv"), "ntp1");
  EXPECT_EQ(get("ip"), "10.0.0.2");
  EXPECT_FALSE(has("mask"));
  EXPECT_FALSE(has("gway"));
  EXPECT_FALSE(has("dns"));
  EXPECT_STREQ(cfg_ip, "");
  EXPECT_EQ(varp[SYS_NTPSRV]->status, ST_READY);
  EXPECT_STREQ(varp[SYS_NTPSRV]->value.s, "ntp1");
  EXPECT_NE(varp[SYS_IP]->status, ST_READY);

  write_config_net(0, "192.168.1.9", "255.255.255.0", "192.168.1.1", "8.8.8.8", "ntp2");
  EXPECT_EQ(get("dhcp"), "0");
  EXPECT_EQ(get("ip"), "192.168.1.9");
  EXPECT_EQ(get("mask"), "255.255.255.0");
  EXPECT_EQ(get("gway"), "192.168.1.1");
  EXPECT_EQ(get("dns"), "8.8.8.8");
  EXPECT_STREQ(varp[SYS_GWAY]->value.s, "192.168.1.1");
  EXPECT_EQ(sys_dev->status, ST_READY);
}

TEST_F(Configman, SystemWritePersistsFourKeysAndSwitchesThePvMask) {
  load();
  testing::internal::CaptureStdout();
  write_config_sys(100, 900, 60, 1, 300, 450, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(get("pnomxlmask"), "1");
  EXPECT_EQ(get("prezzo"), "300");
  EXPECT_EQ(get("co2"), "450");
  EXPECT_EQ(get("alrpwr"), "0");
  EXPECT_FALSE(has("maxdly"));
  EXPECT_FALSE(has("acqtime"));
  EXPECT_FALSE(has("inttime"));
  EXPECT_EQ(msk_alm[ALM_PV], MSK_ALM_PV_ONLY);
  EXPECT_EQ(out, "configman_init msk_alm[0] 1 msk_alm[1] 8\n");
  EXPECT_EQ(varp[SYS_MAXDLY]->value.i, 100);
  EXPECT_EQ(varp[SYS_PREZZO]->value.i, 300);

  testing::internal::CaptureStdout();
  write_config_sys(100, 900, 60, 1, 300, 450, 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(msk_alm[ALM_PV], MSK_ALM_PV);
  EXPECT_EQ(get("alrpwr"), "1");
}

TEST_F(Configman, PlantTextsAndRegistrationArePersistedAndShown) {
  load();
  write_config_sys_ex("https://srv/x", "Impianto \"Sole\"", "Via Roma 1", "a@b.it");
  EXPECT_EQ(get("srvurl"), "https://srv/x");
  EXPECT_EQ(get("nimp"), "Impianto \"Sole\"");
  EXPECT_STREQ(varp[SYS_CMAIL]->value.s, "a@b.it");
  write_regist(1);
  EXPECT_EQ(get("regist"), "1");
  EXPECT_EQ(varp[SYS_REGIST]->value.i, 1);
  EXPECT_STREQ(varp[SYS_SN]->value.s, "?");  // no gateway MAC known yet
}

TEST_F(Configman, CounterCountWriteStartsAFullPoll) {
  load();
  static int polls = 0;
  hook_poll_devices = [](int mode) {
    polls += mode == POLL_ALL;
    return 0;
  };
  write_config_numcounters(3);
  hook_poll_devices = nullptr;
  EXPECT_EQ(get("numcounters"), "3");
  EXPECT_EQ(cfg_numcounters, 3);
  EXPECT_EQ(polls, 1);
}

// A power cut is a SIGKILL at any moment of a write: the setting must hold
// either the old or the new value, never nothing or a mix.
TEST_F(Configman, WriteKilledAtAnyMomentLeavesOldOrNewValue) {
  const std::string a(200, 'a'), b(200, 'b');
  put("nimp", a);
  std::mt19937 rng(12345);
  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (unsigned i = 0;; ++i) cfg_writeStrParam("nimp", (i % 2 ? a : b).c_str());
    }
    usleep(std::uniform_int_distribution<int>(0, 20000)(rng));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const std::string v = get("nimp");
    ASSERT_TRUE(v == a || v == b) << "round " << round << ": " << v.size() << " bytes";
  }
}
