#pragma once

#include <cstdint>
#include <cstring>

namespace Velkor::HardwareAPI::Devices {

static_assert(sizeof(float) == 4, "the wire carries IEEE-754 float32");

// Little-endian on the wire whatever the host's byte order.
inline void PutUint16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

inline uint16_t GetUint16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

inline void PutFloat(uint8_t* out, float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  out[0] = static_cast<uint8_t>(bits);
  out[1] = static_cast<uint8_t>(bits >> 8);
  out[2] = static_cast<uint8_t>(bits >> 16);
  out[3] = static_cast<uint8_t>(bits >> 24);
}

inline float GetFloat(const uint8_t* in) {
  const uint32_t bits = static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
                        static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
  float value = 0.0f;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace Velkor::HardwareAPI::Devices
