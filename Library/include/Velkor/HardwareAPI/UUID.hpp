#pragma once

#include <cstdint>

namespace Velkor::HardwareAPI {

// A 16-byte device identifier, bytes in the order the device sent them.
struct UUID {
  uint8_t bytes[16] = {};
};

}  // namespace Velkor::HardwareAPI
