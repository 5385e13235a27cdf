// Variable listings and key/value pairs as the command replies print them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/format.h"
#include "util.h"
#include "xstring.h"

namespace {

class DeviceFormat : public testing::Test {
 protected:
  void SetUp() override { device_init(); }
  void TearDown() override { device_init(); }
};

void set_ready(devicevar_t* v, int i) {
  v->status = ST_READY;
  v->value.i = i;
}

void set_ready(devicevar_t* v, const char* s) {
  v->status = ST_READY;
  copy_str(v->value.s, s);
}

std::string var_text(const devicevar_t* v, boolean_t urlenc) {
  XSTRING(xs, buf, 1000);
  fmt_var2(v, &xs, urlenc);
  return buf;
}

}  // namespace

TEST_F(DeviceFormat, OneVariable) {
  devicevar_t* etot2 = &counter_list[1].vars[CN1_ETOT];
  devicevar_t* sig1 = &counter_list[0].vars[CN1_SIG];
  set_ready(sig1, -71);
  set_ready(varp[SYS_NIMP], "Tetto Sud");
  set_ready(varp[SYS_PTID], "a&b=c\xE9");
  set_ready(varp[SYS_TIME], static_cast<int>(0x80000000u));  // VAR_INT field, sign shows
  devicevar_t uint_big = counter_list[0].vars[CN1_CHK];
  set_ready(&uint_big, static_cast<int>(0xFFFFFFFEu));
  devicevar_t flt = counter_list[0].vars[CN1_POW];
  flt.vartype = VAR_FLOAT;
  flt.status = ST_READY;
  flt.value.f = 1.5f;

  struct Case {
    const devicevar_t* var;
    boolean_t urlenc;
    const char* want;
  };
  const Case cases[] = {
      {etot2, 1, "cn2.etot=?"},
      {sig1, 1, "cn1.sig=-71"},
      {varp[SYS_NIMP], 1, "sys.nimp=Tetto%20Sud"},
      {varp[SYS_NIMP], 0, "sys.nimp=Tetto Sud"},
      {varp[SYS_PTID], 1, "sys.ptid=a%26b%3Dc%E9"},
      {varp[SYS_TIME], 1, "sys.time=-2147483648"},
      {&uint_big, 0, "cn1.chk=-2"},
      {&flt, 1, "cn1.pow="},
  };
  for (const Case& c : cases) EXPECT_EQ(var_text(c.var, c.urlenc), c.want);

  set_ready(etot2, 12345);
  EXPECT_EQ(var_text(etot2, 1), "cn2.etot=12345");
}

TEST_F(DeviceFormat, ListingSkipsHiddenAndEndsEveryPairWithAmpersand) {
  set_ready(varp[GW1_PING], "raw");  // hidden
  set_ready(varp[GW1_MAC], "00:11");
  set_ready(varp[GW1_VER], "1.2");
  set_ready(varp[GW1_RAD], "ch 5");
  set_ready(varp[GW1_ON], 1);
  XSTRING(xs, buf, 1000);
  fmt_vars2(&varp[GW1_PING], 5, &xs, 1);
  EXPECT_STREQ(buf, "gw1.mac=00%3A11&gw1.ver=1.2&gw1.rad=ch%205&gw1.on=1&");
  EXPECT_EQ(xs.length, static_cast<int>(std::strlen(buf)));
}

TEST_F(DeviceFormat, FullDumpIsCutInsideItsBuffer) {
  // Every capacity from nothing to more than the whole dump: the text stays
  // terminated, counted and inside the string, and nothing past it changes.
  set_ready(varp[SYS_VER], "030200");
  set_ready(varp[SYS_NIMP], "x y&z");
  set_ready(&counter_list[0].vars[CN1_ETOT], 123);
  std::string full;
  for (int cap = 0; cap <= 1200; ++cap) {
    std::vector<char> mem(cap + 1 + 16, '#');
    mem[0] = '\0';
    xstring_t xs;
    xswrap(&xs, mem.data(), cap + 1);
    fmt_vars2(&varp[GW1_PING], NUM_VAR - CN1_MAXVAR, &xs, 1);
    fmt_vars2(counter_list[0].pvars, CN1_MAXVAR, &xs, 1);
    ASSERT_LE(xs.length, cap);
    ASSERT_EQ(xs.length, static_cast<int>(std::strlen(mem.data()))) << cap;
    ASSERT_EQ(xs.end, mem.data() + xs.length);
    for (std::size_t k = cap + 1; k < mem.size(); ++k) ASSERT_EQ(mem[k], '#') << cap;
    if (cap == 1200) full = mem.data();
  }
  ASSERT_LT(full.size(), 1190u) << "raise the sweep";
  EXPECT_EQ(full.rfind("gw1.mac=?&gw1.ver=?&gw1.rad=?&gw1.on=0&sys.ver=030200&", 0), 0u) << full;
  EXPECT_NE(full.find("&sys.nimp=x%20y%26z&"), std::string::npos);
  EXPECT_NE(full.find("&sys.dhcp=?&"), std::string::npos);
  for (const char* hidden : {"ping=", "cfg=", "ard="})
    EXPECT_EQ(full.find(hidden), std::string::npos);
  EXPECT_NE(full.find("&cn1.etot=123&cn1.ptot=?&"), std::string::npos);
  EXPECT_EQ(full.substr(full.size() - 10), "&cn1.on=0&") << full;
}

TEST_F(DeviceFormat, KeyVal) {
  char buf[64];
  struct Case {
    int bufsize;
    const char* key;
    const char* val;
    boolean_t urlenc;
    const char* want;
  };
  const Case cases[] = {
      {64, "sys.remerr", "", 1, "sys.remerr="},
      {64, "sys.remerr", "Impianto non registrato", 1, "sys.remerr=Impianto%20non%20registrato"},
      {64, "a b", "c&d", 0, "a b=c&d"},
      {64, "a b", "c&d", 1, "a%20b=c%26d"},
      // Exactly the worst-case room (3 per character plus 2) holds it all.
      {3 * 2 + 2, " ", " ", 1, "%20=%20"},
      // Less room cuts the text, never inside an escape.
      {7, " ", " ", 1, "%20="},
      {4, "ab", "cd", 0, "ab="},
      {1, "ab", "cd", 0, ""},
  };
  for (const Case& c : cases) {
    std::memset(buf, '#', sizeof(buf));
    char* end = fmt_key_val(buf, c.bufsize, c.key, c.val, c.urlenc);
    EXPECT_STREQ(buf, c.want) << c.bufsize;
    EXPECT_EQ(end, buf + std::strlen(c.want));
    if (c.bufsize < 64) {
      EXPECT_EQ(buf[c.bufsize], '#') << c.bufsize;
    }
  }
  // No room at all: nothing is written.
  buf[0] = '#';
  EXPECT_EQ(fmt_key_val(buf, 0, "a", "b", 0), buf);
  EXPECT_EQ(buf[0], '#');
}
