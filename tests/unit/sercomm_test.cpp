// Radio frames on a real pseudo-terminal, against a scripted device that
// reads requests on the master side and answers them.
#include "sercomm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runstate.h"
#include "core/settings.h"
#include "pty.h"
#include "util.h"

using namespace std::chrono_literals;
using testsupport::PtyPair;

namespace {

// Reference checksum, written independently of the code under test.
std::string checksum(const std::string& covered, bool lower = false) {
  unsigned sum = 0;
  for (unsigned char c : covered) sum += c;
  char hex[3];
  std::snprintf(hex, sizeof hex, lower ? "%02x" : "%02X", (256 - sum % 256) % 256);
  return hex;
}

std::string frame(const std::string& cmd, const std::string& data, bool lower = false) {
  char len[3];
  std::snprintf(len, sizeof len, "%02X", static_cast<unsigned>(data.size()));
  const std::string body = "FFFF0001" + cmd + len + data;
  return "\x02" + body + checksum(body, lower) + "\r";
}

// Plays the radio gateway on the master side: every request frame (up to
// CR) is recorded and answered by the script. An empty answer is silence.
class FakeDevice {
 public:
  using Script = std::function<std::string(const std::string& request, int index)>;

  FakeDevice(const PtyPair& pty, Script script)
      : pty_(pty), script_(std::move(script)), thread_([this] { run(); }) {}
  FakeDevice(const PtyPair& pty, std::vector<std::string> answers)
      : FakeDevice(pty, [answers](const std::string&, int i) {
          return i < static_cast<int>(answers.size()) ? answers[static_cast<size_t>(i)]
                                                      : std::string();
        }) {}
  ~FakeDevice() {
    stop_ = true;
    thread_.join();
  }

  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> l(m_);
    return requests_;
  }
  // A request started before the previous one was answered.
  bool overlapped() const { return overlapped_; }
  // Waits until n requests have arrived; false if they did not.
  bool wait_requests(size_t n) const {
    for (int i = 0; i < 500 && requests().size() < n; ++i) std::this_thread::sleep_for(10ms);
    return requests().size() >= n;
  }

