#pragma once

namespace Velkor::HardwareAPI {

// Version of the device library (the Python package carries its own).
inline constexpr const char* kLibraryVersion = "0.2.8";

}  // namespace Velkor::HardwareAPI
