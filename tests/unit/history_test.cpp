// The history export against scripted counters on a pty; the connection is
// replaced by hooks that keep every piece written.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device_radio_fixture.h"
#include "tcpdaemon.h"

using testsupport::answer;
using testsupport::garbage;
using testsupport::RadioAnswer;
using testsupport::RadioRequest;

namespace {

// 14/11/2023 00:00:00 UTC; 1 700 000 000 is 22:13:20 of that day.
constexpr std::int64_t kDay = 1699920000;
const std::string kHeader = "CONTATORE;DATA (UTC);ORA (UTC);PTOT;ETOT;DBM;ALM\r\n";

// A 21-character sample; with only a time, the 8 digits a request carries.
std::string hex(std::int64_t time, int ptot = -1, unsigned etot = 0) {
  char s[32];
  std::snprintf(s, sizeof s, "%08X", static_cast<unsigned>(time));
  if (ptot >= 0) std::snprintf(s + 8, sizeof s - 8, "%04X%08X0", static_cast<unsigned>(ptot), etot);
  return s;
}

std::string reply_args;
std::vector<std::string> written;
int writes_left;  // body writes that still succeed; -1: all

void capture_reply(const char* buffer, int len, int mime, boolean_t attach, const char* filename) {
  char s[128];
  std::snprintf(s, sizeof s, "%s %d %d %d %s", buffer ? "buffer" : "-", len, mime, attach,
                filename ? filename : "(null)");
  reply_args += s;
}
ssize_t capture_line(const char* p, size_t n) {
  if (writes_left == 0) return -1;
  if (writes_left > 0) --writes_left;
  written.emplace_back(p, n);
  return static_cast<ssize_t>(n);
}

// Stored samples per counter address, by time. A counter answers "4SM"
// with its first sample at or after the time asked for, all F when none.
using Stores = std::map<int, std::map<std::uint32_t, std::string>>;
RadioAnswer from_store(const Stores& stores, const RadioRequest& rq) {
  const auto it = stores.find(rq.dest);
  if (rq.cmd != "4SM" || it == stores.end()) return answer(std::string(21, 'F'));
  const auto s =
      it->second.lower_bound(static_cast<std::uint32_t>(std::stoul(rq.data, nullptr, 16)));
  return answer(s == it->second.end() ? std::string(21, 'F') : s->second);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

class HistoryTest : public DeviceRadioTest {
 protected:
  void SetUp() override {
    DeviceRadioTest::SetUp();
    cfg_acqtime = 900;
    hook_http_reply = capture_reply;
    hook_http_writeline = capture_line;
  }
  void TearDown() override {
    hook_http_reply = nullptr;
    hook_http_writeline = nullptr;
    DeviceRadioTest::TearDown();
  }

  void serve(Stores stores) {
    radio_.set_script([stores](const RadioRequest& rq) { return from_store(stores, rq); });
  }
  // Exports the day kDay; the rows written (the header checked and left out).
  std::vector<std::string> run(int selcnt, int expect_rc = ERR_NONE, int writes = -1) {
    reply_args.clear();
    written.clear();
    writes_left = writes;
    radio_.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_history(static_cast<time_t>(kDay), static_cast<time_t>(kDay), selcnt), expect_rc);
    log_ = testing::internal::GetCapturedStdout();
    if (written.empty()) return {};
    EXPECT_EQ(written[0], kHeader);
    return {written.begin() + 1, written.end()};
  }
  std::vector<int> dests() const {
    std::vector<int> out;
    for (const auto& r : radio_.requests()) out.push_back(r.dest);
    return out;
  }

  std::string log_;
};

TEST_F(HistoryTest, OneDayOfSamplesAsCsv) {
  std::map<std::uint32_t, std::string> store;
  // Every 900 s through the day, and one on each neighbouring day.
  for (int k = 0; k < 96; ++k) {
    const std::int64_t t = kDay + 800 + 900 * k;
    store[static_cast<std::uint32_t>(t)] = hex(t, 100 + k, 1000000 + 5 * k);
  }
  // ptot 1234, etot 5000050, dbm -10, alm 9: the form with the signal level.
  store[1700000000] = "6553F10004D2004C4B72F69";
  store[kDay - 900] = hex(kDay - 900, 1, 1);
  store[kDay + 86400] = hex(kDay + 86400, 1, 1);
  serve({{1, store}});

  const auto rows = run(CNT_ALL);
  EXPECT_EQ(reply_args, "- -1 " + std::to_string(MIME_CVS) + " 1 storico.csv");
  ASSERT_EQ(rows.size(), 96U);
  EXPECT_EQ(rows[0], "1;14/11/2023;00:13:20;1,00;10000,00;0;0\r\n");
  EXPECT_EQ(rows[88], "1;14/11/2023;22:13:20;12,34;50000,50;-10;9\r\n");
  EXPECT_EQ(rows[95], "1;14/11/2023;23:58:20;1,95;10004,75;0;0\r\n");

  // One exchange per sample and one that finds the next day's; each asks
  // one interval after the sample just read.
  const auto rq = radio_.requests();
  ASSERT_EQ(rq.size(), 97U);
  EXPECT_EQ(radio_.summary()[0], "1:4SM:6552B880");
  EXPECT_EQ(rq[1].data, hex(kDay + 800 + 900));
  EXPECT_EQ(count(log_, "First timestamp"), 1U) << log_;
  EXPECT_EQ(count(log_, "First timestamp 6552B880\n"), 1U);
  EXPECT_EQ(count(log_, "(added 900 secs)\n"), 96U);
}

TEST_F(HistoryTest, CounterSelection) {
  const Stores two = {{1, {{kDay, hex(kDay, 1, 1)}, {kDay + 900, hex(kDay + 900, 1, 1)}}},
                      {2, {{kDay + 1800, hex(kDay + 1800, 1, 1)}}}};
  const Stores first_empty = {{2, two.at(2)}};
  struct Case {
    const char* what;
    const Stores& stores;
    int selcnt;
    std::string row_starts;
    std::vector<int> dests;
    std::size_t first_timestamps;
  } cases[] = {
      // "cnt" 0, or beyond the counters in use: all of them.
      {"all", two, CNT_ALL, "112", {1, 1, 1, 2, 2}, 1},
      {"first", two, 0, "11", {1, 1, 1}, 1},
      {"second (cnt 2)", two, 1, "2", {2, 2}, 1},
      {"counter not in use", two, 2, "", {}, 0},
      // Nothing stored: one exchange, no row, then the next counter.
      {"first has nothing", first_empty, CNT_ALL, "2", {1, 2, 2}, 2},
      {"only one, with nothing", first_empty, 0, "", {1}, 1},
  };
  cfg_numcounters = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    serve(c.stores);
    std::string starts;
    for (const auto& r : run(c.selcnt)) starts += r.substr(0, 1) + (r[1] == ';' ? "" : "?");
    EXPECT_EQ(starts, c.row_starts);
    EXPECT_EQ(dests(), c.dests);
    EXPECT_EQ(count(log_, "First timestamp"), c.first_timestamps) << log_;
  }
}

