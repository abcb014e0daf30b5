#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace Velkor::HardwareAPI::Servo {

namespace {

using Devices::ArmState;
using Devices::Outcome;
using Devices::Vorlan3;

constexpr double kNanosecondsPerSecond = 1e9;
// A cycle that starts this share of a period after its deadline counts as late.
constexpr double kLateShare = 0.1;

bool Finite(double x) { return std::isfinite(x); }

// A failed exchange hands back zero triples; a device really at the origin and
// at rest is held for one cycle more than needed, which errs on the safe side.
bool AllZero(const ArmState& state) {
  for (float x : state.first)
    if (x != 0.0f) return false;
  for (float x : state.second)
    if (x != 0.0f) return false;
  return true;
}

void RaiseTo(std::atomic<int64_t>& maximum, int64_t value) {
  if (value > maximum.load(std::memory_order_relaxed)) maximum.store(value, std::memory_order_relaxed);
}

uint32_t Saturated(int64_t ns) {
  return static_cast<uint32_t>(std::clamp<int64_t>(ns, 0, UINT32_MAX));
}

double Percentile(std::vector<uint32_t>& values, double q) {
  if (values.empty()) return 0.0;
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index] / 1e3;
}

std::vector<uint32_t> Window(const std::atomic<uint32_t>* ring, uint64_t count) {
  std::vector<uint32_t> values(static_cast<size_t>(std::min<uint64_t>(count, ServoLoop::kStatsWindow)));
  for (size_t i = 0; i < values.size(); ++i) values[i] = ring[i].load(std::memory_order_relaxed);
  return values;
}

}  // namespace

const char* Validate(const ServoOptions& o) {
  if (!Finite(o.rate_hz) || o.rate_hz < ServoOptions::kLowestRate || o.rate_hz > ServoOptions::kHighestRate)
    return "rate_hz must be between 1 and 10000";
  if (!Finite(o.exchange_timeout) || o.exchange_timeout <= 0.0 || o.exchange_timeout > 60.0)
    return "exchange_timeout must be more than 0 and at most 60 seconds";
  if (o.failure_limit < 1) return "failure_limit must be at least 1";
  if (!Finite(o.late_limit) || o.late_limit <= 0.0 || o.late_limit > 60.0)
    return "late_limit must be more than 0 and at most 60 seconds";
  if (!Finite(o.spin) || o.spin < 0.0 || o.spin * o.rate_hz > 1.0) return "spin must be between 0 and one period";
  return nullptr;
}

ServoLoop::ServoLoop(Devices::Vorlan3& arm, const ServoOptions& options)
    : arm_(arm),
      options_(options),
      periods_ns_(new std::atomic<uint32_t>[kStatsWindow]()),
      exchanges_ns_(new std::atomic<uint32_t>[kStatsWindow]()),
      computes_ns_(new std::atomic<uint32_t>[kStatsWindow]()) {}

ServoLoop::~ServoLoop() {
  Stop();
  FreeRetired();
  delete pending_.exchange(nullptr);
  delete active_;
}

bool ServoLoop::Start() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (running_) return false;
  stop_requested_ = false;
  thread_ready_ = false;
  cycles_ = 0;
  samples_ = 0;
  compute_samples_ = 0;
  period_max_ns_ = 0;
  exchange_max_ns_ = 0;
  late_cycles_ = 0;
  failures_ = 0;
  held_cycles_ = 0;
  holds_ = 0;
  state_.Store(ServoState{});
  thread_ = std::thread(&ServoLoop::Run, this);
  running_ = true;
  std::unique_lock<std::mutex> lock(start_mutex_);
  started_.wait(lock, [this] { return thread_ready_; });
  return true;
}

void ServoLoop::Stop() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (!running_) return;
  stop_requested_ = true;
  thread_.join();
  running_ = false;
  FreeRetired();
}

void ServoLoop::Publish(std::vector<Effect> effects, float max_force) {
  auto* set = new EffectSet{std::move(effects), max_force, nullptr};
  std::lock_guard<std::mutex> lock(publish_mutex_);
  FreeRetired();
  // A set published before the loop took the previous one replaces it unseen.
  delete pending_.exchange(set, std::memory_order_acq_rel);
}

