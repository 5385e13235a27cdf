// The device data model: start-up state, lookups, derivations, sample texts
// and alarm queries.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "core/settings.h"
#include "device/device.h"
#include "util.h"

namespace {

class DeviceTables : public testing::Test {
 protected:
  void SetUp() override {
    cfg_pnomxlmask = 0;
    device_init();
  }
  void TearDown() override {
    cfg_pnomxlmask = 0;
    for (auto& a : alm_list) a.start = a.stop = 0;
  }
};

devicevar_t make_src(char status, const char* text) {
  devicevar_t v{};
  v.status = status;
  copy_str(v.value.s, text);
  return v;
}

}  // namespace

TEST_F(DeviceTables, InitLeavesOnlyTheOnlineFlagsReadyAndResetsAReload) {
  // Dirty everything a cycle could have touched, then start a new cycle.
  for (auto& row : var_list) {
    row.status = ST_READY;
    row.value.i = 7;
    copy_str(row.value.s, "stale");
  }
  counter_list[2].vars[CN1_ETOT].status = ST_READY;
  counter_list[2].vars[CN1_ETOT].value.i = 99;
  for (auto& d : device_list) d.status = ST_READY;
  device_list[DEV_NULL].status = 0;
  device_init();

  for (int id = CN1_MAXVAR; id < NUM_VAR; ++id) {
    ASSERT_EQ(varp[id], &var_list[id]) << id;
    const bool ready = id == GW1_ON || id == SYS_ON;
    EXPECT_EQ(varp[id]->status, ready ? ST_READY : ST_UNKNOWN) << id;
    EXPECT_EQ(varp[id]->value.i, 0) << id;
    if (id != SYS_VER) {
      EXPECT_STREQ(varp[id]->value.s, "") << id;
    }
  }
  EXPECT_STREQ(varp[SYS_VER]->value.s, "030200");
  for (int n = 0; n < MAX_COUNTERS; ++n) {
    const counter4_t& c = counter_list[n];
    EXPECT_EQ(c.dev, &device_list[DEV_CN1 + n]);
    EXPECT_EQ(c.dev->status, ST_UNKNOWN);
    for (int k = 0; k < CN1_MAXVAR; ++k) {
      ASSERT_EQ(c.pvars[k], &c.vars[k]);
      EXPECT_EQ(c.vars[k].devid, DEV_CN1 + n);
      EXPECT_EQ(c.vars[k].varid, k);
      EXPECT_EQ(c.vars[k].status, k == CN1_ON ? ST_READY : ST_UNKNOWN) << n << "/" << k;
    }
  }
  EXPECT_EQ(gw1, &device_list[DEV_GW1]);
  EXPECT_EQ(sys_dev, &device_list[DEV_SYS]);
  EXPECT_EQ(cn1, &device_list[DEV_CN1]);
  EXPECT_EQ(gw1->status, ST_UNKNOWN);
  EXPECT_EQ(sys_dev->status, ST_UNKNOWN);
  EXPECT_EQ(device_list[DEV_NULL].status, 0);
}

TEST_F(DeviceTables, OfflineBookkeepingSurvivesAReload) {
  tm_alm_counter_first[1] = 111;
  tm_alm_counter_offline[3] = 222;
  f_alm_counter_offline[3] = 1;
  tm_alm_gateway_offline = 333;
  f_alm_gateway_offline = 1;
  device_init();
  EXPECT_EQ(tm_alm_counter_first[1], 111);
  EXPECT_EQ(tm_alm_counter_offline[3], 222);
  EXPECT_EQ(f_alm_counter_offline[3], 1);
  EXPECT_EQ(tm_alm_gateway_offline, 333);
  EXPECT_EQ(f_alm_gateway_offline, 1);
}

TEST_F(DeviceTables, TableRowsAreInIdOrderWithUniqueKeys) {
  std::set<std::string> keys;
  for (int id = 0; id < NUM_VAR; ++id) {
    const devicevar_t& v = var_list[id];
    EXPECT_EQ(v.varid, id);
    const int want_dev = id < CN1_MAXVAR ? DEV_CN1 : id < SYS_VER ? DEV_GW1 : DEV_SYS;
    EXPECT_EQ(v.devid, want_dev) << id;
    EXPECT_STREQ(v.devname, "");
    // A variable is requested exactly when it has a tag and is not virtual.
    EXPECT_EQ(v.tag[0] != '\0', !(v.flags & VARFL_VIRTUAL)) << id;
    if (id >= CN1_MAXVAR) {
      EXPECT_TRUE(keys.insert(std::string(device_list[v.devid].devname) + "." + v.varname).second)
          << id;
    }
  }
}

