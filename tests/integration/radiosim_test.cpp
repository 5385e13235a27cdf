// The radio simulator over a real pty pair, spoken to by a tiny frame writer
// of the test's own, so a framing fault in the simulator cannot hide behind
// the same fault in the code under test.
#include "radiosim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using radiosim::Config;
using radiosim::Sample;
using radiosim::Simulator;

namespace {

constexpr std::int64_t kStart = 1699952400;  // 14 Nov 2023 09:00 UTC: the sun is up
constexpr int kInterval = 900;
constexpr int kGw = radiosim::kGateway;

unsigned covered_sum(std::string_view frame, std::size_t end) {
  unsigned sum = 0;
  for (std::size_t i = 1; i < end; ++i) sum += static_cast<unsigned char>(frame[i]);
  return sum;
}

std::string request_frame(int dest, std::string_view cmd, std::string_view data = "") {
  char head[32];
  std::snprintf(head, sizeof head, "\x02%04X%04X%.3s%02X", static_cast<unsigned>(dest), 0xFFFFu,
                std::string(cmd).c_str(), static_cast<unsigned>(data.size()));
  std::string f = std::string(head) + std::string(data);
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X\r", (256 - covered_sum(f, f.size()) % 256) % 256);
  return f + tail;
}

unsigned hexval(std::string_view s) {
  return static_cast<unsigned>(std::stoul(std::string(s), nullptr, 16));
}

struct Answer {
  int dest = 0;
  int src = 0;
  std::string cmd;
  std::string data;
  bool checksum_ok = false;
};

// Decodes a sample text the way the daemon reads it.
Sample decode_sample(std::string_view t, bool scaled) {
  Sample s;
  s.time = static_cast<std::int32_t>(hexval(t.substr(0, 8)));
  const unsigned k = scaled ? 10 : 1;
  s.ptot = hexval(t.substr(8, 4)) * k;
  s.etot = hexval(t.substr(12, 8)) * k;
  if (t.size() == 23) {
    s.dbm = static_cast<std::int8_t>(hexval(t.substr(20, 2)));
    s.alm = static_cast<int>(hexval(t.substr(22, 1)));
  } else {
    s.alm = static_cast<int>(hexval(t.substr(20, 1)));
  }
  return s;
}

// The fields that survive a sample read without the signal level.
Sample without_dbm(Sample s) {
  s.dbm = 0;
  return s;
}

class Radiosim : public ::testing::Test {
 protected:
  std::atomic<std::int64_t> now{kStart};
  std::unique_ptr<Simulator> sim;
  radiosim::Pty pty;
  std::string pending;

  void boot(Config cfg = Config{}) {
    cfg.now = [this] { return now.load(); };
    sim = std::make_unique<Simulator>(std::move(cfg));
    auto p = radiosim::open_pty();
    ASSERT_TRUE(p);
    pty = *p;
    ASSERT_TRUE(sim->start(pty.master));
  }

