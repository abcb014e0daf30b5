#pragma once

#include <atomic>
#include <cstdint>

namespace Velkor::HardwareAPI::Platform {

// The monotonic clock the servo loop keeps its deadlines on, in nanoseconds.
int64_t MonotonicNanoseconds();
// The calling process: a forked child has another one than its parent.
int64_t CurrentProcess();

// Absolute-deadline sleeping for one thread, which another thread can cut
// short (Wake) without a lock on the sleeping side.
class ServoTimer {
 public:
  ServoTimer();
  ~ServoTimer();
  ServoTimer(const ServoTimer&) = delete;
  ServoTimer& operator=(const ServoTimer&) = delete;

  // Tunes the calling thread's timer behaviour and names it: call it on the
  // thread that sleeps.
  static void TuneCallingThread();

  // Returns at or just after `deadline_ns`: sleeps until `spin_ns` before it,
  // then spins. A deadline already passed returns at once. False, at once,
  // once Wake was called (until Rearm).
  bool SleepUntil(int64_t deadline_ns, int64_t spin_ns);
  // From any thread: ends the current sleep and every later one.
  void Wake();
  void Rearm();
  bool Woken() const { return woken_.load(std::memory_order_acquire) != 0; }

 private:
  void* timer_ = nullptr;  // the platform's wait object, where it has one
  void* wake_event_ = nullptr;
  bool precise_ = false;   // whether that object wakes within a fraction of a millisecond
  std::atomic<uint32_t> woken_{0};
};

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
