// A radio gateway and up to four radio energy counters on one serial line,
// for tests and the demo. The simulator serves request frames arriving on a
// pseudo-terminal master; whoever opens the slave talks to the devices.
//
// The counters behave like real ones: each keeps its own clock and stores a
// sample at every acquisition boundary of that clock, from a plausible PV
// day. Samples are stored lazily, whenever the simulator is touched and time
// has passed a boundary, so no timer runs. Every stored sample is also kept
// as ground truth, so a test can prove nothing was lost on the way.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace radiosim {

inline constexpr int kGateway = 0xFFFF;  // the gateway's radio address
inline constexpr int kMaxCounters = 4;   // counters answer at addresses 1..4
inline constexpr int kBaud = 19200;      // line speed when pacing (8N1)

// One stored sample. Energy and power are in the daemon's units (hundredths
// of kWh and kW) whatever the counter's scaling: a scaled counter carries
// them divided by ten on the wire, so its values are multiples of ten.
struct Sample {
  std::int64_t time = 0;  // the counter's clock, seconds since the epoch
  std::uint32_t etot = 0;
  std::uint32_t ptot = 0;
  int alm = 0;  // low four alarm bits
  int dbm = 0;  // signal level
  bool operator==(const Sample&) const = default;
};

// One valid request frame as received.
struct Request {
  std::int64_t when = 0;  // real time
  int address = 0;
  std::string command;
  std::string data;
  bool answered = false;  // an answer frame went out (possibly a faulty one)
};

struct CounterConfig {
  bool present = true;
  std::string version = "060502";  // major, minor, build: two hex digits each
  double drift_ppm = 0;            // the counter clock runs fast (+) or slow (-)
  std::int64_t clock_offset = 0;   // counter clock minus real time at start
  bool initialised = true;         // otherwise becomes so when its clock is set
  bool scaled = false;             // exchanges energy, power, whi, pnom, pmin / 10
  std::uint32_t start_energy = 0;  // hundredths of kWh at start (or at the first prefilled sample)
  std::uint32_t peak_power = 300;  // hundredths of kW at noon on a clear day
  std::uint16_t whi = 10;          // tenths of Wh per pulse
  int alarm = 0;                   // alarm bits put into samples
  int prefill = 0;                 // samples already stored at start
  bool prefill_sent = false;       // checkpoint starts after the prefilled samples
  // "4RS" answers carry the signal level: at most two samples of 23
  // characters, the only form of that answer that keeps the level.
  bool rs_dbm = false;
};

struct Config {
  std::array<CounterConfig, kMaxCounters> counters;
  bool gateway_present = true;
  int interval = 900;  // acquisition interval, seconds of the counter clock
  std::string gateway_version = "020105";
  std::uint64_t seed = 1;       // power curve, signal level and lost answers
  std::size_t capacity = 8640;  // samples a counter keeps; the oldest go first
  // Real time in seconds; default time(). Called from the serving thread too.
  std::function<std::int64_t()> now;
  // Called once for every sample stored, with the counter number (1..4),
  // under the simulator's lock: it must not call back into the simulator.
  std::function<void(int counter, const Sample&)> on_sample;
  // Called for every valid request frame once it has been dealt with, under
  // the same lock and with the same restriction.
  std::function<void(const Request&)> on_request;
};

// A counter's clock and store, for inspection.
struct CounterState {
  std::int64_t clock = 0;
  std::int64_t checkpoint = 0;  // time of the last sample moved past, 0 if none
  std::size_t stored = 0;
  std::int64_t oldest = 0;
  std::int64_t newest = 0;
  std::uint32_t energy = 0;
  std::string config_text;  // what "4SZ" answers
};

class Simulator {
 public:
  explicit Simulator(Config cfg);
  ~Simulator();  // stops the serving thread
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Serves frames on a pty master (not owned; set non-blocking here) in a
  // thread of its own. The slave must be in raw mode, or the line
  // discipline would echo answers back as requests. False if already running.
  bool start(int master_fd);
  void stop();

  // Faults. An address is 1..4 or kGateway; all are safe from any thread.
  void set_absent(int address, bool on);                // never answers, state untouched
  void set_no_answer(int address, double probability);  // request lost
  void set_bad_checksum(int address, bool on);          // answer corrupted after acting
  void set_stale(int address, bool on);                 // previous answer instead of this one
  void set_late(int address, bool on);                  // previous answer, then this one
  void set_delay(int address, std::chrono::milliseconds delay);
  void set_refuse_checkpoint(int counter, bool on);  // "4MV" answers "1"
  void set_pacing(bool on);                          // answers at the real wire speed
  void clear_faults();

  void set_alarm(int counter, int bits);
  void set_version(int address, std::string version);
  void shift_clock(int counter, std::int64_t seconds);
  void set_drift(int counter, double ppm);

  // One control line ("absent 2 on", "dump /path", ...); the reply text
  // starts with "ok" or "error". "help" lists the commands.
  std::string control(std::string_view line);

  // Stores every sample due by now.
  void tick();

  std::vector<Sample> truth(int counter);   // every sample ever stored, in order
  std::vector<Sample> stored(int counter);  // what the counter holds now
  std::optional<CounterState> state(int counter);
  std::vector<Request> requests();
  std::size_t request_count(int address, std::string_view command);
  void clear_requests();
  std::size_t bad_frames();  // garbled frames received and ignored

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Encodes a sample as the counter sends it (21 characters, or 23 with the
// signal level), with scaling applied.
std::string sample_text(const Sample& s, bool scaled, bool with_dbm);

// A pseudo-terminal with its slave in raw mode and held open, so the master
// never sees a hang-up while nobody else has the slave open.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};
std::optional<Pty> open_pty();  // O_CLOEXEC on both ends
void close_pty(Pty& p);

}  // namespace radiosim
