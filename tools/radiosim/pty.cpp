#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "radiosim.h"

namespace radiosim {

std::optional<Pty> open_pty() {
  Pty p;
  p.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.master < 0) return std::nullopt;
  char name[128];
  if (::grantpt(p.master) != 0 || ::unlockpt(p.master) != 0 ||
      ::ptsname_r(p.master, name, sizeof name) != 0) {
    ::close(p.master);
    return std::nullopt;
  }
  p.slave_path = name;
  p.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p.slave < 0) {
    ::close(p.master);
    return std::nullopt;
  }
  // Raw, or the line discipline would echo answers back to us as requests.
  termios t{};
  if (::tcgetattr(p.slave, &t) == 0) {
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B19200);
    ::cfsetospeed(&t, B19200);
    ::tcsetattr(p.slave, TCSANOW, &t);
  }
  return p;
}

void close_pty(Pty& p) {
  if (p.slave >= 0) ::close(p.slave);
  if (p.master >= 0) ::close(p.master);
  p.slave = p.master = -1;
}

}  // namespace radiosim
