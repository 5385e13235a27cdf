// Framing of the radio line, kept separate from the daemon's own code so a
// fault on one side cannot be masked by the same fault on the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace radiosim::wire {

inline constexpr char kStx = 0x02;
inline constexpr char kCr = 0x0D;
inline constexpr std::size_t kHeadLen = 14;  // STX, two addresses, code, length
inline constexpr std::size_t kTailLen = 3;   // two checksum digits, CR
inline constexpr std::size_t kMaxData = 255;

struct Frame {
  int dest = 0;
  int src = 0;
  std::string cmd;
  std::string data;
};

// Two's complement of the byte sum of bytes[1..end).
std::uint8_t checksum(std::string_view bytes, std::size_t end);

// The whole frame; data longer than two length digits can carry is cut.
std::string encode(const Frame& f);

// Reassembles frames from a byte stream that may carry noise, partial frames
// or frames with bad checksums; bad ones are dropped and counted.
class Decoder {
 public:
  void feed(std::string_view bytes);
  std::optional<Frame> next();
  // True while part of a frame is waiting for more bytes.
  bool pending() const { return !buf_.empty(); }
  // The line went quiet mid-frame: give up on it, as a receiver's
  // inter-byte timer would, so a frame with a bogus length field cannot
  // swallow the frames after it.
  void abandon_partial();
  std::size_t dropped() const { return dropped_; }

 private:
  std::string buf_;
  std::size_t dropped_ = 0;
};

int hex_value(char c);  // -1 for anything but a hexadecimal digit
bool is_hex(std::string_view s);
// Unsigned value of a hexadecimal text; nothing when empty or not hex.
std::optional<std::uint32_t> parse_hex(std::string_view s);

}  // namespace radiosim::wire
