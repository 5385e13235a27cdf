// The serial port driver on a real pseudo-terminal: what a port definition
// does to the terminal, and how reads end.
#include "mbe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "pty.h"

using namespace std::chrono_literals;
using testsupport::PtyPair;

namespace {

std::mutex requested_mutex;
std::vector<termios>& requested_attrs() {
  static std::vector<termios> v;
  return v;
}

}  // namespace

// Records every attribute set the code asks for, then passes it on: a pty
// quietly drops parity and character size, so those can only be seen here.
extern "C" int tcsetattr(int fd, int actions, const termios* t) noexcept {
  using real_fn = int (*)(int, int, const termios*);
  static const auto real = reinterpret_cast<real_fn>(::dlsym(RTLD_NEXT, "tcsetattr"));
  if (t != nullptr) {
    const std::lock_guard<std::mutex> l(requested_mutex);
    requested_attrs().push_back(*t);
  }
  return real(fd, actions, t);
}

namespace {

// The lowest free descriptor number: unchanged when a call opened nothing.
int next_free_fd() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A starting state unlike every target, so "left as it was" is visible.
termios odd_attrs(const PtyPair& pty) {
  termios t = pty.slave_attrs();
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  t.c_cflag |= CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
  t.c_lflag |= ICANON | ECHO;
  t.c_iflag |= ICRNL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 7;
  cfsetispeed(&t, B2400);
  cfsetospeed(&t, B2400);
  return t;
}

}  // namespace

TEST(StrSplit, RunsOfSeparatorsAreOneAndAtMostMaxFieldsAreKept) {
  struct Case {
    const char* s;
    const char* lim;
    size_t max;
    std::vector<std::string> want;
  } cases[] = {
      {"/dev/ttyS12;19200,N,8,1;10/0/300/./.",
       ";",
       6,
       {"/dev/ttyS12", "19200,N,8,1", "10/0/300/./."}},
      {";;a;;b;", ";", 6, {"a", "b"}},
      {"a,b,c,d,e,f,g,h", ",", 6, {"a", "b", "c", "d", "e", "f"}},
      {"a;b,c", ";,", 6, {"a", "b", "c"}},
      {";;;", ";", 6, {}},
      {"", ";", 6, {}},
      {"abc", ";", 6, {"abc"}},
  };
  for (const auto& c : cases) EXPECT_EQ(str_split(c.s, c.lim, c.max), c.want) << c.s;
}

TEST(MbeOpen, LineSettingsReachTheTerminal) {
  constexpr tcflag_t kAsBefore = ~tcflag_t{0};
  struct Case {
    const char* line;
    const char* timeouts;
    speed_t speed;
    tcflag_t parity;  // PARENB | PARODD; odd or even only matters with PARENB
    tcflag_t csize;
    bool two_stop;
    bool rtscts;
    cc_t vtime;
  } cases[] = {
      {"19200,N,8,1", "10/0/300/./.", B19200, 0, CS8, false, false, 3},
      {"115200,E,7,2,+CRTSCTS", "10/0/1000/./.", B115200, PARENB, CS7, true, true, 10},
      {"9600,O,8,1,x+CRTSCTSy", "10/0/5000/./.", B9600, PARENB | PARODD, CS8, false, true, 50},
      {"38400,O,7,2,-CRTSCTS", "1/2/300/4/5", B38400, PARENB | PARODD, CS7, true, false, 3},
      // Unknown speeds fall back to 19200; unknown parity and data bits
      // leave what the device had.
      {"4800,X,9,1", "10/0/300/./.", B19200, kAsBefore, kAsBefore, false, false, 3},
      {"57600,n,6,3", "10/0/300/./.", B19200, kAsBefore, kAsBefore, false, false, 3},
      {"19200,N,8,1", "10/0/abc/./.", B19200, 0, CS8, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + ";" + c.timeouts);
    PtyPair pty;
    pty.set_slave_attrs(odd_attrs(pty));
    const termios before = pty.slave_attrs();
    const std::string def = pty.slave_path() + ";" + c.line + ";" + c.timeouts;

    requested_attrs().clear();
    testing::internal::CaptureStdout();
    const int fd = w_open(def.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcsetattr(): 0\ntcsetattr(): 0\n");
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(def, pty.slave_path() + ";" + c.line + ";" + c.timeouts) << "definition altered";

    // A pty always works with 8 bits and no parity, so those two are
    // checked on what the driver asked for.
    ASSERT_EQ(requested_attrs().size(), 2U);
    const termios& req = requested_attrs()[0];
    const tcflag_t parity = c.parity == kAsBefore ? before.c_cflag & (PARENB | PARODD) : c.parity;
    const tcflag_t csize = c.csize == kAsBefore ? before.c_cflag & CSIZE : c.csize;
    EXPECT_EQ(req.c_cflag & PARENB, parity & PARENB);
    if ((parity & PARENB) != 0) {
      EXPECT_EQ(req.c_cflag & PARODD, parity & PARODD);
    }
    EXPECT_EQ(req.c_cflag & CSIZE, csize);

    const termios t = pty.slave_attrs();
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.two_stop);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts);
    EXPECT_EQ(t.c_cflag & CLOCAL, before.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_cc[VTIME], c.vtime);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_iflag, 0U);
    EXPECT_EQ(t.c_oflag, 0U);
    EXPECT_EQ(t.c_lflag, 0U);
    w_close(fd);
    EXPECT_FALSE(is_open(fd));
  }
}

TEST(MbeOpen, DoubledSeparatorsAreNotEmptyFields) {
  PtyPair pty;
  pty.set_slave_attrs(odd_attrs(pty));
  const std::string def = ";" + pty.slave_path() + ";;115200,,E,,7,,1;;;10//0/1000/./.;";
  testing::internal::CaptureStdout();
  const int fd = w_open(def.c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_GE(fd, 0);
  const termios t = pty.slave_attrs();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0U);
  EXPECT_EQ(t.c_cc[VTIME], 10);
  w_close(fd);
}