  void TearDown() override {
    if (sim) sim->stop();
    radiosim::close_pty(pty);
  }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(pty.slave, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The next whole frame on the line, framed by its own length field.
  std::optional<Answer> read_answer(std::chrono::milliseconds wait = 5000ms) {
    for (;;) {
      const auto stx = pending.find('\x02');
      if (stx != std::string::npos && pending.size() >= stx + 14) {
        const std::size_t total = 17 + hexval(pending.substr(stx + 12, 2));
        if (pending.size() >= stx + total) {
          const std::string f = pending.substr(stx, total);
          pending.erase(0, stx + total);
          Answer a;
          a.dest = static_cast<int>(hexval(f.substr(1, 4)));
          a.src = static_cast<int>(hexval(f.substr(5, 4)));
          a.cmd = f.substr(9, 3);
          a.data = f.substr(14, total - 17);
          a.checksum_ok = f.back() == '\r' &&
                          (covered_sum(f, total - 3) + hexval(f.substr(total - 3, 2))) % 256 == 0;
          return a;
        }
      }
      pollfd p{pty.slave, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
      char buf[512];
      const ssize_t n = ::read(pty.slave, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  std::optional<Answer> ask(int dest, std::string_view cmd, std::string_view data = "") {
    send(request_frame(dest, cmd, data));
    return read_answer();
  }

  std::string data_of(int dest, std::string_view cmd, std::string_view data = "") {
    auto a = ask(dest, cmd, data);
    EXPECT_TRUE(a) << cmd << " to " << dest << " got no answer";
    if (!a) return "";
    EXPECT_TRUE(a->checksum_ok);
    EXPECT_EQ(a->cmd, cmd);
    return a->data;
  }

  // The simulator answers in order, so when a later request to the gateway
  // brings the first frame on the line, the earlier request went unanswered.
  void expect_silent(const std::string& bytes) {
    send(bytes);
    send(request_frame(kGw, "4VS"));
    auto a = read_answer();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->src, kGw);
    EXPECT_EQ(a->cmd, "4VS");
  }

  // One data pass as the daemon makes it: read up to three samples; move
  // the checkpoint when any came.
  std::vector<Sample> read_and_move(int counter, bool scaled = false) {
    const std::string d = data_of(counter, "4RS");
    std::vector<Sample> out;
    if (d.empty()) return out;
    const std::size_t n = static_cast<std::size_t>(d[0] - '0');
    const std::size_t width = d.size() == 47 ? 23 : 21;
    EXPECT_EQ(d.size(), 1 + n * width) << d;
    for (std::size_t i = 0; i < n && 1 + (i + 1) * width <= d.size(); ++i) {
      out.push_back(decode_sample(std::string_view(d).substr(1 + i * width, width), scaled));
    }
    if (n > 0) {
      EXPECT_EQ(data_of(counter, "4MV"), "0");
    }
    return out;
  }
};

TEST(RadiosimFrame, TestWriterMatchesKnownFrames) {
  // Known frames of the line, so the writer below is itself trustworthy.
  EXPECT_EQ(request_frame(1, "ABC"), std::string("\x02"
                                                 "0001FFFFABC0001\r"));
  EXPECT_EQ(request_frame(0x0102, "ABC", "12"), std::string("\x02"
                                                            "0102FFFFABC02129A\r"));
}

TEST_F(Radiosim, FramingAcceptsGoodRequestsAndIgnoresBadOnes) {
  boot();
  std::string good = request_frame(1, "4VS");
  std::string lower = request_frame(1, "4SM", "6553F102");  // checksum 3F: a letter
  ASSERT_NE(lower.substr(lower.size() - 3, 2).find_first_of("ABCDEF"), std::string::npos);
  for (std::size_t i = lower.size() - 3; i < lower.size() - 1; ++i)
    lower[i] = static_cast<char>(std::tolower(lower[i]));

  struct Case {
    const char* name;
    std::string bytes;
    bool answered;
  };
  std::string wrong_sum = good;
  wrong_sum[wrong_sum.size() - 2] = wrong_sum[wrong_sum.size() - 2] == '0' ? '1' : '0';
  std::string no_cr = good;
  no_cr.back() = '\n';
  const std::vector<Case> cases = {
      {"upper-case checksum", good, true},
      {"lower-case checksum", lower, true},
      {"noise before the frame", std::string("\r\nxx\x05") + good, true},
      {"wrong checksum", wrong_sum, false},
      {"no CR at the end", no_cr, false},
      {"length field too short",
       std::string("\x02"
                   "0001FFFF4VS0") +
           "1" + "A" + "00\r",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.answered) {
      send(c.bytes);
      auto a = read_answer();
      ASSERT_TRUE(a);
      EXPECT_TRUE(a->checksum_ok);
      EXPECT_EQ(a->src, 1);
      EXPECT_EQ(a->dest, 0xFFFF);
    } else {
      expect_silent(c.bytes);
    }
  }
  EXPECT_GE(sim->bad_frames(), 3u);

  // A frame split over two writes is still one frame.
  send(good.substr(0, 7));
  send(good.substr(7));
  auto a = read_answer();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cmd, "4VS");

  // A header announcing more data than ever comes is given up once the line
  // goes quiet, so the request after it is still served.
  send(
      std::string("\x02"
                  "0001FFFF4VS40"));
  send(request_frame(2, "4VS"));
  a = read_answer();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->src, 2);
}

TEST_F(Radiosim, AnswersCarryTheLayoutsTheDaemonReads) {
  Config cfg;
  cfg.counters[0].version = "06041C";
  cfg.counters[1].scaled = true;
  cfg.counters[1].peak_power = 60000;
  cfg.counters[2].present = false;
  cfg.counters[3].initialised = false;
  boot(cfg);

  const std::string gw = data_of(kGw, "4QZ");
  ASSERT_GE(gw.size(), 56u);
  const std::string mac = data_of(1, "4QZ");
  ASSERT_GE(mac.size(), 28u);
  const auto sig = static_cast<std::int8_t>(hexval(mac.substr(26, 2)));
  EXPECT_LT(sig, 0);
  EXPECT_GT(sig, -100);
  EXPECT_NE(mac.substr(0, 16), gw.substr(0, 16));

  EXPECT_EQ(data_of(1, "4VS").substr(0, 6), "06041C");
  EXPECT_EQ(data_of(4, "4IN"), "0");
  EXPECT_EQ(data_of(1, "4IN"), "1");
  EXPECT_EQ(hexval(data_of(1, "4CK")), static_cast<unsigned>(kStart));

  // Configuration fields: 4 hex digits at 1, 5, 17, 21, 25; a scaled counter
  // holds Wh per pulse and nominal power in units ten times larger.
  for (int n : {1, 2}) {
    SCOPED_TRACE(n);
    const std::string c = data_of(n, "4SZ");
    ASSERT_GE(c.size(), 29u);
    EXPECT_EQ(hexval(c.substr(21, 4)), static_cast<unsigned>(kInterval));
    EXPECT_GE(hexval(c.substr(17, 4)), 60u);
    EXPECT_LE(hexval(c.substr(17, 4)), 300u);
    const unsigned whi = hexval(c.substr(1, 4)), pmin = hexval(c.substr(5, 4));
    EXPECT_GT(whi, 0u);
    EXPECT_GT(pmin, 0u);
    EXPECT_EQ(hexval(c.substr(25, 4)), n == 1 ? 3u : 60u);
  }

  const std::string live = data_of(2, "4AR");
  ASSERT_EQ(live.size(), 23u);
  const Sample s = decode_sample(live, true);
  EXPECT_EQ(s.time, kStart);
  EXPECT_GT(s.ptot, 0u);
  EXPECT_EQ(s.ptot % 10, 0u);

  for (const char* code : {"4SO", "4SN", "4CP"}) {
    EXPECT_EQ(data_of(1, code), "00000000") << code;
  }
  EXPECT_EQ(data_of(1, "4LS").substr(0, 8), "00000000");  // no sample yet: an empty slot

  // Requests nobody answers.
  expect_silent(request_frame(3, "4VS"));        // counter not installed
  expect_silent(request_frame(1, "4XX"));        // unknown code
  expect_silent(request_frame(kGw, "4RS"));      // counters' request to the gateway
  expect_silent(request_frame(1, "4SM", "12"));  // malformed time
  expect_silent(request_frame(1, "4CK", "12345"));
}

TEST_F(Radiosim, CheckpointMovesOnlyPastWhatWasHandedOut) {
  boot();
  now += 5 * kInterval;
  const auto truth = sim->truth(1);
  ASSERT_EQ(truth.size(), 5u);

  std::string first = data_of(1, "4RS");
  ASSERT_EQ(first.size(), 1 + 3 * 21u);
  EXPECT_EQ(first[0], '3');
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(decode_sample(first.substr(1 + 21 * i, 21), false), without_dbm(truth[i]));
  }
  EXPECT_EQ(data_of(1, "4RS"), first) << "a read without a move reads the same samples again";

  EXPECT_EQ(data_of(1, "4MV"), "0");
  EXPECT_EQ(hexval(data_of(1, "4CP")), static_cast<unsigned>(truth[2].time));
  EXPECT_EQ(data_of(1, "4MV"), "0");
  EXPECT_EQ(hexval(data_of(1, "4CP")), static_cast<unsigned>(truth[2].time))
      << "a repeated move must not skip unread samples";

  // Samples stored between the read and the move stay unsent.
  std::string second = data_of(1, "4RS");
  EXPECT_EQ(second[0], '2');
  now += 2 * kInterval;
  EXPECT_EQ(data_of(1, "4MV"), "0");
  std::string third = data_of(1, "4RS");
  ASSERT_EQ(third[0], '2');
  const auto all = sim->truth(1);
  EXPECT_EQ(decode_sample(third.substr(1, 21), false), without_dbm(all[5]));

  // A refused move moves nothing.
  sim->set_refuse_checkpoint(1, true);
  EXPECT_EQ(data_of(1, "4MV"), "1");
  EXPECT_EQ(data_of(1, "4RS"), third);
  sim->set_refuse_checkpoint(1, false);
  EXPECT_EQ(data_of(1, "4MV"), "0");
  EXPECT_EQ(data_of(1, "4RS"), "0");
  EXPECT_EQ(data_of(1, "4MV"), "0");
  EXPECT_EQ(hexval(data_of(1, "4CP")), static_cast<unsigned>(all.back().time));
}

TEST_F(Radiosim, SampleReadsWithTheSignalLevelKeepToTheFormTheDaemonParses) {
  Config cfg;
  cfg.counters[0].rs_dbm = true;
  boot(cfg);
  struct Case {
    int stored;
    std::size_t length;
  };
  // Two samples make the 47-character long form; anything else is short.
  for (const Case c : {Case{0, 1}, Case{1, 22}, Case{2, 47}, Case{3, 47}}) {
    SCOPED_TRACE(c.stored);
    TearDown();
    sim.reset();
    pending.clear();
    now = kStart;
    boot(cfg);
    now += c.stored * kInterval;
    const std::string d = data_of(1, "4RS");
    EXPECT_EQ(d.size(), c.length);
    if (c.length == 47) {
      EXPECT_EQ(decode_sample(d.substr(1, 23), false), sim->truth(1)[0]);
    }
  }
}

TEST_F(Radiosim, HistoryWalkReturnsEveryStoredSampleOnce) {
  Config cfg;
  cfg.counters[0].prefill = 12;
  boot(cfg);
  now += 3 * kInterval;
  sim->shift_clock(1, 3 * 3600);  // a gap in the store
  now += 4 * kInterval;
  const auto stored = sim->stored(1);
  ASSERT_EQ(stored.size(), 12u + 3 + 4);

  // The daemon's walk: ask for a time, go on from the answer's time plus
  // one interval, stop at the end marker.
  std::vector<Sample> walked;
  std::int64_t t = stored.front().time - 5000;
  for (int guard = 0; guard < 100; ++guard) {
    char data[16];
    std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(t));
    const std::string d = data_of(1, "4SM", data);
    ASSERT_EQ(d.size(), 23u);
    if (d == std::string(23, 'F')) break;
    const Sample s = decode_sample(d, false);
    ASSERT_GE(s.time, t) << "the walk must never go backwards";
    walked.push_back(s);
    t = s.time + kInterval;
  }
  EXPECT_EQ(walked, stored);