void ServoLoop::Retire(EffectSet* set) {
  set->next_retired = retired_.load(std::memory_order_relaxed);
  while (!retired_.compare_exchange_weak(set->next_retired, set, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

void ServoLoop::FreeRetired() {
  EffectSet* set = retired_.exchange(nullptr, std::memory_order_acquire);
  while (set != nullptr) {
    EffectSet* next = set->next_retired;
    delete set;
    set = next;
  }
}

Vec3 ServoLoop::Sum(EffectSet& set, const Vec3& position, const Vec3& velocity) const {
  Vec3 total{};
  for (Effect& effect : set.effects) {
    const Vec3 f = StepEffect(effect, position, velocity);
    for (int i = 0; i < 3; ++i) total[i] += f[i];
  }
  return ClampMagnitude(total, set.max_force);
}

void ServoLoop::Record(int64_t period_ns, int64_t exchange_ns, bool late) {
  const uint64_t n = samples_.load(std::memory_order_relaxed);
  periods_ns_[n % kStatsWindow].store(Saturated(period_ns), std::memory_order_relaxed);
  exchanges_ns_[n % kStatsWindow].store(Saturated(exchange_ns), std::memory_order_relaxed);
  samples_.store(n + 1, std::memory_order_release);
  RaiseTo(period_max_ns_, period_ns);
  RaiseTo(exchange_max_ns_, exchange_ns);
  if (late) late_cycles_.fetch_add(1, std::memory_order_relaxed);
}

void ServoLoop::Run() {
  Platform::ServoTimer timer;
  Platform::RealtimeGrant grant;
  if (options_.realtime) {
    grant = Platform::RequestRealtime(options_.realtime_priority);
  } else {
    std::snprintf(grant.note, sizeof grant.note, "not requested");
  }
  const float saved_timeout = arm_.read_timeout;
  arm_.read_timeout = static_cast<float>(options_.exchange_timeout);
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    grant_ = grant;
    thread_ready_ = true;
  }
  started_.notify_all();

  Cycles(timer);

  // However the loop ended, the device is left with no force to apply.
  arm_.last_outcome = Outcome::Ok;
  const ArmState last = arm_.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, Vec3{});
  ServoState final_state = state_.Load();
  if (arm_.last_outcome == Outcome::Ok && !AllZero(last)) {
    final_state.position = last.first;
    final_state.velocity = last.second;
  }
  final_state.force = Vec3{};
  final_state.hold = HoldReason::None;
  state_.Store(final_state);
  arm_.read_timeout = saved_timeout;
}

void ServoLoop::Cycles(Platform::ServoTimer& timer) {
  // A stop request cuts short a wait on a device that does not answer.
  ScopedInterruptCheck interruption(
      [](void* self) { return static_cast<ServoLoop*>(self)->stop_requested_.load(std::memory_order_relaxed); },
      this);

  const double period_ns = kNanosecondsPerSecond / options_.rate_hz;
  const int64_t late_limit_ns = static_cast<int64_t>(options_.late_limit * kNanosecondsPerSecond);
  const int64_t spin_ns = static_cast<int64_t>(options_.spin * kNanosecondsPerSecond);
  const int64_t start = Platform::MonotonicNanoseconds();
  first_start_ns_.store(start, std::memory_order_relaxed);

  Vec3 position{};
  Vec3 velocity{};
  bool have_state = false;
  bool was_holding = false;
  uint32_t consecutive_failures = 0;
  Outcome failed_outcome = Outcome::Ok;
  int64_t previous_start = 0;
  uint64_t tick = 0;  // index of the deadline on the grid start + tick * period
  // Proxies left from an earlier run would pull the tool to where it was then.
  if (active_ != nullptr) CarryState(active_->effects, nullptr);

  for (uint64_t cycle = 0;; ++cycle) {
    const int64_t deadline = start + static_cast<int64_t>(static_cast<double>(tick) * period_ns);
    timer.SleepUntil(deadline, spin_ns);
    if (stop_requested_.load(std::memory_order_relaxed)) break;
    const int64_t begin = Platform::MonotonicNanoseconds();
    const int64_t lateness = begin - deadline;

    EffectSet* fresh = pending_.exchange(nullptr, std::memory_order_acq_rel);
    if (fresh != nullptr) {
      CarryState(fresh->effects, active_ != nullptr ? &active_->effects : nullptr);
      if (active_ != nullptr) Retire(active_);
      active_ = fresh;
    }

    HoldReason hold = HoldReason::None;
    if (consecutive_failures >= options_.failure_limit) {
      hold = HoldReason::Failures;
    } else if (lateness > late_limit_ns) {
      hold = HoldReason::Late;
    }
    Vec3 force{};
    if (hold == HoldReason::None && have_state && active_ != nullptr) {
      const int64_t compute_begin = Platform::MonotonicNanoseconds();
      force = Sum(*active_, position, velocity);
      const uint64_t n = compute_samples_.load(std::memory_order_relaxed);
      computes_ns_[n % kStatsWindow].store(Saturated(Platform::MonotonicNanoseconds() - compute_begin),
                                           std::memory_order_relaxed);
      compute_samples_.store(n + 1, std::memory_order_release);
    }

    arm_.last_outcome = Outcome::Ok;
    const int64_t sent = Platform::MonotonicNanoseconds();
    const ArmState reply = arm_.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, force);
    const int64_t received = Platform::MonotonicNanoseconds();
    const Outcome outcome = arm_.last_outcome;
    if (outcome == Outcome::Ok && !AllZero(reply)) {
      position = reply.first;
      velocity = reply.second;
      have_state = true;
      consecutive_failures = 0;
    } else {
      failures_.fetch_add(1, std::memory_order_relaxed);
      ++consecutive_failures;
      failed_outcome = outcome;
    }

    if (hold != HoldReason::None) {
      held_cycles_.fetch_add(1, std::memory_order_relaxed);
      if (!was_holding) holds_.fetch_add(1, std::memory_order_relaxed);
    }
    was_holding = hold != HoldReason::None;

    ServoState state;
    state.position = position;
    state.velocity = velocity;
    state.force = force;
    state.cycle = cycle;
    state.time = static_cast<double>(begin - start) / kNanosecondsPerSecond;
    state.hold = hold;
    state.outcome = failed_outcome;
    state.consecutive_failures = consecutive_failures;
    state.lateness = static_cast<double>(lateness) / kNanosecondsPerSecond;
    state_.Store(state);

    if (cycle > 0) Record(begin - previous_start, received - sent, lateness > kLateShare * period_ns);
    previous_start = begin;
    last_start_ns_.store(begin, std::memory_order_relaxed);
    cycles_.store(cycle + 1, std::memory_order_release);

    // After a stall the missed deadlines are skipped rather than run back to back.
    ++tick;
    const int64_t now = Platform::MonotonicNanoseconds();
    const int64_t next = start + static_cast<int64_t>(static_cast<double>(tick) * period_ns);
    if (now > next) tick = static_cast<uint64_t>(static_cast<double>(now - start) / period_ns) + 1;
  }
}