TEST(MbeOpen, WrongFieldCountsOpenNothing) {
  PtyPair pty;
  const std::string p = pty.slave_path();
  const std::string defs[] = {
      p + ";19200,N,8,1",                          // two fields
      p + ";19200,N,8,1;10/0/300/./.;extra",       // four fields
      p,                                           // one field
      "",                                          //
      p + ";19200,N,8;10/0/300/./.",               // three line fields
      p + ";19200,N,8,1,+CRTSCTS,x;10/0/300/./.",  // six line fields
      "/nonexistent/tty;19200,N,8,1;10/0/300/./.",
  };
  pty.set_slave_attrs(odd_attrs(pty));
  const termios before = pty.slave_attrs();
  const int free_fd = next_free_fd();
  for (const auto& def : defs) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(w_open(def.c_str()), -1) << def;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << def;
    EXPECT_EQ(next_free_fd(), free_fd) << def;
  }
  const termios after = pty.slave_attrs();
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
  EXPECT_EQ(w_open(nullptr), -1);
}

TEST(MbeOpen, MalformedTimeoutsStillOpenWithThePreviousReadMode) {
  PtyPair pty;
  pty.set_slave_attrs(odd_attrs(pty));
  const termios before = pty.slave_attrs();
  const std::string def = pty.slave_path() + ";19200,N,8,1;10/0/300";
  testing::internal::CaptureStdout();
  const int fd = w_open(def.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcsetattr(): 0\n");
  ASSERT_GE(fd, 0);
  const termios t = pty.slave_attrs();
  EXPECT_EQ(t.c_cflag & CSTOPB, 0U);  // the line part did apply
  EXPECT_EQ(t.c_cc[VTIME], 7);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_lflag, before.c_lflag);
  w_close(fd);
}

TEST(MbeTimeouts, ThirdFieldInTenthsWrapsAt256) {
  PtyPair pty;
  const std::string def = pty.slave_path() + ";19200,N,8,1;10/0/300/./.";
  testing::internal::CaptureStdout();
  const int fd = w_open(def.c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_GE(fd, 0);
  struct Case {
    const char* text;
    cc_t vtime;
  } cases[] = {{"10/0/99/./.", 0},    {"10/0/100/./.", 1},   {"10/0/25599/./.", 255},
               {"10/0/25600/./.", 0}, {"10/0/25700/./.", 1}, {"10/0/5000/./.", 50},
               {"10/0/12x/./.", 0},   {"10/0/./././", 0},    {"10//0///1000/./.", 10}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(w_setTimeouts(fd, c.text), 0) << c.text;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "tcsetattr(): 0\n");
    EXPECT_EQ(pty.slave_attrs().c_cc[VTIME], c.vtime) << c.text;
  }
  // Malformed texts change nothing.
  for (const char* bad : {"10/0/300/.", "1/2/3/4/5/6", "", "/////"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(w_setTimeouts(fd, bad), -1) << bad;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(pty.slave_attrs().c_cc[VTIME], 10) << bad;
  }
  EXPECT_EQ(w_setTimeouts(-1, "10/0/300/./."), -1);
  w_close(fd);
}

TEST(MbeRead, StopByteEndsTheReadAndSilenceGivesZero) {
  PtyPair pty;
  const std::string def = pty.slave_path() + ";19200,N,8,1;10/0/100/./.";  // one tenth
  testing::internal::CaptureStdout();
  const int fd = w_open(def.c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_GE(fd, 0);
  char buf[16];

  pty.write_master("AB\rD");
  std::fill(std::begin(buf), std::end(buf), 'x');
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 13), 3);
  EXPECT_EQ(std::string(buf, 4), "AB\rx");  // CR kept, nothing terminated
  // The rest is returned when the line falls silent.
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 13), 1);
  EXPECT_EQ(buf[0], 'D');
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 13), 0);
  EXPECT_EQ(w_read(fd, buf, sizeof buf, -1), 0);

  // At most len bytes without the stop byte.
  pty.write_master("ABCDEF\r");
  EXPECT_EQ(w_read(fd, buf, 4, 13), 4);
  EXPECT_EQ(std::string(buf, 4), "ABCD");
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 13), 3);

  // The stop byte compares as unsigned, whatever the signedness of char.
  pty.write_master(std::string("\x01\xFF\x02", 3));
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 0xFF), 2);
  EXPECT_EQ(w_read(fd, buf, sizeof buf, 0xFF), 1);

  // Without a stop byte one read returns what is there.
  pty.write_master("XYZ");
  ASSERT_TRUE(pty.wait_slave_input(2000ms));
  EXPECT_GT(w_read(fd, buf, sizeof buf, -1), 0);
  w_close(fd);
}

TEST(MbeIo, WritesReachTheLineAndClearErrDropsPendingInput) {
  PtyPair pty;
  const std::string def = pty.slave_path() + ";19200,N,8,1;10/0/100/./.";
  testing::internal::CaptureStdout();
  const int fd = w_open(def.c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_GE(fd, 0);

  // Raw output: no CR/LF translation on the way out.
  EXPECT_EQ(w_write(fd, "a\nb\r", 4), 4);
  EXPECT_EQ(pty.read_master_until('\r', 2000ms), "a\nb\r");

  pty.write_master("stale");
  ASSERT_TRUE(pty.wait_slave_input(2000ms));
  EXPECT_EQ(w_clearerr(fd), 0);
  char buf[8];
  EXPECT_EQ(w_read(fd, buf, sizeof buf, -1), 0);
  w_close(fd);
}
