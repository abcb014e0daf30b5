#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Outcome.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/Lease.hpp"
#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"
#include "Velkor/HardwareAPI/Servo/SeqLock.hpp"
#include "Velkor/HardwareAPI/Servo/Telemetry.hpp"

namespace Velkor::HardwareAPI::Servo {

struct ServoOptions {
  static constexpr double kLowestRate = 1.0;
  static constexpr double kHighestRate = 10000.0;
  static constexpr double kLongestRamp = 10.0;

  double rate_hz = 1000.0;
  bool realtime = false;
  int realtime_priority = 80;
  // Each cycle's exchange ends within this (seconds), whatever the device does.
  double exchange_timeout = 0.05;
  // From the first unanswered request, at most this many requests carry force;
  // the next one sends zero, and so does every one until a reply comes back.
  uint32_t failure_limit = 3;
  // A cycle that starts later than this (seconds) sends the force the device
  // already has again (its state is too old to compute a new one from).
  double late_limit = 0.005;
  // How long before each deadline the thread stops sleeping and spins (seconds).
  double spin = 0.0;
  // Force ramps in over this long (seconds) at start and after every hold,
  // and changes no faster than max_force per ramp_s when effects are added or
  // removed. 0: no ramp.
  double ramp_s = 0.05;
  // When the port goes away: hold, find the same arm (by its identifier) again
  // on one of reconnect_ports (empty: every serial port of the machine), reopen
  // the stream there and ramp back in.
  bool reconnect = false;
  std::vector<std::string> reconnect_ports;
  // Springs stiffer than the period keeps stable are damped along their push
  // and capped (ContactLimitsFor), judged by the period the loop measures.
  bool stiff_contact = true;
};

// Why the options cannot be used, or nullptr.
const char* Validate(const ServoOptions& options);

// Why the loop is not sending its effects' force this cycle.
enum class HoldReason : uint8_t {
  None = 0,
  Failures,      // zero force: failure_limit exchanges in a row failed
  Late,          // the force the device has, sent again: the cycle started late
  Reconnecting,  // zero force: the port went away; looking for the arm again
};

// One cycle's values, published together.
struct ServoState {
  Vec3 position{};
  Vec3 velocity{};
  Vec3 force{};  // sent in this cycle's exchange
  uint64_t cycle = 0;
  double time = 0.0;  // seconds from the start of the loop to the start of this cycle
  HoldReason hold = HoldReason::None;
  Devices::Outcome outcome = Devices::Outcome::Ok;  // of the last failed exchange
  uint32_t consecutive_failures = 0;
  double lateness = 0.0;  // seconds this cycle started after its deadline
  // The device does not keep the rate: cycle after cycle, deadlines passed
  // without an exchange.
  bool overrun = false;
  double exchange_s = 0.0;  // how long this cycle's exchange took
  uint32_t reconnect_attempts = 0;  // in the current episode
  // position and velocity are a reply of this run (false until the first
  // exchange of the run is answered, and again after a reconnect until one is).
  bool valid = false;
};

struct ServoStats {
  uint64_t cycles = 0;
  double target_rate_hz = 0.0;
  double rate_hz = 0.0;  // achieved
  // Over the most recent kStatsWindow cycles.
  size_t window = 0;
  double period_p50_us = 0.0;
  double period_p99_us = 0.0;
  double period_error_p99_us = 0.0;  // |period - nominal period|
  double exchange_p50_us = 0.0;
  double exchange_p99_us = 0.0;
  double compute_p50_us = 0.0;  // summing the effects (rendering included), per cycle that did
  double compute_p99_us = 0.0;
  // Since start.
  double period_max_us = 0.0;
  double exchange_max_us = 0.0;
  uint64_t late_cycles = 0;       // started more than a tenth of a period late
  uint64_t missed_deadlines = 0;  // deadlines that passed with no exchange started for them
  uint64_t late_resends = 0;      // cycles that re-sent the device's force for starting after late_limit
  uint64_t failures = 0;          // exchanges that failed
  uint64_t held_cycles = 0;       // cycles that sent zero force for safety
  uint64_t holds = 0;             // times the loop began holding
  uint64_t fault_episodes = 0;    // runs of failed exchanges (one error line each)
  uint64_t stray_replies = 0;     // replies discarded for answering no request of their exchange
  uint64_t reconnects = 0;
  uint64_t lease_expiries = 0;  // times an effect's lease ran out
  uint32_t leases_out = 0;      // effects whose lease has run out now
  uint64_t telemetry_dropped = 0;  // records the telemetry ring had no room for
  bool realtime = false;
  bool memory_locked = false;
  std::string realtime_note;  // what was granted, and the timer's name and figures
  double recent_rate_hz = 0.0;     // achieved over the last whole second; 0 before it
  std::string timer;               // which timer sleeps between cycles
  double timer_lateness_us = 0.0;  // how late it typically wakes (90th percentile of recent wakes)
  double spin_us = 0.0;            // spun before each deadline: spin, or more to make up for that lateness
};

// A fixed-rate thread that drives one arm: every period it sends the clamped sum
// of its effects in one force exchange and publishes the state that comes back.
// While it runs it holds the lease of the arm's stream, so nothing else (another
// thread, another device on the stream, another loop) reaches the port; closing
// or reopening the stream stops it first. Stopping always ends with a
// zero-force exchange.
// An effect that has to be renewed (see ServoLoop::Renew) within `lease_s`
// seconds to keep its force; slot kNoLease: no lease.
struct EffectLease {
  uint32_t slot = UINT32_MAX;
  double lease_s = 0.0;
};

class ServoLoop : public IO::LeaseHolder {
 public:
  static constexpr size_t kStatsWindow = 65536;
  // Consecutive cycles that missed a deadline before the loop says the device
  // cannot keep the rate.
  static constexpr uint32_t kOverrunCycles = 10;
  // Between two attempts to find a vanished arm.
  static constexpr double kReconnectInterval = 0.25;
  // Effects with a lease, at most, at one time.
  static constexpr uint32_t kLeaseSlots = 256;
  static constexpr uint32_t kNoLease = UINT32_MAX;

