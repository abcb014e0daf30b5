#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "SimDevice.hpp"
#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"

namespace Velkor::Sim {

using HardwareAPI::Devices::Handle;
using HardwareAPI::Devices::StrixelStatus;

// A virtual handle: it turns slowly about a fixed axis, cycles its buttons and
// hall level, and drains its battery; status messages carry back the user data
// the host last sent.
class HandleSim : public SimDevice {
 public:
  static constexpr uint8_t kDeviceIdLow = 0x21;
  static constexpr uint8_t kModelNumber = 0x05;  // the info message's high device-id byte
  static constexpr uint16_t kDeviceId = static_cast<uint16_t>(kModelNumber << 8 | kDeviceIdLow);
  static constexpr uint8_t kHardwareVersion = 2;
  static constexpr uint8_t kFirmwareVersion = 7;
  static constexpr uint8_t kToolDataRemaining = 3;
  static constexpr uint8_t kErrorFlag = 0;  // the handle's own: nothing wrong

  static constexpr double kTurnRate = 0.4;          // rad/s about kAxis
  static constexpr double kAxis[3] = {0.48, 0.6, 0.64};  // unit length
  static constexpr double kBatteryFull = 4.15;      // V
  static constexpr double kBatteryEmpty = 3.3;
  static constexpr double kBatteryDrain = 0.002;    // V/s
  static constexpr double kButtonPeriod = 1.5;      // s per button pattern
  static constexpr double kHallPeriod = 4.0;        // s per sweep up and down

  explicit HandleSim(double start) : start_(start) {}

  size_t CommandLength(const uint8_t* data, size_t n) const override {
    switch (data[0]) {
      case Handle::kWakeup:
      case Handle::kRequestStatus:
        return 1;
      case Handle::kHandleState:
        if (n < 4) return kNeedMore;
        return n >= 4u + data[3] ? 4u + data[3] : kNeedMore;
      default:
        return kUnknown;
    }
  }

  size_t Answer(const uint8_t* command, size_t n, double now, uint8_t* out) override {
    switch (command[0]) {
      case Handle::kWakeup:
        out[0] = Handle::kInfoMessage;
        out[1] = kToolDataRemaining;
        out[2] = 0;
        out[3] = kDeviceIdLow;
        out[4] = kModelNumber;
        out[5] = kHardwareVersion;
        out[6] = kFirmwareVersion;
        return 1 + Handle::kInfoSize;
      case Handle::kRequestStatus:
        return StatusMessage(now, out);
      case Handle::kHandleState:
        user_data_length_ = static_cast<uint8_t>(n - 4);
        std::memcpy(user_data_, command + 4, user_data_length_);
        return 0;
      default:
        return 0;
    }
  }

  size_t StreamFrame(double now, uint8_t* out) override {
    const StrixelStatus status = StatusAt(now);
    out[0] = Handle::kStatusMessage;
    return 1 + HardwareAPI::Devices::EncodeStrixelStatusFrame(status, out + 1, kFrameCapacity - 1);
  }

  StrixelStatus StatusAt(double now) const {
    const double t = now - start_;
    StrixelStatus s{};
    s.device_id = kDeviceIdLow;
    const double half = 0.5 * kTurnRate * t;
    s.quaternion[0] = static_cast<float>(kAxis[0] * std::sin(half));
    s.quaternion[1] = static_cast<float>(kAxis[1] * std::sin(half));
    s.quaternion[2] = static_cast<float>(kAxis[2] * std::sin(half));
    s.quaternion[3] = static_cast<float>(std::cos(half));
    s.error_flag = kErrorFlag;
    const double sweep = std::fmod(t, kHallPeriod) / kHallPeriod;
    s.hall_effect_sensor_level = static_cast<uint8_t>(std::lround(31.0 * (1.0 - std::fabs(2.0 * sweep - 1.0))));
    s.buttons = static_cast<uint8_t>(static_cast<long>(t / kButtonPeriod) % 8);
    s.battery_level = static_cast<float>(std::max(kBatteryEmpty, kBatteryFull - kBatteryDrain * t));
    return s;
  }

 private:
  size_t StatusMessage(double now, uint8_t* out) const {
    const StrixelStatus s = StatusAt(now);
    out[0] = Handle::kStatusMessage;
    PutUint16(out + 1, kDeviceId);
    out[3] = s.error_flag;
    out[4] = s.hall_effect_sensor_level;
    for (int i = 0; i < 4; ++i) PutFloat(out + 5 + 4 * i, s.quaternion[i]);
    out[21] = user_data_length_;
    std::memcpy(out + 1 + Handle::kStatusFixedSize, user_data_, user_data_length_);
    return 1 + Handle::kStatusFixedSize + user_data_length_;
  }

  double start_;
  uint8_t user_data_length_ = 0;
  uint8_t user_data_[255] = {};
};

}  // namespace Velkor::Sim
