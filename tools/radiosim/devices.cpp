#include "devices.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "frame.h"

namespace radiosim {

std::string sample_text(const Sample& s, bool scaled, bool with_dbm) {
  const std::uint32_t scale = scaled ? 10 : 1;
  char buf[32];
  if (with_dbm) {
    std::snprintf(buf, sizeof buf, "%08X%04X%08X%02X%X", static_cast<std::uint32_t>(s.time),
                  (s.ptot / scale) & 0xFFFF, s.etot / scale, static_cast<unsigned>(s.dbm) & 0xFF,
                  static_cast<unsigned>(s.alm) & 0xF);
  } else {
    std::snprintf(buf, sizeof buf, "%08X%04X%08X%X", static_cast<std::uint32_t>(s.time),
                  (s.ptot / scale) & 0xFFFF, s.etot / scale, static_cast<unsigned>(s.alm) & 0xF);
  }
  return buf;
}

namespace detail {
namespace {

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Noise that depends only on its inputs, so a run is reproducible whatever
// order the requests come in.
std::uint64_t noise(std::uint64_t seed, int counter, std::int64_t slot, int stream) {
  return mix(
      mix(mix(seed ^ static_cast<std::uint64_t>(stream)) + static_cast<std::uint64_t>(counter)) +
      static_cast<std::uint64_t>(slot));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

std::string hex8(std::int64_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<std::uint32_t>(v));
  return buf;
}

std::string mac_of(int number) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "02A1B2C3D4E5F6%02X", static_cast<unsigned>(number) & 0xFF);
  return buf;
}

constexpr std::int64_t kCloudSlot = 600;   // seconds a cloud factor lasts
constexpr std::uint32_t kPminWatts = 100;  // threshold in the initial configuration
constexpr double kMinPpm = -900000;        // a clock that still moves forward

}  // namespace

Counter::Counter(int number, const CounterConfig& cfg, const Setup& setup, std::int64_t now,
                 SampleSink sink)
    : number_(number),
      setup_(setup),
      sink_(std::move(sink)),
      scaled_(cfg.scaled),
      rs_dbm_(cfg.rs_dbm),
      peak_(cfg.peak_power),
      version_(cfg.version),
      initialised_(cfg.initialised),
      alarm_(cfg.alarm & 0xF),
      ref_real_(now),
      ref_clock_(now + cfg.clock_offset),
      ppm_(std::max(cfg.drift_ppm, kMinPpm)) {
  if (setup_.interval < 1) setup_.interval = 1;
  if (setup_.capacity < 1) setup_.capacity = 1;

  // The threshold is held as the pulse interval, in 1/256 s, of that power.
  const std::uint32_t whi = cfg.whi;
  const auto pmin = static_cast<std::uint32_t>(static_cast<float>(whi / 10.0) * 3600.0f * 256.0f /
                                               static_cast<float>(kPminWatts));
  const std::uint32_t pnom = std::max<std::uint32_t>(3, (cfg.peak_power + 99) / 100);
  const auto s = static_cast<std::uint32_t>(scale());
  char text[48];
  std::snprintf(text, sizeof text, "0%04X%04X00000000%04X%04X%04X%04X", (whi / s) & 0xFFFF,
                (pmin / s) & 0xFFFF, 60u, static_cast<unsigned>(setup_.interval) & 0xFFFF,
                (pnom / s) & 0xFFFF, static_cast<unsigned>(number) & 0xFFFF);
  config_text_ = text;

  const std::int64_t iv = setup_.interval;
  cursor_ = floor_div(clock(now), iv) * iv;
  energy_ = cfg.start_energy;
  const int prefill = std::clamp<int>(cfg.prefill, 0, static_cast<int>(setup_.capacity));
  if (prefill > 0) {
    const std::int64_t first = cursor_ - static_cast<std::int64_t>(prefill - 1) * iv;
    last_real_ = real_at(first);
    last_power_ = power_at(last_real_);
    for (std::int64_t b = first; b <= cursor_; b += iv) store_at(b);
    if (cfg.prefill_sent) checkpoint_ = store_.back().time;
  } else {
    last_real_ = static_cast<double>(now);
    last_power_ = power_at(last_real_);
  }
}

std::int64_t Counter::clock(std::int64_t now) const {
  // Integer elapsed time plus the drift share, so a clock without drift
  // never picks up rounding.
  const std::int64_t dt = now - ref_real_;
  return ref_clock_ + dt +
         static_cast<std::int64_t>(std::floor(static_cast<double>(dt) * ppm_ / 1e6));
}

double Counter::real_at(std::int64_t clock_time) const {
  return static_cast<double>(ref_real_) +
         static_cast<double>(clock_time - ref_clock_) / (1.0 + ppm_ / 1e6);
}

