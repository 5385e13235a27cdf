#include "sim_board.h"

#include "temp_dir.h"

namespace testsupport {

void make_sim_board(const std::string& root) {
  write_file(root + "/etc/version", "DEL_VERSION=5.2\nDEL_PLATFORM=cme9210js\n");
  write_file(root + "/proc/modules", "gpio 4096 0 - Live 0xbf000000\n");
  for (int line : {1, 2, 5}) write_file(root + "/dev/gpio/" + std::to_string(line), std::string(1, '\0'));
}

int sim_gpio_value(const std::string& root, int line) {
  const std::string v = read_file(root + "/dev/gpio/" + std::to_string(line));
  return v.empty() ? -1 : static_cast<unsigned char>(v[0]);
}

}  // namespace testsupport
