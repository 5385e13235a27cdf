#include "sys/paths.h"

#include <cstdlib>

namespace sys {
namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

}  // namespace

std::string tmp_dir() { return env_or("ZANTOR_TMPDIR", "/tmp"); }

std::string tmp_path(const char* name) { return tmp_dir() + "/" + name; }

std::string sysroot_path(const char* abs_path) {
  return env_or("ZANTOR_SYSROOT", "") + abs_path;
}

}  // namespace sys