void Counter::set_clock(std::int64_t now, std::int64_t value) {
  // Samples due under the old clock are stored first; a jump forward leaves
  // a gap, a jump back stores nothing until the clock passes the newest.
  catch_up(now);
  ref_real_ = now;
  ref_clock_ = value;
  const std::int64_t iv = setup_.interval;
  cursor_ = floor_div(value, iv) * iv;
}

void Counter::set_drift(std::int64_t now, double ppm) {
  catch_up(now);
  ref_clock_ = clock(now);
  ref_real_ = now;
  ppm_ = std::max(ppm, kMinPpm);
}

std::uint32_t Counter::power_at(double real) const {
  // The sun is up from 05:30 to 19:30 UTC; clouds cut up to 45 %.
  const double hour = std::fmod(real, 86400.0) / 3600.0;
  double sun = 0;
  if (hour > 5.5 && hour < 19.5) sun = std::sin(std::numbers::pi * (hour - 5.5) / 14.0);
  const auto slot = static_cast<std::int64_t>(std::floor(real / kCloudSlot));
  const double u = static_cast<double>(noise(setup_.seed, number_, slot, 1) >> 11) /
                   static_cast<double>(1ull << 53);
  const double cloud = 0.55 + 0.45 * u;
  auto p = static_cast<std::uint32_t>(std::lround(peak_ * sun * cloud));
  const auto s = static_cast<std::uint32_t>(scale());
  p = std::min<std::uint32_t>(p, 0xFFFF * s);
  return p - p % s;
}

int Counter::dbm_at(std::int64_t clock_time) const {
  return -45 - static_cast<int>(noise(setup_.seed, number_, clock_time, 2) % 40);
}

std::uint32_t Counter::energy_now() const {
  const double e = std::clamp(energy_, 0.0, 4294967295.0);
  auto v = static_cast<std::uint32_t>(e);
  return v - v % static_cast<std::uint32_t>(scale());
}

void Counter::catch_up(std::int64_t now) {
  const std::int64_t c = clock(now);
  const std::int64_t iv = setup_.interval;
  if (c < cursor_ + iv) return;
  std::int64_t steps = (c - cursor_) / iv;
  // A time source that leaps years ahead would otherwise fill memory with
  // samples the store drops at once.
  const auto cap = static_cast<std::int64_t>(setup_.capacity);
  if (steps > cap) {
    cursor_ += (steps - cap) * iv;
    steps = cap;
  }
  for (std::int64_t i = 0; i < steps; ++i) {
    cursor_ += iv;
    store_at(cursor_);
  }
}

void Counter::store_at(std::int64_t boundary) {
  // The store stays ordered by time: after the clock was set back, the
  // boundaries already covered are not stored a second time.
  if (!store_.empty() && boundary <= store_.back().time) return;
  const double r = real_at(boundary);
  const auto p = static_cast<double>(power_at(r));
  if (r > last_real_) {
    energy_ += (last_power_ + p) / 2.0 * (r - last_real_) / 3600.0;
    last_real_ = r;
    last_power_ = p;
  }
  Sample s;
  s.time = boundary;
  s.etot = energy_now();
  s.ptot = static_cast<std::uint32_t>(p);
  s.alm = alarm_;
  s.dbm = dbm_at(boundary);
  store_.push_back(s);
  if (store_.size() > setup_.capacity) store_.pop_front();
  truth_.push_back(s);
  if (sink_) sink_(number_, s);
}

void Counter::set_energy(std::int64_t now, double value) {
  energy_ = value;
  last_real_ = static_cast<double>(now);
  last_power_ = power_at(last_real_);
}

std::string Counter::sample_answer(const Sample& s) const { return sample_text(s, scaled_, true); }

std::string Counter::read_samples() {
  auto it = std::upper_bound(store_.begin(), store_.end(), checkpoint_,
                             [](std::int64_t t, const Sample& s) { return t < s.time; });
  const auto available = static_cast<std::size_t>(store_.end() - it);
  std::size_t n = std::min<std::size_t>(available, rs_dbm_ ? 2 : 3);
  // With the signal level, only a two-sample answer (47 characters) is read
  // in the long form; a single sample therefore goes in the short form.
  const bool with_dbm = rs_dbm_ && n == 2;
  std::string out = std::to_string(n);
  for (std::size_t i = 0; i < n; ++i)
    out += sample_text(it[static_cast<long>(i)], scaled_, with_dbm);
  if (n > 0) {
    last_returned_ = it[static_cast<long>(n - 1)].time;
  } else {
    last_returned_.reset();
  }
  return out;
}

std::string Counter::move_checkpoint() {
  if (refuse_checkpoint_) return "1";
  // Only past what was handed out: samples stored since the read stay unsent,
  // and a repeated move moves nothing.
  if (last_returned_ && *last_returned_ > checkpoint_) checkpoint_ = *last_returned_;
  last_returned_.reset();
  return "0";
}

