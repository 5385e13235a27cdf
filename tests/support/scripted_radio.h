// A scripted radio gateway on the master side of a pty pair: every request
// frame is parsed, recorded and answered as the test's script says. It
// checks nothing about the request beyond its shape, so tests can assert on
// exactly what was sent.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"

namespace testsupport {

struct RadioRequest {
  int dest = -1;
  int src = -1;
  std::string cmd;
  std::string data;
  std::string raw;  // the whole frame as received
};

struct RadioAnswer {
  enum class Kind { Data, Silence, Garbage };
  Kind kind = Kind::Data;
  std::string data;
};

// A well-formed answer carrying data, with the request's command code.
RadioAnswer answer(std::string data);
// No answer at all: the exchange fails when the read timer runs out.
RadioAnswer silence();
// A bare CR: the exchange fails at once as a bad frame.
RadioAnswer garbage();

// A frame as a device sends it, with a correct checksum.
std::string radio_frame(int dest, int src, const std::string& cmd, const std::string& data);

class ScriptedRadio {
 public:
  using Script = std::function<RadioAnswer(const RadioRequest&)>;

  ScriptedRadio(const PtyPair& pty, Script script);
  ~ScriptedRadio();
  ScriptedRadio(const ScriptedRadio&) = delete;
  ScriptedRadio& operator=(const ScriptedRadio&) = delete;

  // The script runs on the device's thread; calls here synchronise with it.
  void set_script(Script script);
  // Every request so far, in order of arrival.
  std::vector<RadioRequest> requests() const;
  // "dest:cmd:data" per request, compact for assertions.
  std::vector<std::string> summary() const;
  void clear();

 private:
  void run();

  const PtyPair& pty_;
  mutable std::mutex m_;
  Script script_;
  std::vector<RadioRequest> requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
