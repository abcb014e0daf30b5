#include "Velkor/HardwareAPI/Devices/Handle.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"
#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace Velkor::HardwareAPI::Devices {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHandleStateHeaderSize = 4;

StrixelStatus Failed(uint8_t flag) {
  StrixelStatus status;
  status.error_flag = flag;
  return status;
}

}  // namespace

Handle::Handle(IO::SerialStream* stream_, float read_timeout_) : Device(stream_, read_timeout_) {}

void Handle::SendDeviceWakeup() {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  tx_buffer[0] = kWakeup;
  WriteCommand(1);
}

void Handle::RequestStatus() {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  tx_buffer[0] = kRequestStatus;
  WriteCommand(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  uint8_t* tx = tx_buffer.get();
  tx[0] = kHandleState;
  tx[1] = static_cast<uint8_t>(device_id);
  tx[2] = static_cast<uint8_t>(device_id >> 8);
  tx[3] = data_length;
  if (user_data != nullptr) {
    std::memcpy(tx + kHandleStateHeaderSize, user_data, data_length);
  } else {
    std::memset(tx + kHandleStateHeaderSize, 0, data_length);
  }
  WriteCommand(kHandleStateHeaderSize + data_length);
}

int32_t Handle::Receive(uint8_t& code) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  code = 0;
  if (!RecoverStream()) return -1;
  code = ReadHeaderCode();
  const uint8_t* rx = rx_buffer.get();
  switch (code) {
    case kInfoMessage: {
      const uint32_t n = ReadPayload(kInfoSize);
      HandleInfo info;
      info.tool_data_remaining = rx[0];
      info.device_id = GetUint16(rx + 2);
      info.device_model_number = rx[3];
      info.hardware_version = rx[4];
      info.firmware_version = rx[5];
      OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version);
      OnReceiveHandleInfo(info);
      return static_cast<int32_t>(n);
    }
    case kStatusMessage: {
      const uint32_t fixed = ReadPayload(kStatusFixedSize);
      HandleStatusMessage message;
      message.device_id = GetUint16(rx);
      message.error_flag = rx[2];
      message.hall_effect_sensor_level = rx[3];
      for (size_t i = 0; i < 4; ++i) message.quaternion[i] = GetFloat(rx + 4 + 4 * i);
      message.user_data_length = rx[20];
      const uint32_t variable = ReadPayload(message.user_data_length);
      std::memcpy(message.user_data, rx, message.user_data_length);
      OnReceiveHandleStatusMessage(message.device_id, message.quaternion, message.error_flag,
                                   message.hall_effect_sensor_level, message.user_data_length, message.user_data);
      OnReceiveHandleStatusMessage(message);
      return static_cast<int32_t>(fixed + variable);
    }
    case kErrorResponse: {
      const uint32_t n = ReadPayload(kErrorSize);
      HandleErrorResponse response;
      response.device_id = GetUint16(rx);
      response.error_code = rx[2];
      OnReceiveHandleErrorResponse(response.device_id, response.error_code);
      OnReceiveHandleErrorResponse(response);
      return static_cast<int32_t>(n);
    }
    default:
      NoteFailureIfUnexplained(Outcome::BadReply);
      return -1;
  }
}

StrixelStatus Handle::GetStrixelStatus() {
  Call call(*this, std::chrono::duration<double>(kStatusCallLimit).count());
  if (call.Refused()) return Failed(kStrixelSilent);
  if (!RecoverStream()) return Failed(kStrixelSilent);

  // Whole seconds of the wall clock: the wait lasts between one and two
  // seconds, until the clock's seconds have moved on by two. That end is turned
  // into one monotonic deadline, so setting the wall clock back cannot stretch
  // the wait, and the wait itself is the device base's wait on the port.
  const std::time_t start = std::time(nullptr);
  const auto give_up = Clock::now() + kStatusCallLimit;
  const auto wall_left = std::chrono::system_clock::from_time_t(start + 2) - std::chrono::system_clock::now();
  const auto wait = std::min<Clock::duration>(std::chrono::duration_cast<Clock::duration>(wall_left),
                                              give_up - Clock::now());
  if (stream->Available() < kStrixelWaitBytes) {
    // A limit of zero or less would mean no limit to the wait.
    if (wait <= Clock::duration::zero()) {
      NoteFailure(Outcome::Timeout);
      return Failed(kStrixelSilent);
    }
    if (!WaitForBytes(kStrixelWaitBytes, std::chrono::duration<float>(wait).count())) return Failed(kStrixelSilent);
  }

  auto no_frame = [this] {
    NoteFailureIfUnexplained(Outcome::BadReply);
    return Failed(kStrixelNoFrame);
  };
  const uint8_t* rx = rx_buffer.get();
  for (;;) {
    if (stream->Available() < kStrixelWaitBytes) return no_frame();
    if (Clock::now() >= give_up) {
      NoteFailure(Outcome::Timeout);
      return Failed(kStrixelNoFrame);
    }

    uint8_t code = ReadHeaderCode();
    for (int skipped = 0; code != kStatusMessage; ++skipped) {
      if (code == 0) {
        NoteFailureIfUnexplained(Outcome::BadReply);
        return Failed(kStrixelNoHeader);
      }
      if (skipped == kStrixelHeaderSearchLimit) return no_frame();
      code = ReadHeaderCode();
    }

    // Decoded as it arrives, so no length of frame can be cut short and misread.
    StrixelFrameDecoder frame;
    // A device streaming faster than this reads must not hold the call past its limit.
    while (stream->Available() > 0 && Clock::now() < give_up) {
      if (ReadPayload(1) != 1) break;
      if (frame.Push(rx[0])) break;
    }

    StrixelStatus status;
    if (frame.Finish(status)) return status;
  }
}

}  // namespace Velkor::HardwareAPI::Devices
