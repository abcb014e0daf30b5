#include "Velkor/HardwareAPI/Platform/PortLock.hpp"

namespace Velkor::HardwareAPI::Platform {

// Windows keeps no list of which process holds a COM port open.
bool PortLockedByThisProcess(const std::string&) { return false; }

}  // namespace Velkor::HardwareAPI::Platform
