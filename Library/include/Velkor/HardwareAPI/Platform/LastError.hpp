#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI::Platform {

// The calling thread's last platform error code. Every failing platform call
// sets it; a success never clears it.
int32_t LastError();
void SetLastError(int32_t code);
// The platform's code for an operation that ran out of time.
int32_t TimedOutErrorCode();

}  // namespace Velkor::HardwareAPI::Platform
