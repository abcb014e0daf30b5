#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "Velkor/HardwareAPI/Interrupt.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

namespace Velkor::HardwareAPI::Servo {

namespace {

using Devices::ArmState;
using Devices::Outcome;
using Devices::OutcomeName;
using Devices::Vorlan3;

constexpr double kNanosecondsPerSecond = 1e9;
// A cycle that starts this share of a period after its deadline counts as late.
constexpr double kLateShare = 0.1;
// The last, zero-force exchange is tried once more when it fails for a reason
// other than a gone port: it is the one that matters most.
constexpr int kFinalAttempts = 2;
// The span over which recent_rate_hz is measured.
constexpr int64_t kRateWindow = 1000000000;
// Shares of the way to a cycle's measured period (taken as at most 4 times the
// period contact is rendered for) that the latter moves each cycle: a stiffness
// limit (as 1 / T^2) moves by under 2% a cycle, a capped 5 N push by under the
// default ramp's 0.1 N; longer periods are taken within a few hundred cycles,
// shorter ones trusted more slowly.
constexpr double kContactPeriodRise = 0.003;
constexpr double kContactPeriodFall = 0.001;
// Exchanges after replies were given up as lost until a reading is taken again
// (the last of them is taken).
constexpr uint32_t kConfirmations = 2;

constexpr const char* kFile = "Library/src/Servo/ServoLoop";
constexpr LogSite kEpisodeBegins{kFile, 1, "%s: exchange failed (%s); zero force after %u failures in a row"};
constexpr LogSite kEpisodeEnds{kFile, 2, "%s: the arm answers again after %llu failed exchanges"};
constexpr LogSite kReconnected{kFile, 3, "%s: found the arm again on '%s' after %u attempts"};

std::atomic<uint32_t> loops_made{0};

bool Finite(double x) { return std::isfinite(x); }

void RaiseTo(std::atomic<int64_t>& maximum, int64_t value) {
  if (value > maximum.load(std::memory_order_relaxed)) maximum.store(value, std::memory_order_relaxed);
}

uint32_t Saturated(int64_t ns) { return static_cast<uint32_t>(std::clamp<int64_t>(ns, 0, UINT32_MAX)); }

double Percentile(uint32_t* values, size_t n, double q) {
  if (n == 0) return 0.0;
  const size_t index = std::min(n - 1, static_cast<size_t>(q * static_cast<double>(n)));
  std::nth_element(values, values + index, values + n);
  return values[index] / 1e3;
}

float Length(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

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
  if (!Finite(o.ramp_s) || o.ramp_s < 0.0 || o.ramp_s > ServoOptions::kLongestRamp)
    return "ramp_s must be between 0 and 10 seconds";
  return nullptr;
}

ServoLoop::ServoLoop(Devices::Vorlan3& arm, const ServoOptions& options)
    : arm_(arm),
      options_(options),
      lease_renewed_ns_(new std::atomic<int64_t>[kLeaseSlots]()),
      lease_weight_(new float[kLeaseSlots]),
      lease_out_(new bool[kLeaseSlots]()),
      scratch_(new uint32_t[kStatsWindow]()),
      periods_ns_(new std::atomic<uint32_t>[kStatsWindow]()),
      exchanges_ns_(new std::atomic<uint32_t>[kStatsWindow]()),
      computes_ns_(new std::atomic<uint32_t>[kStatsWindow]()) {
  std::fill(lease_weight_.get(), lease_weight_.get() + kLeaseSlots, 1.0f);
  std::snprintf(name_, sizeof name_, "ServoLoop #%u (%g Hz)", loops_made.fetch_add(1) + 1, options.rate_hz);
}

ServoLoop::~ServoLoop() {
  Stop();
  FreeRetired();
  delete pending_.exchange(nullptr);
  delete active_;
}

const char* ServoLoop::Start() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (running_) return "the servo loop is already running";
  IO::SerialStream* stream = arm_.stream;
  if (stream == nullptr || !stream->IsOpen()) return "the arm's stream is not open";
  if (stream->GetLease().Holder() != nullptr) return "the arm's stream is driven by another servo loop";
  if (!stream->GetLease().Acquire(this))
    return stream->GetLease().Holder() != nullptr ? "the arm's stream is driven by another servo loop"
                                                  : "a call on the arm's stream did not end within a second";
  leased_ = stream;
  process_ = Platform::CurrentProcess();
  stop_requested_ = false;
  phase_ = 0;
  cycles_ = 0;
  samples_ = 0;
  compute_samples_ = 0;
  period_max_ns_ = 0;
  exchange_max_ns_ = 0;
  late_cycles_ = 0;
  missed_deadlines_ = 0;
  late_resends_ = 0;
  failures_ = 0;
  held_cycles_ = 0;
  holds_ = 0;
  fault_episodes_ = 0;
  reconnects_ = 0;
  lease_expiries_ = 0;
  leases_out_ = 0;
  stray_replies_ = 0;
  state_.Store(ServoState{});
  timer_.Rearm();
  thread_ = std::thread(&ServoLoop::Run, this);
  std::unique_lock<std::mutex> lock(start_mutex_);
  started_.wait(lock, [this] { return phase_ != 0 && phase_ != 1; });
  if (phase_ < 0) {
    lock.unlock();
    thread_.join();
    leased_->GetLease().Release(this);
    leased_ = nullptr;
    return "the arm did not answer its identifier query, which reconnecting needs";
  }
  running_ = true;
  return nullptr;
}

void ServoLoop::Stop() {
  std::lock_guard<std::mutex> control(control_mutex_);
  if (!running_) return;
  if (Platform::CurrentProcess() != process_) {
    // A forked child's copy: the thread runs in the parent only, and the arm
    // is the parent's to stop. The copy just lets go of the lease, and of the
    // thread object, which names no thread in this process (destroying it
    // joinable would end the child with std::terminate).
    if (thread_.joinable()) thread_.detach();
    running_ = false;
    leased_->GetLease().Release(this);
    leased_ = nullptr;
    return;
  }
  stop_requested_ = true;
  timer_.Wake();
  thread_.join();
  running_ = false;
  leased_->GetLease().Release(this);
  leased_ = nullptr;
  FreeRetired();
}

void ServoLoop::Signal(int phase) {
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    phase_ = phase;
  }
  started_.notify_all();
}

