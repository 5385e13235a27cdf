// The daemon in a simulated plant: radio simulator, monitoring server and the
// real transfer script. Samples must reach the server through radio and
// server faults, the LEDs must show the plant, the web interface must stay
// usable, and the demo must start and stop cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "plant.h"

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::Plant;
using testsupport::PlantOptions;

namespace {

// counter, time, etot and ptot in hundredths, PV alarm, PV absence alarm
using Sample = std::tuple<int, long, long, long, int, int>;

long hundredths(const std::string& whole, const std::string& frac) {
  return std::stol(whole) * 100 + (whole[0] == '-' ? -1 : 1) * std::stol(frac);
}

// The samples of every data-log document the server accepted.
std::set<Sample> received_samples(const std::string& records) {
  static const std::regex counter_re(R"re("counter": (\d+))re");
  static const std::regex row_re(
      R"re(\[(\d+), \d+, "(-?\d+)\.(\d\d)", "(-?\d+)\.(\d\d)", (\d+), -?\d+, (\d+)\])re");
  std::set<Sample> out;
  std::istringstream in(records);
  for (std::string line; std::getline(in, line);) {
    if (line.find(R"("kind": "setDataLog")") == std::string::npos ||
        line.find(R"("accepted": true)") == std::string::npos)
      continue;
    std::smatch m;
    if (!std::regex_search(line, m, counter_re)) continue;
    const int counter = std::stoi(m[1]);
    // Only the decoded document: the raw query carries the same rows.
    const size_t from = line.find(R"("dati": [)", line.find(R"("doc": )"));
    if (from == std::string::npos) continue;
    const std::string dati = line.substr(from, line.find("]]", from) + 2 - from);
    for (std::sregex_iterator it(dati.begin(), dati.end(), row_re), end; it != end; ++it) {
      const auto& r = *it;
      out.emplace(counter, std::stol(r[1]), hundredths(r[4], r[5]), hundredths(r[2], r[3]),
                  std::stoi(r[6]), std::stoi(r[7]));
    }
  }
  return out;
}

// Every sample the radio stored up to a time: "counter time etot ptot alm dbm".
std::set<Sample> truth_samples(const std::string& truth, long until) {
  std::set<Sample> out;
  std::istringstream in(truth);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    int c = 0, alm = 0;
    long t = 0, etot = 0, ptot = 0;
    if (!(f >> c >> t >> etot >> ptot >> alm) || t > until) continue;
    out.emplace(c, t, etot, ptot, (alm & 3) != 0 ? 1 : 0, (alm & 8) != 0 ? 1 : 0);
  }
  return out;
}

long last_truth_time(const std::string& truth) {
  long last = 0;
  std::istringstream in(truth);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    int c = 0;
    long t = 0;
    if (f >> c >> t) last = std::max(last, t);
  }
  return last;
}

std::string missing(const std::set<Sample>& want, const std::set<Sample>& got) {
  std::string out;
  for (const auto& s : want) {
    if (got.count(s) != 0) continue;
    const auto& [c, t, e, p, a, z] = s;
    out += "counter " + std::to_string(c) + " time " + std::to_string(t) + " etot " +
           std::to_string(e) + " ptot " + std::to_string(p) + " alm " + std::to_string(a) + "/" +
           std::to_string(z) + "\n";
  }
  return out;
}

std::string tail(const std::string& s) { return s.size() > 4000 ? s.substr(s.size() - 4000) : s; }

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The first field of the failure counters file (failed connections).
int failed_connections(const Plant& p) {
  const std::string s = p.dir().read("config/fails.dat");
  return s.empty() ? -1 : std::atoi(s.c_str());
}

}  // namespace

