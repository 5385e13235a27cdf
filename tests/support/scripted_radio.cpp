#include "scripted_radio.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

std::string hex(unsigned v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, v);
  return buf;
}

// Frame layout: STX, dest(4), src(4), cmd(3), len(2), data, crc(2), CR.
RadioRequest parse(const std::string& raw) {
  RadioRequest r;
  r.raw = raw;
  if (raw.size() < 17) return r;
  r.dest = static_cast<int>(std::strtol(raw.substr(1, 4).c_str(), nullptr, 16));
  r.src = static_cast<int>(std::strtol(raw.substr(5, 4).c_str(), nullptr, 16));
  r.cmd = raw.substr(9, 3);
  r.data = raw.substr(14, raw.size() - 17);
  return r;
}

}  // namespace

RadioAnswer answer(std::string data) { return {RadioAnswer::Kind::Data, std::move(data)}; }
RadioAnswer silence() { return {RadioAnswer::Kind::Silence, {}}; }
RadioAnswer garbage() { return {RadioAnswer::Kind::Garbage, {}}; }

std::string radio_frame(int dest, int src, const std::string& cmd, const std::string& data) {
  const std::string body = hex(static_cast<unsigned>(dest) & 0xFFFFU, 4) +
                           hex(static_cast<unsigned>(src) & 0xFFFFU, 4) + cmd +
                           hex(static_cast<unsigned>(data.size()), 2) + data;
  unsigned sum = 0;
  for (unsigned char c : body) sum += c;
  return "\x02" + body + hex((256U - sum % 256U) % 256U, 2) + "\r";
}

ScriptedRadio::ScriptedRadio(const PtyPair& pty, Script script)
    : pty_(pty), script_(std::move(script)), thread_([this] { run(); }) {}

ScriptedRadio::~ScriptedRadio() {
  stop_ = true;
  thread_.join();
}

void ScriptedRadio::set_script(Script script) {
  std::lock_guard<std::mutex> l(m_);
  script_ = std::move(script);
}

std::vector<RadioRequest> ScriptedRadio::requests() const {
  std::lock_guard<std::mutex> l(m_);
  return requests_;
}

std::vector<std::string> ScriptedRadio::summary() const {
  std::vector<std::string> out;
  for (const auto& r : requests())
    out.push_back(std::to_string(r.dest) + ":" + r.cmd + ":" + r.data);
  return out;
}

void ScriptedRadio::clear() {
  std::lock_guard<std::mutex> l(m_);
  requests_.clear();
}

void ScriptedRadio::run() {
  std::string cur;
  while (!stop_) {
    pollfd p{pty_.master(), POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
    char c;
    if (::read(pty_.master(), &c, 1) != 1) continue;
    if (cur.empty() && c != '\x02') continue;  // line noise between frames
    cur.push_back(c);
    if (c != '\r') continue;
    const RadioRequest req = parse(cur);
    cur.clear();
    // The request is on record before its answer leaves, so once the code
    // under test has its answer the record is complete. The script runs
    // under the lock too: the test's next call here then orders whatever
    // the script touched before the test's own later accesses (a thread
    // checker cannot see the ordering that the pty itself gives).
    RadioAnswer a;
    {
      std::lock_guard<std::mutex> l(m_);
      requests_.push_back(req);
      a = script_ ? script_(req) : silence();
    }
    switch (a.kind) {
      case RadioAnswer::Kind::Data:
        pty_.write_master(radio_frame(req.src, req.dest, req.cmd, a.data));
        break;
      case RadioAnswer::Kind::Garbage:
        pty_.write_master("\r");
        break;
      case RadioAnswer::Kind::Silence:
        break;
    }
  }
}

}  // namespace testsupport
