#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"

#include <cmath>

namespace Velkor::HardwareAPI::Devices {

ArmModel& ArmModel::Instance() {
  static ArmModel model;
  return model;
}

ArmModel::ArmModel() { ResetForNewArm(); }

void ArmModel::Reset(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
                     float extension) {
  l1_ = inner_arm_1;
  l2_ = outer_arm_1;
  l3_ = inner_arm_2;
  l4_ = outer_arm_2;
  e_ = std::fabs(extension);
  d_ = e_ + kLateralOffsetBias;
  t_ = kToolOffset;
  ResetOrientation();
}

void ArmModel::ResetGearRatios() { SetGearRatios(1.0f, 1.0f, 1.0f); }

void ArmModel::SetGearRatios(float g0, float g1, float g2) {
  g0_ = g0;
  g1_ = g1;
  g2_ = g2;
}

void ArmModel::ResetOrientation() {
  qx_ = 0.0f;
  qy_ = kHalfSqrt2;
  qz_ = 0.0f;
  qw_ = kHalfSqrt2;
}

void ArmModel::ResetForNewArm() {
  ResetGearRatios();
  Reset(kDefaultInnerArm1, kDefaultOuterArm1, kDefaultInnerArm2, kDefaultOuterArm2,
        kDefaultExtension);
}

void ArmModel::Calibrate(const std::array<float, 3>& reported_degrees,
                         const std::array<float, 3>& wanted_degrees) {
  off0_ = (reported_degrees[0] * g0_ - wanted_degrees[0]) * kPi / 180.0f;
  off1_ = -(reported_degrees[1] * g1_ - wanted_degrees[1]) * kPi / 180.0f;
  off2_ = -(reported_degrees[2] * g2_ - wanted_degrees[2]) * kPi / 180.0f;
}

std::array<float, 3> ArmModel::ToModelAngles(const std::array<float, 3>& reported_degrees) const {
  return {
      (reported_degrees[0] * g0_ + 90.0f) * kPi / 180.0f - off0_,
      (-g1_ * reported_degrees[1] - 180.0f) * kPi / 180.0f - off1_,
      (-g2_ * reported_degrees[2] - 180.0f) * kPi / 180.0f - off2_,
  };
}

ArmModel::LinkageSolution ArmModel::SolveLinkage(float a, float b) const {
  const float cos_a = std::cos(a);
  const float sin_a = std::sin(a);
  const float cos_b = std::cos(b);
  const float sin_b = std::sin(b);

  // From the outer chain's elbow to the inner chain's elbow.
  const float x = cos_a * l1_ - cos_b * l2_;
  const float y = sin_a * l1_ - sin_b * l2_;
  const float phi = std::atan2(y, x);
  const float d = std::sqrt(x * x + y * y);

  LinkageSolution s{};
  if (static_cast<double>(d) < kDegenerateDistance) {
    s.theta3 = a;
    s.theta4 = a;
  } else {
    const float twice_d = d + d;
    s.theta4 = std::acos((l4_ * l4_ + d * d - l3_ * l3_) / (twice_d * l4_)) + phi;
    s.theta3 = phi + kPi - std::acos((d * d + l3_ * l3_ - l4_ * l4_) / (twice_d * l3_));
  }
  s.ex = std::cos(s.theta3) * l3_ + cos_a * l1_;
  s.ey = std::sin(s.theta3) * l3_ + sin_a * l1_;
  return s;
}

std::array<float, 3> ArmModel::ForwardKinematics(float q0, float q1, float q2) const {
  const LinkageSolution s = SolveLinkage(q1, q2);

  const float sin_q0 = std::sin(q0);
  const float cos_q0 = std::cos(q0);
  const float px = -(s.ex + t_);
  const float py = d_ * sin_q0 - s.ey * cos_q0;
  const float pz = d_ * cos_q0 + s.ey * sin_q0;

  const float x = qx_, y = qy_, z = qz_, w = qw_;
  const float r00 = 1.0f - 2.0f * y * y - 2.0f * z * z;
  const float r01 = 2.0f * (x * y - z * w);
  const float r02 = 2.0f * (x * z + y * w);
  const float r10 = 2.0f * (x * y + z * w);
  const float r11 = 1.0f - 2.0f * x * x - 2.0f * z * z;
  const float r12 = 2.0f * (y * z - x * w);
  const float r20 = 2.0f * (x * z - y * w);
  const float r21 = 2.0f * (y * z + x * w);
  const float r22 = 1.0f - 2.0f * x * x - 2.0f * y * y;
  return {
      r00 * px + r01 * py + r02 * pz,
      r10 * px + r11 * py + r12 * pz,
      r20 * px + r21 * py + r22 * pz,
  };
}

std::array<float, 3> ArmModel::PositionFromReportedAngles(
    const std::array<float, 3>& degrees) const {
  const std::array<float, 3> q = ToModelAngles(degrees);
  return ForwardKinematics(q[0], q[1], q[2]);
}

}  // namespace Velkor::HardwareAPI::Devices
