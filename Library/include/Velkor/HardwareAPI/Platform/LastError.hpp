#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI::Platform {

// The calling thread's last platform error code. Every failing platform call
// sets it; a success never clears it.
int32_t LastError();
void SetLastError(int32_t code);
// The code a write that ran out of time leaves for the error line that reports
// it, or 0 where the platform's own timed write leaves the last error alone
// (Windows: a WriteFile cut short by its time-outs succeeds with a short count,
// and a code set here would be printed by every later line of an unrelated call).
int32_t TimedOutErrorCode();

}  // namespace Velkor::HardwareAPI::Platform