  ServoLoop(Devices::Vorlan3& arm, const ServoOptions& options);
  ~ServoLoop();
  ServoLoop(const ServoLoop&) = delete;
  ServoLoop& operator=(const ServoLoop&) = delete;

  // nullptr once the thread runs and has made its first exchange (so State()
  // has a reading); otherwise why it did not start: already running, no open
  // port, the stream leased by someone else, or (with reconnect) no identifier.
  const char* Start();
  // Waits for the thread to send its last, zero-force exchange and end; returns
  // within a few milliseconds for a device that answers, at any rate.
  void Stop();
  bool Running() const { return running_; }

  // Replaces the effects and force limit from the next cycle on; with `fade`
  // (effects added or removed) the force moves to the new sum slew-limited.
  // Allocates, and frees sets the loop has finished with: call it from one
  // thread at a time.
  void Publish(std::vector<Effect> effects, float max_force, bool fade = false);

  // The same, with a lease for each effect (empty: none); an effect whose slot
  // is not renewed within its lease ramps out over ramp_s, and back in once it is.
  void Publish(std::vector<Effect> effects, float max_force, bool fade, std::vector<EffectLease> leases);
  // A lease slot, renewed now; kNoLease when all are taken.
  uint32_t AcquireLease();
  void ReleaseLease(uint32_t slot);
  // Lock-free, from any thread.
  void Renew(uint32_t slot);

  // Every cycle's record, for one consumer to drain.
  TelemetryRing& Telemetry() { return telemetry_; }

  ServoState State() const { return state_.Load(); }
  // Achieved over the last whole second (Hz); 0 before it.
  double RecentRate() const { return recent_rate_hz_.load(std::memory_order_relaxed); }
  const char* TimerName() const { return timer_.Name(); }
  int64_t TimerLateness() const { return timer_.TypicalLateness(); }
  int64_t Spin() const { return timer_.Spin(); }
  // No allocation beyond the note; sorts in buffers of its own. Call it from
  // one thread at a time or any: it serialises itself, never with the cycle.
  ServoStats Stats() const;
  const ServoOptions& Options() const { return options_; }
  Devices::Vorlan3& Arm() { return arm_; }
  // The arm's identifier, once a loop with reconnect has started.
  const std::array<uint8_t, 16>& Identifier() const { return identifier_; }

