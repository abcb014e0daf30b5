#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"
#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"

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
    arm.NoteFailureIfUnexplained(Outcome::BadReply);
    arm.ReadPayload(Vorlan3::kDiscardSize);
    return false;
  }
  return arm.ReadPayload(size) == size;
}

// The payload length each reply code of this device implies.
int ReplyPayloadLength(uint8_t code) {
  switch (code) {
    case Vorlan3::kDeviceInfoReply: return static_cast<int>(Vorlan3::kDeviceInfoSize);
    case Vorlan3::kIdentifierQuery: return static_cast<int>(1 + Vorlan3::kIdentifierRecordSize);
    case Vorlan3::kJointStateReply:
    case Vorlan3::kEndEffectorStateReply: return static_cast<int>(Vorlan3::kStateSize);
    case Vorlan3::kMotorCurrentQuery: return static_cast<int>(Vorlan3::kMotorCurrentSize);
    case Vorlan3::kOrientationQuery: return static_cast<int>(Vorlan3::kOrientationSize);
    case Vorlan3::kPowerStatusQuery: return static_cast<int>(Vorlan3::kPowerStatusSize);
    case Vorlan3::kTemperatureQuery: return static_cast<int>(Vorlan3::kTemperatureSize);
    default: return -1;
  }
}

// The reply to a request this call sends, never one that was queued or still
// arriving before it went out.
bool RequestAndReadReply(Vorlan3& arm, size_t request_size, uint8_t reply_code, size_t reply_size) {
  if (!arm.BeginExchange()) return false;
  arm.WriteCommand(request_size);
  // A request that never went out has no reply to wait out.
  if (arm.CallFailed()) return false;
  const bool ok = arm.FinishFrame() && ReadReply(arm, reply_code, reply_size) && arm.JoinedReplyStands();
  const bool stands = ok && arm.TakeLatestReply(reply_code, reply_size);
  arm.EndExchange(stands);
  return stands;
}

// A split form's read: the queue as it is.
bool ReadQueuedReply(Vorlan3& arm, uint8_t code, size_t size) {
  if (!arm.RecoverStream()) return false;
  const bool ok = arm.FollowQueueAsItIs() && ReadReply(arm, code, size);
  if (!ok) arm.EndExchange(false);
  return ok;
}

bool Query(Vorlan3& arm, uint8_t code, size_t size) {
  arm.tx_buffer[0] = code;
  return RequestAndReadReply(arm, 1, code, size);
}

void EncodeRequest(Vorlan3& arm, uint8_t code, const Triple& request) {
  arm.tx_buffer[0] = code;
  for (size_t i = 0; i < request.size(); ++i) PutFloat(arm.tx_buffer.get() + 1 + 4 * i, request[i]);
}

// Whether a joint state reply can be a reading: finite values (degrees and
// degrees per second have no bound a desk arm sets as plainly as metres do).
bool FiniteState(const ArmState& state) {
  for (const Triple* t : {&state.first, &state.second})
    for (float x : *t)
      if (!std::isfinite(x)) return false;
  return true;
}

ArmState ExchangeInCall(Vorlan3& arm, uint8_t code, uint8_t reply_code, const Triple& request) {
  EncodeRequest(arm, code, request);
  ArmState state;
  if (!RequestAndReadReply(arm, Vorlan3::kRequestSize, reply_code, Vorlan3::kStateSize)) return state;
  ArmState reply;
  GetFloats(arm.rx_buffer.get(), reply.first);
  GetFloats(arm.rx_buffer.get() + 12, reply.second);
  // A whole frame, and the line stays in step, but no arm reads like this: the
  // call fails with its zeros, as the servo loop's exchange does.
  const bool plausible =
      reply_code == Vorlan3::kEndEffectorStateReply ? Vorlan3::Plausible(reply) : FiniteState(reply);
  if (!plausible) {
    arm.NoteFailure(Outcome::BadReply);
    return state;
  }
  return reply;
}

// The angles the device reports for a zero-torque request; zeros when it does not answer.
Triple ReportedAngles(Vorlan3& arm) {
  return ExchangeInCall(arm, Vorlan3::kJointTorqueRequest, Vorlan3::kJointStateReply, Triple{}).first;
}

void DecodeDeviceInfo(const uint8_t* rx, uint16_t& device_id, uint8_t& device_model_number,
                      uint8_t& hardware_version, uint8_t& firmware_version, uint8_t (&device_id_ext)[16]) {
  device_id = GetUint16(rx);
  device_model_number = rx[2];
  hardware_version = rx[3];
  firmware_version = rx[4];
  std::memcpy(device_id_ext, rx + 5, sizeof device_id_ext);
}

// The identifier reply's first payload byte is its sub-code, read as a second
// code: notifications may come before it.
bool HasSecondCode(uint8_t code) { return code == Vorlan3::kIdentifierQuery; }

}  // namespace

Vorlan3::Vorlan3(IO::SerialStream* stream_, float timeout) : Device(stream_, timeout) {
  SetReplyLengths(&ReplyPayloadLength, &HasSecondCode);
  ArmModel::Instance().ResetForNewArm();
}

