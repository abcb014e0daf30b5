#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"
#include "support/MemoryPortDriver.hpp"

// A failed invariant aborts, so libFuzzer reports it like a crash and keeps the input.
#define FUZZ_CHECK(condition)                                                                     \
  do {                                                                                            \
    if (!(condition)) {                                                                           \
      std::fprintf(stderr, "invariant failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                               \
    }                                                                                             \
  } while (0)

namespace VelkorFuzz {

using Bytes = std::vector<uint8_t>;
using Velkor::HardwareAPI::Platform::WaitResult;

// The in-memory line, except that:
// - the next piece also arrives when the host asks how much is queued and
//   finds nothing; unless the pieces answer the host's writes, when only a
//   write, a wait for the rest of a frame begun, or a long wait brings one;
// - once nothing is left to arrive, a wait for bytes reports the line gone: a
//   read that cannot be satisfied ends at once instead of spinning out its
//   time-out;
// - a short look for a pause (the quiet gaps by which the device base and the
//   handle find frame boundaries, up to kLongestLook) is no such wait: it finds
//   the line quiet, as a device that stopped sending (or sends only in answer)
//   leaves it. A port that went away may rightly stop a call before it writes
//   its request, a quiet one may not.
class DrainingPortDriver : public VelkorTest::MemoryPortDriver {
 public:
  static constexpr std::chrono::milliseconds kLongestLook{25};

  explicit DrainingPortDriver(std::shared_ptr<Line> line) : MemoryPortDriver(line), line_(std::move(line)) {}

  long BytesWaiting() override {
    if (!line_->answer_on_write && line_->queued.empty() && !line_->pending.empty()) {
      const Bytes& next = line_->pending.front();
      line_->queued.insert(line_->queued.end(), next.begin(), next.end());
      line_->pending.pop_front();
    }
    return MemoryPortDriver::BytesWaiting();
  }

  WaitResult WaitReadable(int64_t timeout_ns) override {
    // Every wait of a device call has a deadline: none asks the port for a wait without limit.
    FUZZ_CHECK(timeout_ns >= 0);
    const bool look = timeout_ns >= 0 && std::chrono::nanoseconds(timeout_ns) <= kLongestLook;
    // When nothing will come, or the device sends only in answer (its frames
    // whole, nothing between them), the pause is certain: the look ends at
    // once, and a caller that times the pause on its own clock looks again
    // until it has.
    if (look && (line_->pending.empty() || line_->answer_on_write)) return WaitResult::TimedOut;
    if (line_->pending.empty()) return WaitResult::Gone;
    return MemoryPortDriver::WaitReadable(timeout_ns);
  }

  // A host waiting for the rest of a frame it has begun: the next piece
  // arrives, answer or not (a frame in transit goes on arriving).
  WaitResult WaitForMore(long queued_now, int64_t timeout_ns) override {
    if (queued_now > 0 && !line_->pending.empty()) return MemoryPortDriver::WaitReadable(timeout_ns);
    return WaitReadable(timeout_ns);
  }

 private:
  std::shared_ptr<Line> line_;
};

inline void DropLogLine(const char*, size_t, void*) {}

// A stream over an in-memory line that delivers `chunks` one by one as the
// host waits for input, or, for a device that answers requests, as the host
// writes or waits: bytes queued before a request are then only those that
// came before it. The line outlives the stream.
class MemoryRig {
 public:
  enum class Arrival { AsHostLooks, AsHostWrites };

  explicit MemoryRig(std::deque<Bytes> chunks, Arrival arrival = Arrival::AsHostLooks)
      : line_(std::make_shared<VelkorTest::MemoryPortDriver::Line>()) {
    line_->pending = std::move(chunks);
    line_->answer_on_write = arrival == Arrival::AsHostWrites;
    Velkor::HardwareAPI::SetLogSink(DropLogLine, nullptr);
    Velkor::HardwareAPI::Platform::SetPortDriverFactory(
        [line = line_] { return std::make_unique<DrainingPortDriver>(line); });
    stream_ = std::make_unique<Velkor::HardwareAPI::IO::SerialStream>("memory", true);
  }
  ~MemoryRig() {
    stream_.reset();
    Velkor::HardwareAPI::Platform::SetPortDriverFactory(nullptr);
  }
  MemoryRig(const MemoryRig&) = delete;
  MemoryRig& operator=(const MemoryRig&) = delete;

  Velkor::HardwareAPI::IO::SerialStream& Stream() { return *stream_; }
  const Bytes& Written() const { return line_->written; }
  // Bytes the device sent that the host has not taken yet (a byte the stream
  // looked at but left to be read counts as unread).
  size_t Unread() const {
    size_t n = line_->queued.size();
    const auto* port = dynamic_cast<const ::serialib*>(stream_->rdbuf());
    if (port != nullptr && port->HasLookahead()) ++n;
    for (const Bytes& chunk : line_->pending) n += chunk.size();
    return n;
  }

 private:
  std::shared_ptr<VelkorTest::MemoryPortDriver::Line> line_;
  std::unique_ptr<Velkor::HardwareAPI::IO::SerialStream> stream_;
};

// Inputs of the line harnesses: two cut points, then the bytes the device
// sends, delivered in up to three pieces split at those points.
struct LineInput {
  std::deque<Bytes> chunks;
  Bytes wire;
};

inline LineInput SplitLine(const uint8_t* data, size_t size) {
  LineInput input;
  const size_t first = size > 0 ? data[0] : 0;
  const size_t second = size > 1 ? data[1] : 0;
  const size_t skip = size < 2 ? size : 2;
  input.wire.assign(data + skip, data + size);
  const size_t n = input.wire.size();
  const size_t a = first < n ? first : n;
  const size_t b = a + second < n ? a + second : n;
  const auto at = [&](size_t i) { return input.wire.begin() + static_cast<std::ptrdiff_t>(i); };
  for (const auto& [from, to] : {std::pair{size_t{0}, a}, std::pair{a, b}, std::pair{b, n}}) {
    if (to > from) input.chunks.emplace_back(at(from), at(to));
  }
  return input;
}

// True when `needle` occurs in `haystack`.
inline bool Contains(const Bytes& haystack, const uint8_t* needle, size_t n) {
  if (n == 0) return true;
  if (haystack.size() < n) return false;
  for (size_t i = 0; i + n <= haystack.size(); ++i) {
    if (std::memcmp(haystack.data() + i, needle, n) == 0) return true;
  }
  return false;
}

}  // namespace VelkorFuzz