void ServoLoop::Publish(std::vector<Effect> effects, float max_force, bool fade) {
  Publish(std::move(effects), max_force, fade, {});
}

void ServoLoop::Publish(std::vector<Effect> effects, float max_force, bool fade, std::vector<EffectLease> leases) {
  if (leases.size() != effects.size()) leases.clear();
  auto* set = new EffectSet{std::move(effects), max_force, fade, std::move(leases), nullptr};
  std::lock_guard<std::mutex> lock(publish_mutex_);
  FreeRetired();
  // A set published before the loop took the previous one replaces it unseen;
  // a fade asked for by the unseen one still applies.
  EffectSet* unseen = pending_.exchange(set, std::memory_order_acq_rel);
  if (unseen != nullptr) {
    if (unseen->fade) set->fade = true;
    delete unseen;
  }
}

uint32_t ServoLoop::AcquireLease() {
  std::lock_guard<std::mutex> lock(lease_mutex_);
  for (uint32_t slot = 0; slot < kLeaseSlots; ++slot) {
    if (lease_taken_[slot]) continue;
    lease_taken_[slot] = true;
    Renew(slot);
    return slot;
  }
  return kNoLease;
}

void ServoLoop::ReleaseLease(uint32_t slot) {
  std::lock_guard<std::mutex> lock(lease_mutex_);
  if (slot < kLeaseSlots) lease_taken_[slot] = false;
}

