#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Velkor/HardwareAPI/Devices/Device.hpp"

namespace Velkor::HardwareAPI::Devices {

struct HandleInfo {
  uint16_t device_id = 0;
  uint8_t tool_data_remaining = 0;
  uint8_t device_model_number = 0;
  uint8_t hardware_version = 0;
  uint8_t firmware_version = 0;
};

struct HandleStatusMessage {
  uint16_t device_id = 0;
  float quaternion[4] = {};
  uint8_t error_flag = 0;
  uint8_t hall_effect_sensor_level = 0;
  uint8_t user_data_length = 0;
  uint8_t user_data[255] = {};
};

struct HandleErrorResponse {
  uint16_t device_id = 0;
  uint8_t error_code = 0;
};

struct StrixelStatus {
  uint8_t device_id = 0;
  float quaternion[4] = {};
  uint8_t error_flag = 0;
  uint8_t hall_effect_sensor_level = 0;
  uint8_t buttons = 0;
  float battery_level = 0.0f;
};

// The hand-held handle: commands out, decoded messages into overridable callbacks.
// Every public call records how it ended in last_outcome and counts a failure
// once; Receive and GetStrixelStatus read the queue as it is.
struct Handle : Device {
  static constexpr uint8_t kWakeup = 0x0A;
  static constexpr uint8_t kRequestStatus = 0xDA;
  static constexpr uint8_t kHandleState = 0xDB;
  static constexpr uint8_t kInfoMessage = 0xD0;
  static constexpr uint8_t kStatusMessage = 0xDA;
  static constexpr uint8_t kErrorResponse = 0xDF;
  static constexpr size_t kInfoSize = 6;
  static constexpr size_t kStatusFixedSize = 21;
  static constexpr size_t kErrorSize = 3;
  static constexpr float kDefaultReadTimeout = 5.0f;
  // GetStrixelStatus ends within this: its one-to-two-second wait for a frame
  // and a second to find one among the bytes that came.
  static constexpr std::chrono::seconds kStatusCallLimit{3};

  Handle(IO::SerialStream* stream, float read_timeout = kDefaultReadTimeout);

  virtual void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
  virtual void OnReceiveHandleInfo(const HandleInfo&) {}
  virtual void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) {}
  virtual void OnReceiveHandleStatusMessage(const HandleStatusMessage&) {}
  virtual void OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}
  virtual void OnReceiveHandleErrorResponse(const HandleErrorResponse&) {}
  // Subclasses (the Python trampoline among them) are destroyed through this base.
  virtual ~Handle() = default;

  void SendDeviceWakeup();
  void RequestStatus();
  void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);
  // Reads one message and dispatches it; the header code read (0 on failure)
  // goes to `code`. The payload count, or -1 for a failed or unknown code.
  int32_t Receive(uint8_t& code);
  StrixelStatus GetStrixelStatus();
};

}  // namespace Velkor::HardwareAPI::Devices
