// The devices behind the radio gateway: what each one answers and how a
// counter fills its store. No I/O here; the simulator feeds requests in.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "radiosim.h"

namespace radiosim::detail {

struct Setup {
  int interval = 900;
  std::size_t capacity = 8640;
  std::uint64_t seed = 1;
};

using SampleSink = std::function<void(int counter, const Sample&)>;

class Counter {
 public:
  Counter(int number, const CounterConfig& cfg, const Setup& setup, std::int64_t now,
          SampleSink sink);

  // Stores every sample whose boundary the counter clock has passed.
  void catch_up(std::int64_t now);
  // Answer data for one request; nothing when the counter would not answer.
  std::optional<std::string> handle(std::string_view cmd, std::string_view data, std::int64_t now);

  std::int64_t clock(std::int64_t now) const;
  void set_clock(std::int64_t now, std::int64_t value);
  void set_drift(std::int64_t now, double ppm);
  void set_alarm(int bits) { alarm_ = bits & 0xF; }
  void set_version(std::string v) { version_ = std::move(v); }
  void set_refuse_checkpoint(bool on) { refuse_checkpoint_ = on; }

  const std::deque<Sample>& store() const { return store_; }
  const std::vector<Sample>& truth() const { return truth_; }
  CounterState state(std::int64_t now) const;

 private:
  double real_at(std::int64_t clock_time) const;
  std::uint32_t power_at(double real) const;
  int dbm_at(std::int64_t clock_time) const;
  std::uint32_t energy_now() const;
  void store_at(std::int64_t boundary);
  void set_energy(std::int64_t now, double value);
  std::string sample_answer(const Sample& s) const;
  std::string read_samples();
  std::string move_checkpoint();
  std::string history(std::string_view data) const;
  int scale() const { return scaled_ ? 10 : 1; }
  std::uint32_t config_field(std::size_t pos) const;

  int number_;
  Setup setup_;
  SampleSink sink_;
  bool scaled_;
  bool rs_dbm_;
  std::uint32_t peak_;
  std::string version_;
  std::string config_text_;
  bool initialised_;
  bool refuse_checkpoint_ = false;
  int alarm_;

  // Counter clock = ref_clock_ + elapsed real time + its drift share.
  std::int64_t ref_real_;
  std::int64_t ref_clock_;
  double ppm_;
  std::int64_t cursor_;  // last acquisition boundary dealt with

  double energy_;      // hundredths of kWh
  double last_real_;   // real time the energy was last brought up to date
  double last_power_;  // power at that time

  std::deque<Sample> store_;
  std::vector<Sample> truth_;
  std::int64_t checkpoint_ = 0;
  std::optional<std::int64_t> last_returned_;  // newest sample of the last "4RS"
};

class Gateway {
 public:
  explicit Gateway(std::string version) : version_(std::move(version)) {}
  std::optional<std::string> handle(std::string_view cmd) const;
  void set_version(std::string v) { version_ = std::move(v); }

 private:
  std::string version_;
};

}  // namespace radiosim::detail