void ServoLoop::Renew(uint32_t slot) {
  if (slot < kLeaseSlots) lease_renewed_ns_[slot].store(Platform::MonotonicNanoseconds(), std::memory_order_release);
}

bool ServoLoop::Lease(const EffectSet& set, int64_t now, float step, bool& moved) {
  bool below = false;
  moved = false;
  uint32_t out = 0;
  for (const EffectLease& lease : set.leases) {
    if (lease.slot >= kLeaseSlots) continue;
    const int64_t renewed = lease_renewed_ns_[lease.slot].load(std::memory_order_acquire);
    const bool expired = static_cast<double>(now - renewed) > lease.lease_s * kNanosecondsPerSecond;
    float& weight = lease_weight_[lease.slot];
    const float was = weight;
    weight = expired ? std::max(0.0f, weight - step) : std::min(1.0f, weight + step);
    if (weight != was) moved = true;
    if (expired && !lease_out_[lease.slot]) lease_expiries_.fetch_add(1, std::memory_order_relaxed);
    lease_out_[lease.slot] = expired;
    if (expired) ++out;
    if (weight < 1.0f) below = true;
  }
  leases_out_.store(out, std::memory_order_relaxed);
  return below;
}

void ServoLoop::StartLeases(const EffectSet& set, int64_t now) {
  for (const EffectLease& lease : set.leases) {
    if (lease.slot >= kLeaseSlots) continue;
    const int64_t renewed = lease_renewed_ns_[lease.slot].load(std::memory_order_acquire);
    const bool expired = static_cast<double>(now - renewed) > lease.lease_s * kNanosecondsPerSecond;
    lease_weight_[lease.slot] = expired ? 0.0f : 1.0f;
  }
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

Vec3 ServoLoop::Sum(EffectSet& set, const Vec3& position, const Vec3& velocity, const ContactLimits& limits) const {
  Vec3 total{};
  for (size_t e = 0; e < set.effects.size(); ++e) {
    const Vec3 f = StepEffect(set.effects[e], position, velocity, limits);
    const uint32_t slot = set.leases.empty() ? kNoLease : set.leases[e].slot;
    const float weight = slot < kLeaseSlots ? lease_weight_[slot] : 1.0f;
    for (int i = 0; i < 3; ++i) total[i] += weight * f[i];
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
  IO::ActingFor acting(this);
  Platform::ServoTimer::TuneCallingThread();
  Platform::RealtimeGrant grant;
  if (options_.realtime) {
    grant = Platform::RequestRealtime(options_.realtime_priority);
  } else {
    std::snprintf(grant.note, sizeof grant.note, "not requested");
  }
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    grant_ = grant;
  }
  if (options_.reconnect) {
    if (!SameArm()) identifier_ = {};
    const std::array<uint8_t, 16> none{};
    if (identifier_ == none) {
      Platform::ReleaseRealtime(grant);
      Signal(-1);
      return;
    }
  }

  Cycles();

  // However the loop ended, the device is left with no force to apply.
  ArmState last;
  Outcome outcome = Outcome::PortGone;
  for (int attempt = 0; attempt < kFinalAttempts; ++attempt) {
    ScopedLogQuiet quiet;
    outcome = arm_.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, Vec3{},
                                  options_.exchange_timeout, last);
    if (outcome == Outcome::Ok || outcome == Outcome::PortGone) break;
  }
  ServoState final_state = state_.Load();
  if (outcome == Outcome::Ok) {
    final_state.position = last.first;
    final_state.velocity = last.second;
  }
  final_state.force = Vec3{};
  final_state.hold = HoldReason::None;
  state_.Store(final_state);
  Platform::ReleaseRealtime(grant);
  Signal(2);
}

