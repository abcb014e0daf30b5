#pragma once

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
#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"
#include "Velkor/HardwareAPI/Servo/SeqLock.hpp"

namespace Velkor::HardwareAPI::Servo {

struct ServoOptions {
  static constexpr double kLowestRate = 1.0;
  static constexpr double kHighestRate = 10000.0;

  double rate_hz = 1000.0;
  bool realtime = false;
  int realtime_priority = 80;
  // Each cycle's exchange gives up after this long (seconds); the arm's own
  // read time-out is set to it while the loop runs.
  double exchange_timeout = 0.05;
  // Consecutive failed exchanges after which the loop holds zero force.
  uint32_t failure_limit = 3;
  // A cycle that starts later than this (seconds) sends zero force: the state
  // its force would come from is too old.
  double late_limit = 0.005;
  // How long before each deadline the thread stops sleeping and spins (seconds).
  double spin = 0.0;
};

// Why the options cannot be used, or nullptr.
const char* Validate(const ServoOptions& options);

// Why the loop is commanding zero force instead of its effects.
enum class HoldReason : uint8_t { None = 0, Failures, Late };

// One cycle's values, published together.
struct ServoState {
  Vec3 position{};
  Vec3 velocity{};
  Vec3 force{};  // sent in this cycle's exchange
  uint64_t cycle = 0;
  double time = 0.0;  // seconds from the start of the loop to the start of this cycle
  HoldReason hold = HoldReason::None;
  Devices::Outcome outcome = Devices::Outcome::Ok;  // of the last failed exchange while holding for failures
  uint32_t consecutive_failures = 0;
  double lateness = 0.0;  // seconds this cycle started after its deadline
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
  uint64_t late_cycles = 0;  // started more than a tenth of a period late
  uint64_t failures = 0;     // exchanges that failed
  uint64_t held_cycles = 0;  // cycles that sent zero force for safety
  uint64_t holds = 0;        // times the loop began holding
  bool realtime = false;
  bool memory_locked = false;
  std::string realtime_note;
};

// A fixed-rate thread that drives one arm: every period it sends the clamped sum
// of its effects in one force exchange and publishes the state that comes back.
// While it runs, nothing else may use the arm. Stopping always ends with a
// zero-force exchange.
class ServoLoop {
 public:
  static constexpr size_t kStatsWindow = 65536;

  ServoLoop(Devices::Vorlan3& arm, const ServoOptions& options);
  ~ServoLoop();
  ServoLoop(const ServoLoop&) = delete;
  ServoLoop& operator=(const ServoLoop&) = delete;

  // False when it is already running. Returns once the thread has started (and
  // has its real-time grant, if asked for).
  bool Start();
  // Waits for the thread to send its last, zero-force exchange and end.
  void Stop();
  bool Running() const { return running_; }

  // Replaces the effects and force limit from the next cycle on. Allocates, and
  // frees sets the loop has finished with: call it from one thread at a time.
  void Publish(std::vector<Effect> effects, float max_force);

  ServoState State() const { return state_.Load(); }
  ServoStats Stats() const;
  const ServoOptions& Options() const { return options_; }
  Devices::Vorlan3& Arm() { return arm_; }

 private:
  struct EffectSet {
    std::vector<Effect> effects;
    float max_force = 0.0f;
    EffectSet* next_retired = nullptr;
  };

  void Run();
  void Cycles(Platform::ServoTimer& timer);
  Vec3 Sum(EffectSet& set, const Vec3& position, const Vec3& velocity) const;
  void Record(int64_t period_ns, int64_t exchange_ns, bool late);
  void Retire(EffectSet* set);
  void FreeRetired();

  Devices::Vorlan3& arm_;
  const ServoOptions options_;

  std::mutex control_mutex_;  // Start and Stop, from whichever threads call them
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_requested_{false};
  mutable std::mutex start_mutex_;
  std::condition_variable started_;
  bool thread_ready_ = false;
  Platform::RealtimeGrant grant_;

  // Published by Publish, taken by the loop at the start of a cycle; sets the
  // loop no longer uses come back through the retired list to be freed outside it.
  std::mutex publish_mutex_;
  std::atomic<EffectSet*> pending_{nullptr};
  std::atomic<EffectSet*> retired_{nullptr};
  EffectSet* active_ = nullptr;  // the loop thread's own

  SeqLock<ServoState> state_;

  std::unique_ptr<std::atomic<uint32_t>[]> periods_ns_;
  std::unique_ptr<std::atomic<uint32_t>[]> exchanges_ns_;
  std::unique_ptr<std::atomic<uint32_t>[]> computes_ns_;
  std::atomic<uint64_t> compute_samples_{0};
  std::atomic<uint64_t> cycles_{0};
  std::atomic<uint64_t> samples_{0};
  std::atomic<int64_t> first_start_ns_{0};
  std::atomic<int64_t> last_start_ns_{0};
  std::atomic<int64_t> period_max_ns_{0};
  std::atomic<int64_t> exchange_max_ns_{0};
  std::atomic<uint64_t> late_cycles_{0};
  std::atomic<uint64_t> failures_{0};
  std::atomic<uint64_t> held_cycles_{0};
  std::atomic<uint64_t> holds_{0};
};

}  // namespace Velkor::HardwareAPI::Servo
