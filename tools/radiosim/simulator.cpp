#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "devices.h"
#include "frame.h"
#include "radiosim.h"

namespace radiosim {

namespace {

constexpr std::size_t kMaxLoggedRequests = 100000;
constexpr int kQuietMs = 100;                          // a gap this long abandons a partial frame
constexpr long long kByteNs = 1'000'000'000LL * 10 / kBaud;  // start, 8 data, stop bits

struct Faults {
  bool absent = false;
  double no_answer = 0;
  bool bad_checksum = false;
  bool stale = false;
  bool late = false;
  int delay_ms = 0;
};

// Slot 0 is the gateway, 1..4 the counters.
int slot_of(int address) {
  if (address == kGateway) return 0;
  if (address >= 1 && address <= kMaxCounters) return address;
  return -1;
}

timespec mono_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec add_ns(timespec t, long long ns) {
  long long total = t.tv_nsec + ns;
  t.tv_sec += static_cast<time_t>(total / 1'000'000'000LL);
  t.tv_nsec = static_cast<long>(total % 1'000'000'000LL);
  return t;
}

long long diff_ns(const timespec& a, const timespec& b) {
  return (static_cast<long long>(a.tv_sec) - b.tv_sec) * 1'000'000'000LL + (a.tv_nsec - b.tv_nsec);
}

std::string format_sample_line(int counter, const Sample& s) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%d %lld %u %u %d %d\n", counter, static_cast<long long>(s.time),
                s.etot, s.ptot, s.alm, s.dbm);
  return buf;
}

}  // namespace

struct Simulator::Impl {
  std::mutex m;
  Config cfg;
  detail::Gateway gateway;
  std::array<std::unique_ptr<detail::Counter>, kMaxCounters> counters;
  std::array<Faults, kMaxCounters + 1> faults;
  std::array<std::string, kMaxCounters + 1> previous_answer;
  bool pacing = false;
  std::mt19937_64 rng;
  std::deque<Request> log;
  std::size_t bad = 0;

  // Serving thread.
  std::thread thread;
  int master = -1;
  int wake[2] = {-1, -1};
  wire::Decoder decoder;  // serving thread only

  explicit Impl(Config c) : cfg(std::move(c)), gateway(cfg.gateway_version), rng(cfg.seed) {
    if (!cfg.now) cfg.now = [] { return static_cast<std::int64_t>(::time(nullptr)); };
    const std::int64_t t = cfg.now();
    detail::Setup setup{cfg.interval, cfg.capacity, cfg.seed};
    for (int i = 0; i < kMaxCounters; ++i) {
      if (!cfg.counters[static_cast<std::size_t>(i)].present) continue;
      counters[static_cast<std::size_t>(i)] = std::make_unique<detail::Counter>(
          i + 1, cfg.counters[static_cast<std::size_t>(i)], setup, t, cfg.on_sample);
    }
  }

  detail::Counter* counter(int n) {
    if (n < 1 || n > kMaxCounters) return nullptr;
    return counters[static_cast<std::size_t>(n - 1)].get();
  }

