#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Velkor/HardwareAPI/Devices/Outcome.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

namespace Velkor::HardwareAPI::Devices {

// The base of every device: framed writes and timed, framed reads over a stream
// it does not own.
struct Device {
  static constexpr size_t kBufferSize = 1024;
  static constexpr uint8_t kNotificationA = 0xBA;
  static constexpr uint8_t kNotificationB = 0xBB;

  Device(IO::SerialStream* stream, float read_timeout);
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Writes the first n bytes of tx_buffer.
  void WriteCommand(size_t n);
  // The next header code that is not a notification frame, or 0 on failure.
  uint8_t ReadHeaderCode();
  // Reads n bytes (at most kBufferSize) into the start of rx_buffer: n, or 0.
  uint32_t ReadPayload(size_t n);

  // Waits until at least k bytes are queued, within read_timeout (<= 0: no limit).
  bool WaitForBytes(size_t k) { return WaitForBytes(k, read_timeout); }
  bool WaitForBytes(size_t k, float timeout);

  float read_timeout;
  IO::SerialStream* stream;  // not owned; may be null only for raw access
  std::unique_ptr<uint8_t[]> tx_buffer;
  std::unique_ptr<uint8_t[]> rx_buffer;

  // How the last public call on this device ended, and how many calls failed
  // since construction.
  Outcome last_outcome = Outcome::Ok;
  uint64_t failures = 0;
};

}  // namespace Velkor::HardwareAPI::Devices