void Vorlan3::SendDeviceWakeup() {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  tx_buffer[0] = kWakeup;
  WriteCommand(1);
}

int32_t Vorlan3::ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number, uint8_t& hardware_version,
                                   uint8_t& firmware_version, uint8_t (&device_id_ext)[16]) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  if (!ReadQueuedReply(*this, kDeviceInfoReply, kDeviceInfoSize)) return -1;
  DecodeDeviceInfo(rx_buffer.get(), device_id, device_model_number, hardware_version, firmware_version,
                   device_id_ext);
  return static_cast<int32_t>(kDeviceInfoSize);
}

int32_t Vorlan3::ReceiveDeviceInfo(DeviceInfo& info) {
  return ReceiveDeviceInfo(info.device_id, info.device_model_number, info.hardware_version, info.firmware_version,
                           info.device_id_ext);
}

int32_t Vorlan3::Wakeup(DeviceInfo& info) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  tx_buffer[0] = kWakeup;
  if (!RequestAndReadReply(*this, 1, kDeviceInfoReply, kDeviceInfoSize)) return -1;
  DecodeDeviceInfo(rx_buffer.get(), info.device_id, info.device_model_number, info.hardware_version,
                   info.firmware_version, info.device_id_ext);
  return static_cast<int32_t>(kDeviceInfoSize);
}

std::array<uint8_t, 16> Vorlan3::QueryIdentifier(uint8_t sub_code) {
  Call call(*this, CallLimit());
  if (call.Refused()) return {};
  std::array<uint8_t, 16> identifier{};
  if (!BeginExchange()) return identifier;
  tx_buffer[0] = kIdentifierQuery;
  tx_buffer[1] = sub_code;
  WriteCommand(2);
  if (CallFailed()) return identifier;
  if (!FinishFrame()) {
    EndExchange(false);
    return identifier;
  }
  const uint8_t first = ReadHeaderCode();
  const uint8_t second = ReadHeaderCode();
  if (first != kIdentifierQuery || second != sub_code) {
    NoteFailureIfUnexplained(Outcome::BadReply);
    ReadPayload(kDiscardSize);
  } else if (ReadPayload(kIdentifierRecordSize) != kIdentifierRecordSize) {
    NoteFailureIfUnexplained(Outcome::Timeout);
  } else if (rx_buffer[0] != kIdentifierLength) {
    NoteFailure(Outcome::BadReply);
  } else if (JoinedReplyStands()) {
    std::memcpy(identifier.data(), rx_buffer.get() + 1, identifier.size());
    EndExchange(true);
    return identifier;
  }
  EndExchange(false);
  return identifier;
}

void Vorlan3::SendRequest(uint8_t code, const Triple& request) {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  EncodeRequest(*this, code, request);
  WriteCommand(kRequestSize);
}

ArmState Vorlan3::Exchange(uint8_t code, uint8_t reply_code, const Triple& request) {
  Call call(*this, CallLimit());
  if (call.Refused()) return {};
  return ExchangeInCall(*this, code, reply_code, request);
}

Outcome Vorlan3::ExchangeWithin(uint8_t code, uint8_t reply_code, const Triple& request, double limit_seconds,
                                ArmState& state, bool settle_first) {
  Call call(*this, limit_seconds);
  if (call.Refused()) return Outcome::Refused;
  EncodeRequest(*this, code, request);
  if (!BeginExchange(false)) return CallFailure();
  if (settle_first && !AwaitEarlierReplies()) return CallFailure();
  WriteCommand(kRequestSize);
  // A request that never went out has no reply to wait out.
  if (CallFailed()) return CallFailure();
  bool ok = FinishFrame() && SkipEarlierReplies();
  if (ok && ReadHeaderCode() != reply_code) {
    NoteFailureIfUnexplained(Outcome::BadReply);
    ok = false;
  }
  if (ok && ReadPayload(kStateSize) != kStateSize) {
    NoteFailureIfUnexplained(Outcome::Timeout);
    ok = false;
  }
  if (ok && !JoinedReplyStands()) ok = false;
  if (ok && !TakeLatestReply(reply_code, kStateSize)) ok = false;
  EndExchange(ok);
  if (!ok) return CallFailure();
  ArmState reply;
  GetFloats(rx_buffer.get(), reply.first);
  GetFloats(rx_buffer.get() + 12, reply.second);
  // The frame was whole and the line stays in step, but no arm is there.
  if (!Plausible(reply)) {
    NoteFailure(Outcome::BadReply);
    return Outcome::BadReply;
  }
  state = reply;
  return Outcome::Ok;
}

bool Vorlan3::Plausible(const ArmState& state) {
  for (float x : state.first)
    if (!(std::fabs(x) <= kLargestReading)) return false;
  for (float v : state.second)
    if (!(std::fabs(v) <= kLargestSpeed)) return false;
  return true;
}

int32_t Vorlan3::ReceiveState(Triple& position, Triple& velocity) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  if (!ReadQueuedReply(*this, kEndEffectorStateReply, kStateSize)) return -1;
  GetFloats(rx_buffer.get(), position);
  GetFloats(rx_buffer.get() + 12, velocity);
  return static_cast<int32_t>(kStateSize);
}

