// A simulated board under a directory, for ZANTOR_SYSROOT: the version file
// of the supported platform, a loaded GPIO driver, and the three GPIO lines
// as one-byte files.
#pragma once

#include <string>

namespace testsupport {

void make_sim_board(const std::string& root);
// The byte value on a simulated GPIO line, -1 when the file is missing/empty.
int sim_gpio_value(const std::string& root, int line);

}  // namespace testsupport
