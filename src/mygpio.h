// The board's GPIO output lines: radio reset and the two status LEDs.
// Writes are cached, so repeated LED updates cost nothing unless forced.
#pragma once

#include "common.h"

struct mygpio_t {
  int fd;   // the line's open device, -1 when not open
  int val;  // last value known to be on the line
};

extern mygpio_t gpiolist[NUM_GPIO];

enum platform_e { CME9210JS = 0, PLAT_NONE = 1 };
extern platform_e platform;

inline constexpr int GPIO_UNDEFINED = 0xFFFF;

struct platform_t {
  const char* name;
  const char* button;
  const char* led;
  int gpio_in;
  int gpio_out;
  int irq_capable;
  int pullup_in;
  char pullup_descr[16];
};
extern const platform_t plat_list[2];

// Driver request codes, group 'G'; only READ_PIN_VAL and CONFIG_AS_OUT are
// used (values go out as plain one-byte writes).
inline constexpr char GPIO_IOCTL_BASE = 'G';
inline constexpr int GPIO_IOCTL_MAXNR = 5;
inline constexpr unsigned long GPIO_READ_PIN_VAL = 0x80044701UL;
inline constexpr unsigned long GPIO_CONFIG_AS_OUT = 0x4702UL;
inline constexpr int PULLUP = 0x00;
inline constexpr int PULLDOWN = 0x02;
inline constexpr int PULLUPDOWN_DISABLED = 0x03;

// Checks platform and driver, then opens lines 1, 2 and 5 as outputs;
// ERR_NONE or ERR_GPIO. Ends the process when the version file or the
// module list cannot be read.
int gpio_init();
void gpio_shutdown();
// Writes val to line io; unless force is set, only a change is written.
void gpio_set(int io, int val, boolean_t force);
int gpio_get(int io);

void get_platform();
bool check_module_loaded();
int open_output(int outnum);
