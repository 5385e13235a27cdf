// The local application's variables refreshed from settings and gateway.
#include <gtest/gtest.h>

#include <string>

#include "device/device.h"
#include "util.h"

TEST(SysPoll, SerialNumberIsTheMacsFirstFourBytesReversed) {
  const struct {
    const char* mac;
    char status;
    const char* want;
  } cases[] = {
      {"12345678ABCDEF01", ST_READY, "78563412"},
      {"123456", ST_READY, "563412"},  // short MAC: nothing from older text
      {"12345678", ST_UNKNOWN, "?"},
  };
  for (const auto& c : cases) {
    device_init();
    // Older, longer text behind the terminator must not leak into the number.
    copy_str(varp[GW1_MAC]->value.s, "FFFFFFFFFFFFFFFF");
    copy_str(varp[GW1_MAC]->value.s, c.mac);
    varp[GW1_MAC]->status = c.status;
    sys_poll(sys_dev, varp[SYS_SN]);
    EXPECT_EQ(std::string(varp[SYS_SN]->value.s), c.want) << c.mac;
    EXPECT_EQ(varp[SYS_SN]->status, ST_READY);
    EXPECT_EQ(sys_dev->status, ST_READY);
  }
}
