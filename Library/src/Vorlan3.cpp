#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"

#include <algorithm>
#include <cstring>

#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"
#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"

namespace Velkor::HardwareAPI::Devices {

namespace {

template <size_t N>
void GetFloats(const uint8_t* in, std::array<float, N>& out) {
  for (size_t i = 0; i < N; ++i) out[i] = GetFloat(in + 4 * i);
}

// Reads one reply of the given code and payload size into rx_buffer. A wrong code
// costs a discard attempt, as every exchange of this device does.
bool ReadReply(Vorlan3& arm, uint8_t code, size_t size) {
  if (arm.ReadHeaderCode() != code) {
    arm.ReadPayload(Vorlan3::kDiscardSize);
    return false;
  }
  return arm.ReadPayload(size) == size;
}

bool Query(Vorlan3& arm, uint8_t code, size_t size) {
  arm.tx_buffer[0] = code;
  arm.WriteCommand(1);
  return ReadReply(arm, code, size);
}

// The angles the device reports for a zero-torque request; zeros when it does not answer.
Triple ReportedAngles(Vorlan3& arm) {
  return arm.Exchange(Vorlan3::kJointTorqueRequest, Vorlan3::kJointStateReply, Triple{}).first;
}

}  // namespace

Vorlan3::Vorlan3(IO::SerialStream* stream_, float timeout) : Device(stream_, timeout) {
  ArmModel::Instance().ResetForNewArm();
}

void Vorlan3::SendDeviceWakeup() {
  tx_buffer[0] = kWakeup;
  WriteCommand(1);
}

int32_t Vorlan3::ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number, uint8_t& hardware_version,
                                   uint8_t& firmware_version, uint8_t (&device_id_ext)[16]) {
  if (!ReadReply(*this, kDeviceInfoReply, kDeviceInfoSize)) return -1;
  const uint8_t* rx = rx_buffer.get();
  device_id = GetUint16(rx);
  device_model_number = rx[2];
  hardware_version = rx[3];
  firmware_version = rx[4];
  std::memcpy(device_id_ext, rx + 5, sizeof device_id_ext);
  return static_cast<int32_t>(kDeviceInfoSize);
}

int32_t Vorlan3::ReceiveDeviceInfo(DeviceInfo& info) {
  return ReceiveDeviceInfo(info.device_id, info.device_model_number, info.hardware_version, info.firmware_version,
                           info.device_id_ext);
}

std::array<uint8_t, 16> Vorlan3::QueryIdentifier(uint8_t sub_code) {
  tx_buffer[0] = kIdentifierQuery;
  tx_buffer[1] = sub_code;
  WriteCommand(2);
  std::array<uint8_t, 16> identifier{};
  const uint8_t first = ReadHeaderCode();
  const uint8_t second = ReadHeaderCode();
  if (first != kIdentifierQuery || second != sub_code) {
    ReadPayload(kDiscardSize);
    return identifier;
  }
  if (ReadPayload(kIdentifierRecordSize) == kIdentifierRecordSize && rx_buffer[0] == kIdentifierLength) {
    std::memcpy(identifier.data(), rx_buffer.get() + 1, identifier.size());
  }
  return identifier;
}

void Vorlan3::SendRequest(uint8_t code, const Triple& request) {
  tx_buffer[0] = code;
  for (size_t i = 0; i < request.size(); ++i) PutFloat(tx_buffer.get() + 1 + 4 * i, request[i]);
  WriteCommand(kRequestSize);
}

ArmState Vorlan3::Exchange(uint8_t code, uint8_t reply_code, const Triple& request) {
  SendRequest(code, request);
  ArmState state;
  if (ReadReply(*this, reply_code, kStateSize)) {
    GetFloats(rx_buffer.get(), state.first);
    GetFloats(rx_buffer.get() + 12, state.second);
  }
  return state;
}

