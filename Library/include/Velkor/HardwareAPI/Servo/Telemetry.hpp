#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace Velkor::HardwareAPI::Servo {

// What a cycle did, as bits of TelemetryRecord::flags.
enum TelemetryFlag : uint32_t {
  kFlagHeld = 1u << 0,          // zero force sent for safety (failures or reconnecting)
  kFlagLate = 1u << 1,          // started more than a tenth of a period after its deadline
  kFlagResent = 1u << 2,        // started after late_limit: the device's force was sent again
  kFlagFailed = 1u << 3,        // this cycle's exchange failed
  kFlagRamping = 1u << 4,       // force ramping in after start or a hold, or slewing to a new set
  kFlagReconnecting = 1u << 5,  // the port went away; looking for the arm
  kFlagOverrun = 1u << 6,       // the device does not keep the rate
  kFlagLeaseOut = 1u << 7,      // an effect's lease ran out: it is ramping out or out
};

// One cycle, laid out for a NumPy structured array of the same fields (the
// binding's dtype states these offsets).
struct TelemetryRecord {
  double time;         // s from the start of the loop to the start of this cycle
  uint64_t cycle;
  float position[3];   // m, of this cycle's reply (the last good one when it failed)
  float velocity[3];   // m/s
  float force[3];      // N, sent in this cycle's exchange
  float period_us;     // from the previous cycle's start (0 for the first cycle)
  float exchange_us;   // the exchange's duration
  float compute_us;    // summing the effects' force
  float lateness_us;   // after the deadline
  uint32_t flags;      // TelemetryFlag bits
};
static_assert(sizeof(TelemetryRecord) == 72, "the binding's dtype states this layout");

// One producer (the servo thread) and one consumer. The producer never waits
// and never allocates: when the consumer has fallen a whole ring behind, the
// new record is dropped and counted, so what the consumer gets is always whole
// records in cycle order, with a count of those it missed.
class TelemetryRing {
 public:
  // At 1 kHz a little over 8 s; at the highest rate, 0.8 s.
  static constexpr size_t kCapacity = 8192;

  TelemetryRing() : slots_(new TelemetryRecord[kCapacity]()) {}

  void Push(const TelemetryRecord& record) {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= kCapacity) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    slots_[head % kCapacity] = record;
    head_.store(head + 1, std::memory_order_release);
  }

  // Copies up to `max` of the oldest records into `out`, frees their slots and
  // returns how many. One consumer at a time.
  size_t Pop(TelemetryRecord* out, size_t max) {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t head = head_.load(std::memory_order_acquire);
    size_t n = static_cast<size_t>(head - tail);
    if (n > max) n = max;
    for (size_t i = 0; i < n; ++i) out[i] = slots_[(tail + i) % kCapacity];
    tail_.store(tail + n, std::memory_order_release);
    return n;
  }

  size_t Size() const {
    return static_cast<size_t>(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
  }
  // Records dropped because the ring was full, since the loop was made.
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::unique_ptr<TelemetryRecord[]> slots_;
  alignas(64) std::atomic<uint64_t> head_{0};
  alignas(64) std::atomic<uint64_t> tail_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace Velkor::HardwareAPI::Servo
