#include "Velkor/HardwareAPI/Platform/Process.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace Velkor::HardwareAPI::Platform {

int64_t CurrentProcess() { return static_cast<int64_t>(GetCurrentProcessId()); }

}  // namespace Velkor::HardwareAPI::Platform
