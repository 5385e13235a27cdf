// A pseudo-terminal pair standing in for a serial line: the code under test
// opens the slave by its path, the test plays the device on the master.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>

namespace testsupport {

class PtyPair {
 public:
  PtyPair();  // throws std::runtime_error when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // The slave side's current attributes, as any opener would see them.
  termios slave_attrs() const;
  void set_slave_attrs(const termios& t) const;
  // Raw mode with the given read mode, so bytes pass untouched.
  void set_slave_raw(cc_t vmin, cc_t vtime) const;
  // Waits until the slave side has input to read.
  bool wait_slave_input(std::chrono::milliseconds wait) const;

  // Writes all bytes to the master (the device speaking).
  void write_master(const std::string& bytes) const;
  // Reads from the master until a byte equal to stop has arrived (included)
  // or the wait for more runs out; whatever arrived.
  std::string read_master_until(char stop, std::chrono::milliseconds wait) const;
  // Everything that arrives on the master within the wait.
  std::string drain_master(std::chrono::milliseconds wait) const;

 private:
  int master_ = -1;
  // Held open so the master never sees a hang-up between the test's opens.
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace testsupport
