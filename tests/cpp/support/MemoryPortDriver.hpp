#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"

namespace VelkorTest {

// An in-memory port: what the device "sends" is a list of chunks, and the next
// chunk arrives only when the host waits for input (or reads past what is
// queued). Each arrival point is therefore exact, which a real line cannot promise.
class MemoryPortDriver : public Velkor::HardwareAPI::Platform::PortDriver {
 public:
  struct Line {
    std::deque<std::vector<uint8_t>> pending;
    std::deque<uint8_t> queued;
    std::vector<uint8_t> written;
  };

  explicit MemoryPortDriver(std::shared_ptr<Line> line) : line_(std::move(line)) {}

  int Open(const char*) override {
    open_ = true;
    return 1;
  }
  int Configure() override { return 0; }
  bool SetTimeouts(const Velkor::HardwareAPI::Platform::PortTimeouts&) override { return true; }
  bool IsOpen() const override { return open_; }
  void Close() override { open_ = false; }

  long Read(void* buffer, size_t n) override {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < n) {
      if (line_->queued.empty() && !Arrive()) break;
      out[got++] = line_->queued.front();
      line_->queued.pop_front();
    }
    return static_cast<long>(got);
  }
  long Write(const void* data, size_t n) override {
    const auto* in = static_cast<const uint8_t*>(data);
    line_->written.insert(line_->written.end(), in, in + n);
    return static_cast<long>(n);
  }
  long BytesWaiting() override { return static_cast<long>(line_->queued.size()); }
  Velkor::HardwareAPI::Platform::WaitResult WaitReadable(int64_t) override {
    using Velkor::HardwareAPI::Platform::WaitResult;
    Arrive();
    return line_->queued.empty() ? WaitResult::TimedOut : WaitResult::Readable;
  }
  bool AssertDtr() override { return true; }

 private:
  bool Arrive() {
    if (line_->pending.empty()) return false;
    for (uint8_t b : line_->pending.front()) line_->queued.push_back(b);
    line_->pending.pop_front();
    return true;
  }

  std::shared_ptr<Line> line_;
  bool open_ = false;
};

}  // namespace VelkorTest
