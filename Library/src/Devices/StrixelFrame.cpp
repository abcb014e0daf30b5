#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"

#include <algorithm>
#include <cmath>

#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"

namespace Velkor::HardwareAPI::Devices {

namespace {

constexpr size_t kErrorFlagOffset = 2;
constexpr size_t kSensorOffset = 3;
constexpr size_t kDeviceIdOffset = 4;
constexpr size_t kQuaternionOffset = 8;
constexpr size_t kBatteryOffset = 16;
constexpr uint8_t kHallMask = 0x1F;
constexpr unsigned kButtonsShift = 5;
constexpr uint8_t kButtonsMask = 0x07;
constexpr float kFixedPointScale = 1.0f / 32768.0f;
constexpr double kBatteryBase = 3.0;
constexpr double kBatteryStep = 0.005;

float FixedPoint(const uint8_t* bytes) {
  int32_t value = GetUint16(bytes);
  if (value > 32767) value -= 65536;
  return static_cast<float>(value) * kFixedPointScale;
}

void PutFixedPoint(float value, uint8_t* bytes) {
  const double scaled = std::round(static_cast<double>(value) * 32768.0);
  const auto clipped = static_cast<int32_t>(std::isnan(scaled) ? 0.0 : std::clamp(scaled, -32768.0, 32767.0));
  PutUint16(bytes, static_cast<uint16_t>(clipped));
}

uint8_t BatteryRaw(float level) {
  const double raw = std::round((static_cast<double>(level) - kBatteryBase) / kBatteryStep);
  return static_cast<uint8_t>(std::isnan(raw) ? 0.0 : std::clamp(raw, 0.0, 255.0));
}

// The fields of a frame whose length and checksum have been checked.
void FillStatus(const uint8_t* fields, StrixelStatus& status) {
  status.device_id = fields[kDeviceIdOffset];
  status.error_flag = fields[kErrorFlagOffset];
  status.hall_effect_sensor_level = fields[kSensorOffset] & kHallMask;
  status.buttons = static_cast<uint8_t>(fields[kSensorOffset] >> kButtonsShift);
  const uint8_t* q = fields + kQuaternionOffset;
  status.quaternion[0] = FixedPoint(q);
  status.quaternion[1] = -FixedPoint(q + 2);
  status.quaternion[2] = -FixedPoint(q + 4);
  status.quaternion[3] = FixedPoint(q + 6);
  status.battery_level = static_cast<float>(kBatteryBase + kBatteryStep * fields[kBatteryOffset]);
}

}  // namespace

size_t SlipDecode(const uint8_t* raw, size_t n, uint8_t* out) {
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t byte = raw[i];
    if (byte == kSlipEnd) continue;
    if (byte != kSlipEscape) {
      out[length++] = byte;
      continue;
    }
    if (i + 1 < n && raw[i + 1] == kSlipEscapedEnd) {
      out[length++] = kSlipEnd;
      ++i;
    } else if (i + 1 < n && raw[i + 1] == kSlipEscapedEscape) {
      out[length++] = kSlipEscape;
      ++i;
    }
  }
  return length;
}

size_t SlipEncode(const uint8_t* bytes, size_t n, uint8_t* out, size_t capacity) {
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t byte = bytes[i];
    const bool escaped = byte == kSlipEnd || byte == kSlipEscape;
    if (length + (escaped ? 2 : 1) > capacity) return 0;
    if (escaped) {
      out[length++] = kSlipEscape;
      out[length++] = byte == kSlipEnd ? kSlipEscapedEnd : kSlipEscapedEscape;
    } else {
      out[length++] = byte;
    }
  }
  if (length + 1 > capacity) return 0;
  out[length++] = kSlipEnd;
  return length;
}

uint8_t StrixelChecksum(const uint8_t* bytes, size_t n) {
  unsigned sum = Handle::kStatusMessage;
  for (size_t i = 0; i < n; ++i) sum += bytes[i];
  return static_cast<uint8_t>(sum);
}

bool ParseStrixelStatus(const uint8_t* decoded, size_t n, StrixelStatus& status) {
  // A frame too short to hold its fields is no frame, whatever its last byte says.
  if (n < kStrixelMinFrameSize) return false;
  if (StrixelChecksum(decoded, n - 1) != decoded[n - 1]) return false;
  FillStatus(decoded, status);
  return true;
}

bool DecodeStrixelStatusFrame(const uint8_t* raw, size_t n, uint8_t* scratch, StrixelStatus& status) {
  if (n == 0 || raw[n - 1] == kSlipEscape) return false;
  return ParseStrixelStatus(scratch, SlipDecode(raw, n, scratch), status);
}

bool StrixelFrameDecoder::Push(uint8_t raw) {
  ++raw_length_;
  last_raw_ = raw;
  if (escaped_) {
    escaped_ = false;
    if (raw == kSlipEscapedEnd) {
      Append(kSlipEnd);
      return false;
    }
    if (raw == kSlipEscapedEscape) {
      Append(kSlipEscape);
      return false;
    }
    // An escape before anything else is dropped; the byte counts as itself.
  }
  if (raw == kSlipEnd) return true;
  if (raw == kSlipEscape) {
    escaped_ = true;
    return false;
  }
  Append(raw);
  return false;
}

void StrixelFrameDecoder::Append(uint8_t byte) {
  if (decoded_length_ < kStrixelFieldsSize) fields_[decoded_length_] = byte;
  ++decoded_length_;
  sum_ = static_cast<uint8_t>(sum_ + byte);
  last_decoded_ = byte;
}

bool StrixelFrameDecoder::Finish(StrixelStatus& status) const {
  if (raw_length_ == 0 || last_raw_ == kSlipEscape) return false;
  if (decoded_length_ < kStrixelMinFrameSize) return false;
  // The checksum covers every decoded byte but itself, the last one.
  const uint8_t expected = static_cast<uint8_t>(Handle::kStatusMessage + sum_ - last_decoded_);
  if (expected != last_decoded_) return false;
  FillStatus(fields_, status);
  return true;
}

size_t EncodeStrixelStatusFrame(const StrixelStatus& status, uint8_t* out, size_t capacity) {
  uint8_t decoded[kStrixelMinFrameSize] = {};
  decoded[kErrorFlagOffset] = status.error_flag;
  decoded[kSensorOffset] =
      static_cast<uint8_t>((status.hall_effect_sensor_level & kHallMask) | ((status.buttons & kButtonsMask) << kButtonsShift));
  decoded[kDeviceIdOffset] = status.device_id;
  uint8_t* q = decoded + kQuaternionOffset;
  PutFixedPoint(status.quaternion[0], q);
  PutFixedPoint(-status.quaternion[1], q + 2);
  PutFixedPoint(-status.quaternion[2], q + 4);
  PutFixedPoint(status.quaternion[3], q + 6);
  decoded[kBatteryOffset] = BatteryRaw(status.battery_level);
  decoded[kStrixelFieldsSize] = StrixelChecksum(decoded, kStrixelFieldsSize);
  return SlipEncode(decoded, kStrixelMinFrameSize, out, capacity);
}

}  // namespace Velkor::HardwareAPI::Devices
