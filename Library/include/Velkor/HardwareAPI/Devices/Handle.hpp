#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

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

  // A handle that streams its status sends self-checking status frames (0xDA
  // and a SLIP-stuffed body) between its answers, under the same code as a
  // status message. Receive reads each 0xDA frame whole, byte by byte, and
  // tells the two apart: a body that closes a valid status frame is one (it
  // answers no request: skipped and counted here), 21 + L bytes that do not
  // are a status message. A message is no message (bad_reply, no callback)
  // when a valid status frame begins inside it (it was cut short), when bytes
  // already queued behind it begin no frame (it took another frame's bytes),
  // or when a quaternion component is not finite or beyond
  // kLargestQuaternionComponent (an orientation's lie within ±1; bytes of
  // other frames read as floats mostly do not). The message itself has no
  // checksum: damage that keeps its length and its numbers small cannot be told.
  uint64_t status_frames_skipped = 0;
  static constexpr float kLargestQuaternionComponent = 16.0f;
  // After a fault the line may be mid-frame: the next Receive or
  // GetStrixelStatus first discards bytes up to the end of a valid status
  // frame, or until the line has stood still this long (a handle sends each
  // frame in one piece).
  static constexpr std::chrono::milliseconds kQuietBoundary{10};

 private:
  bool FindBoundary();
  // False when a byte is queued and it begins no frame (nothing queued: true).
  bool NextMayBeginFrame();
  int32_t ReceiveStatusMessage();
  std::unique_ptr<uint8_t[]> frame_;  // a 0xDA frame's bytes as they came
  bool out_of_step_ = false;
};

}  // namespace Velkor::HardwareAPI::Devices
