// Where the PC stands in for the board's fixed paths.
#pragma once

#include <string>

namespace sys {

// Directory for the scratch files the board keeps in /tmp
// (ZANTOR_TMPDIR when set).
std::string tmp_dir();
// A file in that directory, e.g. tmp_path("remote1.dat").
std::string tmp_path(const char* name);
// A board path such as "/etc/version" under ZANTOR_SYSROOT when set.
std::string sysroot_path(const char* abs_path);

}  // namespace sys
