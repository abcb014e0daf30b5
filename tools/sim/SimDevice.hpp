#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"

namespace Velkor::Sim {

// Room for the largest frame either device sends (a status message with 255
// bytes of user data) with margin.
constexpr size_t kFrameCapacity = 512;

// A device played on the line: it splits the host's bytes into commands and
// answers each one; it may also send frames of its own at a steady rate.
class SimDevice {
 public:
  static constexpr size_t kNeedMore = 0;
  static constexpr size_t kUnknown = static_cast<size_t>(-1);

  virtual ~SimDevice() = default;
  // Length of the command that starts `data` (n bytes queued), kNeedMore when
  // it is not complete yet, kUnknown when its first byte starts no command.
  virtual size_t CommandLength(const uint8_t* data, size_t n) const = 0;
  // Writes the reply to one whole command into `out` (kFrameCapacity bytes):
  // its length, 0 when the command has no reply.
  virtual size_t Answer(const uint8_t* command, size_t n, double now, uint8_t* out) = 0;
  // A frame the device streams unasked, or 0 for none.
  virtual size_t StreamFrame(double /*now*/, uint8_t* /*out*/) { return 0; }
  // An external force (N) on the device, as a hand holding it would apply; false
  // when the device has nothing a hand can push.
  virtual bool SetHandForce(const double* /*force*/) { return false; }

  // Number of the command being answered (from 1), for replies that echo it.
  uint64_t request_number = 0;
  // Commands not obeyed because a value in them was not a finite number.
  uint64_t refused = 0;
};

using HardwareAPI::Devices::GetFloat;
using HardwareAPI::Devices::PutFloat;
using HardwareAPI::Devices::PutUint16;

}  // namespace Velkor::Sim
