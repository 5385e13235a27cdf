#include "mygpio.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "sys/fd.h"
#include "sys/gpio_driver.h"
#include "sys/paths.h"

// Closed until gpio_init opens them: an LED update before that must not
// write to descriptor 0.
mygpio_t gpiolist[NUM_GPIO] = {{-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0},
                               {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}, {-1, 0}};
platform_e platform = PLAT_NONE;

const platform_t plat_list[2] = {
    {"cme9210js", "BUTTON2", "LED3-cr21", 9, 2, 1, GPIO_UNDEFINED, ""},
    {"", "", "", 0, 0, 0, GPIO_UNDEFINED, ""},
};

namespace {

// Both board files are essential: without them the platform is unknown and
// the process cannot tell what it drives.
sys::unique_file open_or_die(const char* board_path) {
  const std::string path = sys::sysroot_path(board_path);
  sys::unique_file f(std::fopen(path.c_str(), "re"));
  if (!f) {
    std::printf("[ERROR] open %s: %s\n", path.c_str(), std::strerror(errno));
    std::fflush(stdout);
    std::exit(1);
  }
  return f;
}

void close_line(mygpio_t& g) {
  if (g.fd >= 0) ::close(g.fd);
  g.fd = -1;
}

bool valid_line(int io) { return io >= 0 && io < NUM_GPIO; }

}  // namespace

void get_platform() {
  sys::unique_file f = open_or_die("/etc/version");
  char line[200];
  while (std::fgets(line, 199, f.get()) != nullptr) {
    char value[64];
    if (std::sscanf(line, "DEL_PLATFORM=%63s", value) != 1) continue;
    platform = PLAT_NONE;
    for (int p = 0; p < PLAT_NONE; ++p) {
      if (std::strcmp(value, plat_list[p].name) == 0) {
        platform = static_cast<platform_e>(p);
        return;
      }
    }
  }
}

bool check_module_loaded() {
  sys::unique_file f = open_or_die("/proc/modules");
  char line[80];
  while (std::fgets(line, 79, f.get()) != nullptr) {
    if (std::strncmp(line, "gpio ", 4) == 0) return true;
  }
  return false;
}

int open_output(int outnum) {
  const sys::GpioDriver& drv = sys::gpio_driver();
  mygpio_t& g = gpiolist[outnum];
  g.fd = drv.open_line(outnum);
  if (g.fd < 0) {
    err("Error opening gpio");
    return ERR_GPIO;
  }
  if (drv.config_out(g.fd) < 0) {
    err("Error configuring gpio");
    close_line(g);
    return ERR_GPIO;
  }
  if (drv.read_val(g.fd, &g.val) < 0) {
    close_line(g);
    return ERR_GPIO;
  }
  return ERR_NONE;
}

int gpio_init() {
  for (auto& g : gpiolist) g.fd = -1;
  inf("Real GPIO initialization ...");
  get_platform();
  if (platform != CME9210JS) {
    err("GPIO: unknown platform");
    return ERR_GPIO;
  }
  if (!check_module_loaded()) {
    err("GPIO: module not loaded");
    return ERR_GPIO;
  }
  int result = open_output(GPIO_RSTRADIO);
  result |= open_output(GPIO_LED_GREEN);
  result |= open_output(GPIO_LED_YELLOW);
  return result;
}

void gpio_shutdown() {
  inf("Real GPIO shutdown ...");
  for (auto& g : gpiolist) close_line(g);
}

void gpio_set(int io, int val, boolean_t force) {
  if (!valid_line(io)) return;
  mygpio_t& g = gpiolist[io];
  if (g.fd < 0) return;
  if (!force && val == g.val) return;
  if (sys::gpio_driver().write_val(g.fd, static_cast<unsigned char>(val & 0xFF)) != 1) {
    err("Error setting GPIO");
    return;
  }
  g.val = val;
}

int gpio_get(int io) {
  std::printf("GPIO get %d=%d\n", io, 0);
  return 0;
}