// Whether the arm on the stream answers with the identifier the loop knows
// (none known yet: takes the one it answers with). Waits at most a few
// exchange time-outs, less when a stop is asked for.
bool ServoLoop::SameArm() {
  const float saved = arm_.read_timeout;
  arm_.read_timeout = static_cast<float>(options_.exchange_timeout);
  std::array<uint8_t, 16> answer;
  {
    ScopedLogQuiet quiet;
    answer = arm_.QueryIdentifier(Vorlan3::kDeviceIdentifier);
  }
  arm_.read_timeout = saved;
  if (arm_.last_outcome != Outcome::Ok) return false;
  const std::array<uint8_t, 16> none{};
  if (identifier_ == none) identifier_ = answer;
  return answer == identifier_;
}

// One attempt: the candidates in turn, the port it had first.
bool ServoLoop::Reconnect(uint32_t attempt) {
  IO::SerialStream& stream = *leased_;
  std::vector<std::string> candidates = options_.reconnect_ports;
  if (candidates.empty()) {
    ScopedLogQuiet quiet;
    for (const SerialPortEntry& entry : EnumerateSerialPorts()) candidates.push_back(entry.port_name);
  }
  const std::string first = stream.PortName();
  std::stable_partition(candidates.begin(), candidates.end(), [&](const std::string& c) { return c == first; });
  for (const std::string& candidate : candidates) {
    if (stop_requested_.load(std::memory_order_relaxed)) return false;
    int8_t opened;
    {
      ScopedLogQuiet quiet;
      opened = stream.ReopenAt(candidate.c_str());
    }
    if (opened >= 0 && SameArm()) {
      LogError(kReconnected.file, kReconnected.line, kNoSystemError, kReconnected.message, name_, candidate.c_str(), attempt);
      return true;
    }
    stream.Close();
  }
  return false;
}

