#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "SimDevice.hpp"
#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"

namespace Velkor::Sim {

using HardwareAPI::Devices::ArmModel;
using HardwareAPI::Devices::Vorlan3;

// A virtual arm: a mass-damper in joint space, driven by the request of the last
// state exchange. Its end-effector state is the forward kinematics of the angles
// it reports, through a model with the library's defaults, so a host computing
// the position itself gets the same numbers.
class ArmSim : public SimDevice {
 public:
  static constexpr uint16_t kDeviceId = 0x3A17;
  static constexpr uint8_t kHardwareVersion = 3;
  static constexpr uint8_t kFirmwareVersion = 12;
  static constexpr uint8_t kIdentifier[16] = {0x5f, 0x0c, 0x2a, 0x9e, 0x7b, 0x41, 0x4d, 0x3a,
                                              0x9c, 0x6e, 0x1f, 0x2b, 0x3a, 0x4c, 0x5d, 0x6e};
  static constexpr char kFirmwareIdentifier[17] = "VORLAN3-FW-2.8.0";

  // Where the arm starts: both chains spread symmetrically, head centred (degrees).
  static constexpr std::array<double, 3> kHome = {0.0, -45.0, 45.0};
  // Soft workspace limits per joint (degrees); a spring pushes back beyond them and a
  // hard stop kHardMargin further keeps the linkage away from its folded singularity.
  static constexpr std::array<double, 3> kLow = {-45.0, -100.0, 15.0};
  static constexpr std::array<double, 3> kHigh = {45.0, -15.0, 100.0};
  static constexpr double kHardMargin = 10.0;

  // Joint inertia (kg m^2) and damping (N m s/rad): a ~50 ms time constant, and
  // a few cm/s of end-effector speed per newton pushing forward.
  static constexpr double kInertia = 1e-3;
  static constexpr double kDamping = 2e-2;
  static constexpr double kLimitStiffness = 5.0;           // N m/rad past a soft limit
  static constexpr double kPositionStiffness = 300.0;      // N/m towards a position request
  static constexpr double kPositionDamping = 4.0;          // N s/m
  static constexpr double kAngleStiffness = 0.5;          // N m/rad towards an angle request
  static constexpr double kAngleDamping = 2e-2;            // N m s/rad
  static constexpr double kTorquePerAmp = 0.03;            // N m/A, for the current readings
  static constexpr double kIdleCurrent = 0.02;             // A
  // Each request integrates the time since the previous one, at most kMaxElapsed so
  // a host that paused does not see the arm jump, in steps of at most kSubstep.
  static constexpr double kMaxElapsed = 0.05;
  static constexpr double kSubstep = 1e-3;
  // What the motors can give: a larger request saturates (a force by its norm).
  static constexpr double kMaxForce = 40.0;        // N
  static constexpr double kMaxJointTorque = 2.0;   // N m per joint
  // The largest push a hand is allowed to make on the arm.
  static constexpr double kMaxHandForce = 1000.0;  // N

  // `echo`: state replies carry the request's three values as position (or angles)
  // and the request's number as the first velocity, so a test can tell which
  // request a reply answers; the arm still moves as usual underneath.
  explicit ArmSim(bool echo = false) : echo_(echo) { std::copy(kHome.begin(), kHome.end(), degrees_.begin()); }

  bool SetHandForce(const double* force) override {
    double norm2 = 0.0;
    for (int i = 0; i < 3; ++i) {
      if (!std::isfinite(force[i])) return false;
      norm2 += force[i] * force[i];
    }
    if (norm2 > kMaxHandForce * kMaxHandForce) return false;
    for (int i = 0; i < 3; ++i) hand_[i] = force[i];
    return true;
  }

  size_t CommandLength(const uint8_t* data, size_t n) const override {
    switch (data[0]) {
      case Vorlan3::kWakeup:
      case Vorlan3::kMotorCurrentQuery:
      case Vorlan3::kOrientationQuery:
      case Vorlan3::kPowerStatusQuery:
      case Vorlan3::kTemperatureQuery:
        return 1;
      case Vorlan3::kIdentifierQuery:
        return n >= 2 ? 2 : kNeedMore;
      case Vorlan3::kJointTorqueRequest:
      case Vorlan3::kJointAngleRequest:
      case Vorlan3::kForceRequest:
      case Vorlan3::kPositionRequest:
        return n >= Vorlan3::kRequestSize ? Vorlan3::kRequestSize : kNeedMore;
      default:
        return kUnknown;
    }
  }

