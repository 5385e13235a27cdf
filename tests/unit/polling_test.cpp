// The polling cycle against a scripted gateway and counters on a pty.
#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "device_radio_fixture.h"

using testsupport::answer;
using testsupport::garbage;
using testsupport::RadioAnswer;
using testsupport::RadioRequest;

namespace {

const std::string kGwMac = "12345678ABCDEF01";
const std::string kRadio = "RADIO-INFO-0123456789-ABCDEFGHIJKLMN";  // 36 characters
const std::string kConfig = "X00640E10ABCDEFGH003C038401F4-tail";
const char* const kCounterCmds[] = {"4QZ", "4SZ", "4AR", "4pw", "4VS", "4PH",
                                    "4CK", "4CP", "4SO", "4SN", "4IN"};

std::string hex8(long long v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08X", static_cast<unsigned>(v));
  return s;
}

time_t utc(int y, int m, int d, int h = 0) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = m - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  return timegm(&t);
}

// Every device present and answering.
RadioAnswer healthy(const RadioRequest& r) {
  if (r.dest == 65535) return answer(r.cmd == "4QZ" ? kGwMac + "----" + kRadio + "ZZ" : "010203");
  const std::string c = r.cmd;
  const std::string n = std::to_string(r.dest);
  if (c == "4QZ") return answer("00000000000000C" + n + "0123456789F6");  // signal -10
  if (c == "4SZ") return answer(kConfig);
  if (c == "4AR") return answer("6553F100006400000" + n + "1F051");  // 23: signal 5
  if (c == "4VS") return answer("060415");
  if (c == "4CK") return answer("6553F200");
  if (c == "4SO" || c == "4SN") return answer("6553F000");
  return answer("1");
}

}  // namespace

class PollingTest : public DeviceRadioTest {
 protected:
  int poll(const std::string& want_log = "") {
    radio_.clear();
    testing::internal::CaptureStdout();
    const int r = poll_devices(POLL_ALL);
    log_ = testing::internal::GetCapturedStdout();
    if (!want_log.empty()) {
      EXPECT_NE(log_.find(want_log), std::string::npos) << log_;
    }
    return r;
  }
  std::string log_;
};

TEST_F(PollingTest, FullPollReadsEveryRadioVariableOnce) {
  cfg_numcounters = 4;
  cfg_pnomxlmask = 1 << 2;  // counter 2 scaled
  radio_.set_script(healthy);
  EXPECT_EQ(poll("Reading Counter 4 (addr:4) (devid:6)\n"), 0);

  std::vector<std::string> want = {"65535:4QZ:", "65535:4VS:"};
  for (int n = 1; n <= 4; ++n)
    for (const char* c : kCounterCmds) want.push_back(std::to_string(n) + ":" + c + ":");
  EXPECT_EQ(radio_.summary(), want);  // 2 + 4 x 11 exchanges

  EXPECT_EQ(std::string(varp[GW1_MAC]->value.s), kGwMac);
  EXPECT_EQ(std::string(varp[GW1_RAD]->value.s), kRadio);
  EXPECT_EQ(std::string(varp[SYS_SN]->value.s), "78563412");
  EXPECT_EQ(varp[GW1_ON]->value.i, 1);
  for (int n = 0; n < 4; ++n) {
    SCOPED_TRACE(n);
    const int scale = n == 1 ? 10 : 1;
    EXPECT_EQ(cn(n).dev->status, ST_READY);
    EXPECT_EQ(std::string(var(n, CN1_MAC).value.s), "00000000000000C" + std::to_string(n + 1));
    EXPECT_EQ(var(n, CN1_SIG).value.i, 5);            // the sample's level replaced the ping's
    EXPECT_EQ(var(n, CN1_TIME).value.i, 0x6553F200);  // the clock replaced the sample's time
    EXPECT_EQ(var(n, CN1_ETOT).value.i, (0x1F + 0x100 * (n + 1)) * scale);
    EXPECT_EQ(var(n, CN1_ALM).value.i, 1);
    EXPECT_EQ(var(n, CN1_WHI).value.i, 100 * scale);
    EXPECT_EQ(var(n, CN1_PMIN).value.i, 3600 * scale);
    EXPECT_EQ(var(n, CN1_PNOM).value.i, 500 * scale);
    EXPECT_EQ(var(n, CN1_LOF).value.i, 900);
    EXPECT_EQ(var(n, CN1_HIF).value.i, 60);
    EXPECT_EQ(var(n, CN1_ON).value.i, 1);
  }
  EXPECT_NE(log_.find("CN2 lof: 384 hif:  3c whi: 3e8 pnom:1388 pmin:8ca0 (scaled:1)\n"),
            std::string::npos);
}