TEST(Plant, NoSampleIsLostThroughRadioAndServerFaults) {
  Plant p(PlantOptions{.radio_args = {"--prefill", "2", "--energy", "123456"}});
  p.start_daemon();
  ASSERT_TRUE(eventually(
      [&] {
        const auto got = received_samples(p.records());
        bool one = false, two = false;
        for (const auto& s : got) (std::get<0>(s) == 1 ? one : two) = true;
        return one && two;
      },
      60s))
      << p.daemon().output();

  // Lost requests and alarm bits on the samples.
  EXPECT_EQ(p.radio("noanswer all 0.3").rfind("ok", 0), 0u);
  p.radio("alarm 1 1");
  p.radio("alarm 2 8");
  std::this_thread::sleep_for(10s);
  p.radio("noanswer all 0");
  p.radio("alarm 1 0");
  p.radio("alarm 2 0");

  // A counter that does not answer for a while keeps its samples.
  p.radio("absent 2 on");
  std::this_thread::sleep_for(12s);
  p.radio("absent 2 off");

  // The server refuses three exchanges in a row.
  const size_t refused_before = count_of(p.records(), R"("status": 500)");
  p.server_control(R"({"status":500,"count":3})");
  ASSERT_TRUE(eventually([&] { return count_of(p.records(), R"("status": 500)") >= refused_before + 3; },
                         60s))
      << p.daemon().output();

  // Everything stored until now arrives once the faults are gone.
  const long until = last_truth_time(p.truth());
  std::set<Sample> want;
  std::set<Sample> got;
  eventually(
      [&] {
        want = truth_samples(p.truth(), until);
        got = received_samples(p.records());
        return missing(want, got).empty();
      },
      90s);
  EXPECT_GT(want.size(), 10u);
  EXPECT_EQ(missing(want, got), "") << "not received (of " << want.size() << ")";

  // The failures were counted, and the count survives a restart: the next
  // failure adds to it.
  const int failed = failed_connections(p);
  EXPECT_GE(failed, 3) << p.dir().read("config/fails.dat");
  const std::string before = p.dir().read("config/fails.dat");
  const int st = p.stop_daemon();
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << tail(p.daemon().output());
  EXPECT_EQ(p.dir().read("config/fails.dat"), before);

  const size_t accepted = count_of(p.records(), R"("accepted": true)");
  p.start_daemon();
  ASSERT_TRUE(eventually([&] { return count_of(p.records(), R"("accepted": true)") > accepted; }, 60s))
      << p.daemon().output();
  EXPECT_EQ(p.dir().read("config/fails.dat"), before);
  p.server_control(R"({"status":500,"count":1})");
  EXPECT_TRUE(eventually([&] { return failed_connections(p) == failed + 1; }, 60s))
      << before << " -> " << p.dir().read("config/fails.dat");
}

// The transfer script runs as a child; a stop requested meanwhile must not
// be lost.
TEST(Plant, InterruptDuringASendEndsTheDaemon) {
  Plant p;
  p.start_daemon();
  ASSERT_TRUE(eventually([&] { return count_of(p.records(), R"("accepted": true)") > 0; }, 60s))
      << p.daemon().output();
  p.server_control(R"({"hang":8})");
  const size_t seen = count_of(p.records(), "\"seq\"");
  // The server records a document before it hangs.
  ASSERT_TRUE(eventually([&] { return count_of(p.records(), "\"seq\"") > seen; }, 60s));
  p.daemon().signal(SIGINT);
  const auto st = p.daemon().wait(60s);
  ASSERT_TRUE(st.has_value()) << tail(p.daemon().output());
  EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 0) << *st;
  EXPECT_NE(p.daemon().output().find("SIGINT signal\n"), std::string::npos);
}

TEST(Plant, LedsShowServerAndCounterState) {
  // Rare samples: a send then ends after one pass over the counters instead
  // of draining new samples while the absent one times out.
  Plant p(PlantOptions{.interval = 600, .acqtime = 5, .radio_args = {}});
  p.start_daemon();
  const int green = 2, yellow = 5;
  // Both LEDs blink at start: look only once the first send is over.
  ASSERT_TRUE(p.daemon().wait_for_output("Sending data end.", 60s)) << p.daemon().output();
  ASSERT_TRUE(eventually([&] { return p.gpio(green) == 1; }, 60s)) << p.daemon().output();
  EXPECT_TRUE(eventually([&] { return p.gpio(yellow) == 0; }, 60s));

  p.radio("absent 2 on");
  EXPECT_TRUE(eventually([&] { return p.gpio(yellow) == 1; }, 60s));
  p.radio("absent 2 off");
  EXPECT_TRUE(eventually([&] { return p.gpio(yellow) == 0; }, 60s));

  p.server_control(R"({"status":500,"always":true})");
  EXPECT_TRUE(eventually([&] { return p.gpio(green) == 0; }, 60s));
  p.server_control(R"({"clear":true})");
  EXPECT_TRUE(eventually([&] { return p.gpio(green) == 1; }, 60s));
}

