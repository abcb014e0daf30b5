#pragma once

#include <chrono>

namespace Velkor::HardwareAPI {

// A check that the caller of a blocking operation installs for its own thread.
// Every blocking wait of the library asks it at least once per
// kInterruptPollInterval and gives up when it returns true. The library itself
// knows nothing of who asks (the Python module checks for pending signals).
using InterruptCheck = bool (*)(void* context);

constexpr std::chrono::milliseconds kInterruptPollInterval{50};

// Installs a check for the current thread for the lifetime of the object; the
// previous one comes back when it ends. Checks nest. A scope that must end its
// waits sooner than kInterruptPollInterval asks them to poll more often.
class ScopedInterruptCheck {
 public:
  ScopedInterruptCheck(InterruptCheck check, void* context,
                       std::chrono::milliseconds poll_interval = kInterruptPollInterval);
  ~ScopedInterruptCheck();
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

 private:
  InterruptCheck previous_check_;
  void* previous_context_;
  std::chrono::milliseconds previous_poll_interval_;
};

// How often the current thread's blocking waits ask InterruptRequested().
std::chrono::milliseconds InterruptPollInterval();

// Asks the current thread's check; false when none is installed. Once a check
// has said yes, the answer sticks for the rest of the installing scope, so every
// layer that unwinds sees it.
bool InterruptRequested();

}  // namespace Velkor::HardwareAPI
