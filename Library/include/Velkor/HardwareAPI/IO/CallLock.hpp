#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace Velkor::HardwareAPI::IO {

// Serializes the calls that threads of a program make on one stream, each for
// a whole request and its reply, so that no thread reads a reply another
// thread's request brought. Re-entrant for the thread that holds it: a handle
// callback may call back into a device on the same stream. A servo loop needs
// none of this: its lease already shuts every other caller out.
class CallLock {
 public:
  // Takes the lock at once if it is free or this thread holds it.
  bool TryLock();
  // Waits up to `slice` for it; false when it is still taken by then.
  bool TryLockFor(std::chrono::nanoseconds slice);
  void Unlock();

 private:
  bool Reenter();
  void Own();

  std::timed_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // the owner's own
};

}  // namespace Velkor::HardwareAPI::IO
