#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace Velkor::HardwareAPI {

namespace {

thread_local InterruptCheck current_check = nullptr;
thread_local void* current_context = nullptr;
thread_local bool interrupted = false;

}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck check, void* context)
    : previous_check_(current_check), previous_context_(current_context) {
  current_check = check;
  current_context = context;
  interrupted = false;
}

ScopedInterruptCheck::~ScopedInterruptCheck() {
  current_check = previous_check_;
  current_context = previous_context_;
  interrupted = false;
}

bool InterruptRequested() {
  if (interrupted) return true;
  if (current_check == nullptr) return false;
  interrupted = current_check(current_context);
  return interrupted;
}

}  // namespace Velkor::HardwareAPI
