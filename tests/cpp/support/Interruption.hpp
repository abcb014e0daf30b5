#pragma once

#include <atomic>
#include <chrono>

#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace VelkorTest {

// A caller that asks the library to stop once `after` has passed, as a user
// pressing Ctrl-C in the middle of a call would; counts how often it was asked.
class InterruptAfter {
 public:
  explicit InterruptAfter(std::chrono::milliseconds after)
      : when_(std::chrono::steady_clock::now() + after), scope_(&Check, this) {}

  int asked() const { return asked_.load(); }

 private:
  static bool Check(void* self) {
    auto* me = static_cast<InterruptAfter*>(self);
    ++me->asked_;
    return std::chrono::steady_clock::now() >= me->when_;
  }

  std::chrono::steady_clock::time_point when_;
  std::atomic<int> asked_{0};
  Velkor::HardwareAPI::ScopedInterruptCheck scope_;
};

}  // namespace VelkorTest