  size_t Answer(const uint8_t* command, size_t /*n*/, double now, uint8_t* out) override {
    const uint8_t code = command[0];
    switch (code) {
      case Vorlan3::kWakeup:
        out[0] = Vorlan3::kDeviceInfoReply;
        PutUint16(out + 1, kDeviceId);
        out[3] = Vorlan3::kArmModelNumber;
        out[4] = kHardwareVersion;
        out[5] = kFirmwareVersion;
        std::memcpy(out + 6, kIdentifier, 16);
        return 1 + Vorlan3::kDeviceInfoSize;
      case Vorlan3::kIdentifierQuery: {
        const uint8_t sub = command[1];
        const uint8_t* id = nullptr;
        if (sub == Vorlan3::kDeviceIdentifier) id = kIdentifier;
        if (sub == Vorlan3::kFirmwareVersion) id = reinterpret_cast<const uint8_t*>(kFirmwareIdentifier);
        if (id == nullptr) return 0;
        out[0] = Vorlan3::kIdentifierQuery;
        out[1] = sub;
        out[2] = Vorlan3::kIdentifierLength;
        std::memcpy(out + 3, id, 16);
        return 2 + Vorlan3::kIdentifierRecordSize;
      }
      case Vorlan3::kJointTorqueRequest:
      case Vorlan3::kJointAngleRequest:
      case Vorlan3::kForceRequest:
      case Vorlan3::kPositionRequest: {
        // A value that is not a finite number would poison the state for good: such
        // a request is refused, unanswered, and the one in force stays in force.
        std::array<float, 3> request{};
        for (int i = 0; i < 3; ++i) request[i] = GetFloat(command + 1 + 4 * i);
        if (!std::all_of(request.begin(), request.end(), [](float v) { return std::isfinite(v); })) {
          ++refused;
          return 0;
        }
        Advance(now);
        request_code_ = code;
        request_ = request;
        return code == Vorlan3::kForceRequest || code == Vorlan3::kPositionRequest ? EndEffectorState(out)
                                                                                    : JointState(out);
      }
      case Vorlan3::kMotorCurrentQuery:
        out[0] = code;
        for (int i = 0; i < 3; ++i) {
          const double amps = std::copysign(kIdleCurrent, motor_torque_[i]) + motor_torque_[i] / kTorquePerAmp;
          PutFloat(out + 1 + 4 * i, static_cast<float>(amps));
        }
        return 1 + Vorlan3::kMotorCurrentSize;
      case Vorlan3::kOrientationQuery: {
        out[0] = code;
        const std::array<float, 4> q = model_.Orientation();
        for (int i = 0; i < 4; ++i) PutFloat(out + 1 + 4 * i, q[i]);
        return 1 + Vorlan3::kOrientationSize;
      }
      case Vorlan3::kPowerStatusQuery:
        out[0] = code;
        out[1] = 1;
        return 1 + Vorlan3::kPowerStatusSize;
      case Vorlan3::kTemperatureQuery: {
        out[0] = code;
        double heat = 0.0;
        for (double t : motor_torque_) heat += (t / kTorquePerAmp) * (t / kTorquePerAmp);
        PutFloat(out + 1, static_cast<float>(31.5 + 2.0 * std::min(heat, 10.0)));
        return 1 + Vorlan3::kTemperatureSize;
      }
      default:
        return 0;
    }
  }

  std::array<float, 3> ReportedDegrees() const {
    return {static_cast<float>(degrees_[0]), static_cast<float>(degrees_[1]), static_cast<float>(degrees_[2])};
  }

 private:
  using Vec3 = std::array<double, 3>;
  using Mat3 = std::array<Vec3, 3>;  // [row = position axis][column = joint]

  static constexpr double kRadPerDeg = 3.14159265358979323846 / 180.0;
  static constexpr float kJacobianStepDeg = 0.05f;

  Vec3 Position(const std::array<float, 3>& deg) const {
    const std::array<float, 3> p = model_.PositionFromReportedAngles(deg);
    return {p[0], p[1], p[2]};
  }

  // d position / d joint angle in metres per radian, by central differences on the
  // same single-precision model the host uses.
  Mat3 Jacobian(const std::array<float, 3>& deg) const {
    Mat3 j{};
    for (int c = 0; c < 3; ++c) {
      std::array<float, 3> up = deg, down = deg;
      up[c] += kJacobianStepDeg;
      down[c] -= kJacobianStepDeg;
      const Vec3 pu = Position(up), pd = Position(down);
      const double span = static_cast<double>(up[c] - down[c]) * kRadPerDeg;
      for (int r = 0; r < 3; ++r) j[r][c] = (pu[r] - pd[r]) / span;
    }
    return j;
  }

  static Vec3 Times(const Mat3& j, const Vec3& v) {
    Vec3 out{};
    for (int r = 0; r < 3; ++r) out[r] = j[r][0] * v[0] + j[r][1] * v[1] + j[r][2] * v[2];
    return out;
  }

  // `v` scaled down to norm `limit` when it is longer.
  static Vec3 Saturated(const Vec3& v, double limit) {
    const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (norm <= limit) return v;
    const double k = limit / norm;
    return {v[0] * k, v[1] * k, v[2] * k};
  }

  static Vec3 TransposeTimes(const Mat3& j, const Vec3& f) {
    Vec3 out{};
    for (int c = 0; c < 3; ++c) out[c] = j[0][c] * f[0] + j[1][c] * f[1] + j[2][c] * f[2];
    return out;
  }

  Vec3 RatesRad() const {
    return {velocity_[0] * kRadPerDeg, velocity_[1] * kRadPerDeg, velocity_[2] * kRadPerDeg};
  }

