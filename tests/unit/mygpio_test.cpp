// GPIO lines on a simulated board: plain files under ZANTOR_SYSROOT.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "mygpio.h"
#include "temp_dir.h"

using testsupport::TempDir;

namespace {

class Gpio : public testing::Test {
 protected:
  TempDir root;

  void SetUp() override { setenv("ZANTOR_SYSROOT", root.path().c_str(), 1); }
  void TearDown() override {
    gpio_shutdown();
    unsetenv("ZANTOR_SYSROOT");
  }
  void board(const std::string& version, const std::string& modules, bool with_line2 = true) {
    root.write("etc/version", version);
    root.write("proc/modules", modules);
    for (int line : {1, 2, 5})
      if (line != 2 || with_line2) root.write("dev/gpio/" + std::to_string(line), std::string(1, '\0'));
  }
  int init(std::string* log = nullptr) {
    testing::internal::CaptureStdout();
    const int r = gpio_init();
    const std::string out = testing::internal::GetCapturedStdout();
    if (log != nullptr) *log = out;
    return r;
  }
  std::string line(int n) { return root.read("dev/gpio/" + std::to_string(n)); }
};

const char* kVersion = "DEL_VERSION=5.2\nDEL_PLATFORM=cme9210js\n";
const char* kModules = "usbcore 1 0 - Live\ngpio 4096 0 - Live 0xbf000000\n";

}  // namespace

TEST_F(Gpio, SupportedBoardOpensTheThreeLines) {
  board(kVersion, kModules);
  std::string log;
  EXPECT_EQ(init(&log), ERR_NONE);
  EXPECT_EQ(log, "INF: Real GPIO initialization ...\n");
  EXPECT_EQ(platform, CME9210JS);
  for (int n = 0; n < NUM_GPIO; ++n)
    EXPECT_EQ(gpiolist[n].fd >= 0, n == 1 || n == 2 || n == 5) << "line " << n;
}

TEST_F(Gpio, WrongOrMissingPlatformOrDriverOpensNothing) {
  const struct {
    const char* version;
    const char* modules;
    const char* message;
  } cases[] = {
      {"DEL_PLATFORM=cme9210\n", kModules, "ERR: GPIO: unknown platform\n"},
      {"DEL_VERSION=5.2\n", kModules, "ERR: GPIO: unknown platform\n"},
      {kVersion, "usbcore 1 0 - Live\n", "ERR: GPIO: module not loaded\n"},
  };
  for (const auto& c : cases) {
    platform = PLAT_NONE;
    board(c.version, c.modules);
    std::string log;
    EXPECT_EQ(init(&log), ERR_GPIO) << c.version;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    for (const auto& g : gpiolist) EXPECT_EQ(g.fd, -1);
  }
}

TEST_F(Gpio, WritesAreCachedUnlessForced) {
  board(kVersion, kModules);
  ASSERT_EQ(init(), ERR_NONE);
  gpio_set(GPIO_LED_GREEN, 1, 0);
  EXPECT_EQ(line(2), std::string(1, '\1'));  // a raw byte, not a digit
  root.write("dev/gpio/2", std::string(1, '\0'));
  gpio_set(GPIO_LED_GREEN, 1, 0);  // unchanged: nothing written
  EXPECT_EQ(line(2), std::string(1, '\0'));
  gpio_set(GPIO_LED_GREEN, 1, 1);  // forced: written again
  EXPECT_EQ(line(2), std::string(1, '\1'));
  gpio_set(GPIO_LED_GREEN, 0, 0);
  EXPECT_EQ(line(2), std::string(1, '\0'));
  gpio_set(42, 1, 1);  // no such line: ignored
}

TEST_F(Gpio, AMissingLineFailsInitButTheOthersWork) {
  board(kVersion, kModules, /*with_line2=*/false);
  std::string log;
  EXPECT_EQ(init(&log), ERR_GPIO);
  EXPECT_NE(log.find("ERR: Error opening gpio\n"), std::string::npos);
  EXPECT_GE(gpiolist[1].fd, 0);
  EXPECT_EQ(gpiolist[2].fd, -1);
  EXPECT_GE(gpiolist[5].fd, 0);
  testing::internal::CaptureStdout();
  gpio_set(GPIO_LED_GREEN, 1, 1);
  gpio_set(GPIO_LED_YELLOW, 1, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(line(5), std::string(1, '\1'));
}

TEST_F(Gpio, MissingVersionFileEndsTheProcess) {
  root.write("proc/modules", kModules);
  EXPECT_EXIT(gpio_init(), testing::ExitedWithCode(1), "");
}

TEST(GpioBeforeInit, LinesStartClosedSoEarlyWritesGoNowhere) {
  for (const auto& g : gpiolist) EXPECT_EQ(g.fd, -1);
  gpio_set(GPIO_LED_GREEN, 1, 1);  // must not write to descriptor 0
  EXPECT_EQ(gpiolist[GPIO_LED_GREEN].val, 0);
}
