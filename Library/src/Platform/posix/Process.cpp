#include "Velkor/HardwareAPI/Platform/Process.hpp"

#include <unistd.h>

namespace Velkor::HardwareAPI::Platform {

int64_t CurrentProcess() { return static_cast<int64_t>(::getpid()); }

}  // namespace Velkor::HardwareAPI::Platform