TEST_F(DeviceTables, InconsistentTemplateWarnsAndKeepsEverySlotValid) {
  const signed char saved = var_list[5].devid;
  var_list[5].devid = DEV_GW1;
  testing::internal::CaptureStdout();
  device_init();
  const std::string out = testing::internal::GetCapturedStdout();
  var_list[5].devid = saved;
  std::string want;
  for (int n = 0; n < MAX_COUNTERS; ++n) want += "!!! WARNING, inconsistent CN var array !!!";
  EXPECT_EQ(out, want);
  for (const auto& c : counter_list) {
    for (int k = 0; k < CN1_MAXVAR; ++k) EXPECT_EQ(c.pvars[k], &c.vars[k]);
    EXPECT_EQ(c.vars[CN1_ON].status, ST_READY);
  }
}

TEST_F(DeviceTables, DeviceLookupAndCounterIndex) {
  const struct {
    const char* name;
    int index;
  } cases[] = {{"null", -1}, {"sys", -1}, {"gw1", -1}, {"cn1", 0},
               {"cn2", 1},   {"cn3", 2},  {"cn4", 3}};
  for (const auto& c : cases) {
    device_t* d = getDev(c.name);
    ASSERT_NE(d, nullptr) << c.name;
    EXPECT_EQ(counter_index(d), c.index) << c.name;
    EXPECT_EQ(is_counter(d), c.index >= 0 ? 1 : 0) << c.name;
  }
  for (const char* unknown : {"cn5", "cn", "CN1", "cn1 ", ""}) EXPECT_EQ(getDev(unknown), nullptr);
  EXPECT_EQ(counter_index(nullptr), -1);
  EXPECT_EQ(is_online(nullptr), 0);
  EXPECT_EQ(is_online(gw1), 0);
  gw1->status = ST_READY;
  EXPECT_EQ(is_online(gw1), 1);
}

TEST_F(DeviceTables, ScalingReadsEveryOtherBitOfTheMask) {
  const struct {
    int mask;
    int want[MAX_COUNTERS];
  } cases[] = {{0, {0, 0, 0, 0}},    {1, {1, 0, 0, 0}},    {2, {0, 0, 0, 0}},
               {0x55, {1, 1, 1, 1}}, {0xAA, {0, 0, 0, 0}}, {0x44, {0, 1, 0, 1}}};
  for (const auto& c : cases) {
    cfg_pnomxlmask = c.mask;
    for (int n = 0; n < MAX_COUNTERS; ++n) EXPECT_EQ(is_scaled(n), c.want[n]) << c.mask << "/" << n;
    EXPECT_EQ(is_scaled(CNT_ALL), 0);
  }
}

TEST_F(DeviceTables, CounterInitializedNeedsReadyAndNonZero) {
  const struct {
    char status;
    int value, want;
  } cases[] = {{ST_UNKNOWN, 0, 0}, {ST_UNKNOWN, 1, 0}, {ST_READY, 0, 0}, {ST_READY, 1, 1}};
  for (const auto& c : cases) {
    counter_list[1].pvars[CN1_INIT]->status = c.status;
    counter_list[1].pvars[CN1_INIT]->value.i = c.value;
    EXPECT_EQ(counter_initialized(1), c.want) << c.status << c.value;
    EXPECT_EQ(counter_initialized(0), 0);
  }
  EXPECT_EQ(counter_initialized(-1), 0);
  EXPECT_EQ(counter_initialized(MAX_COUNTERS), 0);
}

TEST_F(DeviceTables, SetIntVarSignExtendsOnlyTwoAndFourDigitFields) {
  const struct {
    int v, size, fsigned, want;
  } cases[] = {{0x80, 2, 1, -128},         {0x7F, 2, 1, 127},     {0x80, 2, 0, 128},
               {0x8000, 4, 1, -32768},     {0x7FFF, 4, 1, 32767}, {0x80, 4, 1, 128},
               {0x800000, 6, 1, 0x800000}, {-5, 8, 1, -5},        {0xF6, 3, 1, 0xF6}};
  for (const auto& c : cases) {
    devicevar_t v{};
    v.status = ST_UNKNOWN;
    set_int_var(&v, c.v, c.size, c.fsigned);
    EXPECT_EQ(v.value.i, c.want) << std::hex << c.v << " size " << c.size;
    EXPECT_EQ(v.status, ST_UNKNOWN);
  }
}

TEST_F(DeviceTables, DerivationsCopyOnlyFromAReadySource) {
  const struct {
    char status;
    const char* src;
    int off, len;
    const char* want;
  } cases[] = {
      {ST_READY, "0123456789", 2, 3, "234"}, {ST_READY, "0123456789", 8, 5, "89"},
      {ST_READY, "0123456789", 10, 2, ""},   {ST_READY, "0123456789", 40, 2, ""},
      {ST_READY, "0123456789", 0, 0, ""},    {ST_UNKNOWN, "0123456789", 0, 4, "previous text"},
  };
  for (const auto& c : cases) {
    devicevar_t src = make_src(c.status, c.src);
    devicevar_t dest = make_src(ST_READY, "previous text");
    var_copy_to(&src, &dest, c.off, c.len);
    EXPECT_STREQ(dest.value.s, c.want) << c.src << " " << c.off << "," << c.len;
    EXPECT_EQ(dest.status, c.status);
  }
  devicevar_t self = make_src(ST_READY, "ABCDEF");
  var_copy_to(&self, &self, 2, 3);
  EXPECT_STREQ(self.value.s, "CDE");

  devicevar_t src = make_src(ST_READY, "00F6");
  devicevar_t dest = make_src(ST_READY, "");
  var_icopy_to(&src, &dest, 2, 2, 1);
  EXPECT_EQ(dest.value.i, -10);
  var_icopy_to(&src, &dest, 2, 2, 0);
  EXPECT_EQ(dest.value.i, 0xF6);
  var_iset(&src, &dest, 42);
  EXPECT_EQ(dest.value.i, 42);
  src.status = ST_UNKNOWN;
  var_icopy_to(&src, &dest, 0, 4, 0);
  var_iset(&src, &dest, 7);
  EXPECT_EQ(dest.value.i, 42);
  EXPECT_EQ(dest.status, ST_UNKNOWN);
}

