#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Velkor::HardwareAPI::Platform {

// Input a driver has taken from the operating system's queue but nobody has
// read yet: still waiting, as far as the layers above can tell. A driver moves
// a partly arrived frame here so that its next wait blocks until more comes,
// instead of returning at once for bytes already there. Made once per driver.
class HeldInput {
 public:
  static constexpr size_t kCapacity = 4096;

  HeldInput() : bytes_(new uint8_t[kCapacity]) {}

  size_t Size() const { return end_ - begin_; }
  size_t Room() const { return kCapacity - Size(); }
  void Clear() { begin_ = end_ = 0; }

  // Where up to Room() bytes may be written; Append(n) keeps n of them.
  uint8_t* Tail() {
    if (end_ + Room() > kCapacity) {
      std::memmove(bytes_.get(), bytes_.get() + begin_, Size());
      end_ -= begin_;
      begin_ = 0;
    }
    return bytes_.get() + end_;
  }
  void Append(size_t n) { end_ += n; }

  // Moves up to n held bytes to out: how many.
  size_t Take(uint8_t* out, size_t n) {
    const size_t take = std::min(n, Size());
    std::memcpy(out, bytes_.get() + begin_, take);
    begin_ += take;
    if (begin_ == end_) begin_ = end_ = 0;
    return take;
  }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace Velkor::HardwareAPI::Platform
