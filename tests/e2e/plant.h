// A whole simulated plant for end-to-end tests: a runtime tree copied from
// runtime/, a simulated board, the radio simulator, the stand-in monitoring
// server and the built daemon, all in one temporary directory.
#pragma once

#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_tcp_port();

// Sends raw bytes to 127.0.0.1:port and returns all the reply (until the
// peer closes or the time limit passes); empty when the connection fails.
std::string http_exchange(int port, const std::string& request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
// GET of a path, retried until connecting works or the time limit passes.
std::string http_get(int port, const std::string& path,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A connection held open by the test, for clients that stall.
class HttpConnection {
 public:
  explicit HttpConnection(int port);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  bool ok() const { return fd_ >= 0; }
  void send(const std::string& bytes) const;

 private:
  int fd_ = -1;
};

// Polls a condition every 20 ms; false on timeout.
template <class F>
bool eventually(F cond, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec ts{0, 20'000'000};
    nanosleep(&ts, nullptr);
  }
}

struct PlantOptions {
  int counters = 2;            // radio counters and configured counters
  int interval = 5;            // seconds between stored samples and sends
  int acqtime = 0;             // seconds between sends, when not the interval
  bool with_radio = true;
  bool with_server = true;
  std::vector<std::string> radio_args;  // added to radiosim's command line
};

class Plant {
 public:
  explicit Plant(PlantOptions opts = {});
  ~Plant();

  const TempDir& dir() const { return dir_; }
  std::string board() const { return dir_.file("board"); }
  int http_port() const { return http_port_; }
  int server_port() const { return server_port_; }

  void start_daemon();
  // SIGINT and wait; the wait status (or -1 on timeout).
  int stop_daemon();
  Process& daemon() { return *daemon_; }

  // One control line to the radio simulator; its reply.
  std::string radio(const std::string& line) const;
  // A POST /control to the monitoring server; its reply.
  std::string server_control(const std::string& json) const;
  std::string records() const { return dir_.read("server.jsonl"); }
  std::string truth() const { return dir_.read("truth.txt"); }
  int gpio(int line) const;

 private:
  PlantOptions opts_;
  TempDir dir_;
  int http_port_ = 0;
  int server_port_ = 0;
  std::unique_ptr<Process> radiosim_;
  std::unique_ptr<Process> monitor_;
  std::unique_ptr<Process> daemon_;
};

}  // namespace testsupport
