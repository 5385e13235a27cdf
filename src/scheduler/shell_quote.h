// Text from settings, parameters and server replies goes on shell command
// lines only inside single quotes, so no such text can run a command.
#pragma once

#include <string>
#include <string_view>

namespace scheduler_detail {

// 'text', with every single quote inside written as '\''.
inline std::string shell_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

}  // namespace scheduler_detail
