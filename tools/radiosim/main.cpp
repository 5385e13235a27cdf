// radiosim: the radio gateway and its counters behind a pseudo-terminal.
// Prints the slave's path on the first line of standard output; the daemon's
// serial port setting names that path (or the stable --link to it).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "radiosim.h"

namespace {

int g_signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
  const int saved = errno;
  const char c = static_cast<char>(sig);
  [[maybe_unused]] ssize_t n = ::write(g_signal_pipe[1], &c, 1);
  errno = saved;
}

[[gnu::format(printf, 1, 2)]] void logf(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  std::string line = std::string("radiosim: ") + buf + "\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

const char* kUsage =
    "usage: radiosim [options]\n"
    "  --counters N        counters 1..N answer (default 1, 0..4)\n"
    "  --interval S        acquisition interval in seconds (default 900)\n"
    "  --link PATH         keep a symlink to the pty slave at PATH\n"
    "  --control PATH      control lines on a UNIX stream socket at PATH\n"
    "  --fifo PATH         control lines on a FIFO at PATH (replies on stderr)\n"
    "  --truth PATH        append every stored sample: counter time etot ptot alm dbm\n"
    "  --version [N:]V     counter firmware version, all counters or counter N\n"
    "  --gw-version V      gateway firmware version\n"
    "  --drift [N:]PPM     counter clock drift\n"
    "  --clock-offset [N:]S  counter clock minus real time at start\n"
    "  --scaled LIST       counters that work scaled, e.g. 1,3\n"
    "  --uninit LIST       counters not initialised until their clock is set\n"
    "  --energy E          start energy, hundredths of kWh\n"
    "  --peak P            peak power, hundredths of kW\n"
    "  --prefill N         samples already stored at start\n"
    "  --prefill-sent      ... and already moved past\n"
    "  --rs-dbm            sample reads carry the signal level\n"
    "  --capacity N        samples a counter keeps\n"
    "  --seed N            seed of the power curve and of lost requests\n"
    "  --no-gateway        the gateway does not answer\n"
    "  --baud              answer at the real line speed (19200 8N1)\n"
    "  -c, --ctl LINE      run a control line at start (repeatable; see \"help\")\n"
    "  -v, --verbose       log every request on stderr\n";

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "radiosim: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

long long number(const std::string& opt, const std::string& s, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end || errno || v < lo || v > hi)
    usage_error("bad value for " + opt + ": " + s);
  return v;
}

double real_number(const std::string& opt, const std::string& s) {
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end || v != v) usage_error("bad value for " + opt + ": " + s);
  return v;
}

// "V" applies to every counter, "N:V" to counter N only.
template <typename F>
void per_counter(radiosim::Config& cfg, const std::string& opt, const std::string& arg, F set) {
  if (arg.size() > 2 && arg[1] == ':' && arg[0] >= '1' && arg[0] <= '4') {
    set(cfg.counters[static_cast<std::size_t>(arg[0] - '1')], arg.substr(2));
    return;
  }
  if (arg.empty()) usage_error("empty value for " + opt);
  for (auto& c : cfg.counters) set(c, arg);
}

template <typename F>
void counter_list(radiosim::Config& cfg, const std::string& opt, const std::string& arg, F set) {
  size_t i = 0;
  while (i <= arg.size()) {
    const size_t comma = arg.find(',', i);
    const std::string item =
        arg.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
    set(cfg.counters[static_cast<std::size_t>(number(opt, item, 1, 4) - 1)]);
    if (comma == std::string::npos) break;
    i = comma + 1;
  }
}