TEST(Plant, WebInterfaceStaysUsable) {
  Plant p(PlantOptions{.counters = 1, .acqtime = 0, .with_radio = false, .with_server = false, .radio_args = {}});
  p.start_daemon();
  const int port = p.http_port();
  ASSERT_NE(testsupport::http_get(port, "/comm4.php?cmd=rdall").find("err=0&"), std::string::npos)
      << p.daemon().output();

  {
    // A client that connects and sends nothing is dropped after the time
    // limit; the next one is served.
    testsupport::HttpConnection idle(port);
    ASSERT_TRUE(idle.ok());
    EXPECT_NE(testsupport::http_get(port, "/comm4.php?cmd=rdall", 60s).find("err=0&"),
              std::string::npos);
  }

  // Paths stay inside the web root.
  const std::string up = testsupport::http_exchange(port, "GET /../config/pointid.dat HTTP/1.1\r\n\r\n");
  EXPECT_EQ(up.rfind("HTTP/1.1 404", 0), 0u) << up;
  EXPECT_EQ(up.find("TEST0000"), std::string::npos) << up;

  // A reload is answered, a new cycle starts, and it serves on the same port.
  EXPECT_NE(testsupport::http_get(port, "/comm4.php?cmd=reload").find("err=0&"), std::string::npos);
  EXPECT_TRUE(eventually([&] { return count_of(p.daemon().output(), "init daemons") >= 2; }, 30s))
      << p.daemon().output();
  EXPECT_NE(testsupport::http_get(port, "/comm4.php?cmd=rdall").find("err=0&"), std::string::npos)
      << p.daemon().output();

  // SIGINT while a request is still arriving ends the daemon normally.
  testsupport::HttpConnection pending(port);
  ASSERT_TRUE(pending.ok());
  pending.send("GET /comm4.php?cmd=rdall HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  std::this_thread::sleep_for(300ms);
  const int st = p.stop_daemon();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st << "\n" << p.daemon().output();
}

TEST(Demo, RunsAPlantAndStopsAllOfItOnInterrupt) {
  testsupport::TempDir here;
  testsupport::Process demo({"/usr/bin/setsid", "/bin/bash", std::string(ZANTOR_SOURCE_DIR) + "/scripts/demo"},
                            {here.path(), {}, here.file("demo.out")});
  const pid_t group = demo.pid();
  // Whatever happens, nothing of the demo outlives the test.
  struct Reaper {
    pid_t g;
    ~Reaper() { kill(-g, SIGKILL); }
  } reaper{group};

  ASSERT_TRUE(demo.wait_for_output("Ctrl-C stops everything.", 110s)) << demo.output();
  std::smatch m;
  const std::string out = demo.output();
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(documents received: +(\S+))"))) << out;
  const std::string record = m[1];
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(web interface: +http://127\.0\.0\.1:(\d+)/)"))) << out;
  const int port = std::stoi(m[1]);
  const std::string run = std::filesystem::path(record).parent_path().string();

  EXPECT_TRUE(eventually(
      [&] { return testsupport::read_file(record).find(R"("kind": "setDataLog")") != std::string::npos; },
      60s));
  EXPECT_TRUE(eventually(
      [&] {
        const std::string r = testsupport::http_get(port, "/comm4.php?cmd=rdall", 10s);
        return r.find("&cn1.on=1&") != std::string::npos && r.find("&cn2.on=1&") != std::string::npos;
      },
      60s));

  kill(-group, SIGINT);
  const auto st = demo.wait(60s);
  ASSERT_TRUE(st.has_value()) << demo.output();
  EXPECT_TRUE(eventually([&] { return kill(-group, 0) != 0 && errno == ESRCH; }, 30s))
      << "processes of the demo are left";
  EXPECT_FALSE(std::filesystem::exists(run)) << run;
}
