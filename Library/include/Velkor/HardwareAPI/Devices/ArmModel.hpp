#pragma once

#include <array>

namespace Velkor::HardwareAPI::Devices {

// Host-side kinematics of the arm: converts reported joint angles (degrees) into
// model angles (radians) and solves the closed planar linkage for the end effector.
// All arithmetic is single precision in a fixed order so results match the device's.
// The process-wide Instance() has no lock: callers must not change it while another
// thread computes with it.
class ArmModel {
 public:
  static constexpr float kDefaultInnerArm1 = 0.14f;
  static constexpr float kDefaultOuterArm1 = 0.14f;
  static constexpr float kDefaultInnerArm2 = 0.165f;
  static constexpr float kDefaultOuterArm2 = 0.165f;
  static constexpr float kDefaultExtension = 0.0765f;

  // The device's own approximations of pi and sqrt(1/2); full precision would not match it.
  static constexpr float kPi = 3.141592f;
  static constexpr float kHalfSqrt2 = 0.7071f;
  static constexpr float kLateralOffsetBias = -0.052f;  // C: D = |extension| + C
  static constexpr float kToolOffset = 0.18645f;        // T
  static constexpr double kDegenerateDistance = 1e-6;   // compared in double precision

  // Intermediate values of the linkage solution, kept for checking and visualisation.
  struct LinkageSolution {
    float theta3;  // angle of the inner chain's second segment
    float theta4;  // angle of the outer chain's second segment
    float ex;      // meeting point of the two chains
    float ey;
  };

  // The one model shared by every arm object in the process.
  static ArmModel& Instance();

  // A model in the state every arm construction leaves: default lengths, unit gear
  // ratios, base orientation, zero angle offsets.
  ArmModel();

  void Reset(float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2,
             float extension);
  void ResetGearRatios();
  void SetGearRatios(float g0, float g1, float g2);
  void ResetOrientation();
  // What every arm construction does; angle offsets survive it.
  void ResetForNewArm();

  // Sets the angle offsets so that the pose reported now converts as if the device had
  // reported wanted_degrees, under the gear ratios current at this moment.
  void Calibrate(const std::array<float, 3>& reported_degrees,
                 const std::array<float, 3>& wanted_degrees);

  std::array<float, 3> ToModelAngles(const std::array<float, 3>& reported_degrees) const;
  LinkageSolution SolveLinkage(float a, float b) const;
  // Unreachable configurations (the chains cannot meet) give NaN components.
  std::array<float, 3> ForwardKinematics(float q0, float q1, float q2) const;
  std::array<float, 3> PositionFromReportedAngles(const std::array<float, 3>& degrees) const;

  std::array<float, 3> GearRatios() const { return {g0_, g1_, g2_}; }
  std::array<float, 3> AngleOffsets() const { return {off0_, off1_, off2_}; }
  // L1 (inner_arm_1), L2 (outer_arm_1), L3 (inner_arm_2), L4 (outer_arm_2).
  std::array<float, 4> Lengths() const { return {l1_, l2_, l3_, l4_}; }
  float Extension() const { return e_; }
  float LateralOffset() const { return d_; }
  float ToolOffset() const { return t_; }
  // (x, y, z, w), used as stored without normalising.
  std::array<float, 4> Orientation() const { return {qx_, qy_, qz_, qw_}; }

 private:
  float g0_ = 1.0f, g1_ = 1.0f, g2_ = 1.0f;
  float l1_ = 0.0f, l2_ = 0.0f, l3_ = 0.0f, l4_ = 0.0f;
  float e_ = 0.0f, d_ = 0.0f, t_ = 0.0f;
  float qx_ = 0.0f, qy_ = 0.0f, qz_ = 0.0f, qw_ = 0.0f;
  float off0_ = 0.0f, off1_ = 0.0f, off2_ = 0.0f;
};

}  // namespace Velkor::HardwareAPI::Devices