TEST_F(PollingTest, NoCountersReadsOnlyTheLocalAppAndTheGateway) {
  cfg_numcounters = 0;
  radio_.set_script(healthy);
  EXPECT_EQ(poll(), 0);
  EXPECT_EQ(radio_.summary(), (std::vector<std::string>{"65535:4QZ:", "65535:4VS:"})) << log_;
  EXPECT_EQ(log_.find("Reading"), std::string::npos);
  EXPECT_EQ(sys_dev->status, ST_READY);
  EXPECT_EQ(varp[SYS_NUMCNT]->value.i, 0);
}

TEST_F(PollingTest, AFailedExchangeSkipsTheRestOfThatDevice) {
  cfg_numcounters = 2;
  // Gateway absent from the start: one ping, no serial number.
  radio_.set_script([](const RadioRequest& r) { return r.dest == 65535 ? garbage() : healthy(r); });
  EXPECT_EQ(poll(), ERR_SERCOMM);
  EXPECT_EQ(radio_.requests().at(0).cmd, "4QZ");
  EXPECT_EQ(radio_.requests().size(), 1U + 2 * 11);
  EXPECT_EQ(std::string(varp[SYS_SN]->value.s), "?");
  EXPECT_EQ(varp[GW1_MAC]->status, ST_UNKNOWN);

  radio_.set_script(healthy);
  EXPECT_EQ(poll(), 0);

  // Now the gateway is gone again and counter 1 loses its configuration read.
  radio_.set_script([](const RadioRequest& r) {
    if (r.dest == 65535 || (r.dest == 1 && r.cmd == "4SZ")) return garbage();
    return healthy(r);
  });
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(poll(), ERR_SERCOMM);
    std::vector<std::string> want = {"65535:4QZ:", "1:4QZ:", "1:4SZ:"};
    for (const char* c : kCounterCmds) want.push_back(std::string("2:") + c + ":");
    EXPECT_EQ(radio_.summary(), want);

    EXPECT_EQ(gw1->status, ST_UNKNOWN);
    EXPECT_EQ(varp[GW1_ON]->value.i, 0);
    EXPECT_EQ(varp[GW1_PING]->status, ST_UNKNOWN);
    EXPECT_EQ(varp[GW1_VER]->status, ST_READY);
    EXPECT_EQ(std::string(varp[GW1_VER]->value.s), "010203");
    EXPECT_EQ(varp[GW1_MAC]->status, ST_READY);
    EXPECT_EQ(std::string(varp[GW1_MAC]->value.s), kGwMac);
    EXPECT_EQ(std::string(varp[GW1_RAD]->value.s), kRadio);

    EXPECT_EQ(cn(0).dev->status, ST_UNKNOWN);
    EXPECT_EQ(var(0, CN1_ON).value.i, 0);
    EXPECT_EQ(var(0, CN1_CFG).status, ST_UNKNOWN);
    EXPECT_EQ(var(0, CN1_WHI).status, ST_READY);
    EXPECT_EQ(var(0, CN1_WHI).value.i, 100);
    EXPECT_EQ(var(0, CN1_PNOM).value.i, 500);
    EXPECT_EQ(cn(1).dev->status, ST_READY);
  }
}