TEST_F(HistoryTest, ClientGoneStopsTheRadioWalk) {
  std::map<std::uint32_t, std::string> store;
  for (int k = 0; k < 5; ++k)
    store[static_cast<std::uint32_t>(kDay + 900 * k)] = hex(kDay + 900 * k, 1, 1);
  serve({{1, store}});
  struct Case {
    const char* what;
    bool hooked;
    int writes;
    std::size_t requests, rows;
  } cases[] = {
      {"no connection at all", false, -1, 0, 0},
      {"gone before the header", true, 0, 0, 0},
      // The third row's write fails: its exchange was the last one.
      {"gone after two rows", true, 3, 3, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    hook_http_reply = c.hooked ? capture_reply : nullptr;
    hook_http_writeline = c.hooked ? capture_line : nullptr;
    EXPECT_EQ(run(CNT_ALL, ERR_NONE, c.writes).size(), c.rows);
    EXPECT_EQ(radio_.requests().size(), c.requests);
  }
}

TEST_F(HistoryTest, FailingAndMisbehavingCounters) {
  const std::string first = hex(kDay, 7, 7);
  const auto first_then = [first](RadioAnswer then) {
    return [first, then](const RadioRequest& rq) {
      return rq.data == hex(kDay) ? answer(first) : then;
    };
  };
  struct Case {
    const char* what;
    std::function<RadioAnswer(const RadioRequest&)> script;
    int rc;
    std::size_t requests, rows;
  } cases[] = {
      // The row already sent stays sent; the file shows no sign of the loss.
      {"lost reply", first_then(garbage()), ERR_SERCOMM, 2, 1},
      {"empty reply", first_then(answer("")), ERR_SERCOMM, 2, 1},
      // The same sample whatever is asked: read once, then the walk stops.
      {"reply goes back", first_then(answer(first)), ERR_NONE, 2, 1},
      // Time 0 forever: no rows, one interval on from the time asked each
      // time, up to the end of the day rather than forever.
      {"only time 0", [](const RadioRequest&) { return answer(hex(0, 1, 1)); }, ERR_NONE, 96, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    radio_.set_script(c.script);
    EXPECT_EQ(run(CNT_ALL, c.rc).size(), c.rows);
    EXPECT_EQ(radio_.requests().size(), c.requests);
  }
  EXPECT_EQ(radio_.requests().at(1).data, hex(kDay + 900));
}
