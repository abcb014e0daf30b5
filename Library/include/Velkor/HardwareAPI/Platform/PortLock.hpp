#pragma once

#include <string>

namespace Velkor::HardwareAPI::Platform {

// Whether the exclusive lock that keeps other openers off the port is held by
// this very process (another stream of the same program has the port open).
// False when it cannot tell, and always on platforms without such a record.
bool PortLockedByThisProcess(const std::string& name);

}  // namespace Velkor::HardwareAPI::Platform
