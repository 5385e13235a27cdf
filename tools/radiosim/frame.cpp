#include "frame.h"

#include <cstdio>

namespace radiosim::wire {

std::uint8_t checksum(std::string_view bytes, std::size_t end) {
  unsigned sum = 0;
  for (std::size_t i = 1; i < end && i < bytes.size(); ++i) {
    sum += static_cast<unsigned char>(bytes[i]);
  }
  return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

std::string encode(const Frame& f) {
  std::string_view data = f.data;
  if (data.size() > kMaxData) data = data.substr(0, kMaxData);
  char head[kHeadLen + 1];
  std::snprintf(head, sizeof head, "%c%04X%04X%.3s%02X", kStx,
                static_cast<unsigned>(f.dest) & 0xFFFF, static_cast<unsigned>(f.src) & 0xFFFF,
                f.cmd.c_str(), static_cast<unsigned>(data.size()));
  std::string out(head, kHeadLen);
  out.append(data);
  char tail[4];
  std::snprintf(tail, sizeof tail, "%02X", checksum(out, out.size()));
  out.append(tail, 2);
  out.push_back(kCr);
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_hex(std::string_view s) {
  for (char c : s) {
    if (hex_value(c) < 0) return false;
  }
  return true;
}

std::optional<std::uint32_t> parse_hex(std::string_view s) {
  if (s.empty() || s.size() > 8 || !is_hex(s)) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : s) v = v * 16 + static_cast<std::uint32_t>(hex_value(c));
  return v;
}

void Decoder::feed(std::string_view bytes) {
  buf_.append(bytes);
  // Bounded: a frame is never longer than this, so older bytes are noise.
  constexpr std::size_t kMaxFrame = kHeadLen + kMaxData + kTailLen;
  if (buf_.size() > 4 * kMaxFrame) buf_.erase(0, buf_.size() - 2 * kMaxFrame);
}

void Decoder::abandon_partial() {
  if (buf_.empty()) return;
  ++dropped_;
  buf_.erase(0, 1);
}

std::optional<Frame> Decoder::next() {
  for (;;) {
    const auto stx = buf_.find(kStx);
    if (stx == std::string::npos) {
      buf_.clear();
      return std::nullopt;
    }
    buf_.erase(0, stx);
    if (buf_.size() < kHeadLen) return std::nullopt;
    const std::string_view head(buf_.data(), kHeadLen);
    const auto dest = parse_hex(head.substr(1, 4));
    const auto src = parse_hex(head.substr(5, 4));
    const auto len = parse_hex(head.substr(12, 2));
    if (!dest || !src || !len) {
      // Not a header: resynchronise on the next STX.
      ++dropped_;
      buf_.erase(0, 1);
      continue;
    }
    // The length field, not the CR, ends the frame: data may hold any byte.
    const std::size_t total = kHeadLen + *len + kTailLen;
    if (buf_.size() < total) return std::nullopt;
    const std::string_view frame(buf_.data(), total);
    const auto sum = parse_hex(frame.substr(total - 3, 2));
    if (frame[total - 1] != kCr || !sum || *sum != checksum(frame, total - 3)) {
      ++dropped_;
      buf_.erase(0, 1);
      continue;
    }
    Frame f;
    f.dest = static_cast<int>(*dest);
    f.src = static_cast<int>(*src);
    f.cmd.assign(frame.substr(9, 3));
    f.data.assign(frame.substr(kHeadLen, *len));
    buf_.erase(0, total);
    return f;
  }
}

}  // namespace radiosim::wire
