#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Velkor/HardwareAPI/Devices/Device.hpp"

namespace Velkor::HardwareAPI::Devices {

using Triple = std::array<float, 3>;

// The wake-up reply as the host keeps it.
struct DeviceInfo {
  uint16_t device_id = 0;
  uint8_t device_model_number = 0;
  uint8_t hardware_version = 0;
  uint8_t firmware_version = 0;
  uint8_t device_id_ext[16] = {};
};

// A state reply: end-effector position and velocity, or joint angles and velocities.
struct ArmState {
  Triple first{};
  Triple second{};
};

// One arm-type device on one stream.
//
// Every public call records how it ended in last_outcome and counts a failure
// once. The whole exchanges (Wakeup, QueryIdentifier, Exchange and the
// operations built on it, the status queries) return only a whole reply that
// arrived after their request went out, never one queued or still arriving
// before it (see Device::BeginExchange), and a failed one is waited out before
// the next request goes out, up to its horizon. What the protocol cannot tell
// apart: a stray reply (a duplicate, or one later than the horizon) that
// arrives after the next request went out is taken for that request's reply,
// and a loop sending back to back stays one behind until a request finds the
// reply it is behind on queued (a paced loop always does). The split
// forms (SendDeviceWakeup and ReceiveDeviceInfo, SendRequest and ReceiveState,
// RequestCurrent and ReceiveCurrent) read the queue as it is.
// Every call first makes a stream that an earlier failure left not good
// usable again, as long as its port is open.
struct Vorlan3 : Device {
  static constexpr uint8_t kWakeup = 0x0A;
  static constexpr uint8_t kDeviceInfoReply = 0x0B;
  static constexpr uint8_t kIdentifierQuery = 0x0D;
  static constexpr uint8_t kDeviceIdentifier = 0xD1;
  static constexpr uint8_t kFirmwareVersion = 0xD2;
  static constexpr uint8_t kJointTorqueRequest = 0x1A;
  static constexpr uint8_t kJointStateReply = 0x1B;
  static constexpr uint8_t kJointAngleRequest = 0x1C;
  static constexpr uint8_t kForceRequest = 0x2A;
  static constexpr uint8_t kEndEffectorStateReply = 0x2B;
  static constexpr uint8_t kPositionRequest = 0x2C;
  static constexpr uint8_t kMotorCurrentQuery = 0xAB;
  static constexpr uint8_t kOrientationQuery = 0x0C;
  static constexpr uint8_t kPowerStatusQuery = 0xAC;
  static constexpr uint8_t kTemperatureQuery = 0xAA;

  static constexpr size_t kDeviceInfoSize = 21;
  static constexpr size_t kIdentifierRecordSize = 17;
  static constexpr uint8_t kIdentifierLength = 16;
  static constexpr size_t kRequestSize = 13;
  static constexpr size_t kStateSize = 24;
  static constexpr size_t kMotorCurrentSize = 12;
  static constexpr size_t kOrientationSize = 16;
  static constexpr size_t kPowerStatusSize = 1;
  static constexpr size_t kTemperatureSize = 4;
  static constexpr size_t kDiscardSize = 1024;
  static constexpr int kFlushReads = 32;
  static constexpr uint8_t kArmModelNumber = 4;
  static constexpr float kDefaultReadTimeout = 5.0f;
  // No position (m) of a desk arm comes near this.
  static constexpr float kLargestReading = 1000.0f;
  // Nor any velocity (m/s) near this; a simulator echoing request numbers as
  // velocities stays below it for hours.
  static constexpr float kLargestSpeed = 1e6f;

  // Sends nothing; resets the shared kinematic model as every arm construction does.
  Vorlan3(IO::SerialStream* stream, float timeout = kDefaultReadTimeout);

  // Identity.
  void SendDeviceWakeup();
  // 21 on success, -1 on failure (outputs then untouched).
  int32_t ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number, uint8_t& hardware_version,
                            uint8_t& firmware_version, uint8_t (&device_id_ext)[16]);
  int32_t ReceiveDeviceInfo(DeviceInfo& info);
  // The wake-up and its device-information reply as one exchange: 21, or -1
  // with `info` untouched.
  int32_t Wakeup(DeviceInfo& info);
  // The 16 identifier bytes of sub-code kDeviceIdentifier or kFirmwareVersion; zeros on failure.
  std::array<uint8_t, 16> QueryIdentifier(uint8_t sub_code);

  // State exchange: one request, one state reply (zero triples on failure).
  ArmState Exchange(uint8_t code, uint8_t reply_code, const Triple& request);
  // A whole state exchange for callers that pace their own requests (the servo
  // loop): every wait of it ends within limit_seconds of its start, whole frames
  // queued before the request are discarded (replies among them counted in
  // stray_replies), and a failure costs no discard attempt and no waiting out
  // of earlier failures. Replies owed to earlier requests (see
  // Device::Outstanding) are read as whole frames before its own, never as
  // its own. A reply with a value that is not finite or not Plausible is a
  // BadReply. `state` is written only when the outcome
  // is Ok. settle_first: before the request goes out, wait (beyond
  // limit_seconds) until no earlier request is owed a reply or their horizon
  // has passed, as a caller that holds zero force can afford.
  Outcome ExchangeWithin(uint8_t code, uint8_t reply_code, const Triple& request, double limit_seconds,
                         ArmState& state, bool settle_first = false);
  // Whether every value of a state reply is finite, positions within
  // kLargestReading and velocities within kLargestSpeed.
  static bool Plausible(const ArmState& state);
  void SendRequest(uint8_t code, const Triple& request);
  // 24 on success, -1 on failure (outputs then untouched).
  int32_t ReceiveState(Triple& position, Triple& velocity);
  int32_t ReceiveJointState(Triple& angles, Triple& velocities);

  // Kinematics on the host, through the shared model.
  ArmState GetEndEffectorPosition(bool onboard);
  void AdjustAngles(const Triple& degrees);

  // Status queries: true when the reply delivered the value.
  bool QueryMotorCurrents(Triple& currents);
  bool QueryOrientation(std::array<float, 4>& orientation);
  bool QueryPowerStatus(bool& powered);
  bool QueryTemperature(float& temperature);
  void RequestCurrent();
  // 12 on success, -1 on failure (output then untouched).
  int32_t ReceiveCurrent(Triple& currents);

  // Raw access outside the framing; these cope with a missing stream.
  void SetReadTimeout(float seconds);
  void FlushInput();
  // False when nothing could be written or the stream is not good afterwards.
  // A device that stops taking bytes fails the write after a stall of about a
  // second, whatever its size (serialib::WriteBytes has the rule).
  bool SendRaw(const uint8_t* data, size_t n);
  // Waits until n bytes are queued or the time-out (seconds, <= 0: no limit)
  // passes; returns how many bytes a following ReadRawInto may take.
  size_t WaitRaw(size_t n, float timeout);
  // Reads exactly n queued bytes into out: n, or 0 when the stream read failed.
  // It completes WaitRaw's call and keeps its outcome unless the read fails.
  size_t ReadRawInto(uint8_t* out, size_t n);
};

}  // namespace Velkor::HardwareAPI::Devices
