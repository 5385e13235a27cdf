#include "mbe.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sys/fd.h"

namespace {

constexpr std::size_t kMaxFields = 6;

struct speed_entry {
  std::string_view text;
  speed_t speed;
};
constexpr speed_entry kSpeeds[] = {{"9600", B9600}, {"38400", B38400}, {"115200", B115200}};
constexpr speed_t kDefaultSpeed = B19200;

speed_t speed_of(std::string_view text) {
  for (const auto& s : kSpeeds) {
    if (s.text == text) return s.speed;
  }
  return kDefaultSpeed;
}

// Speed, parity, data bits, stop bits and flow control, in that order.
// Anything unrecognised falls back quietly: a typo must not keep the radio
// link down.
void apply_line(termios& t, const std::vector<std::string>& line) {
  const speed_t sp = speed_of(line[0]);
  cfsetispeed(&t, sp);
  cfsetospeed(&t, sp);

  if (line[1] == "N") {
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB);
  } else if (line[1] == "E") {
    t.c_cflag |= PARENB;
    t.c_cflag &= ~static_cast<tcflag_t>(PARODD);
  } else if (line[1] == "O") {
    t.c_cflag |= PARENB | PARODD;
  }

  if (line[2] == "8" || line[2] == "7") {
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    t.c_cflag |= line[2] == "8" ? CS8 : CS7;
  }

  if (line[3] == "2") {
    t.c_cflag |= CSTOPB;
  } else {
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
  }

  if (line.size() > 4 && line[4].find("+CRTSCTS") != std::string::npos) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  }
}

int set_attrs(int fd, const termios& t) {
  const int r = sys::retry_eintr([&] { return tcsetattr(fd, TCSANOW, &t); });
  std::printf("tcsetattr(): %d\n", r);
  return r;
}

// Milliseconds to the terminal's inter-byte timer: tenths of a second in one
// byte, so larger values wrap.
cc_t timer_tenths(const std::string& ms_text) {
  const long ms = std::strtol(ms_text.c_str(), nullptr, 10);
  long tenths = (ms / 100) % 256;
  if (tenths < 0) tenths += 256;
  return static_cast<cc_t>(tenths);
}

}  // namespace

std::vector<std::string> str_split(std::string_view s, std::string_view lim, std::size_t maxlen) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (fields.size() < maxlen) {
    pos = s.find_first_not_of(lim, pos);
    if (pos == std::string_view::npos) break;
    std::size_t end = s.find_first_of(lim, pos);
    if (end == std::string_view::npos) end = s.size();
    fields.emplace_back(s.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

int w_open(const char* portdef) {
  if (portdef == nullptr) return -1;
  // Split a copy: the caller's text (the stored setting) stays whole, so it
  // can still be shown or saved after the port is open.
  const auto parts = str_split(portdef, ";", kMaxFields);
  if (parts.size() != 3) return -1;
  const auto line = str_split(parts[1], ",", kMaxFields);
  if (line.size() != 4 && line.size() != 5) return -1;

  // No controlling terminal: a hang-up on the line must not signal us. Not
  // inherited by the scripts we run.
  sys::unique_fd fd(
      sys::retry_eintr([&] { return ::open(parts[0].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }));
  if (!fd) return -1;

  termios t{};
  if (tcgetattr(fd.get(), &t) == 0) {
    apply_line(t, line);
    set_attrs(fd.get(), t);
  } else {
    // Writing back attributes we never read would only scramble the line.
    std::printf("tcsetattr(): %d\n", -1);
  }
  w_setTimeouts(fd.get(), parts[2].c_str());
  return fd.release();
}

int w_setTimeouts(int fd, const char* stimeouts) {
  if (fd < 0 || stimeouts == nullptr) return -1;
  const auto fields = str_split(stimeouts, "/", kMaxFields);
  if (fields.size() != 5) return -1;

  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    std::printf("tcsetattr(): %d\n", -1);
    return -1;
  }
  // Raw bytes in both directions; a read returns as soon as one byte is
  // there, or empty once the timer runs out.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = timer_tenths(fields[2]);
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  return set_attrs(fd, t);
}

int w_close(int fd) {
  if (fd >= 0) ::close(fd);
  return 0;
}

// Reads and writes are not retried on EINTR: the only signals we catch are
// stop requests, and an exchange must end then rather than wait on.
int w_write(int fd, const char* data, int len) {
  if (fd < 0) return 0;
  if (len < 0) return -1;
  return static_cast<int>(::write(fd, data, static_cast<std::size_t>(len)));
}

int w_read(int fd, char* data, int len, int stopchar) {
  if (fd < 0 || len <= 0) return 0;
  if (stopchar < 0) return static_cast<int>(::read(fd, data, static_cast<std::size_t>(len)));

  const auto stop = static_cast<unsigned char>(stopchar);
  int count = 0;
  while (count < len) {
    const auto r = ::read(fd, data + count, 1);
    if (r <= 0) return count > 0 ? count : static_cast<int>(r);
    if (static_cast<unsigned char>(data[count++]) == stop) break;
  }
  return count;
}

int w_clearerr(int fd) {
  if (fd >= 0) tcflush(fd, TCIOFLUSH);
  return 0;
}

int w_sync() { return 0; }
