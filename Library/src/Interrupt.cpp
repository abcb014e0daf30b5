#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace Velkor::HardwareAPI {

namespace {

thread_local InterruptCheck current_check = nullptr;
thread_local void* current_context = nullptr;
thread_local bool interrupted = false;
thread_local std::chrono::milliseconds poll_interval = kInterruptPollInterval;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck check, void* context,
                                           std::chrono::milliseconds poll_interval_wanted)
    : previous_check_(current_check), previous_context_(current_context), previous_poll_interval_(poll_interval) {
  current_check = check;
  current_context = context;
  interrupted = false;
  poll_interval = poll_interval_wanted;
}

ScopedInterruptCheck::~ScopedInterruptCheck() {
  current_check = previous_check_;
  current_context = previous_context_;
  poll_interval = previous_poll_interval_;
  interrupted = false;
}

std::chrono::milliseconds InterruptPollInterval() { return poll_interval; }

bool InterruptRequested() {
  if (interrupted) return true;
  if (current_check == nullptr) return false;
  interrupted = current_check(current_context);
  return interrupted;
}

}  // namespace Velkor::HardwareAPI