bool write_fully(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

struct Client {
  int fd;
  std::string in;
};

// Runs each complete line in buf; what is left is a partial line.
void run_lines(radiosim::Simulator& sim, std::string& buf, int reply_fd) {
  size_t nl;
  while ((nl = buf.find('\n')) != std::string::npos) {
    std::string line = buf.substr(0, nl);
    buf.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string reply = sim.control(line);
    if (reply_fd == STDERR_FILENO) {
      logf("%s -> %s", line.c_str(), reply.c_str());
    } else {
      write_fully(reply_fd, reply + "\n");
    }
  }
  // A line without an end this long is not a command.
  if (buf.size() > 4096) buf.clear();
}

int open_control_socket(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) usage_error("control path too long: " + path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());  // a socket left by a killed run
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Replaces the link in one step, so a reader never finds it missing.
bool place_link(const std::string& link, const std::string& target) {
  const std::string tmp = link + ".tmp" + std::to_string(::getpid());
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0) return false;
  if (::rename(tmp.c_str(), link.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

void remove_link(const std::string& link, const std::string& target) {
  char buf[512];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  // Another run may have taken the link over meanwhile.
  if (target == buf) ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  radiosim::Config cfg;
  int ncounters = 1;
  std::string link, control_path, fifo_path, truth_path;
  std::vector<std::string> start_lines;
  bool pace = false, verbose = false;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) usage_error("missing value for " + opt);
      return args[++i];
    };
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (opt == "--counters") {
      ncounters = static_cast<int>(number(opt, value(), 0, 4));
    } else if (opt == "--interval") {
      cfg.interval = static_cast<int>(number(opt, value(), 1, 65535));
    } else if (opt == "--link") {
      link = value();
    } else if (opt == "--control") {
      control_path = value();
    } else if (opt == "--fifo") {
      fifo_path = value();
    } else if (opt == "--truth") {
      truth_path = value();
    } else if (opt == "--version") {
      per_counter(cfg, opt, value(), [](auto& c, const std::string& v) { c.version = v; });
    } else if (opt == "--gw-version") {
      cfg.gateway_version = value();
    } else if (opt == "--drift") {
      per_counter(cfg, opt, value(),
                  [&](auto& c, const std::string& v) { c.drift_ppm = real_number(opt, v); });
    } else if (opt == "--clock-offset") {
      per_counter(cfg, opt, value(), [&](auto& c, const std::string& v) {
        c.clock_offset = number(opt, v, -4000000000LL, 4000000000LL);
      });
    } else if (opt == "--scaled") {
      counter_list(cfg, opt, value(), [](auto& c) { c.scaled = true; });
    } else if (opt == "--uninit") {
      counter_list(cfg, opt, value(), [](auto& c) { c.initialised = false; });
    } else if (opt == "--energy") {
      const auto e = static_cast<std::uint32_t>(number(opt, value(), 0, 0xFFFFFFFFLL));
      for (auto& c : cfg.counters) c.start_energy = e;
    } else if (opt == "--peak") {
      const auto p = static_cast<std::uint32_t>(number(opt, value(), 0, 655350));
      for (auto& c : cfg.counters) c.peak_power = p;
    } else if (opt == "--prefill") {
      const auto n = static_cast<int>(number(opt, value(), 0, 1000000));
      for (auto& c : cfg.counters) c.prefill = n;
    } else if (opt == "--prefill-sent") {
      for (auto& c : cfg.counters) c.prefill_sent = true;
    } else if (opt == "--rs-dbm") {
      for (auto& c : cfg.counters) c.rs_dbm = true;
    } else if (opt == "--capacity") {
      cfg.capacity = static_cast<std::size_t>(number(opt, value(), 1, 10000000));
    } else if (opt == "--seed") {
      cfg.seed = static_cast<std::uint64_t>(number(opt, value(), 0, 0x7FFFFFFFFFFFFFFFLL));
    } else if (opt == "--no-gateway") {
      cfg.gateway_present = false;
    } else if (opt == "--baud") {
      pace = true;
    } else if (opt == "-c" || opt == "--ctl") {
      start_lines.push_back(value());
    } else if (opt == "-v" || opt == "--verbose") {
      verbose = true;
    } else {
      usage_error("unknown option " + opt);
    }
  }
  for (int i = 0; i < radiosim::kMaxCounters; ++i) {
    cfg.counters[static_cast<std::size_t>(i)].present = i < ncounters;
  }

  int truth_fd = -1;
  if (!truth_path.empty()) {
    truth_fd = ::open(truth_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (truth_fd < 0) {
      logf("cannot open %s: %s", truth_path.c_str(), std::strerror(errno));
      return 1;
    }
    // One write per line, so a reader never sees half a line.
    cfg.on_sample = [truth_fd](int counter, const radiosim::Sample& s) {
      char buf[128];
      const int n = std::snprintf(buf, sizeof buf, "%d %lld %u %u %d %d\n", counter,
                                  static_cast<long long>(s.time), s.etot, s.ptot, s.alm, s.dbm);
      write_fully(truth_fd, std::string(buf, static_cast<size_t>(n)));
    };
  }
  if (verbose) {
    cfg.on_request = [](const radiosim::Request& r) {
      logf("request %04X %s \"%s\"%s", static_cast<unsigned>(r.address) & 0xFFFF, r.command.c_str(),
           r.data.c_str(), r.answered ? "" : " (no answer)");
    };
  }

  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto pty = radiosim::open_pty();
  if (!pty) {
    logf("cannot open a pseudo-terminal: %s", std::strerror(errno));
    return 1;
  }

  radiosim::Simulator sim(cfg);
  for (const auto& line : start_lines) {
    const std::string reply = sim.control(line);
    if (reply.rfind("ok", 0) != 0) {
      logf("%s -> %s", line.c_str(), reply.c_str());
      return 2;
    }
  }
  if (pace) sim.set_pacing(true);

  int listen_fd = -1;
  if (!control_path.empty()) {
    listen_fd = open_control_socket(control_path);
    if (listen_fd < 0) {
      logf("cannot listen on %s: %s", control_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  int fifo_fd = -1;
  bool made_fifo = false;
  if (!fifo_path.empty()) {
    if (::mkfifo(fifo_path.c_str(), 0600) == 0) {
      made_fifo = true;
    } else if (errno != EEXIST) {
      logf("cannot make %s: %s", fifo_path.c_str(), std::strerror(errno));
      return 1;
    }
    // Opened for writing too, so the last writer closing never ends the reads.
    fifo_fd = ::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_fd < 0) {
      logf("cannot open %s: %s", fifo_path.c_str(), std::strerror(errno));
      return 1;
    }
  }
  if (!link.empty() && !place_link(link, pty->slave_path)) {
    logf("cannot link %s: %s", link.c_str(), std::strerror(errno));
    return 1;
  }

  if (!sim.start(pty->master)) {
    logf("cannot start serving");
    return 1;
  }
  std::printf("%s\n", pty->slave_path.c_str());
  std::fflush(stdout);
  logf("%d counter(s), interval %d s, on %s", ncounters, cfg.interval, pty->slave_path.c_str());

  std::vector<Client> clients;
  std::string fifo_buf;
  int exit_signal = 0;
  while (exit_signal == 0) {
    std::vector<pollfd> fds;
    fds.push_back({g_signal_pipe[0], POLLIN, 0});
    fds.push_back({listen_fd, POLLIN, 0});
    fds.push_back({fifo_fd, POLLIN, 0});
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    // Wakes twice a second so samples reach the truth file as they fall due.
    const int r = ::poll(fds.data(), fds.size(), 500);
    sim.tick();
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char c = 0;
      if (::read(g_signal_pipe[0], &c, 1) == 1) exit_signal = c;
    }
    if (listen_fd >= 0 && (fds[1].revents & POLLIN)) {
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    if (fifo_fd >= 0 && (fds[2].revents & POLLIN)) {
      char buf[1024];
      const ssize_t n = ::read(fifo_fd, buf, sizeof buf);
      if (n > 0) {
        fifo_buf.append(buf, static_cast<size_t>(n));
        run_lines(sim, fifo_buf, STDERR_FILENO);
      }
    }
    // Clients accepted in this round have no entry in fds yet.
    const size_t polled = fds.size() - 3;
    for (size_t i = polled; i-- > 0;) {
      if (!fds[3 + i].revents) continue;
      Client& c = clients[i];
      char buf[1024];
      const ssize_t n = ::read(c.fd, buf, sizeof buf);
      if (n > 0) {
        c.in.append(buf, static_cast<size_t>(n));
        run_lines(sim, c.in, c.fd);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (!c.in.empty()) {
          c.in.push_back('\n');  // a last line without its end
          run_lines(sim, c.in, c.fd);
        }
        ::close(c.fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      }
    }
  }

  logf("stopping (%s)", exit_signal ? strsignal(exit_signal) : "error");
  sim.stop();
  for (auto& c : clients) ::close(c.fd);
  if (listen_fd >= 0) {
    ::close(listen_fd);
    ::unlink(control_path.c_str());
  }
  if (fifo_fd >= 0) {
    ::close(fifo_fd);
    if (made_fifo) ::unlink(fifo_path.c_str());
  }
  if (!link.empty()) remove_link(link, pty->slave_path);
  if (truth_fd >= 0) ::close(truth_fd);
  radiosim::close_pty(*pty);
  return exit_signal ? 0 : 1;
}