int32_t Vorlan3::ReceiveState(Triple& position, Triple& velocity) {
  if (!ReadReply(*this, kEndEffectorStateReply, kStateSize)) return -1;
  GetFloats(rx_buffer.get(), position);
  GetFloats(rx_buffer.get() + 12, velocity);
  return static_cast<int32_t>(kStateSize);
}

int32_t Vorlan3::ReceiveJointState(Triple& angles, Triple& velocities) {
  if (!ReadReply(*this, kJointStateReply, kStateSize)) return -1;
  GetFloats(rx_buffer.get(), angles);
  GetFloats(rx_buffer.get() + 12, velocities);
  return static_cast<int32_t>(kStateSize);
}

ArmState Vorlan3::GetEndEffectorPosition(bool onboard) {
  if (onboard) return Exchange(kForceRequest, kEndEffectorStateReply, Triple{});
  ArmState state;
  state.first = ArmModel::Instance().PositionFromReportedAngles(ReportedAngles(*this));
  return state;
}

void Vorlan3::AdjustAngles(const Triple& degrees) {
  ArmModel::Instance().Calibrate(ReportedAngles(*this), degrees);
}

bool Vorlan3::QueryMotorCurrents(Triple& currents) {
  if (!Query(*this, kMotorCurrentQuery, kMotorCurrentSize)) return false;
  GetFloats(rx_buffer.get(), currents);
  return true;
}

bool Vorlan3::QueryOrientation(std::array<float, 4>& orientation) {
  if (!Query(*this, kOrientationQuery, kOrientationSize)) return false;
  GetFloats(rx_buffer.get(), orientation);
  return true;
}

bool Vorlan3::QueryPowerStatus(bool& powered) {
  if (!Query(*this, kPowerStatusQuery, kPowerStatusSize)) return false;
  powered = rx_buffer[0] != 0;
  return true;
}

bool Vorlan3::QueryTemperature(float& temperature) {
  if (!Query(*this, kTemperatureQuery, kTemperatureSize)) return false;
  temperature = GetFloat(rx_buffer.get());
  return true;
}

void Vorlan3::RequestCurrent() {
  tx_buffer[0] = kMotorCurrentQuery;
  WriteCommand(1);
}

int32_t Vorlan3::ReceiveCurrent(Triple& currents) {
  if (!ReadReply(*this, kMotorCurrentQuery, kMotorCurrentSize)) return -1;
  GetFloats(rx_buffer.get(), currents);
  return static_cast<int32_t>(kMotorCurrentSize);
}

void Vorlan3::SetReadTimeout(float seconds) { read_timeout = seconds; }

void Vorlan3::FlushInput() {
  if (stream == nullptr) return;
  for (int i = 0; i < kFlushReads; ++i) {
    const int32_t queued = stream->Available();
    if (queued <= 0) return;
    const size_t n = std::min(static_cast<size_t>(queued), kBufferSize);
    stream->read(reinterpret_cast<char*>(rx_buffer.get()), static_cast<std::streamsize>(n));
    if (!stream->good()) return;
  }
}

bool Vorlan3::SendRaw(const uint8_t* data, size_t n) {
  if (stream == nullptr || data == nullptr || n == 0) return false;
  stream->Write(data, n);
  return stream->good();
}

size_t Vorlan3::WaitRaw(size_t n, float timeout) {
  if (n == 0 || stream == nullptr) return 0;
  if (WaitForBytes(n, timeout)) return n;
  // Timed out, or the port went away: what is there is what there is.
  return std::min(n, static_cast<size_t>(std::max<int32_t>(stream->Available(), 0)));
}

size_t Vorlan3::ReadRawInto(uint8_t* out, size_t n) {
  if (stream == nullptr || out == nullptr || n == 0) return 0;
  stream->read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  if (!stream->good()) return 0;
  return static_cast<size_t>(stream->gcount());
}

}  // namespace Velkor::HardwareAPI::Devices