  // At a sample's time that sample; between two samples the later one.
  char data[16];
  std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(stored[4].time));
  EXPECT_EQ(decode_sample(data_of(1, "4SM", data), false), stored[4]);
  std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(stored[4].time + 1));
  EXPECT_EQ(decode_sample(data_of(1, "4SM", data), false), stored[5]);
}

TEST_F(Radiosim, GroundTruthEqualsWhatADayOfReadingsCarried) {
  Config cfg;
  cfg.counters[1].scaled = true;
  cfg.counters[1].drift_ppm = 300;
  cfg.counters[1].peak_power = 80000;
  std::vector<std::pair<int, Sample>> sink;
  cfg.on_sample = [&](int n, const Sample& s) { sink.push_back({n, s}); };
  now = kStart - 9 * 3600;  // midnight
  boot(cfg);

  std::vector<Sample> got[2];
  // Uneven steps, as a real send period would fall.
  for (int step = 0; step < 24 * 4; ++step) {
    now += 600 + (step % 5) * 150;
    if (step == 50) sim->set_alarm(1, 9);
    for (int n : {1, 2}) {
      for (;;) {
        auto batch = read_and_move(n, n == 2);
        if (batch.empty()) break;
        got[n - 1].insert(got[n - 1].end(), batch.begin(), batch.end());
      }
    }
  }
  for (int n : {1, 2}) {
    SCOPED_TRACE(n);
    std::vector<Sample> truth;
    for (const auto& s : sim->truth(n)) truth.push_back(without_dbm(s));
    EXPECT_EQ(got[n - 1], truth);
    ASSERT_GT(truth.size(), 90u);
    std::uint32_t peak = 0;
    for (std::size_t i = 1; i < truth.size(); ++i) {
      EXPECT_GE(truth[i].etot, truth[i - 1].etot);
      EXPECT_EQ(truth[i].time - truth[i - 1].time, kInterval);
      peak = std::max(peak, truth[i].ptot);
    }
    EXPECT_EQ(truth.front().ptot, 0u);  // night
    EXPECT_GT(peak, 0u);
    EXPECT_GT(truth.back().etot, truth.front().etot);
    if (n == 2) {
      EXPECT_EQ(truth.back().etot % 10, 0u);
    } else {
      EXPECT_EQ(truth.back().alm, 9);
      EXPECT_EQ(truth.front().alm, 0);
    }
  }
  EXPECT_EQ(sink.size(), sim->truth(1).size() + sim->truth(2).size());
}