TEST_F(DeviceTables, HexSliceIgnoresWhatLiesPastTheTerminator) {
  // An earlier, longer text leaves its bytes behind the terminator.
  devicevar_t src = make_src(ST_READY, "12345678");
  copy_str(src.value.s, "12");
  devicevar_t dest{};
  var_icopy_to(&src, &dest, 0, 4, 0);
  EXPECT_EQ(dest.value.i, 0x1200);
  var_icopy_to(&src, &dest, 1, -1, 0);  // the rest of the text
  EXPECT_EQ(dest.value.i, 0x2);
}

TEST_F(DeviceTables, SampleTextForms) {
  const struct {
    const char* text;
    int mask;
    sample_t want;  // time, etot, ptot, alm, dbm
  } cases[] = {
      // Layout: time 8, ptot 4, etot 8, [dbm 2,] alarm 1.
      {"4F9A1B2C00640000001F3", 0, {0x4F9A1B2C, 31, 100, 3, 0}},
      {"4F9A1B2C00640000001F3", 1, {0x4F9A1B2C, 310, 1000, 3, 0}},
      {"4F9A1B2C00640000001F3", 4, {0x4F9A1B2C, 31, 100, 3, 0}},     // counter 2 scaled
      {"4F9A1B2C00640000001F3X", 0, {0x4F9A1B2C, 31, 100, 3, 0}},    // 22: 21-form
      {"4F9A1B2C00640000001F3000", 0, {0x4F9A1B2C, 31, 100, 3, 0}},  // 24: 21-form
      {"4F9A1B2C00640000001FF6A", 0, {0x4F9A1B2C, 31, 100, 0xA, -10}},
      {"4F9A1B2C00640000001F7F1", 0, {0x4F9A1B2C, 31, 100, 1, 127}},
      {"4f9a1b2c00c80000001fe", 0, {0x4F9A1B2C, 31, 200, 0xE, 0}},
      {"FFFFFFFF0000000000000", 0, {-1, 0, 0, 0, 0}},
      {"00000010FFFFFFFFFFFFF", 1, {16, -10, 0xFFFF * 10, 0xF, 0}},  // tenfold wraps
      {"0000000A", 0, {10, 0, 0, 0, 0}},  // short: missing digits count as 0
      {"", 0, {0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    cfg_pnomxlmask = c.mask;
    // Exact-size heap copy: a read past the terminator shows up under ASan.
    const std::size_t n = std::strlen(c.text) + 1;
    std::unique_ptr<char[]> text(new char[n]);
    std::memcpy(text.get(), c.text, n);
    sample_t s;
    std::memset(&s, 0x5A, sizeof s);
    strToSample(0, text.get(), &s);
    EXPECT_EQ(s.time, c.want.time) << c.text;
    EXPECT_EQ(s.etot, c.want.etot) << c.text;
    EXPECT_EQ(s.ptot, c.want.ptot) << c.text;
    EXPECT_EQ(s.alm, c.want.alm) << c.text;
    EXPECT_EQ(s.dbm, c.want.dbm) << c.text;
  }
}

TEST_F(DeviceTables, AlarmQueries) {
  const struct {
    time_t start0, stop0, start1, stop1;
    int global;
  } cases[] = {{0, 0, 0, 0, 0}, {5, 0, 0, 0, 1}, {0, 0, 5, 0, 2},
               {5, 0, 6, 0, 3}, {5, 9, 6, 0, 2}, {0, 9, 6, 7, 0}};
  for (const auto& c : cases) {
    alm_list[ALM_PV].start = c.start0;
    alm_list[ALM_PV].stop = c.stop0;
    alm_list[ALM_ASSENZAPV].start = c.start1;
    alm_list[ALM_ASSENZAPV].stop = c.stop1;
    EXPECT_EQ(alm_global(), c.global);
    EXPECT_EQ(alm_active(ALM_PV), c.global & 1);
    EXPECT_EQ(alm_active(ALM_ASSENZAPV), (c.global >> 1) & 1);
  }
  EXPECT_EQ(alm_active(ALM_ALL), 0);
  EXPECT_EQ(alm_active(NUM_ALM), 0);
}
