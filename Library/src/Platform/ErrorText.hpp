#pragma once

#include <cstdint>
#include <string>

namespace Velkor::HardwareAPI::Platform {

// The platform's own text for an error code; empty when it has none.
std::wstring ErrorText(int32_t code);

}  // namespace Velkor::HardwareAPI::Platform
