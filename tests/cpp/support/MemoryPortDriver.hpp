#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
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
    // Bytes the device still takes; writes beyond them wait for room.
    size_t room = SIZE_MAX;
    // The next chunk arrives as soon as the host writes: a device that answers
    // before the host starts waiting.
    bool answer_on_write = false;
    int output_discards = 0;
    // A device streaming as fast as the host reads: until `streaming_until`,
    // these bytes arrive again whenever the host finds fewer of them queued.
    std::vector<uint8_t> streaming;
    std::chrono::steady_clock::time_point streaming_until{};
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
  long Write(const void* data, size_t n) override { return WriteSome(data, n); }
  long WriteSome(const void* data, size_t n) override {
    const auto* in = static_cast<const uint8_t*>(data);
    const size_t taken = std::min(n, line_->room);
    if (line_->room != SIZE_MAX) line_->room -= taken;
    line_->written.insert(line_->written.end(), in, in + taken);
    if (taken > 0 && line_->answer_on_write) Arrive();
    return static_cast<long>(taken);
  }
  Velkor::HardwareAPI::Platform::WaitResult WaitWritable(int64_t timeout_ns) override {
    using Velkor::HardwareAPI::Platform::WaitResult;
    if (line_->room > 0) return WaitResult::Writable;
    // No room will come: the wait runs its course, as on a line whose device stopped reading.
    std::this_thread::sleep_for(std::chrono::nanoseconds(timeout_ns >= 0 ? timeout_ns : 1000000));
    return WaitResult::TimedOut;
  }
  void DiscardOutput() override { ++line_->output_discards; }
  long BytesWaiting() override {
    if (line_->queued.size() < line_->streaming.size() && std::chrono::steady_clock::now() < line_->streaming_until)
      line_->queued.insert(line_->queued.end(), line_->streaming.begin(), line_->streaming.end());
    return static_cast<long>(line_->queued.size());
  }
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