TEST_F(Radiosim, ClockSetsAndDrifts) {
  Config cfg;
  cfg.counters[0].initialised = false;
  cfg.counters[1].drift_ppm = 1000;  // gains a second every thousand
  cfg.counters[1].clock_offset = -59;
  boot(cfg);
  EXPECT_EQ(hexval(data_of(2, "4CK")), static_cast<unsigned>(kStart - 59));
  now += 100000;
  EXPECT_EQ(hexval(data_of(2, "4CK")), static_cast<unsigned>(kStart + 100000 - 59 + 100));

  EXPECT_EQ(data_of(1, "4IN"), "0");
  char data[16];
  std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(now.load() + 86400));
  data_of(1, "4CK", data);
  EXPECT_EQ(data_of(1, "4IN"), "1");
  now += 10;
  EXPECT_EQ(hexval(data_of(1, "4CK")), hexval(data) + 10);

  // Set back an hour: the store stays in time order, no time twice.
  const auto before = sim->stored(1);
  sim->shift_clock(1, -3600);
  now += 3 * 3600;
  const auto after = sim->stored(1);
  ASSERT_GT(after.size(), before.size());
  for (std::size_t i = 1; i < after.size(); ++i) EXPECT_GT(after[i].time, after[i - 1].time);
}

TEST_F(Radiosim, EnergyPresetResetAndConfigRewrite) {
  Config cfg;
  cfg.counters[1].scaled = true;
  boot(cfg);
  struct Case {
    int counter;
    const char* cmd;
    const char* data;
    std::uint32_t energy;  // hundredths of kWh right after
  };
  for (const Case c : {Case{1, "4CS", "000001E240", 123456}, Case{2, "4CS", "0000003039", 123450},
                       Case{1, "4CR", "00", 0}}) {
    SCOPED_TRACE(c.data);
    data_of(c.counter, c.cmd, c.data);
    EXPECT_EQ(sim->state(c.counter)->energy, c.energy);
    now += kInterval;
    const auto t = sim->truth(c.counter);
    EXPECT_GE(t.back().etot, c.energy);
    EXPECT_LT(t.back().etot, c.energy + 1000);
  }
  expect_silent(request_frame(1, "4CS", "01000001E2"));
  expect_silent(request_frame(1, "4CR", ""));

  std::string text = data_of(1, "4SZ");
  text.replace(1, 4, "00FA");
  data_of(1, "4ST", text);
  EXPECT_EQ(data_of(1, "4SZ"), text);
  expect_silent(request_frame(1, "4ST", text.substr(0, 28)));
  EXPECT_EQ(data_of(1, "4SZ"), text);
}

