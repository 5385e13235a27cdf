// The GPIO driver seam. On the board a line is a character device driven
// with request codes; under ZANTOR_SYSROOT it is a plain file holding one
// byte, the line's current value, so tests and the demo can read the LEDs.
#pragma once

namespace sys {

struct GpioDriver {
  // Opens /dev/gpio/<line> (under the sysroot when set); -1 on failure.
  int (*open_line)(int line);
  // Makes the line an output; negative on failure.
  int (*config_out)(int fd);
  // Reads the line's current value; negative on failure.
  int (*read_val)(int fd, int* val);
  // Writes one raw byte; the count written.
  long (*write_val)(int fd, unsigned char b);
};

// The board's driver, or the file-backed one when ZANTOR_SYSROOT is set.
const GpioDriver& gpio_driver();

}  // namespace sys