std::string Counter::history(std::string_view data) const {
  const auto t = static_cast<std::int64_t>(*wire::parse_hex(data));
  auto it = std::lower_bound(store_.begin(), store_.end(), t,
                             [](const Sample& s, std::int64_t v) { return s.time < v; });
  if (it == store_.end()) return std::string(23, 'F');
  return sample_answer(*it);
}

std::uint32_t Counter::config_field(std::size_t pos) const {
  return wire::parse_hex(std::string_view(config_text_).substr(pos, 4)).value_or(0);
}

std::optional<std::string> Counter::handle(std::string_view cmd, std::string_view data,
                                           std::int64_t now) {
  catch_up(now);
  const auto s = static_cast<std::uint32_t>(scale());
  const std::int64_t c = clock(now);

  if (cmd == "4QZ") {
    char tail[16];
    std::snprintf(tail, sizeof tail, "0001000000%02X00",
                  static_cast<unsigned>(dbm_at(c / 60)) & 0xFF);
    return mac_of(number_) + tail;
  }
  if (cmd == "4VS") return version_;
  if (cmd == "4SZ") return config_text_;
  if (cmd == "4ST") {
    if (data.size() < 29 || !wire::is_hex(data.substr(1, 8)) ||
        !wire::is_hex(data.substr(17, 12))) {
      return std::nullopt;
    }
    config_text_.assign(data);
    return "0";
  }
  if (cmd == "4AR") {
    Sample live;
    live.time = c;
    live.ptot = power_at(static_cast<double>(now));
    const double dt = static_cast<double>(now) - last_real_;
    const double e = energy_ + (dt > 0 ? (last_power_ + live.ptot) / 2.0 * dt / 3600.0 : 0.0);
    auto v = static_cast<std::uint32_t>(std::clamp(e, 0.0, 4294967295.0));
    live.etot = v - v % s;
    live.alm = alarm_;
    live.dbm = dbm_at(c / 60);
    return sample_answer(live);
  }
  if (cmd == "4LS") {
    if (store_.empty()) return std::string(23, '0');  // time 0: an empty slot
    return sample_answer(store_.back());
  }
  if (cmd == "4RS") return read_samples();
  if (cmd == "4MV") return move_checkpoint();
  if (cmd == "4SM") {
    if (data.size() != 8 || !wire::is_hex(data)) return std::nullopt;
    return history(data);
  }
  if (cmd == "4CK") {
    if (data.empty()) return hex8(c);
    if (data.size() != 8 || !wire::is_hex(data)) return std::nullopt;
    const auto v = static_cast<std::int64_t>(*wire::parse_hex(data));
    set_clock(now, v);
    initialised_ = true;
    return hex8(v);
  }
  if (cmd == "4pw") {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", (power_at(static_cast<double>(now)) / s) & 0xFFFF);
    return std::string(buf);
  }
  if (cmd == "4PH") {
    // Pulses per hour at the present power: W / (Wh per pulse).
    const std::uint32_t whi = config_field(1) * s;
    const std::uint32_t watts = power_at(static_cast<double>(now)) * 10;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", whi ? watts * 10 / whi : 0u);
    return std::string(buf);
  }
  if (cmd == "4CP") return hex8(checkpoint_);
  if (cmd == "4SO") return hex8(store_.empty() ? 0 : store_.front().time);
  if (cmd == "4SN") return hex8(store_.empty() ? 0 : store_.back().time);
  if (cmd == "4IN") return std::string(initialised_ ? "1" : "0");
  if (cmd == "4CS") {
    if (data.size() != 10 || data.substr(0, 2) != "00" || !wire::is_hex(data.substr(2))) {
      return std::nullopt;
    }
    set_energy(now, static_cast<double>(*wire::parse_hex(data.substr(2))) * s);
    return "0";
  }
  if (cmd == "4CR") {
    if (data != "00") return std::nullopt;
    set_energy(now, 0);
    return "0";
  }
  if (cmd == "4rs") {
    last_returned_.reset();
    return "0";
  }
  return std::nullopt;
}

CounterState Counter::state(std::int64_t now) const {
  CounterState st;
  st.clock = clock(now);
  st.checkpoint = checkpoint_;
  st.stored = store_.size();
  st.oldest = store_.empty() ? 0 : store_.front().time;
  st.newest = store_.empty() ? 0 : store_.back().time;
  st.energy = energy_now();
  st.config_text = config_text_;
  return st;
}

std::optional<std::string> Gateway::handle(std::string_view cmd) const {
  if (cmd == "4QZ") {
    // MAC, four reserved characters, then 36 characters of radio information:
    // network id, channel, power, coordinator address.
    std::string radio = "1A2B0F04" + mac_of(0) + "000000000000";
    return mac_of(0) + "0000" + radio.substr(0, 36);
  }
  if (cmd == "4VS") return version_;
  if (cmd == "4rs" || cmd == "4PJ" || cmd == "4CJ") return "0";
  return std::nullopt;
}

}  // namespace detail
}  // namespace radiosim
