// Counter requests against a scripted counter on a pty.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device_radio_fixture.h"

using testsupport::answer;
using testsupport::garbage;
using testsupport::RadioAnswer;
using testsupport::RadioRequest;

namespace {

std::string narrow(unsigned time, unsigned ptot, unsigned etot, unsigned alm) {
  char s[32];
  std::snprintf(s, sizeof s, "%08X%04X%08X%X", time, ptot, etot, alm);
  return s;
}
std::string wide(unsigned time, unsigned ptot, unsigned etot, unsigned dbm, unsigned alm) {
  char s[32];
  std::snprintf(s, sizeof s, "%08X%04X%08X%02X%X", time, ptot, etot, dbm & 0xFF, alm);
  return s;
}

// Positions 0 and 9..16 and the tail are the counter's own.
const std::string kConfig = "X00640E10ABCDEFGH003C038401F4-tail";

}  // namespace

class CounterTest : public DeviceRadioTest {};

TEST_F(CounterTest, CommandRequestsAndWhatTheyStore) {
  struct Case {
    const char* what;
    int mask;
    std::function<int()> op;
    std::string want;  // dest:cmd:data
    const char* log;
    int etot;  // CN1_ETOT afterwards
  } cases[] = {
      {"preset", 0, [] { return set_energy_counter(counter_list[0].dev, 123456); },
       "1:4CS:000001E240", "Setting energy counter 1: 123456 (scaled:0)\n", 123456},
      {"preset scaled", 1, [] { return set_energy_counter(counter_list[0].dev, 123456); },
       "1:4CS:0000003039", "Setting energy counter 1: 123456 (scaled:1)\n", 123456},
      {"reset", 1, [] { return set_energy_counter(counter_list[0].dev, -1); }, "1:4CR:00",
       "Setting energy counter 1: -1 (scaled:1)\n", -1},
      {"clock", 0, [] { return telvo_set_clock(counter_list[0].dev, 1700000000); },
       "1:4CK:6553F100", "Adjusting counter 1 clock\n", 0},
      {"device reset", 0, [] { return telvo_reset(counter_list[1].dev); },
       "2:4rs:", "Resetting device cn2\n", 0},
      {"open", 0, [] { return telvo_netop(nullptr, 1); }, "65535:4PJ:", "Open radio network\n", 0},
      {"close", 0, [] { return telvo_netop(gw1, 0); }, "65535:4CJ:", "Close radio network\n", 0},
  };
  for (const auto& c : cases) {
    for (bool lost : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (lost ? " lost" : ""));
      cfg_pnomxlmask = c.mask;
      var(0, CN1_ETOT).value.i = 0;
      radio_.clear();
      radio_.set_script([lost](const RadioRequest&) { return lost ? garbage() : answer(""); });
      testing::internal::CaptureStdout();
      EXPECT_EQ(c.op(), lost ? ERR_CMDEXEC : ERR_NONE);
      const std::string log = testing::internal::GetCapturedStdout();
      EXPECT_EQ(radio_.summary(), std::vector<std::string>{c.want});
      EXPECT_EQ(radio_.requests().at(0).src, 65535);
      EXPECT_NE(log.find(c.log), std::string::npos) << log;
      EXPECT_EQ(var(0, CN1_ETOT).value.i, lost ? 0 : c.etot);
    }
  }
  // A lost exchange marks the device offline.
  EXPECT_EQ(gw1->status, ST_UNKNOWN);
  EXPECT_EQ(varp[GW1_ON]->value.i, 0);
}

TEST_F(CounterTest, ThresholdConversionInSinglePrecision) {
  struct Case {
    int whi, arg, want;
  } cases[] = {
      {10, 1000, 921},
      {10, 921, 1000},
      {10, 0, 0},
      {0, 1000, 0},
      {21, 36, 53759},  // the product rounds just below 53760 in single precision
      {7, 630, 1024},   // and here just onto 1024
      {21, 120, 16127},
      {-10, 1000, -921},
      {655350, 1, 2147483647},  // saturates instead of overflowing
  };
  for (const auto& c : cases) {
    EXPECT_EQ(calcAaaa(c.whi, c.arg), c.want) << c.whi << " " << c.arg;
    var(0, CN1_WHI).value.i = c.whi;
    var(0, CN1_PMIN).value.i = c.arg;
    EXPECT_EQ(getPmin(&cn(0)), c.want) << c.whi << " " << c.arg;
  }
}

