#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI::Platform {

// The monotonic clock the servo loop keeps its deadlines on, in nanoseconds.
int64_t MonotonicNanoseconds();

// Absolute-deadline sleeping for one thread. Build it on the thread that sleeps:
// it tunes that thread's timer behaviour.
class ServoTimer {
 public:
  ServoTimer();
  ~ServoTimer();
  ServoTimer(const ServoTimer&) = delete;
  ServoTimer& operator=(const ServoTimer&) = delete;

  // Returns at or just after `deadline_ns`: sleeps until `spin_ns` before it,
  // then spins. A deadline already passed returns at once.
  void SleepUntil(int64_t deadline_ns, int64_t spin_ns);

 private:
  void* timer_ = nullptr;  // the platform's wait object, where it has one
  bool precise_ = false;   // whether that object wakes within a fraction of a millisecond
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

}  // namespace Velkor::HardwareAPI::Platform
