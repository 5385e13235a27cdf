#include "plant.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "sim_board.h"

namespace testsupport {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int connect_tcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Writes everything, then reads until the peer closes or the time runs out.
std::string talk(int fd, const std::string& request, std::chrono::milliseconds timeout) {
  std::string reply;
  size_t off = 0;
  while (off < request.size()) {
    const ssize_t n = send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return reply;
    off += static_cast<size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  return reply;
}

}  // namespace

int free_tcp_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(a.sin_port);
}

std::string http_exchange(int port, const std::string& request, std::chrono::milliseconds timeout) {
  const int fd = connect_tcp(port);
  if (fd < 0) return {};
  std::string reply = talk(fd, request, timeout);
  close(fd);
  return reply;
}

std::string http_get(int port, const std::string& path, std::chrono::milliseconds timeout) {
  std::string reply;
  eventually(
      [&] {
        reply = http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", timeout);
        return !reply.empty();
      },
      timeout);
  return reply;
}

HttpConnection::HttpConnection(int port) : fd_(connect_tcp(port)) {}

HttpConnection::~HttpConnection() {
  if (fd_ >= 0) close(fd_);
}

void HttpConnection::send(const std::string& bytes) const {
  ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

Plant::Plant(PlantOptions opts) : opts_(std::move(opts)) {
  fs::copy(fs::path(ZANTOR_SOURCE_DIR) / "runtime", dir_.path(), fs::copy_options::recursive);
  fs::create_directories(dir_.file("data"));
  fs::create_directories(dir_.file("tmp"));
  make_sim_board(board());
  http_port_ = free_tcp_port();

  if (opts_.with_radio) {
    std::vector<std::string> argv = {RADIOSIM_BINARY,
                                     "--counters", std::to_string(opts_.counters),
                                     "--interval", std::to_string(opts_.interval),
                                     "--link", dir_.file("radio-tty"),
                                     "--control", dir_.file("radio.sock"),
                                     "--truth", dir_.file("truth.txt")};
    argv.insert(argv.end(), opts_.radio_args.begin(), opts_.radio_args.end());
    radiosim_ = std::make_unique<Process>(argv, ProcessOptions{dir_.path(), {}, dir_.file("radiosim.log")});
    if (!eventually([&] { return fs::exists(dir_.file("radio-tty")) && fs::exists(dir_.file("radio.sock")); }, 20s))
      throw std::runtime_error("radiosim did not start: " + radiosim_->output());
  }
  if (opts_.with_server) {
    monitor_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/env", "python3",
                                 std::string(ZANTOR_SOURCE_DIR) + "/tools/monitor/monitor.py",
                                 "--port", "0", "--record", dir_.file("server.jsonl")},
        ProcessOptions{dir_.path(), {}, dir_.file("monitor.log")});
    if (!eventually([&] { return monitor_->output().find('\n') != std::string::npos; }, 20s))
      throw std::runtime_error("monitor did not start: " + monitor_->output());
    server_port_ = std::stoi(monitor_->output());
  }

  const int n = opts_.counters;
  dir_.write("config/serialcfg.dat", dir_.file("radio-tty") + ";19200,N,8,1;10/0/300/./.");
  // Without a server the sends go to a closed port and fail at once.
  dir_.write("config/srvurl.dat",
             "http://127.0.0.1:" + std::to_string(server_port_ ? server_port_ : free_tcp_port()) + "/");
  dir_.write("config/sendscript.dat", "./bin/sendjson.sh");
  dir_.write("config/pointid.dat", "TEST0000000000000000000000000001");
  dir_.write("config/numcounters.dat", std::to_string(n));
  dir_.write("config/regist.dat", "1");
  dir_.write("config/acqtime.dat", std::to_string(opts_.acqtime > 0 ? opts_.acqtime : opts_.interval));
  dir_.write("config/maxdly.dat", "0");
}

Plant::~Plant() {
  if (daemon_ && daemon_->running()) {
    daemon_->signal(SIGINT);
    daemon_->wait(20s);
  }
  daemon_.reset();
  for (auto* p : {&monitor_, &radiosim_}) {
    if (*p && (*p)->running()) {
      (*p)->signal(SIGTERM);
      (*p)->wait(10s);
    }
    p->reset();
  }
}

void Plant::start_daemon() {
  // A restart keeps the earlier log next to the new one.
  static int run = 0;
  ProcessOptions o;
  o.cwd = dir_.path();
  o.env = {{"ZANTOR_DRY_CLOCK", "1"},
           {"ZANTOR_TMPDIR", dir_.file("tmp")},
           {"ZANTOR_SYSROOT", board()},
           {"ZANTOR_HTTP_PORT", std::to_string(http_port_)},
           {"ZANTOR_SEND_TIMEOUT", "20"}};
  o.output_file = dir_.file("daemon" + std::to_string(++run) + ".log");
  daemon_ = std::make_unique<Process>(std::vector<std::string>{ZANTOR_BINARY}, o);
}

int Plant::stop_daemon() {
  daemon_->signal(SIGINT);
  auto st = daemon_->wait(60s);
  return st ? *st : -1;
}

std::string Plant::radio(const std::string& line) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  const std::string path = dir_.file("radio.sock");
  if (path.size() >= sizeof a.sun_path) throw std::runtime_error("socket path too long");
  path.copy(a.sun_path, path.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("radiosim control: connect failed");
  }
  // One reply line per command line.
  std::string reply;
  const std::string req = line + "\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[1024];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return reply;
}

std::string Plant::server_control(const std::string& json) const {
  const std::string req = "POST /control HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(json.size()) + "\r\n\r\n" + json;
  return http_exchange(server_port_, req, 10s);
}

int Plant::gpio(int line) const { return sim_gpio_value(board(), line); }

}  // namespace testsupport