  // Sleeps until the deadline; false when a stop was requested meanwhile.
  bool wait_until(const timespec& deadline) {
    for (;;) {
      const long long left = diff_ns(deadline, mono_now());
      if (left <= 0) return true;
      timespec ts{static_cast<time_t>(left / 1'000'000'000LL),
                  static_cast<long>(left % 1'000'000'000LL)};
      pollfd p{wake[0], POLLIN, 0};
      const int r = ppoll(&p, 1, &ts, nullptr);
      if (r > 0) return false;
      if (r < 0 && errno != EINTR) return false;
    }
  }

  bool write_all(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      // The reader is behind: wait for room, or for a stop.
      pollfd p[2] = {{master, POLLOUT, 0}, {wake[0], POLLIN, 0}};
      if (::poll(p, 2, 1000) < 0 && errno != EINTR) return false;
      if (p[1].revents) return false;
    }
    return true;
  }

  // Sends at the line speed: each byte leaves when the one before has
  // crossed the wire, so a reader sees the real gaps.
  bool write_paced(std::string_view bytes) {
    const timespec start = mono_now();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (!write_all(bytes.substr(i, 1))) return false;
      if (!wait_until(add_ns(start, static_cast<long long>(i + 1) * kByteNs))) return false;
    }
    return true;
  }

  void serve(const wire::Frame& req, std::size_t request_bytes) {
    std::vector<std::string> out;
    int delay_ms = 0;
    bool paced = false;
    {
      std::lock_guard lock(m);
      const std::int64_t now = cfg.now();
      if (log.size() >= kMaxLoggedRequests) log.pop_front();
      log.push_back(Request{now, req.dest, req.cmd, req.data, false});
      Request& entry = log.back();
      struct Report {
        const Config& cfg;
        const Request& entry;
        ~Report() {
          if (cfg.on_request) cfg.on_request(entry);
        }
      } report{cfg, entry};

      const int slot = slot_of(req.dest);
      if (slot < 0) return;
      Faults& f = faults[static_cast<std::size_t>(slot)];
      const bool exists = slot == 0 ? cfg.gateway_present : counter(slot) != nullptr;
      if (!exists || f.absent) return;
      if (f.no_answer > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < f.no_answer)
        return;

      std::optional<std::string> data =
          slot == 0 ? gateway.handle(req.cmd) : counter(slot)->handle(req.cmd, req.data, now);
      if (!data) return;
      std::string frame = wire::encode(wire::Frame{req.src, req.dest, req.cmd, *data});
      if (f.bad_checksum) {
        // Flip the low checksum digit to another valid hex digit.
        char& d = frame[frame.size() - 2];
        d = d == '0' ? '1' : '0';
      }
      std::string& prev = previous_answer[static_cast<std::size_t>(slot)];
      if (f.stale) {
        if (!prev.empty()) out.push_back(prev);
      } else if (f.late) {
        if (!prev.empty()) out.push_back(prev);
        out.push_back(frame);
      } else {
        out.push_back(frame);
      }
      prev = frame;
      entry.answered = !out.empty();
      delay_ms = f.delay_ms;
      paced = pacing;
    }
    if (out.empty()) return;
    timespec t = mono_now();
    // The request itself needed its wire time before the device had it.
    if (paced) t = add_ns(t, static_cast<long long>(request_bytes) * kByteNs);
    t = add_ns(t, static_cast<long long>(delay_ms) * 1'000'000LL);
    if (!wait_until(t)) return;
    for (const auto& frame : out) {
      if (!(paced ? write_paced(frame) : write_all(frame))) return;
    }
  }

  void run() {
    char buf[512];
    std::size_t counted = 0;
    for (;;) {
      pollfd p[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
      const int r = ::poll(p, 2, decoder.pending() ? kQuietMs : -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      if (r == 0) {
        decoder.abandon_partial();
      } else if (p[0].revents & POLLIN) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
          decoder.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
          continue;
        } else {
          // Nobody holds the slave open: wait for someone to open it again.
          if (!wait_until(add_ns(mono_now(), 50'000'000LL))) return;
          continue;
        }
      } else if (p[0].revents & (POLLHUP | POLLERR)) {
        if (!wait_until(add_ns(mono_now(), 50'000'000LL))) return;
        continue;
      }
      for (;;) {
        auto frame = decoder.next();
        // Counted before any answer goes out, so whoever reads that answer
        // also sees the garbled frames that came before its request.
        if (decoder.dropped() != counted) {
          std::lock_guard lock(m);
          bad += decoder.dropped() - counted;
          counted = decoder.dropped();
        }
        if (!frame) break;
        serve(*frame, wire::kHeadLen + frame->data.size() + wire::kTailLen);
      }
    }
  }
};

Simulator::Simulator(Config cfg) : impl_(std::make_unique<Impl>(std::move(cfg))) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(int master_fd) {
  if (impl_->thread.joinable()) return false;
  if (::pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const int fl = ::fcntl(master_fd, F_GETFL);
  if (fl >= 0) ::fcntl(master_fd, F_SETFL, fl | O_NONBLOCK);
  impl_->master = master_fd;
  impl_->decoder = wire::Decoder{};
  impl_->thread = std::thread([this] { impl_->run(); });
  return true;
}

void Simulator::stop() {
  if (!impl_->thread.joinable()) return;
  const char c = 'x';
  while (::write(impl_->wake[1], &c, 1) < 0 && errno == EINTR) {
  }
  impl_->thread.join();
  ::close(impl_->wake[0]);
  ::close(impl_->wake[1]);
  impl_->wake[0] = impl_->wake[1] = -1;
  impl_->master = -1;
}

namespace {
template <typename F>
void for_slot(Simulator::Impl& impl, int address, F&& fn) {
  const int slot = slot_of(address);
  if (slot < 0) return;
  std::lock_guard lock(impl.m);
  fn(impl.faults[static_cast<std::size_t>(slot)]);
}
}  // namespace

void Simulator::set_absent(int a, bool on) {
  for_slot(*impl_, a, [&](Faults& f) { f.absent = on; });
}
void Simulator::set_no_answer(int a, double p) {
  for_slot(*impl_, a, [&](Faults& f) { f.no_answer = std::clamp(p, 0.0, 1.0); });
}
void Simulator::set_bad_checksum(int a, bool on) {
  for_slot(*impl_, a, [&](Faults& f) { f.bad_checksum = on; });
}
void Simulator::set_stale(int a, bool on) {
  for_slot(*impl_, a, [&](Faults& f) { f.stale = on; });
}
void Simulator::set_late(int a, bool on) {
  for_slot(*impl_, a, [&](Faults& f) { f.late = on; });
}
void Simulator::set_delay(int a, std::chrono::milliseconds d) {
  for_slot(*impl_, a,
           [&](Faults& f) { f.delay_ms = static_cast<int>(std::max<long long>(0, d.count())); });
}

void Simulator::set_refuse_checkpoint(int counter, bool on) {
  std::lock_guard lock(impl_->m);
  if (auto* c = impl_->counter(counter)) c->set_refuse_checkpoint(on);
}

void Simulator::set_pacing(bool on) {
  std::lock_guard lock(impl_->m);
  impl_->pacing = on;
}

void Simulator::clear_faults() {
  std::lock_guard lock(impl_->m);
  impl_->faults = {};
  impl_->pacing = false;
  for (auto& c : impl_->counters) {
    if (c) c->set_refuse_checkpoint(false);
  }
}

void Simulator::set_alarm(int counter, int bits) {
  std::lock_guard lock(impl_->m);
  if (auto* c = impl_->counter(counter)) {
    c->catch_up(impl_->cfg.now());  // samples already due keep the old bits
    c->set_alarm(bits);
  }
}

void Simulator::set_version(int address, std::string version) {
  std::lock_guard lock(impl_->m);
  if (address == kGateway) {
    impl_->gateway.set_version(std::move(version));
  } else if (auto* c = impl_->counter(address)) {
    c->set_version(std::move(version));
  }
}

void Simulator::shift_clock(int counter, std::int64_t seconds) {
  std::lock_guard lock(impl_->m);
  if (auto* c = impl_->counter(counter)) {
    const std::int64_t now = impl_->cfg.now();
    c->set_clock(now, c->clock(now) + seconds);
  }
}

void Simulator::set_drift(int counter, double ppm) {
  std::lock_guard lock(impl_->m);
  if (auto* c = impl_->counter(counter)) c->set_drift(impl_->cfg.now(), ppm);
}

void Simulator::tick() {
  std::lock_guard lock(impl_->m);
  const std::int64_t now = impl_->cfg.now();
  for (auto& c : impl_->counters) {
    if (c) c->catch_up(now);
  }
}

std::vector<Sample> Simulator::truth(int counter) {
  std::lock_guard lock(impl_->m);
  auto* c = impl_->counter(counter);
  if (!c) return {};
  c->catch_up(impl_->cfg.now());
  return c->truth();
}

std::vector<Sample> Simulator::stored(int counter) {
  std::lock_guard lock(impl_->m);
  auto* c = impl_->counter(counter);
  if (!c) return {};
  c->catch_up(impl_->cfg.now());
  return {c->store().begin(), c->store().end()};
}

std::optional<CounterState> Simulator::state(int counter) {
  std::lock_guard lock(impl_->m);
  auto* c = impl_->counter(counter);
  if (!c) return std::nullopt;
  const std::int64_t now = impl_->cfg.now();
  c->catch_up(now);
  return c->state(now);
}

std::vector<Request> Simulator::requests() {
  std::lock_guard lock(impl_->m);
  return {impl_->log.begin(), impl_->log.end()};
}

std::size_t Simulator::request_count(int address, std::string_view command) {
  std::lock_guard lock(impl_->m);
  return static_cast<std::size_t>(std::count_if(
      impl_->log.begin(), impl_->log.end(),
      [&](const Request& r) { return r.address == address && r.command == command; }));
}

void Simulator::clear_requests() {
  std::lock_guard lock(impl_->m);
  impl_->log.clear();
}

std::size_t Simulator::bad_frames() {
  std::lock_guard lock(impl_->m);
  return impl_->bad;
}

// ---- control lines ----

namespace {

constexpr const char* kHelp =
    "ok commands (DEV is 1..4, gw or all):\n"
    "  absent DEV on|off      never answer\n"
    "  noanswer DEV P         lose a request with probability P (0..1)\n"
    "  badcrc DEV on|off      answer with a wrong checksum\n"
    "  stale DEV on|off       answer with the previous answer instead\n"
    "  late DEV on|off        send the previous answer, then this one\n"
    "  delay DEV MS           answer after MS milliseconds\n"
    "  refusemv DEV on|off    refuse checkpoint moves\n"
    "  pace on|off            answer at 19200 baud\n"
    "  clear                  drop every fault, pacing included\n"
    "  alarm DEV BITS         alarm bits of the samples to come\n"
    "  version DEV TEXT       firmware version text\n"
    "  clock DEV SECONDS      move a counter clock by SECONDS (signed)\n"
    "  drift DEV PPM          counter clock drift\n"
    "  tick                   store the samples due now\n"
    "  dump PATH              write the ground truth to PATH\n"
    "  status                 counters, clocks and stores\n"
    "  requests               requests received, by address and code\n";

std::vector<std::string> split(std::string_view line) {
  std::vector<std::string> out;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::optional<bool> on_off(const std::string& s) {
  if (s == "on" || s == "1") return true;
  if (s == "off" || s == "0") return false;
  return std::nullopt;
}

// Addresses named by DEV; empty when the name is not a device.
std::vector<int> devices(const std::string& s, bool counters_only) {
  if (s == "all") {
    std::vector<int> v{1, 2, 3, 4};
    if (!counters_only) v.push_back(kGateway);
    return v;
  }
  if (s == "gw" || s == "65535" || s == "FFFF" || s == "ffff") {
    if (counters_only) return {};
    return {kGateway};
  }
  if (s.size() == 1 && s[0] >= '1' && s[0] <= '4') return {s[0] - '0'};
  return {};
}

std::optional<long long> to_int(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

std::optional<double> to_double(const std::string& s) {
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || v != v) return std::nullopt;
  return v;
}

}  // namespace

std::string Simulator::control(std::string_view line) {
  const auto w = split(line);
  if (w.empty()) return "error: empty command";
  const std::string& cmd = w[0];
  const auto bad_usage = [&] { return "error: usage of " + cmd + " (try help)"; };

  if (cmd == "help") return kHelp;
  if (cmd == "clear" && w.size() == 1) {
    clear_faults();
    return "ok";
  }
  if (cmd == "tick" && w.size() == 1) {
    tick();
    return "ok";
  }
  if (cmd == "pace" && w.size() == 2) {
    const auto on = on_off(w[1]);
    if (!on) return bad_usage();
    set_pacing(*on);
    return "ok";
  }
  if (cmd == "dump" && w.size() == 2) {
    std::string text;
    for (int n = 1; n <= kMaxCounters; ++n) {
      for (const auto& s : truth(n)) text += format_sample_line(n, s);
    }
    // Written aside and renamed, so a reader never sees half a dump.
    const std::string tmp = w[1] + ".tmp";
    {
      std::ofstream f(tmp, std::ios::trunc);
      f << text;
      if (!f.flush()) return "error: cannot write " + w[1];
    }
    if (std::rename(tmp.c_str(), w[1].c_str()) != 0) return "error: cannot write " + w[1];
    return "ok";
  }
  if (cmd == "status" && w.size() == 1) {
    std::string out = "ok";
    for (int n = 1; n <= kMaxCounters; ++n) {
      const auto st = state(n);
      if (!st) continue;
      char buf[256];
      std::snprintf(buf, sizeof buf,
                    "\ncounter %d clock %lld checkpoint %lld stored %zu oldest %lld newest %lld "
                    "energy %u",
                    n, static_cast<long long>(st->clock), static_cast<long long>(st->checkpoint),
                    st->stored, static_cast<long long>(st->oldest),
                    static_cast<long long>(st->newest), st->energy);
      out += buf;
    }
    return out;
  }
  if (cmd == "requests" && w.size() == 1) {
    std::vector<std::pair<std::pair<int, std::string>, std::size_t>> counts;
    for (const auto& r : requests()) {
      auto key = std::make_pair(r.address, r.command);
      auto it = std::find_if(counts.begin(), counts.end(), [&](auto& e) { return e.first == key; });
      if (it == counts.end()) {
        counts.push_back({key, 1});
      } else {
        ++it->second;
      }
    }
    std::string out = "ok";
    for (const auto& [key, n] : counts) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "\n%04X %s %zu", static_cast<unsigned>(key.first) & 0xFFFF,
                    key.second.c_str(), n);
      out += buf;
    }
    return out;
  }

  if (w.size() != 3) return "error: unknown command or arguments: " + std::string(line);
  const bool counters_only =
      cmd == "refusemv" || cmd == "alarm" || cmd == "clock" || cmd == "drift";
  const auto devs = devices(w[1], counters_only);
  if (devs.empty()) return "error: no such device: " + w[1];
  const std::string& arg = w[2];

  if (cmd == "absent" || cmd == "badcrc" || cmd == "stale" || cmd == "late" || cmd == "refusemv") {
    const auto on = on_off(arg);
    if (!on) return bad_usage();
    for (int d : devs) {
      if (cmd == "absent") set_absent(d, *on);
      if (cmd == "badcrc") set_bad_checksum(d, *on);
      if (cmd == "stale") set_stale(d, *on);
      if (cmd == "late") set_late(d, *on);
      if (cmd == "refusemv") set_refuse_checkpoint(d, *on);
    }
    return "ok";
  }
  if (cmd == "noanswer") {
    const auto p = to_double(arg);
    if (!p || *p < 0 || *p > 1) return bad_usage();
    for (int d : devs) set_no_answer(d, *p);
    return "ok";
  }
  if (cmd == "delay") {
    const auto ms = to_int(arg);
    if (!ms || *ms < 0 || *ms > 600000) return bad_usage();
    for (int d : devs) set_delay(d, std::chrono::milliseconds(*ms));
    return "ok";
  }
  if (cmd == "alarm") {
    const auto bits = to_int(arg);
    if (!bits || *bits < 0 || *bits > 15) return bad_usage();
    for (int d : devs) set_alarm(d, static_cast<int>(*bits));
    return "ok";
  }
  if (cmd == "version") {
    for (int d : devs) set_version(d, arg);
    return "ok";
  }
  if (cmd == "clock") {
    const auto s = to_int(arg);
    if (!s) return bad_usage();
    for (int d : devs) shift_clock(d, *s);
    return "ok";
  }
  if (cmd == "drift") {
    const auto ppm = to_double(arg);
    if (!ppm || *ppm <= -1e6) return bad_usage();
    for (int d : devs) set_drift(d, *ppm);
    return "ok";
  }
  return "error: unknown command: " + cmd;
}

}  // namespace radiosim