int32_t Vorlan3::ReceiveJointState(Triple& angles, Triple& velocities) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  if (!ReadQueuedReply(*this, kJointStateReply, kStateSize)) return -1;
  GetFloats(rx_buffer.get(), angles);
  GetFloats(rx_buffer.get() + 12, velocities);
  return static_cast<int32_t>(kStateSize);
}

ArmState Vorlan3::GetEndEffectorPosition(bool onboard) {
  Call call(*this, CallLimit());
  if (call.Refused()) return {};
  if (onboard) return ExchangeInCall(*this, kForceRequest, kEndEffectorStateReply, Triple{});
  ArmState state;
  state.first = ArmModel::Instance().PositionFromReportedAngles(ReportedAngles(*this));
  return state;
}

void Vorlan3::AdjustAngles(const Triple& degrees) {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  ArmModel::Instance().Calibrate(ReportedAngles(*this), degrees);
}

bool Vorlan3::QueryMotorCurrents(Triple& currents) {
  Call call(*this, CallLimit());
  if (call.Refused()) return false;
  if (!Query(*this, kMotorCurrentQuery, kMotorCurrentSize)) return false;
  GetFloats(rx_buffer.get(), currents);
  return true;
}

bool Vorlan3::QueryOrientation(std::array<float, 4>& orientation) {
  Call call(*this, CallLimit());
  if (call.Refused()) return false;
  if (!Query(*this, kOrientationQuery, kOrientationSize)) return false;
  GetFloats(rx_buffer.get(), orientation);
  return true;
}

bool Vorlan3::QueryPowerStatus(bool& powered) {
  Call call(*this, CallLimit());
  if (call.Refused()) return false;
  if (!Query(*this, kPowerStatusQuery, kPowerStatusSize)) return false;
  powered = rx_buffer[0] != 0;
  return true;
}

bool Vorlan3::QueryTemperature(float& temperature) {
  Call call(*this, CallLimit());
  if (call.Refused()) return false;
  if (!Query(*this, kTemperatureQuery, kTemperatureSize)) return false;
  temperature = GetFloat(rx_buffer.get());
  return true;
}

void Vorlan3::RequestCurrent() {
  Call call(*this, CallLimit());
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  tx_buffer[0] = kMotorCurrentQuery;
  WriteCommand(1);
}

int32_t Vorlan3::ReceiveCurrent(Triple& currents) {
  Call call(*this, CallLimit());
  if (call.Refused()) return -1;
  if (!ReadQueuedReply(*this, kMotorCurrentQuery, kMotorCurrentSize)) return -1;
  GetFloats(rx_buffer.get(), currents);
  return static_cast<int32_t>(kMotorCurrentSize);
}

void Vorlan3::SetReadTimeout(float seconds) {
  Call call(*this, 0.0);
  if (call.Refused()) return;
  read_timeout = seconds;
}

void Vorlan3::FlushInput() {
  Call call(*this, 0.0);
  if (call.Refused()) return;
  if (!RecoverStream()) return;
  for (int i = 0; i < kFlushReads; ++i) {
    if (i > 0 && InterruptRequested()) {
      NoteFailure(Outcome::Interrupted);
      return;
    }
    const int32_t queued = stream->Available();
    if (queued <= 0) return;
    const size_t n = std::min(static_cast<size_t>(queued), kBufferSize);
    stream->read(reinterpret_cast<char*>(rx_buffer.get()), static_cast<std::streamsize>(n));
    if (!stream->good()) {
      NoteFailure(StreamFault(Outcome::Timeout));
      return;
    }
  }
}

bool Vorlan3::SendRaw(const uint8_t* data, size_t n) {
  Call call(*this, 0.0);
  if (call.Refused()) return false;
  if (!RecoverStream()) return false;
  if (data == nullptr || n == 0 || n > static_cast<size_t>(std::numeric_limits<std::streamsize>::max())) {
    NoteFailure(Outcome::WriteFailed);
    return false;
  }
  stream->Write(data, n);
  if (stream->good()) return true;
  NoteFailure(StreamFault(Outcome::WriteFailed));
  return false;
}

size_t Vorlan3::WaitRaw(size_t n, float timeout) {
  Call call(*this, 0.0);
  if (call.Refused()) return 0;
  if (!RecoverStream() || n == 0) return 0;
  if (WaitForBytes(n, timeout)) return n;
  // Timed out, or the port went away: what is there is what there is.
  return std::min(n, static_cast<size_t>(std::max<int32_t>(stream->Available(), 0)));
}

size_t Vorlan3::ReadRawInto(uint8_t* out, size_t n) {
  if (!Admits()) return 0;
  if (stream == nullptr || out == nullptr || n == 0) return 0;
  stream->read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  if (stream->good()) return static_cast<size_t>(stream->gcount());
  // It completes the read that WaitRaw began: a failure counts once.
  if (last_outcome == Outcome::Ok) {
    last_outcome = StreamFault(Outcome::Timeout);
    ++failures;
  }
  return 0;
}

}  // namespace Velkor::HardwareAPI::Devices
