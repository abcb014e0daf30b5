#pragma once

#include <cstddef>

namespace Velkor::HardwareAPI::Platform {

// Writes one finished line (UTF-8) to the process's standard error at once,
// without disturbing the thread's last error code.
void WriteStandardError(const char* text, size_t size);

}  // namespace Velkor::HardwareAPI::Platform
