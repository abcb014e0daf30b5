#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI::Platform {

// The calling process: a forked child has another one than its parent.
int64_t CurrentProcess();

}  // namespace Velkor::HardwareAPI::Platform