ServoStats ServoLoop::Stats() const {
  ServoStats s;
  s.cycles = cycles_.load(std::memory_order_acquire);
  s.target_rate_hz = options_.rate_hz;
  const int64_t span = last_start_ns_.load(std::memory_order_relaxed) - first_start_ns_.load(std::memory_order_relaxed);
  if (s.cycles > 1 && span > 0) s.rate_hz = static_cast<double>(s.cycles - 1) * kNanosecondsPerSecond / span;

  const uint64_t samples = samples_.load(std::memory_order_acquire);
  std::vector<uint32_t> periods = Window(periods_ns_.get(), samples);
  std::vector<uint32_t> exchanges = Window(exchanges_ns_.get(), samples);
  s.window = periods.size();
  const double nominal_ns = kNanosecondsPerSecond / options_.rate_hz;
  std::vector<uint32_t> errors(periods.size());
  for (size_t i = 0; i < periods.size(); ++i) errors[i] = Saturated(std::llround(std::fabs(periods[i] - nominal_ns)));
  s.period_p50_us = Percentile(periods, 0.50);
  s.period_p99_us = Percentile(periods, 0.99);
  s.period_error_p99_us = Percentile(errors, 0.99);
  s.exchange_p50_us = Percentile(exchanges, 0.50);
  s.exchange_p99_us = Percentile(exchanges, 0.99);
  std::vector<uint32_t> computes = Window(computes_ns_.get(), compute_samples_.load(std::memory_order_acquire));
  s.compute_p50_us = Percentile(computes, 0.50);
  s.compute_p99_us = Percentile(computes, 0.99);
  s.period_max_us = static_cast<double>(period_max_ns_.load(std::memory_order_relaxed)) / 1e3;
  s.exchange_max_us = static_cast<double>(exchange_max_ns_.load(std::memory_order_relaxed)) / 1e3;
  s.late_cycles = late_cycles_.load(std::memory_order_relaxed);
  s.failures = failures_.load(std::memory_order_relaxed);
  s.held_cycles = held_cycles_.load(std::memory_order_relaxed);
  s.holds = holds_.load(std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    s.realtime = grant_.scheduling;
    s.memory_locked = grant_.memory_locked;
    s.realtime_note = grant_.note;
  }
  return s;
}

}  // namespace Velkor::HardwareAPI::Servo
