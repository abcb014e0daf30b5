#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Velkor/HardwareAPI/Platform/Process.hpp"

namespace Velkor::HardwareAPI::Platform {

// The monotonic clock the servo loop keeps its deadlines on, in nanoseconds.
int64_t MonotonicNanoseconds();

// How late the platform's sleep wakes, learnt from the wakes themselves: a
// high share (the 90th percentile) of each window of wakes, so that a rare
// stall does not make every later cycle spin. Written by the sleeping thread,
// read from any.
class WakeLateness {
 public:
  static constexpr size_t kWindow = 64;

  void Record(int64_t late_ns);
  // Nanoseconds; 0 until the first window is full.
  int64_t Typical() const { return typical_.load(std::memory_order_relaxed); }

 private:
  int64_t samples_[kWindow] = {};
  size_t count_ = 0;
  std::atomic<int64_t> typical_{0};
};

// Absolute-deadline sleeping for one thread, which another thread can cut
// short (Wake) without a lock on the sleeping side. The thread stops sleeping
// early enough to make up for how late the sleep has been waking, and spins
// the rest of the way.
class ServoTimer {
 public:
  ServoTimer();
  ~ServoTimer();
  ServoTimer(const ServoTimer&) = delete;
  ServoTimer& operator=(const ServoTimer&) = delete;

  // Tunes the calling thread's timer behaviour and names it: call it on the
  // thread that sleeps.
  static void TuneCallingThread();

  // Returns at or just after `deadline_ns`: sleeps until at least `spin_ns`
  // before it (more when the sleep has been waking later than that, up to
  // `longest_spin_ns`), then spins. A deadline already passed returns at once.
  // False, at once, once Wake was called (until Rearm).
  bool SleepUntil(int64_t deadline_ns, int64_t spin_ns, int64_t longest_spin_ns = 0);
  // The spin the last sleep used, and how late the sleep typically wakes (ns).
  int64_t Spin() const { return spin_used_.load(std::memory_order_relaxed); }
  int64_t TypicalLateness() const { return lateness_.Typical(); }
  // Which timer puts the thread to sleep, in words.
  const char* Name() const;

  // For tests: timers made from now on use the platform's fallback (on
  // Windows the one for systems without a high-resolution timer, before
  // Windows 10 1803), as if the precise one were missing.
  static void UseFallback(bool fallback);
  // From any thread: ends the current sleep and every later one.
  void Wake();
  void Rearm();
  bool Woken() const { return woken_.load(std::memory_order_acquire) != 0; }

 private:
  void* timer_ = nullptr;  // the platform's wait object, where it has one
  void* wake_event_ = nullptr;
  bool precise_ = false;   // whether that object wakes within a fraction of a millisecond
  std::atomic<uint32_t> woken_{0};
  WakeLateness lateness_;
  std::atomic<int64_t> spin_used_{0};

  // The spin for this sleep: what was asked, or more after late wakes.
  int64_t SpinFor(int64_t spin_ns, int64_t longest_spin_ns);
};

inline void WakeLateness::Record(int64_t late_ns) {
  samples_[count_++] = std::max<int64_t>(late_ns, 0);
  if (count_ < kWindow) return;
  count_ = 0;
  int64_t* high = samples_ + kWindow * 9 / 10;
  std::nth_element(samples_, high, samples_ + kWindow);
  typical_.store(*high, std::memory_order_relaxed);
}

inline int64_t ServoTimer::SpinFor(int64_t spin_ns, int64_t longest_spin_ns) {
  // Beyond the typical lateness, for the wakes a little later than that.
  constexpr int64_t kMargin = 20000;
  int64_t spin = std::max<int64_t>(spin_ns, 0);
  if (longest_spin_ns > spin) spin = std::min(longest_spin_ns, std::max(spin, lateness_.Typical() + kMargin));
  spin_used_.store(spin, std::memory_order_relaxed);
  return spin;
}

// What the calling thread was granted when it asked for real-time treatment.
struct RealtimeGrant {
  bool scheduling = false;     // a fixed real-time priority (SCHED_FIFO, time-critical)
  bool memory_locked = false;  // the process's pages are locked in memory
  int priority = 0;
  char note[192] = {};  // what was granted or refused, and why
};

// Asks for the calling thread to run at a real-time priority and for the
// process's current memory to be locked. Never fails: the grant says what came.
RealtimeGrant RequestRealtime(int priority);
// Gives back what a grant locked: memory stays locked until the last grant
// that locked it is given back (the lock is the process's, not the thread's).
void ReleaseRealtime(const RealtimeGrant& grant);

}  // namespace Velkor::HardwareAPI::Platform