  const char* LeaseName() const override { return name_; }
  void Revoke() override { Stop(); }

 private:
  struct EffectSet {
    std::vector<Effect> effects;
    float max_force = 0.0f;
    bool fade = false;
    std::vector<EffectLease> leases;  // one for each effect, or empty
    EffectSet* next_retired = nullptr;
  };

  void Run();
  void Cycles();
  bool Reconnect(uint32_t attempt);
  bool SameArm();
  Vec3 Sum(EffectSet& set, const Vec3& position, const Vec3& velocity, const ContactLimits& limits) const;
  // Moves each leased effect's weight towards 1 (renewed in time) or 0; true
  // while any is below 1.
  // Whether a weight is below 1; `moved`: whether a weight changed this cycle.
  bool Lease(const EffectSet& set, int64_t now, float step, bool& moved);
  // At start: an effect whose lease has run out begins ramped out, one renewed begins in.
  void StartLeases(const EffectSet& set, int64_t now);
  void Record(int64_t period_ns, int64_t exchange_ns, bool late);
  void Retire(EffectSet* set);
  void FreeRetired();
  void Signal(int phase);

  Devices::Vorlan3& arm_;
  const ServoOptions options_;
  char name_[64] = {};
  IO::SerialStream* leased_ = nullptr;
  int64_t process_ = 0;  // the process whose thread runs the loop
  std::array<uint8_t, 16> identifier_{};

  std::mutex control_mutex_;  // Start and Stop, from whichever threads call them
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  mutable std::mutex start_mutex_;
  std::condition_variable started_;
  int phase_ = 0;  // 1: thread ready, 2: first exchange made
  Platform::RealtimeGrant grant_;
  Platform::ServoTimer timer_;

  // Published by Publish, taken by the loop at the start of a cycle; sets the
  // loop no longer uses come back through the retired list to be freed outside it.
  std::mutex publish_mutex_;
  std::atomic<EffectSet*> pending_{nullptr};
  std::atomic<EffectSet*> retired_{nullptr};
  EffectSet* active_ = nullptr;  // the loop thread's own

  SeqLock<ServoState> state_;
  TelemetryRing telemetry_;

  std::mutex lease_mutex_;  // slot allocation only; never the cycle
  std::array<bool, kLeaseSlots> lease_taken_{};
  std::unique_ptr<std::atomic<int64_t>[]> lease_renewed_ns_;
  std::unique_ptr<float[]> lease_weight_;  // the loop thread's own
  std::unique_ptr<bool[]> lease_out_;      // the loop thread's own
  std::unique_ptr<uint32_t[]> scratch_;
  std::atomic<uint64_t> lease_expiries_{0};
  std::atomic<uint32_t> leases_out_{0};

  std::unique_ptr<std::atomic<uint32_t>[]> periods_ns_;
  std::unique_ptr<std::atomic<uint32_t>[]> exchanges_ns_;
  mutable std::mutex stats_mutex_;  // Stats() callers only; never the cycle
  std::unique_ptr<std::atomic<uint32_t>[]> computes_ns_;
  std::atomic<uint64_t> compute_samples_{0};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<uint64_t> samples_{0};
  std::atomic<int64_t> first_start_ns_{0};
  std::atomic<int64_t> last_start_ns_{0};
  std::atomic<double> recent_rate_hz_{0.0};
  std::atomic<int64_t> period_max_ns_{0};
  std::atomic<int64_t> exchange_max_ns_{0};
  std::atomic<uint64_t> late_cycles_{0};
  std::atomic<uint64_t> missed_deadlines_{0};
  std::atomic<uint64_t> late_resends_{0};
  std::atomic<uint64_t> failures_{0};
  std::atomic<uint64_t> held_cycles_{0};
  std::atomic<uint64_t> holds_{0};
  std::atomic<uint64_t> fault_episodes_{0};
  std::atomic<uint64_t> stray_replies_{0};
  std::atomic<uint64_t> reconnects_{0};
};

}  // namespace Velkor::HardwareAPI::Servo