 private:
  void run() {
    std::string cur;
    while (!stop_) {
      pollfd p{pty_.master(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
      char c;
      if (::read(pty_.master(), &c, 1) != 1) continue;
      cur.push_back(c);
      if (c != '\r') continue;
      int index;
      {
        std::lock_guard<std::mutex> l(m_);
        index = static_cast<int>(requests_.size());
        requests_.push_back(cur);
      }
      const std::string answer = script_(cur, index);
      cur.clear();
      pollfd more{pty_.master(), POLLIN, 0};
      if (::poll(&more, 1, 0) > 0) overlapped_ = true;
      if (!answer.empty()) pty_.write_master(answer);
    }
  }

  const PtyPair& pty_;
  Script script_;
  mutable std::mutex m_;
  std::vector<std::string> requests_;
  std::atomic<bool> overlapped_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SercommTest : public testing::Test {
 protected:
  // Opens the port on the pty with a short read timer, so silence costs a
  // tenth of a second.
  void open_port() {
    copy_str(cfg_serialcfg, pty_.slave_path() + ";19200,N,8,1;10/0/300/./.");
    testing::internal::CaptureStdout();
    ASSERT_EQ(sercomm_init(), 0);
    ASSERT_EQ(sercomm_setMaxTimeout(100), 0);
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    sercomm_shutdown();
    f_reload = 0;
    f_exit = 0;
  }

  PtyPair pty_;
};

}  // namespace

TEST(TelvoCrc, ChecksumOfTheCoveredBytes) {
  EXPECT_EQ(telvo_crc("\x02"
                      "0001FFFFABC00",
                      14),
            0x01);
  EXPECT_EQ(telvo_crc("\x02"
                      "0102FFFFABC0212",
                      16),
            0x9A);
  EXPECT_EQ(telvo_crc("\x02\xE9", 2), 0x17);  // bytes count as unsigned
  EXPECT_EQ(telvo_crc("\x02"
                      "\x80\x80",
                      3),
            0x00);
  EXPECT_EQ(telvo_crc("\x02", 1), 0);

  struct Case {
    std::string frame;
    int want;
  } cases[] = {
      {"\x02"
       "0001FFFFABC0001\r",
       1},
      {"\x02"
       "0102FFFFABC02129a\r",
       1},  // lower-case digits
      {"\x02"
       "0102FFFFABC02129B\r",
       0},
      {"\x02"
       "FFFF0001ABC0" +
           checksum("FFFF0001ABC0") + "\r",
       1},  // too short is the reader's call
      {"\x02"
       "0001FFFFABC000G\r",
       0},  // not a digit, even if it mapped to the sum
      {"\x02"
       "0001FFFFA\r",
       0},  // 12 bytes or fewer never pass
  };
  for (const auto& c : cases) {
    EXPECT_EQ(telvo_check_crc(c.frame.data(), static_cast<int>(c.frame.size())), c.want)
        << c.frame.substr(1);
  }
}

TEST_F(SercommTest, RequestFramesAndTheirLogLines) {
  open_port();
  struct Case {
    int dest;
    const char* cmd;
    const char* data;
    std::string want;
    const char* log;
  } cases[] = {
      {0x0001, "ABC", nullptr,
       "\x02"
       "0001FFFFABC0001\r",
       "Write packet (17 bytes) \"%020001FFFFABC0001%0D\"\n"},
      {0x0102, "ABC", "12",
       "\x02"
       "0102FFFFABC02129A\r",
       "Write packet (19 bytes) \"%020102FFFFABC02129A%0D\"\n"},
      {0x0001, "4pw", "",
       "\x02"
       "0001FFFF4pw00" +
           checksum("0001FFFF4pw00") + "\r",
       nullptr},
      // Only the low 16 bits of an address fit.
      {0x10002, "ABC", nullptr,
       "\x02"
       "0002FFFFABC0000\r",
       nullptr},
      {-1, "ABC", nullptr,
       "\x02"
       "FFFFFFFFABC00" +
           checksum("FFFFFFFFABC00") + "\r",
       nullptr},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    const int n = telvo_write(c.dest, 0xFFFF, c.cmd, c.data, 99);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, static_cast<int>(c.want.size()));
    EXPECT_EQ(pty_.read_master_until('\r', 2000ms), c.want);
    if (c.log != nullptr) {
      EXPECT_EQ(log, c.log);
    }
  }
}

TEST_F(SercommTest, DataLengthLimitIsTwoHexDigits) {
  open_port();
  const std::string max(255, 'D');
  testing::internal::CaptureStdout();
  EXPECT_EQ(telvo_write(1, 0xFFFF, "ABC", max.c_str(), 0), 272);
  testing::internal::GetCapturedStdout();
  const std::string sent = pty_.read_master_until('\r', 2000ms);
  ASSERT_EQ(sent.size(), 272U);
  EXPECT_EQ(sent.substr(12, 2), "FF");

  const std::string over(256, 'D');
  EXPECT_EQ(telvo_write(1, 0xFFFF, "ABC", over.c_str(), 0), -1);
  EXPECT_EQ(pty_.drain_master(100ms), "");
}

TEST_F(SercommTest, RefusedRequestsWriteNothing) {
  open_port();
  char buf[512];
  struct Case {
    const char* what;
    int reload, exit;
    const char* cmd;
  } cases[] = {
      {"reload", 1, 0, "ABC"},        {"exit", 0, 1, "ABC"},         {"short command", 0, 0, "AB"},
      {"long command", 0, 0, "ABCD"}, {"no command", 0, 0, nullptr},
  };
  FakeDevice device(pty_, std::vector<std::string>{frame("ABC", "x")});
  for (const auto& c : cases) {
    f_reload = c.reload;
    f_exit = c.exit;
    testing::internal::CaptureStdout();
    EXPECT_EQ(telvo_write(1, 0xFFFF, c.cmd, "", 0), -1) << c.what;
    EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, c.cmd, "", 0, buf, sizeof buf), -1) << c.what;
    if (c.reload || c.exit) {
      EXPECT_EQ(telvo_read2(buf, sizeof buf, c.cmd), -1) << c.what;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
  }
  f_reload = 0;
  f_exit = 0;
  // The refused requests left the line in step: the first request the
  // device sees is this one.
  testing::internal::CaptureStdout();
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", "", 0, buf, sizeof buf), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(device.requests().size(), 1U);
}

