#include "sys/gpio_driver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sys/fd.h"
#include "sys/paths.h"

namespace sys {
namespace {

// Request codes of the board's driver, group 'G'.
constexpr unsigned long kReadPinVal = _IOR('G', 1, int);
constexpr unsigned long kConfigAsOut = _IO('G', 2);
static_assert(kReadPinVal == 0x80044701UL && kConfigAsOut == 0x4702UL);

int open_line(int line) {
  char dev[32];
  std::snprintf(dev, sizeof dev, "/dev/gpio/%d", line);
  const std::string path = sysroot_path(dev);
  return retry_eintr([&] { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); });
}

int board_config_out(int fd) { return ::ioctl(fd, kConfigAsOut); }
int board_read_val(int fd, int* val) { return ::ioctl(fd, kReadPinVal, val); }
long board_write_val(int fd, unsigned char b) {
  return retry_eintr([&] { return ::write(fd, &b, 1); });
}

int file_config_out(int) { return 0; }
int file_read_val(int fd, int* val) {
  unsigned char b = 0;
  const ssize_t n = retry_eintr([&] { return ::pread(fd, &b, 1, 0); });
  if (n < 0) return -1;
  *val = n == 1 ? b : 0;
  return 0;
}
// The file always holds exactly the current value.
long file_write_val(int fd, unsigned char b) {
  return retry_eintr([&] { return ::pwrite(fd, &b, 1, 0); });
}

constexpr GpioDriver kBoard{open_line, board_config_out, board_read_val, board_write_val};
constexpr GpioDriver kFiles{open_line, file_config_out, file_read_val, file_write_val};

}  // namespace

const GpioDriver& gpio_driver() {
  const char* root = std::getenv("ZANTOR_SYSROOT");
  return (root != nullptr && *root != '\0') ? kFiles : kBoard;
}

}  // namespace sys