void ServoLoop::Cycles() {
  // A stop request cuts short a wait on a device that does not answer.
  ScopedInterruptCheck interruption(
      [](void* self) { return static_cast<ServoLoop*>(self)->stop_requested_.load(std::memory_order_relaxed); },
      this);

  const double period_ns = kNanosecondsPerSecond / options_.rate_hz;
  const int64_t late_limit_ns = static_cast<int64_t>(options_.late_limit * kNanosecondsPerSecond);
  const int64_t spin_ns = static_cast<int64_t>(options_.spin * kNanosecondsPerSecond);
  const double ramp_ns = options_.ramp_s * kNanosecondsPerSecond;
  // Ramps, slews and lease weights move by one step a cycle, however long the
  // cycle took: a slow reply or a stalled thread cannot turn a ramp into a jump.
  const float step = ramp_ns > 0.0 ? static_cast<float>(std::min(1.0, period_ns / ramp_ns)) : 1.0f;
  const int64_t reconnect_interval_ns = static_cast<int64_t>(kReconnectInterval * kNanosecondsPerSecond);
  const int64_t start = Platform::MonotonicNanoseconds();
  first_start_ns_.store(start, std::memory_order_relaxed);

  Vec3 position{};
  Vec3 velocity{};
  Vec3 sent{};  // the force of the last request: what the device has
  bool have_state = false;
  float ramp = ramp_ns > 0.0 ? 0.0f : 1.0f;  // share of the effects' force let through
  bool slewing = false;
  bool was_holding = false;
  bool reconnecting = false;
  uint32_t reconnect_attempts = 0;
  int64_t next_attempt = 0;
  uint32_t consecutive_failures = 0;
  uint32_t unconfirmed = 0;  // exchanges still to confirm that no forgotten reply came late
  uint32_t missing_streak = 0;
  Outcome failed_outcome = Outcome::Ok;
  int64_t previous_start = start;
  uint64_t tick = 0;  // index of the deadline on the grid start + tick * period
  int64_t rate_window_start = start;  // the achieved rate is measured over windows of kRateWindow
  uint64_t rate_window_cycle = 0;
  recent_rate_hz_.store(0.0, std::memory_order_relaxed);
  // The period contact is rendered for: follows the measured one, slowly enough
  // that the limits it sets change the force by no more than a few percent a cycle.
  double contact_period_ns = period_ns;
  // Proxies left from an earlier run would pull the tool to where it was then.
  if (active_ != nullptr) CarryState(active_->effects, nullptr, 1.0 / options_.rate_hz);
  bool leases_started = false;
  const uint64_t strays_before = arm_.stray_replies;

  for (uint64_t cycle = 0;; ++cycle) {
    const int64_t deadline = start + static_cast<int64_t>(static_cast<double>(tick) * period_ns);
    if (!timer_.SleepUntil(deadline, spin_ns, static_cast<int64_t>(period_ns)) ||
        stop_requested_.load(std::memory_order_relaxed))
      break;
    const int64_t begin = Platform::MonotonicNanoseconds();
    const int64_t lateness = begin - deadline;
    const double elapsed_ns = static_cast<double>(begin - previous_start);

    EffectSet* fresh = pending_.exchange(nullptr, std::memory_order_acq_rel);
    if (fresh != nullptr) {
      CarryState(fresh->effects, active_ != nullptr ? &active_->effects : nullptr, 1.0 / options_.rate_hz);
      if (fresh->fade && ramp_ns > 0.0) slewing = true;
      if (active_ != nullptr) Retire(active_);
      active_ = fresh;
    }
    // An effect whose lease ran out before the start has no force to ramp out of.
    if (!leases_started && active_ != nullptr) {
      StartLeases(*active_, begin);
      leases_started = true;
    }

    // Leases age whatever the loop does, so that an effect not renewed during a
    // hold comes back ramped out.
    bool leased_below = false;
    bool leases_moved = false;
    if (active_ != nullptr && !active_->leases.empty()) {
      leased_below = Lease(*active_, begin, step, leases_moved);
    } else {
      leases_out_.store(0, std::memory_order_relaxed);
    }

    HoldReason hold = HoldReason::None;
    Vec3 force{};
    int64_t exchange_ns = 0;
    int64_t compute_ns = 0;
    bool failed = false;
    if (reconnecting) {
      hold = HoldReason::Reconnecting;
      if (begin >= next_attempt) {
        ++reconnect_attempts;
        if (Reconnect(reconnect_attempts)) {
          reconnecting = false;
          reconnects_.fetch_add(1, std::memory_order_relaxed);
          consecutive_failures = 0;
          have_state = false;
        }
        next_attempt = Platform::MonotonicNanoseconds() + reconnect_interval_ns;
      }
    } else {
      if (consecutive_failures >= options_.failure_limit) {
        hold = HoldReason::Failures;
      } else if (cycle > 0 && lateness > late_limit_ns) {
        // The state is too old to compute from, but the device still applies
        // the last force: sending it again fetches a fresh state, without a step.
        hold = HoldReason::Late;
        force = sent;
        late_resends_.fetch_add(1, std::memory_order_relaxed);
      } else {
        Vec3 target{};
        if (have_state && active_ != nullptr) {
          const int64_t compute_from = Platform::MonotonicNanoseconds();
          if (cycle > 0)
            contact_period_ns += (elapsed_ns > contact_period_ns ? kContactPeriodRise : kContactPeriodFall) *
                                 (std::clamp(elapsed_ns, 0.5 * period_ns, 4.0 * contact_period_ns) - contact_period_ns);
          const ContactLimits limits =
              options_.stiff_contact ? ContactLimitsFor(contact_period_ns / kNanosecondsPerSecond) : ContactLimits{};
          target = Sum(*active_, position, velocity, limits);
          compute_ns = Platform::MonotonicNanoseconds() - compute_from;
          const uint64_t n = compute_samples_.load(std::memory_order_relaxed);
          computes_ns_[n % kStatsWindow].store(Saturated(compute_ns), std::memory_order_relaxed);
          compute_samples_.store(n + 1, std::memory_order_release);
        }
        const bool ramping = ramp < 1.0f;
        if (ramp < 1.0f) ramp = std::min(1.0f, ramp + step);
        if (!have_state) ramp = ramp_ns > 0.0 ? 0.0f : 1.0f;
        for (float& x : target) x *= ramp;
        force = target;
        // Ramps at once (the start's or a hold's, lease weights, a slew) bound
        // the force sent, not each its own share: one step per cycle in all.
        if (ramp_ns > 0.0 && have_state && (ramping || leases_moved)) slewing = true;
        if (slewing) {
          // Effects added or removed: at most max_force per ramp_s towards the new sum.
          const float limit = std::max(active_ != nullptr ? active_->max_force : 0.0f, Length(sent));
          const float most = limit * step;
          const Vec3 change{target[0] - sent[0], target[1] - sent[1], target[2] - sent[2]};
          const float distance = Length(change);
          if (distance > most && distance > 0.0f) {
            for (int i = 0; i < 3; ++i) force[i] = sent[i] + change[i] * (most / distance);
          } else {
            slewing = false;
          }
        }
        if (active_ != nullptr) force = ClampMagnitude(force, active_->max_force);
      }
      if (hold == HoldReason::Failures) {
        ramp = ramp_ns > 0.0 ? 0.0f : 1.0f;
        slewing = false;
      }

      ArmState reply;
      const int64_t sent_at = Platform::MonotonicNanoseconds();
      Outcome outcome;
      {
        ScopedLogQuiet quiet;
        // Holding, with zero force out already: the next request waits until the
        // replies still owed have come (or their horizon passed), so that the
        // first reading taken again is its own.
        const bool settle = hold == HoldReason::Failures && sent == Vec3{};
        const uint64_t forgotten = arm_.forgotten_replies;
        const uint64_t unowed = arm_.unowed_replies;
        outcome = arm_.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, force,
                                      options_.exchange_timeout, reply, settle);
        // Owed replies given up as lost may come after all, each then read as
        // the next request's. Until kConfirmations exchanges in a row got a
        // reply with none coming that no request was owed (the sign that the
        // forgotten ones came, and the line is a reply behind), no reading is
        // taken and no force goes out: the exchanges count as failed.
        if (arm_.forgotten_replies != forgotten || (arm_.unowed_replies != unowed && unconfirmed > 0))
          unconfirmed = kConfirmations;
        else if (outcome == Outcome::Ok && unconfirmed > 0)
          --unconfirmed;
        if (outcome == Outcome::Ok && unconfirmed > 0) outcome = Outcome::Timeout;
      }
      exchange_ns = Platform::MonotonicNanoseconds() - sent_at;
      sent = force;
      // Cut short by stop(): no fault of the device's.
      if (outcome == Outcome::Interrupted && stop_requested_.load(std::memory_order_relaxed)) break;
      stray_replies_.store(arm_.stray_replies - strays_before, std::memory_order_relaxed);
      if (outcome == Outcome::Ok) {
        if (consecutive_failures > 0)
          LogError(kEpisodeEnds.file, kEpisodeEnds.line, kNoSystemError, kEpisodeEnds.message, name_,
                   static_cast<unsigned long long>(consecutive_failures));
        position = reply.first;
        velocity = reply.second;
        have_state = true;
        consecutive_failures = 0;
      } else {
        failed = true;
        failures_.fetch_add(1, std::memory_order_relaxed);
        if (consecutive_failures < UINT32_MAX) ++consecutive_failures;
        failed_outcome = outcome;
        if (consecutive_failures == 1) {
          fault_episodes_.fetch_add(1, std::memory_order_relaxed);
          const char* why = OutcomeName(outcome);
          // Only a port that failed has a system error to name; a time-out or
          // a bad reply has none (the last-error slot may hold an old one).
          const bool from_port = outcome == Outcome::PortGone || outcome == Outcome::WriteFailed;
          const int32_t code = from_port ? Platform::LastError() : 0;
          LogError(kEpisodeBegins.file, kEpisodeBegins.line, code != 0 ? code : kNoSystemError, kEpisodeBegins.message, name_,
                   why != nullptr ? why : "unknown", options_.failure_limit);
        }
        if (outcome == Outcome::PortGone && options_.reconnect) {
          reconnecting = true;
          reconnect_attempts = 0;
          next_attempt = Platform::MonotonicNanoseconds();
          ramp = ramp_ns > 0.0 ? 0.0f : 1.0f;
          slewing = false;
          sent = Vec3{};
        }
      }
    }

    const bool holding = hold == HoldReason::Failures || hold == HoldReason::Reconnecting;
    if (holding) {
      held_cycles_.fetch_add(1, std::memory_order_relaxed);
      if (!was_holding) holds_.fetch_add(1, std::memory_order_relaxed);
    }
    was_holding = holding;

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
    state.overrun = missing_streak >= kOverrunCycles;
    state.exchange_s = static_cast<double>(exchange_ns) / kNanosecondsPerSecond;
    state.reconnect_attempts = reconnecting ? reconnect_attempts : 0;
    state.valid = have_state;
    state_.Store(state);

    TelemetryRecord record;
    record.time = state.time;
    record.cycle = cycle;
    for (int i = 0; i < 3; ++i) {
      record.position[i] = position[i];
      record.velocity[i] = velocity[i];
      record.force[i] = force[i];
    }
    record.period_us = cycle > 0 ? static_cast<float>(elapsed_ns / 1e3) : 0.0f;
    record.exchange_us = static_cast<float>(static_cast<double>(exchange_ns) / 1e3);
    record.compute_us = static_cast<float>(static_cast<double>(compute_ns) / 1e3);
    record.lateness_us = static_cast<float>(static_cast<double>(lateness) / 1e3);
    record.flags = (holding ? kFlagHeld : 0u) | (lateness > kLateShare * period_ns ? kFlagLate : 0u) |
                   (hold == HoldReason::Late ? kFlagResent : 0u) | (failed ? kFlagFailed : 0u) |
                   (!holding && (ramp < 1.0f || slewing) ? kFlagRamping : 0u) |
                   // The cycle that found the arm again spent itself reconnecting too: no
                   // exchange, its reading the one from before.
                   (reconnecting || hold == HoldReason::Reconnecting ? kFlagReconnecting : 0u) |
                   (state.overrun ? kFlagOverrun : 0u) |
                   (leased_below || leases_out_.load(std::memory_order_relaxed) > 0 ? kFlagLeaseOut : 0u);
    telemetry_.Push(record);

    if (cycle > 0) Record(begin - previous_start, exchange_ns, lateness > kLateShare * period_ns);
    previous_start = begin;
    last_start_ns_.store(begin, std::memory_order_relaxed);
    if (begin - rate_window_start >= kRateWindow) {
      recent_rate_hz_.store(static_cast<double>(cycle - rate_window_cycle) * kNanosecondsPerSecond /
                                static_cast<double>(begin - rate_window_start),
                            std::memory_order_relaxed);
      rate_window_start = begin;
      rate_window_cycle = cycle;
    }
    cycles_.store(cycle + 1, std::memory_order_release);
    if (cycle == 0) Signal(2);

    // After a stall the missed deadlines are skipped rather than run back to back.
    ++tick;
    const int64_t now = Platform::MonotonicNanoseconds();
    const int64_t next = start + static_cast<int64_t>(static_cast<double>(tick) * period_ns);
    if (now > next) {
      const uint64_t caught_up = static_cast<uint64_t>(static_cast<double>(now - start) / period_ns) + 1;
      if (!reconnecting && !holding) {
        missed_deadlines_.fetch_add(caught_up - tick, std::memory_order_relaxed);
        ++missing_streak;
      }
      tick = caught_up;
    } else {
      missing_streak = 0;
    }
  }
}