TEST_F(Radiosim, FaultsBehaveAsARealLinkWould) {
  boot();
  now += 4 * kInterval;

  // Absent: silent, yet still storing samples and untouched by requests.
  sim->set_absent(1, true);
  expect_silent(request_frame(1, "4RS"));
  expect_silent(request_frame(1, "4MV"));
  sim->set_absent(1, false);
  EXPECT_EQ(sim->state(1)->checkpoint, 0);
  EXPECT_EQ(sim->truth(1).size(), 4u);

  sim->set_no_answer(1, 1.0);
  expect_silent(request_frame(1, "4VS"));
  sim->set_no_answer(1, 0.0);
  EXPECT_TRUE(ask(1, "4VS"));

  // Bad checksum: the counter did act, only its answer was spoilt.
  data_of(1, "4RS");
  sim->set_bad_checksum(1, true);
  auto a = ask(1, "4MV");
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->checksum_ok);
  sim->set_bad_checksum(1, false);
  EXPECT_NE(sim->state(1)->checkpoint, 0);

  // Stale: each request gets the answer of the one before it.
  sim->set_stale(2, true);
  expect_silent(request_frame(2, "4VS"));
  a = ask(2, "4IN");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cmd, "4VS");
  // Late: the previous answer, then the right one.
  sim->set_stale(2, false);
  sim->set_late(2, true);
  send(request_frame(2, "4CP"));
  a = read_answer();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cmd, "4IN");
  a = read_answer();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cmd, "4CP");
  sim->set_late(2, false);

  // Delay and wire pacing change when an answer comes, never what it says.
  sim->set_delay(3, 30ms);
  sim->set_pacing(true);
  EXPECT_EQ(data_of(3, "4VS"), "060502");
  sim->clear_faults();

  EXPECT_EQ(sim->request_count(1, "4MV"), 2u);
  const auto log = sim->requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().address, 3);
  EXPECT_TRUE(log.back().answered);
}