  // The joint torques the last request asks for in the current state.
  Vec3 CommandTorque(const Mat3& j, const std::array<float, 3>& deg) const {
    const Vec3 request = {request_[0], request_[1], request_[2]};
    switch (request_code_) {
      case Vorlan3::kForceRequest:
        return TransposeTimes(j, Saturated(request, kMaxForce));
      case Vorlan3::kPositionRequest: {
        const Vec3 p = Position(deg);
        const Vec3 v = Times(j, RatesRad());
        Vec3 f{};
        for (int i = 0; i < 3; ++i) f[i] = kPositionStiffness * (request[i] - p[i]) - kPositionDamping * v[i];
        return TransposeTimes(j, Saturated(f, kMaxForce));
      }
      case Vorlan3::kJointTorqueRequest: {
        Vec3 t{};
        for (int i = 0; i < 3; ++i) t[i] = std::clamp(request[i], -kMaxJointTorque, kMaxJointTorque);
        return t;
      }
      case Vorlan3::kJointAngleRequest: {
        Vec3 t{};
        for (int i = 0; i < 3; ++i) {
          const double target = std::clamp(request[i], kLow[i] - kHardMargin, kHigh[i] + kHardMargin);
          t[i] = kAngleStiffness * (target - degrees_[i]) * kRadPerDeg - kAngleDamping * velocity_[i] * kRadPerDeg;
          t[i] = std::clamp(t[i], -kMaxJointTorque, kMaxJointTorque);
        }
        return t;
      }
      default:
        return {0.0, 0.0, 0.0};
    }
  }

  void Advance(double now) {
    if (last_time_ < 0.0) {
      last_time_ = now;
      return;
    }
    const double elapsed = std::clamp(now - last_time_, 0.0, kMaxElapsed);
    last_time_ = now;
    if (elapsed <= 0.0) return;
    const int steps = std::max(1, static_cast<int>(std::ceil(elapsed / kSubstep)));
    const double h = elapsed / steps;
    for (int s = 0; s < steps; ++s) Step(h);
  }

  void Step(double h) {
    const std::array<float, 3> deg = ReportedDegrees();
    const Mat3 j = Jacobian(deg);
    motor_torque_ = CommandTorque(j, deg);
    const Vec3 hand = TransposeTimes(j, hand_);
    for (int i = 0; i < 3; ++i) {
      double limit = 0.0;
      if (degrees_[i] < kLow[i]) limit = kLimitStiffness * (kLow[i] - degrees_[i]) * kRadPerDeg;
      if (degrees_[i] > kHigh[i]) limit = kLimitStiffness * (kHigh[i] - degrees_[i]) * kRadPerDeg;
      // Damping taken implicitly: stable for any step the clamp allows.
      double rate = velocity_[i] * kRadPerDeg;
      rate = (rate + h * (motor_torque_[i] + hand[i] + limit) / kInertia) / (1.0 + h * kDamping / kInertia);
      velocity_[i] = rate / kRadPerDeg;
      degrees_[i] += velocity_[i] * h;
      const double lo = kLow[i] - kHardMargin, hi = kHigh[i] + kHardMargin;
      if (degrees_[i] < lo || degrees_[i] > hi) {
        degrees_[i] = std::clamp(degrees_[i], lo, hi);
        velocity_[i] = 0.0;
      }
    }
  }

  size_t EchoState(uint8_t code, uint8_t* out) const {
    out[0] = code;
    const float number = static_cast<float>(request_number);
    const float values[6] = {request_[0], request_[1], request_[2], number, 0.0f, 0.0f};
    for (int i = 0; i < 6; ++i) PutFloat(out + 1 + 4 * i, values[i]);
    return 1 + Vorlan3::kStateSize;
  }

  size_t EndEffectorState(uint8_t* out) const {
    if (echo_) return EchoState(Vorlan3::kEndEffectorStateReply, out);
    const std::array<float, 3> deg = ReportedDegrees();
    const std::array<float, 3> p = model_.PositionFromReportedAngles(deg);
    const Vec3 v = Times(Jacobian(deg), RatesRad());
    out[0] = Vorlan3::kEndEffectorStateReply;
    for (int i = 0; i < 3; ++i) {
      PutFloat(out + 1 + 4 * i, p[i]);
      PutFloat(out + 13 + 4 * i, static_cast<float>(v[i]));
    }
    return 1 + Vorlan3::kStateSize;
  }

  size_t JointState(uint8_t* out) const {
    if (echo_) return EchoState(Vorlan3::kJointStateReply, out);
    out[0] = Vorlan3::kJointStateReply;
    for (int i = 0; i < 3; ++i) {
      PutFloat(out + 1 + 4 * i, static_cast<float>(degrees_[i]));
      PutFloat(out + 13 + 4 * i, static_cast<float>(velocity_[i]));
    }
    return 1 + Vorlan3::kStateSize;
  }

  bool echo_ = false;
  Vec3 hand_{};
  ArmModel model_;
  std::array<double, 3> degrees_{};
  std::array<double, 3> velocity_{};  // degrees per second
  Vec3 motor_torque_{};
  uint8_t request_code_ = 0;
  std::array<float, 3> request_{};
  double last_time_ = -1.0;
};

}  // namespace Velkor::Sim
