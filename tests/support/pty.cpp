#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::to_string(errno));
}

// One byte or nothing within the wait.
bool read_byte(int fd, char& c, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || (p.revents & POLLIN) == 0) return false;
    const auto n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

}  // namespace

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) fail("posix_openpt");
  char name[128];
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    ::close(master_);
    fail("pty setup");
  }
  slave_path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    ::close(master_);
    fail("open slave");
  }
}

PtyPair::~PtyPair() {
  ::close(slave_);
  ::close(master_);
}

termios PtyPair::slave_attrs() const {
  termios t{};
  if (::tcgetattr(slave_, &t) != 0) fail("tcgetattr");
  return t;
}

void PtyPair::set_slave_attrs(const termios& t) const {
  if (::tcsetattr(slave_, TCSANOW, &t) != 0) fail("tcsetattr");
}

void PtyPair::set_slave_raw(cc_t vmin, cc_t vtime) const {
  termios t = slave_attrs();
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = vmin;
  t.c_cc[VTIME] = vtime;
  set_slave_attrs(t);
}

bool PtyPair::wait_slave_input(std::chrono::milliseconds wait) const {
  pollfd p{slave_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(wait.count()));
  } while (r < 0 && errno == EINTR);
  return r > 0 && (p.revents & POLLIN) != 0;
}

void PtyPair::write_master(const std::string& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write master");
    done += static_cast<std::size_t>(n);
  }
}

std::string PtyPair::read_master_until(char stop, std::chrono::milliseconds wait) const {
  std::string got;
  char c;
  while (read_byte(master_, c, wait)) {
    got.push_back(c);
    if (c == stop) break;
  }
  return got;
}

std::string PtyPair::drain_master(std::chrono::milliseconds wait) const {
  std::string got;
  char c;
  while (read_byte(master_, c, wait)) got.push_back(c);
  return got;
}

}  // namespace testsupport