TEST_F(PollingTest, ShiftedFirmwareCorrectsOldestAndNewestSampleTimes) {
  const int day = 86400;
  struct Case {
    const char* ver;
    int var;
    long long t;
    int offset;
  } cases[] = {
      {"060415", CN1_NEWS, utc(2024, 3, 1), day},  // leap year
      {"060415", CN1_NEWS, utc(2024, 2, 28), 0},
      {"060415", CN1_NEWS, utc(2024, 12, 30), day},
      {"060415", CN1_NEWS, utc(2024, 12, 31), 0},
      {"060415", CN1_OLDS, utc(2025, 3, 5), -day},  // the year after
      {"060415", CN1_OLDS, utc(2025, 3, 1), 0},
      {"060415", CN1_NEWS, utc(2025, 2, 1), 0},
      {"060415", CN1_NEWS, utc(2025, 12, 5), -9 * day},
      {"060415", CN1_NEWS, utc(2026, 1, 5), -11 * day},  // two years after
      {"060415", CN1_NEWS, utc(2026, 1, 12), 0},
      {"060415", CN1_NEWS, utc(2027, 1, 5), 0},
      {"060415", CN1_CHK, utc(2024, 3, 1), 0},  // not a sample time
      {"060415", CN1_NEWS, 0, 0},               // no sample
      {"06041C", CN1_NEWS, utc(2025, 3, 5), -day},
      {"06041c-x", CN1_NEWS, utc(2025, 3, 5), -day},
      {"06041D", CN1_NEWS, utc(2025, 3, 5), 0},
      {"060500", CN1_NEWS, utc(2025, 3, 5), 0},
      {"0604", CN1_NEWS, utc(2025, 3, 5), 0},  // cut: unknown firmware
      {"06041", CN1_NEWS, utc(2025, 3, 5), 0},
      {"0604 1", CN1_NEWS, utc(2025, 3, 5), 0},
      {"", CN1_NEWS, utc(2025, 3, 5), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ver) + " " + std::to_string(c.t));
    copy_str(var(0, CN1_VER).value.s, c.ver);
    radio_.set_script([&c](const RadioRequest&) { return answer(hex8(c.t)); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(telvo_poll(cn(0).dev, cn(0).pvars[c.var]), ERR_NONE);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(static_cast<unsigned>(var(0, c.var).value.i), static_cast<unsigned>(c.t + c.offset));
    EXPECT_EQ(log.find("Possible wrong value -> add an offset of " + std::to_string(c.offset)) !=
                  std::string::npos,
              c.offset != 0)
        << log;
  }
}

// An empty reply is a good reading; integers are read from the whole text.
TEST_F(PollingTest, RepliesAreStoredAsTheyCame) {
  struct Case {
    int var;
    const char* reply;
    int value;
  } cases[] = {
      {CN1_VER, "", 0},
      {CN1_CHK, "", 0},
      {CN1_CHK, "FFFFFFFF", -1},
      {CN1_IH, "8000", 0x8000},  // unsigned: no sign from the width
  };
  for (const auto& c : cases) {
    copy_str(var(0, c.var).value.s, "old");
    radio_.set_script([&c](const RadioRequest&) { return answer(c.reply); });
    testing::internal::CaptureStdout();
    EXPECT_EQ(telvo_poll(cn(0).dev, cn(0).pvars[c.var]), ERR_NONE);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(var(0, c.var).status, ST_READY);
    EXPECT_EQ(std::string(var(0, c.var).value.s), c.var == CN1_VER ? "" : "old");
    EXPECT_EQ(var(0, c.var).value.i, c.value);
  }
}

TEST_F(PollingTest, OfflineBookkeepingKeepsTheFirstOutage) {
  static int led_refreshes;
  led_refreshes = 0;
  hook_update_leds = [] { ++led_refreshes; };
  std::atomic<bool> up{false};
  radio_.set_script([&up](const RadioRequest&) { return up ? answer("x") : garbage(); });
  const time_t t1000 = utc(2024, 6, 1, 10);
  struct Step {
    int hour_quarters;  // since 10:00
    bool up;
    time_t first;
    int on, leds;
  } steps[] = {
      {0, false, t1000, 0, 0},  // already unknown: no LED refresh
      {1, true, 0, 1, 1},
      {4, false, 0, 0, 2},
      {5, false, 0, 0, 2},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.hour_quarters);
    clock_.set(t1000 + s.hour_quarters * 900);
    up = s.up;
    testing::internal::CaptureStdout();
    telvo_poll(cn(0).dev, cn(0).pvars[CN1_PING]);
    telvo_poll(cn(1).dev, cn(1).pvars[CN1_PING]);  // never refreshes the LEDs
    telvo_poll(gw1, varp[GW1_PING]);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(f_alm_counter_offline[0], 1);
    EXPECT_EQ(tm_alm_counter_offline[0], t1000);
    EXPECT_EQ(tm_alm_counter_first[0], s.first);
    EXPECT_EQ(var(0, CN1_ON).value.i, s.on);
    EXPECT_EQ(tm_alm_gateway_offline, t1000);
    EXPECT_EQ(varp[GW1_ON]->value.i, s.on);
    EXPECT_EQ(led_refreshes, s.leds);
  }
}