ServoStats ServoLoop::Stats() const {
  ServoStats s;
  s.cycles = cycles_.load(std::memory_order_acquire);
  s.target_rate_hz = options_.rate_hz;
  const int64_t span = last_start_ns_.load(std::memory_order_relaxed) - first_start_ns_.load(std::memory_order_relaxed);
  if (s.cycles > 1 && span > 0) s.rate_hz = static_cast<double>(s.cycles - 1) * kNanosecondsPerSecond / span;

  const uint64_t samples = samples_.load(std::memory_order_acquire);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(samples, kStatsWindow));
  s.window = n;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    uint32_t* values = scratch_.get();
    for (size_t i = 0; i < n; ++i) values[i] = periods_ns_[i].load(std::memory_order_relaxed);
    s.period_p50_us = Percentile(values, n, 0.50);
    s.period_p99_us = Percentile(values, n, 0.99);
    const double nominal_ns = kNanosecondsPerSecond / options_.rate_hz;
    for (size_t i = 0; i < n; ++i) values[i] = Saturated(std::llround(std::fabs(values[i] - nominal_ns)));
    s.period_error_p99_us = Percentile(values, n, 0.99);
    for (size_t i = 0; i < n; ++i) values[i] = exchanges_ns_[i].load(std::memory_order_relaxed);
    s.exchange_p50_us = Percentile(values, n, 0.50);
    s.exchange_p99_us = Percentile(values, n, 0.99);
    const size_t computed =
        static_cast<size_t>(std::min<uint64_t>(compute_samples_.load(std::memory_order_acquire), kStatsWindow));
    for (size_t i = 0; i < computed; ++i) values[i] = computes_ns_[i].load(std::memory_order_relaxed);
    s.compute_p50_us = Percentile(values, computed, 0.50);
    s.compute_p99_us = Percentile(values, computed, 0.99);
  }
  s.period_max_us = static_cast<double>(period_max_ns_.load(std::memory_order_relaxed)) / 1e3;
  s.exchange_max_us = static_cast<double>(exchange_max_ns_.load(std::memory_order_relaxed)) / 1e3;
  s.late_cycles = late_cycles_.load(std::memory_order_relaxed);
  s.missed_deadlines = missed_deadlines_.load(std::memory_order_relaxed);
  s.late_resends = late_resends_.load(std::memory_order_relaxed);
  s.failures = failures_.load(std::memory_order_relaxed);
  s.held_cycles = held_cycles_.load(std::memory_order_relaxed);
  s.holds = holds_.load(std::memory_order_relaxed);
  s.fault_episodes = fault_episodes_.load(std::memory_order_relaxed);
  s.stray_replies = stray_replies_.load(std::memory_order_relaxed);
  s.reconnects = reconnects_.load(std::memory_order_relaxed);
  s.lease_expiries = lease_expiries_.load(std::memory_order_relaxed);
  s.leases_out = leases_out_.load(std::memory_order_relaxed);
  s.telemetry_dropped = telemetry_.Dropped();
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    s.realtime = grant_.scheduling;
    s.memory_locked = grant_.memory_locked;
    s.realtime_note = grant_.note;
  }
  s.recent_rate_hz = recent_rate_hz_.load(std::memory_order_relaxed);
  s.timer = timer_.Name();
  s.timer_lateness_us = static_cast<double>(timer_.TypicalLateness()) / 1e3;
  s.spin_us = static_cast<double>(timer_.Spin()) / 1e3;
  char timing[320];
  std::snprintf(timing, sizeof timing, "; timer: %s, waking %.0f us late (90th percentile), spinning %.0f us",
                s.timer.c_str(), s.timer_lateness_us, s.spin_us);
  s.realtime_note += timing;
  return s;
}

}  // namespace Velkor::HardwareAPI::Servo
