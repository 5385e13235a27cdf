// Runs a program as a child process for end-to-end tests: its standard
// output and error go to a file the test can watch.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessOptions {
  std::string cwd;                                        // working directory
  std::vector<std::pair<std::string, std::string>> env;  // added to ours
  std::string output_file;                                // stdout and stderr
};

class Process {
 public:
  Process(std::vector<std::string> argv, ProcessOptions opts);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const;
  // Waits for the child to end; its wait status, or nothing on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool running();
  std::string output() const;
  // Waits until the output contains text; false on timeout.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string output_file_;
};

}  // namespace testsupport