TEST_F(CounterTest, SampleBatchIsBoundedByCountAndText) {
  const std::string a = narrow(0x6553F100, 0x64, 0x1F, 1);
  const std::string b = narrow(0x6553F484, 0xC8, 0x20, 0);
  struct Case {
    const char* what;
    RadioAnswer reply;
    int err, num;
    std::vector<int> dbm;
  } cases[] = {
      {"47 characters",
       answer("2" + wide(0x6553F100, 0x64, 0x1F, 0xF6, 1) + wide(0x6553F484, 0xC8, 0x20, 0x05, 0)),
       ERR_NONE,
       2,
       {-10, 5}},
      {"none", answer("0"), ERR_NONE, 0, {}},
      {"digit above 3", answer("5" + a + b + a + b), ERR_NONE, 3, {0, 0, 0}},
      {"fewer than announced", answer("3" + a + b), ERR_NONE, 2, {0, 0}},
      {"cut sample", answer("2" + a + b.substr(0, 10)), ERR_NONE, 1, {0}},
      {"not a digit", answer("A" + a + b), ERR_NONE, 0, {}},
      {"empty", answer(""), ERR_SERCOMM, 0, {}},
      {"lost", garbage(), ERR_SERCOMM, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    radio_.set_script([&c](const RadioRequest&) { return c.reply; });
    sampleset_t s{};
    s.num = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_samples(cn(0).dev, &s), c.err);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(s.num, c.num);
    for (int i = 0; i < s.num; ++i) {
      EXPECT_EQ(s.el[i].time, i % 2 ? 0x6553F484 : 0x6553F100);
      EXPECT_EQ(s.el[i].etot, i % 2 ? 0x20 : 0x1F);
      EXPECT_EQ(s.el[i].alm, i % 2 ? 0 : 1);
      EXPECT_EQ(s.el[i].dbm, c.dbm[static_cast<size_t>(i)]);
    }
    if (c.num > 0) {
      EXPECT_NE(log.find("Read sample 0 6553f100 64 1f "), std::string::npos) << log;
    }
  }
}

TEST_F(CounterTest, CheckpointRefusalIsNotALostExchange) {
  struct Case {
    RadioAnswer reply;
    int err;
    const char* log;
  } cases[] = {
      {answer("0"), ERR_NONE, "Checkpoint counter 1 update OK\n"},
      {answer("1"), ERR_CHECKPOINT, "Checkpoint counter 1 update FAIL\n"},
      {answer(""), ERR_SERCOMM, ""},
      {garbage(), ERR_SERCOMM, ""},
  };
  for (const auto& c : cases) {
    radio_.set_script([&c](const RadioRequest&) { return c.reply; });
    testing::internal::CaptureStdout();
    EXPECT_EQ(update_checkpoint(cn(0).dev), c.err);
    const std::string log = testing::internal::GetCapturedStdout();
    if (*c.log) {
      EXPECT_NE(log.find(c.log), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("Checkpoint"), std::string::npos) << log;
    }
  }
  sample_t sam{1, 2, 3, 4, 5};
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_last_sample(cn(0).dev, &sam), ERR_SERCOMM);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sam.time, 0);
  EXPECT_EQ(sam.etot, 0);
}

TEST_F(CounterTest, ConfigurationRewrite) {
  struct Case {
    const char* what;
    int mask;
    bool write_lost;
    std::string sent;  // "" when nothing may be written
    int whi, pnom, pmin;
  } cases[] = {
      {"scaled", 1, false, "X00020190ABCDEFGH00780384003C-tail", 20, 600, 4000},
      {"unscaled", 0, false, "X00190FA0ABCDEFGH00780384003C-tail", 25, 60, 4000},
      // The failed write shows in the read-back, not in the result.
      {"write lost", 0, true, "X00190FA0ABCDEFGH00780384003C-tail", 0x64, 0x1F4, 0xE10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    cfg_pnomxlmask = c.mask;
    std::string stored = kConfig;
    radio_.clear();
    radio_.set_script([&](const RadioRequest& r) {
      if (r.cmd == "4ST") {
        if (c.write_lost) return garbage();
        stored = r.data;
      }
      return answer(r.cmd == "4SZ" ? stored : "");
    });
    const int pnom = c.mask ? 600 : 60;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_config(0, 900, 120, 25, pnom, 4000), ERR_NONE);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(radio_.summary(), (std::vector<std::string>{"1:4SZ:", "1:4ST:" + c.sent, "1:4SZ:"}));
    EXPECT_NE(log.find("CN1 write_config after:  " + c.sent), std::string::npos);
    EXPECT_EQ(var(0, CN1_WHI).value.i, c.whi);
    EXPECT_EQ(var(0, CN1_PNOM).value.i, c.pnom);
    EXPECT_EQ(var(0, CN1_PMIN).value.i, c.pmin);
    EXPECT_EQ(var(0, CN1_HIF).value.i, c.write_lost ? 60 : 120);
  }

  // Nothing is written over a configuration that could not be read, or
  // that is too short to hold its fields.
  for (const RadioAnswer& first : {garbage(), answer(kConfig.substr(0, 28))}) {
    radio_.clear();
    radio_.set_script([&first](const RadioRequest&) { return first; });
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_config(0, 900, 120, 25, 60, 4000),
              first.kind == RadioAnswer::Kind::Garbage ? ERR_SERCOMM : ERR_CMDEXEC);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(radio_.summary(), std::vector<std::string>{"1:4SZ:"});
  }
}
