#include "Velkor/HardwareAPI/IO/CallLock.hpp"

namespace Velkor::HardwareAPI::IO {

bool CallLock::Reenter() {
  if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return false;
  ++depth_;
  return true;
}

void CallLock::Own() {
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
}

bool CallLock::TryLock() {
  if (Reenter()) return true;
  if (!mutex_.try_lock()) return false;
  Own();
  return true;
}

bool CallLock::TryLockFor(std::chrono::nanoseconds slice) {
  if (Reenter()) return true;
  if (!mutex_.try_lock_for(slice)) return false;
  Own();
  return true;
}

void CallLock::Unlock() {
  if (--depth_ != 0) return;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

}  // namespace Velkor::HardwareAPI::IO
