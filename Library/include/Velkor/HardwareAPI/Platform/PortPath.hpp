#pragma once

#include <string>

namespace Velkor::HardwareAPI::Platform {

// The device path the platform's port driver opens for a port name. On Linux an
// absolute path stays as it is and any other name lives under /dev, so ttyS0
// and pts/3 are found where discovery lists them.
std::string PortPath(const std::string& name);

}  // namespace Velkor::HardwareAPI::Platform