TEST_F(SercommTest, ClosedPort) {
  char buf[64];
  copy_str(cfg_serialcfg, "/nonexistent/tty;19200,N,8,1;10/0/300/./.");
  EXPECT_EQ(sercomm_init(), -1);
  EXPECT_EQ(fd_serial.load(), -1);
  EXPECT_EQ(telvo_write(1, 0xFFFF, "ABC", nullptr, 0), -1);
  EXPECT_EQ(telvo_read2(buf, sizeof buf, "ABC"), 0);
  EXPECT_EQ(telvo_read(buf, sizeof buf, "ABC"), 0);
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), -1);
  EXPECT_EQ(sercomm_setMaxTimeout(100), -1);
  EXPECT_EQ(telvo_bridge("0001FFFFABC00", 13, buf, sizeof buf), -1);
  ASSERT_EQ(pthread_mutex_trylock(&sercomm_mutex), 0) << "lock left taken";
  pthread_mutex_unlock(&sercomm_mutex);
}

TEST_F(SercommTest, AnswersAreCheckedBeforeTheirDataIsTaken) {
  open_port();
  const std::string short16 =
      "\x02"
      "FFFF0001ABC0" +
      checksum("FFFF0001ABC0") + "\r";
  ASSERT_EQ(short16.size(), 16U);
  std::string bad_crc = frame("ABC", "12");
  bad_crc[bad_crc.size() - 2] ^= 1;
  std::string no_cr = frame("ABC", "12");
  no_cr.back() = '\n';

  struct Case {
    const char* what;
    std::vector<std::string> answers;
    int want;
    const char* data;
    int requests;
  } cases[] = {
      {"good", {frame("ABC", "0123")}, 4, "0123", 1},
      {"empty data", {frame("ABC", "")}, 0, "", 1},
      {"lower-case checksum", {frame("ABC", "ab", true)}, 2, "ab", 1},
      {"16 bytes", {short16}, -1, nullptr, 1},
      {"bad checksum", {bad_crc}, -1, nullptr, 1},
      {"no CR", {no_cr}, -1, nullptr, 1},
      {"silence", {""}, -1, nullptr, 1},
      {"late answer skipped", {frame("XYZ", "old") + frame("ABC", "new")}, 3, "new", 1},
      {"two late answers", {frame("XYZ", "1") + frame("XYZ", "2")}, -1, nullptr, 1},
      {"command is case-sensitive", {frame("abc", "1") + frame("aBC", "2")}, -1, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDevice device(pty_, c.answers);
    char buf[512] = "untouched";
    testing::internal::CaptureStdout();
    EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), c.want);
    testing::internal::GetCapturedStdout();
    if (c.data != nullptr) {
      EXPECT_STREQ(buf, c.data);
    }
    EXPECT_EQ(device.requests().size(), static_cast<size_t>(c.requests));
    tcflush(fd_serial.load(), TCIFLUSH);
  }
}

TEST_F(SercommTest, ExchangeLogLines) {
  open_port();
  FakeDevice device(pty_,
                    std::vector<std::string>{frame("XYZ", "old") + frame("ABC", "new"), "\r"});
  char buf[512];
  testing::internal::CaptureStdout();
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), 3);
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  const std::string old_frame = frame("XYZ", "old");
  EXPECT_EQ(log,
            "Write packet (17 bytes) \"%020001FFFFABC0001%0D\"\n"
            "Read 20 bytes packet \"%02FFFF0001XYZ03old" +
                old_frame.substr(17, 2) +
                "%0D\"\n"
                "ERR: Unmatched command.\n"
                "Read 20 bytes packet \"%02FFFF0001ABC03new" +
                frame("ABC", "new").substr(17, 2) +
                "%0D\"\n"
                "Extracted: new\n"
                "Write packet (17 bytes) \"%020001FFFFABC0001%0D\"\n"
                "Read 1 bytes packet \"%0D\"\n"
                "DBG: telvo_read() error\n");
}

TEST_F(SercommTest, LongAnswerIsCutButTakenOffTheLineWhole) {
  open_port();
  FakeDevice device(pty_,
                    std::vector<std::string>{frame("ABC", "ABCDEFGHIJ"), frame("ABC", "next")});
  char small[4];
  testing::internal::CaptureStdout();
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, small, sizeof small), 3);
  EXPECT_STREQ(small, "ABC");
  char buf[512];
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), 4);
  testing::internal::GetCapturedStdout();
  EXPECT_STREQ(buf, "next");
}