TEST_F(Radiosim, ControlLines) {
  boot();
  struct Case {
    const char* line;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"absent 2 on", true},
      {"absent gw off", true},
      {"noanswer 1 0.25", true},
      {"noanswer 1 1.5", false},
      {"badcrc all on", true},
      {"stale 3 off", true},
      {"late 4 on", true},
      {"delay 1 200", true},
      {"delay 1 -5", false},
      {"pace on", true},
      {"pace maybe", false},
      {"alarm 1 15", true},
      {"alarm 1 16", false},
      {"alarm gw 1", false},
      {"clock 2 -3600", true},
      {"drift 3 12.5", true},
      {"version gw 030201", true},
      {"refusemv 1 on", true},
      {"absent 5 on", false},
      {"explode 1 on", false},
      {"", false},
      {"clear", true},
      {"status", true},
      {"requests", true},
  };
  for (const auto& c : cases) {
    const std::string reply = sim->control(c.line);
    EXPECT_EQ(reply.rfind(c.ok ? "ok" : "error", 0), 0u) << c.line << " -> " << reply;
  }
  EXPECT_EQ(sim->control("absent 2 on"), "ok");
  expect_silent(request_frame(2, "4VS"));
  EXPECT_EQ(sim->control("version gw 030201"), "ok");
  EXPECT_EQ(data_of(kGw, "4VS"), "030201");
}

TEST(RadiosimExecutable, ServesOnItsPtyAndStopsCleanly) {
  testsupport::TempDir dir;
  testsupport::ProcessOptions opts;
  opts.output_file = dir.file("out.txt");
  testsupport::Process proc(
      {RADIOSIM_BINARY, "--counters", "2", "--interval", "1", "--link", dir.file("tty"),
       "--control", dir.file("ctl"), "--truth", dir.file("truth.txt"), "--version", "2:06041C"},
      opts);
  ASSERT_TRUE(proc.wait_for_output("counter(s)", 10s)) << proc.output();
  const std::string out = proc.output();
  const std::string slave = out.substr(0, out.find('\n'));
  ASSERT_EQ(slave.rfind("/dev/", 0), 0u) << out;
  char target[256] = {};
  ASSERT_GT(::readlink(dir.file("tty").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(slave, target);

  // One exchange through the link.
  const int fd = ::open(dir.file("tty").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string req = request_frame(2, "4VS");
  ASSERT_EQ(::write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
  std::string got;
  while (got.find('\r') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0) << got;
    char buf[128];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_NE(got.find("4VS0606041C"), std::string::npos) << got;

  // Control socket: commands in, one reply line each.
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, dir.file("ctl").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const std::string lines = "absent 1 on\nnonsense\ndump " + dir.file("dump.txt") + "\n";
  ASSERT_EQ(::write(s, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ::shutdown(s, SHUT_WR);
  std::string replies;
  char buf[256];
  for (ssize_t n; (n = ::read(s, buf, sizeof buf)) > 0;)
    replies.append(buf, static_cast<std::size_t>(n));
  ::close(s);
  EXPECT_EQ(replies.substr(0, 3), "ok\n");
  EXPECT_NE(replies.find("error"), std::string::npos);
  EXPECT_EQ(replies.substr(replies.size() - 3), "ok\n");
  EXPECT_TRUE(dir.exists("dump.txt"));

  proc.signal(SIGTERM);
  const auto st = proc.wait(10s);
  ASSERT_TRUE(st);
  EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
  EXPECT_FALSE(dir.exists("tty"));
  EXPECT_FALSE(dir.exists("ctl"));
  // Every line of the truth file is a whole sample of a present counter.
  const std::string truth = dir.read("truth.txt");
  std::size_t pos = 0;
  for (std::size_t nl; (nl = truth.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    int counter = 0;
    long long t = 0;
    unsigned e = 0, p = 0;
    int alm = 0, dbm = 0;
    EXPECT_EQ(std::sscanf(truth.substr(pos, nl - pos).c_str(), "%d %lld %u %u %d %d", &counter, &t,
                          &e, &p, &alm, &dbm),
              6);
    EXPECT_TRUE(counter == 1 || counter == 2);
  }
  EXPECT_EQ(pos, truth.size());
}

}  // namespace
