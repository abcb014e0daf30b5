#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace VelkorFuzz {

// The device base's framing restated over a wire whose bytes have all arrived:
// a cursor, and the receive buffer as the reads leave it. A harness runs it
// beside the real device and compares codes, payloads and what is left unread.
class FramingModel {
 public:
  static constexpr size_t kBufferSize = 1024;

  explicit FramingModel(const std::vector<uint8_t>& wire) : wire_(wire), rx_(kBufferSize, 0) {}

  uint8_t ReadHeaderCode() {
    for (;;) {
      if (Left() < 1) return 0;
      const uint8_t code = wire_[position_++];
      rx_[0] = code;
      if (code != 0xBA && code != 0xBB) return code;
      if (Left() < 2) return 0;
      const uint8_t length = wire_[position_ + 1];
      position_ += 2;
      if (length == 0) continue;
      if (Left() < length) return 0;
      Take(length);
    }
  }

  uint32_t ReadPayload(size_t n) {
    if (n > kBufferSize || Left() < n) return 0;
    Take(n);
    return static_cast<uint32_t>(n);
  }

  size_t Left() const { return wire_.size() - position_; }
  // The next byte on the line, which the model has not read; only while Left() > 0.
  uint8_t Next() const { return wire_[position_]; }
  // What has been read so far, the last byte read at Position() - 1.
  size_t Position() const { return position_; }
  const uint8_t* At(size_t position) const { return wire_.data() + position; }
  const uint8_t* Rx() const { return rx_.data(); }
  // Follows the real reader after a path whose details the model does not
  // pin down (what a failed read leaves behind); it may only have read on.
  bool ResyncTo(size_t left) {
    if (left > Left()) return false;
    position_ = wire_.size() - left;
    return true;
  }

 private:
  void Take(size_t n) {
    std::copy(wire_.begin() + static_cast<std::ptrdiff_t>(position_),
              wire_.begin() + static_cast<std::ptrdiff_t>(position_ + n), rx_.begin());
    position_ += n;
  }

  const std::vector<uint8_t>& wire_;
  std::vector<uint8_t> rx_;
  size_t position_ = 0;
};

}  // namespace VelkorFuzz
