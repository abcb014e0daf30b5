#include "Velkor/HardwareAPI/Devices/Handle.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
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

Handle::Handle(IO::SerialStream* stream_, float read_timeout_)
    : Device(stream_, read_timeout_), frame_(new uint8_t[kBufferSize]()) {}

bool Handle::FindBoundary() {
  if (!out_of_step_) return true;
  const uint8_t* rx = rx_buffer.get();
  StrixelFrameDecoder frame;
  bool in_frame = false;
  for (;;) {
    if (InterruptRequested()) {
      NoteFailure(Outcome::Interrupted);
      return false;
    }
    if (stream->Available() == 0) {
      const auto waited = stream->WaitReadable(kQuietBoundary);
      if (waited == Platform::WaitResult::Gone) {
        NoteFailure(Outcome::PortGone);
        return false;
      }
      if (stream->Available() == 0) break;  // the line stands still: between frames
    }
    if (ReadPayload(1) != 1) return false;
    if (rx[0] == kStatusMessage) {
      // Perhaps the start of a status frame; or a byte inside one, in which
      // case the frame that began earlier still ends at the next 0xC0.
      frame = StrixelFrameDecoder();
      in_frame = true;
      continue;
    }
    StrixelStatus status;
    if (in_frame && frame.Push(rx[0]) && frame.Finish(status)) break;  // a whole frame just ended
  }
  out_of_step_ = false;
  return true;
}

bool Handle::NextMayBeginFrame() {
  if (stream->Available() <= 0) return true;
  const auto next = stream->peek();
  return next == kInfoMessage || next == kStatusMessage || next == kErrorResponse || next == kNotificationA ||
         next == kNotificationB;
}

int32_t Handle::ReceiveStatusMessage() {
  uint8_t* body = frame_.get();
  const uint8_t* rx = rx_buffer.get();
  // The body as a status frame, and as one that began at a later 0xDA: a
  // message cut short, with a streamed frame behind it.
  StrixelFrameDecoder streamed;
  StrixelFrameDecoder inner;
  bool in_inner = false;
  size_t n = 0;
  for (;;) {
    if (ReadPayload(1) != 1) {
      out_of_step_ = true;
      // As two payload reads count: the fixed part, if it came whole.
      return n < kStatusFixedSize ? 0 : static_cast<int32_t>(kStatusFixedSize);
    }
    const uint8_t byte = rx[0];
    body[n++] = byte;
    StrixelStatus status;
    if (streamed.Push(byte) && streamed.Finish(status)) return -2;  // a streamed status frame
    if (in_inner && inner.Push(byte) && inner.Finish(status)) {
      // What came before that frame was no whole message; the line is at a boundary again.
      NoteFailure(Outcome::BadReply);
      return -1;
    }
    if (byte == kStatusMessage) {
      inner = StrixelFrameDecoder();
      in_inner = true;
    }
    if (n >= kStatusFixedSize && n == kStatusFixedSize + body[kStatusFixedSize - 1]) break;
  }
  // A message that took bytes of the next frame for its own ends where no frame begins.
  if (!NextMayBeginFrame()) {
    NoteFailure(Outcome::BadReply);
    out_of_step_ = true;
    return -1;
  }
  HandleStatusMessage message;
  message.device_id = GetUint16(body);
  message.error_flag = body[2];
  message.hall_effect_sensor_level = body[3];
  bool finite = true;
  for (size_t i = 0; i < 4; ++i) {
    message.quaternion[i] = GetFloat(body + 4 + 4 * i);
    finite = finite && std::isfinite(message.quaternion[i]) &&
             std::fabs(message.quaternion[i]) <= kLargestQuaternionComponent;
  }
  if (!finite) {
    // No orientation looks like that: the line was out of step, or the bytes were damaged.
    NoteFailure(Outcome::BadReply);
    out_of_step_ = true;
    return -1;
  }
  message.user_data_length = body[kStatusFixedSize - 1];
  std::memcpy(message.user_data, body + kStatusFixedSize, message.user_data_length);
  OnReceiveHandleStatusMessage(message.device_id, message.quaternion, message.error_flag,
                               message.hall_effect_sensor_level, message.user_data_length, message.user_data);
  OnReceiveHandleStatusMessage(message);
  return static_cast<int32_t>(n);
}

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
  if (!FindBoundary()) return -1;
  const uint8_t* rx = rx_buffer.get();
  // Skipping status frames must not stretch the wait for a message past one read time-out.
  const bool limited = read_timeout > 0.0f && std::isfinite(read_timeout);
  const auto give_up = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<float>(limited ? read_timeout : 0.0f));
  for (;;) {
    code = ReadHeaderCode();
    switch (code) {
      case kInfoMessage: {
        const uint32_t n = ReadPayload(kInfoSize);
        // A message cut short is no message: its callback would get whatever the buffer held.
        if (n != kInfoSize) {
          out_of_step_ = true;
          return static_cast<int32_t>(n);
        }
        HandleInfo info;
        info.tool_data_remaining = rx[0];
        info.device_id = GetUint16(rx + 2);
        info.device_model_number = rx[3];
        info.hardware_version = rx[4];
        info.firmware_version = rx[5];
        OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                            info.hardware_version, info.firmware_version);
        OnReceiveHandleInfo(info);
        return static_cast<int32_t>(n);
      }
      case kStatusMessage: {
        const int32_t n = ReceiveStatusMessage();
        if (n == -2) {
          ++status_frames_skipped;
          if (limited && Clock::now() >= give_up) {
            code = 0;
            NoteFailure(Outcome::Timeout);
            return -1;
          }
          continue;
        }
        return n;
      }
      case kErrorResponse: {
        const uint32_t n = ReadPayload(kErrorSize);
        if (n != kErrorSize) {
          out_of_step_ = true;
          return static_cast<int32_t>(n);
        }
        HandleErrorResponse response;
        response.device_id = GetUint16(rx);
        response.error_code = rx[2];
        OnReceiveHandleErrorResponse(response.device_id, response.error_code);
        OnReceiveHandleErrorResponse(response);
        return static_cast<int32_t>(n);
      }
      default:
        // A byte that begins no message; when the next one begins none either, the line is out of step.
        if (code != 0 && !NextMayBeginFrame()) out_of_step_ = true;
        NoteFailureIfUnexplained(Outcome::BadReply);
        return -1;
    }
  }
}

StrixelStatus Handle::GetStrixelStatus() {
  Call call(*this, std::chrono::duration<double>(kStatusCallLimit).count());
  if (call.Refused()) return Failed(kStrixelSilent);
  if (!RecoverStream()) return Failed(kStrixelSilent);
  if (!FindBoundary()) return Failed(kStrixelSilent);

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
    out_of_step_ = true;
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
        out_of_step_ = true;
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
    if (frame.Finish(status)) {
      out_of_step_ = false;
      return status;
    }
    out_of_step_ = true;
  }
}

}  // namespace Velkor::HardwareAPI::Devices