TEST_F(SercommTest, BridgeSendsTheBodyFramedAndReturnsRawBytes) {
  open_port();
  FakeDevice device(pty_, std::vector<std::string>{"raw\r"});
  f_reload = 1;  // the pass-through does not look at the stop flags
  char buf[64];
  testing::internal::CaptureStdout();
  const int n = telvo_bridge("0001FFFFABC00", 13, buf, sizeof buf);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
            std::string("raw\r").substr(0, static_cast<size_t>(n)));
  ASSERT_EQ(device.requests().size(), 1U);
  EXPECT_EQ(device.requests()[0],
            "\x02"
            "0001FFFFABC0001\r");

  // A body that cannot be framed in the buffer is refused, unsent.
  const std::string huge(509, 'A');
  EXPECT_EQ(telvo_bridge(huge.c_str(), static_cast<int>(huge.size()), buf, sizeof buf), -1);
  const std::string fits(508, 'A');
  EXPECT_EQ(telvo_bridge(fits.c_str(), static_cast<int>(fits.size()), buf, sizeof buf), 0);
  ASSERT_TRUE(device.wait_requests(2));
  EXPECT_EQ(device.requests()[1].size(), 512U);
  ASSERT_EQ(pthread_mutex_trylock(&sercomm_mutex), 0);
  pthread_mutex_unlock(&sercomm_mutex);
}

TEST_F(SercommTest, TwoThreadsNeverInterleaveOnTheLine) {
  open_port();
  ASSERT_EQ(sercomm_setMaxTimeout(2000), 0);
  // Echoes the request's command and data.
  FakeDevice device(pty_, [](const std::string& req, int) {
    return req.size() >= 17 ? frame(req.substr(9, 3), req.substr(14, req.size() - 17)) : "";
  });
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  auto worker = [&](const char* cmd, char tag) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string data =
          std::string(static_cast<size_t>(i % 30 + 1), tag) + std::to_string(i);
      char buf[512];
      const int n = telvo_comm_wr(1, 0xFFFF, cmd, data.c_str(), 0, buf, sizeof buf);
      if (n != static_cast<int>(data.size()) || data != buf) ++failures;
    }
  };
  testing::internal::CaptureStdout();
  std::thread a(worker, "4AA", 'a');
  std::thread b(worker, "4BB", 'b');
  a.join();
  b.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(device.overlapped());
  const auto reqs = device.requests();
  EXPECT_EQ(reqs.size(), 2U * kRounds);
  for (const auto& r : reqs) {
    EXPECT_EQ(telvo_check_crc(r.data(), static_cast<int>(r.size())), 1) << r;
  }
}

TEST_F(SercommTest, KillClosesThePortAndLaterRequestsFail) {
  open_port();
  const int old = fd_serial.load();
  sercomm_kill();
  EXPECT_EQ(fd_serial.load(), -1);
  EXPECT_EQ(::fcntl(old, F_GETFD), -1);
  char buf[64];
  EXPECT_EQ(telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf), -1);
  EXPECT_EQ(pty_.drain_master(100ms), "");
  sercomm_kill();  // closing twice is harmless

  // The next cycle opens the port again.
  testing::internal::CaptureStdout();
  EXPECT_EQ(sercomm_init(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_GE(fd_serial.load(), 0);
}

TEST_F(SercommTest, KillDuringAnExchangeClosesOnceTheExchangeIsDone) {
  open_port();
  ASSERT_EQ(sercomm_setMaxTimeout(1000), 0);
  std::atomic<bool> release{false};
  std::atomic<bool> got_request{false};
  FakeDevice device(pty_, [&](const std::string&, int) {
    got_request = true;
    while (!release) std::this_thread::sleep_for(5ms);
    return frame("ABC", "late");
  });
  const int old = fd_serial.load();
  std::atomic<int> result{-5};
  testing::internal::CaptureStdout();
  std::thread user([&] {
    char buf[64];
    result = telvo_comm_wr(1, 0xFFFF, "ABC", nullptr, 0, buf, sizeof buf);
  });
  while (!got_request) std::this_thread::sleep_for(5ms);
  f_exit = 1;
  sercomm_kill();
  EXPECT_EQ(fd_serial.load(), -1);
  release = true;
  user.join();
  testing::internal::GetCapturedStdout();
  // Whether the answer was still read depends on timing; either way the
  // exchange ended and the descriptor is gone.
  EXPECT_TRUE(result == -1 || result == 4) << result;
  EXPECT_EQ(::fcntl(old, F_GETFD), -1);
}
