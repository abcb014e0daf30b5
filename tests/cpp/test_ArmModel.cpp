#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"

namespace {

using Velkor::HardwareAPI::Devices::ArmModel;
using Vec3 = std::array<float, 3>;

constexpr float kTol = 1e-5f;

void ExpectNear3(const Vec3& actual, const Vec3& expected, const char* what) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(actual[i], expected[i], kTol) << what << " component " << i;
  }
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

const Vec3 kZeroPosePosition{0.000002f, 0.024500f, -0.118548f};

TEST(ArmModel, ConstantsAreTheDevicesSinglePrecisionApproximations) {
  EXPECT_EQ(Bits(ArmModel::kPi), 0x40490FD8u);
  EXPECT_EQ(Bits(ArmModel::kHalfSqrt2), 0x3F350481u);
}

TEST(ArmModel, ReportedPosesGiveKnownAnglesMeetingPointAndPosition) {
  struct Case {
    Vec3 reported;
    Vec3 q;
    std::array<float, 2> meeting_point;
    Vec3 position;
  };
  const Case cases[] = {
      {{10, -20, 40}, {1.745329f, -2.792526f, -3.839724f}, {0.027744f, -0.004892f},
       {-0.009076f, 0.023278f, 0.214190f}},
      {{0, -30, 30}, {1.570796f, -2.617994f, -3.665191f}, {0.028172f, 0.0f},
       {-0.000004f, 0.024500f, 0.214618f}},
      {{0, 0, 0}, {1.570796f, -3.141592f, -3.141592f}, {-0.305f, 0.0f}, kZeroPosePosition},
  };
  const ArmModel model;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "reported " << c.reported[0] << ", " << c.reported[1]
                                    << ", " << c.reported[2]);
    const Vec3 q = model.ToModelAngles(c.reported);
    ExpectNear3(q, c.q, "q");
    const ArmModel::LinkageSolution s = model.SolveLinkage(q[1], q[2]);
    EXPECT_NEAR(s.ex, c.meeting_point[0], kTol);
    EXPECT_NEAR(s.ey, c.meeting_point[1], kTol);
    ExpectNear3(model.ForwardKinematics(q[0], q[1], q[2]), c.position, "ForwardKinematics");
    ExpectNear3(model.PositionFromReportedAngles(c.reported), c.position,
                "PositionFromReportedAngles");
  }
}

TEST(ArmModel, CoincidentElbowsTakeTheInnerArmAngle) {
  struct Case {
    const char* why;
    float first_segments;
    float a;
    float b;
  };
  const Case cases[] = {
      {"zero pose of the default arm", 0.14f, -ArmModel::kPi, -ArmModel::kPi},
      {"zero-length first segments, chains apart", 0.0f, 0.3f, 1.2f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ArmModel model;
    model.Reset(c.first_segments, c.first_segments, 0.165f, 0.165f, 0.0765f);
    const ArmModel::LinkageSolution s = model.SolveLinkage(c.a, c.b);
    EXPECT_FLOAT_EQ(s.theta3, c.a);
    EXPECT_FLOAT_EQ(s.theta4, c.a);
    EXPECT_NEAR(s.ex, std::cos(c.a) * (0.165f + c.first_segments), kTol);
    EXPECT_NEAR(s.ey, std::sin(c.a) * (0.165f + c.first_segments), kTol);
  }
}

TEST(ArmModel, LinkageThatCannotCloseGivesNaNPosition) {
  struct Case {
    const char* why;
    float inner_arm_2;
    float outer_arm_2;
  };
  const Case cases[] = {
      {"second segments shorter than the elbow distance", 0.01f, 0.01f},
      {"second segments too unequal to meet", 0.4f, 0.01f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ArmModel model;
    model.Reset(0.14f, 0.14f, c.inner_arm_2, c.outer_arm_2, 0.0765f);
    const Vec3 p = model.PositionFromReportedAngles({10, -20, 40});
    for (float v : p) EXPECT_TRUE(std::isnan(v));
  }
}

TEST(ArmModel, CalibrationMakesThePoseConvertAsTheWantedAngles) {
  struct Case {
    Vec3 gear_ratios;
    Vec3 reported;
    Vec3 wanted;
    Vec3 offsets;
  };
  const Case cases[] = {
      {{1, 1, 1}, {10, -20, 40}, {0, 0, 0}, {0.174533f, 0.349066f, -0.698132f}},
      {{2, 2, 2}, {5, -10, 20}, {0, 0, 0}, {0.174533f, 0.349066f, -0.698132f}},
      {{1, 1, 1}, {10, -20, 40}, {10, -20, 40}, {0, 0, 0}},
      {{1, 1, 1}, {0, 0, 0}, {30, 15, -45}, {-0.523599f, 0.261799f, -0.785398f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "wanted " << c.wanted[0] << ", " << c.wanted[1] << ", "
                                    << c.wanted[2] << " at gear " << c.gear_ratios[0]);
    ArmModel model;
    model.SetGearRatios(c.gear_ratios[0], c.gear_ratios[1], c.gear_ratios[2]);
    model.Calibrate(c.reported, c.wanted);
    ExpectNear3(model.AngleOffsets(), c.offsets, "offsets");

    const float r = ArmModel::kPi / 180.0f;
    const Vec3 expected_q{(c.wanted[0] + 90) * r, -(c.wanted[1] + 180) * r,
                          -(c.wanted[2] + 180) * r};
    ExpectNear3(model.ToModelAngles(c.reported), expected_q, "q after calibration");

    ArmModel uncalibrated;
    ExpectNear3(model.PositionFromReportedAngles(c.reported),
                uncalibrated.PositionFromReportedAngles(c.wanted), "position");
  }
}

TEST(ArmModel, CalibrationOffsetsAreNotRecomputedWhenGearRatiosChange) {
  ArmModel model;
  model.Calibrate({10, -20, 40}, {0, 0, 0});
  const Vec3 offsets = model.AngleOffsets();
  model.SetGearRatios(2, 2, 2);
  EXPECT_EQ(model.AngleOffsets(), offsets);
  const float r = ArmModel::kPi / 180.0f;
  ExpectNear3(model.ToModelAngles({10, -20, 40}),
              {(20 + 90) * r - offsets[0], (40 - 180) * r - offsets[1],
               (-80 - 180) * r - offsets[2]},
              "q");
}

TEST(ArmModel, GearRatiosScaleReportedAngles) {
  struct Case {
    Vec3 gear_ratios;
    Vec3 reported;
  };
  // Each reported triple times its gear ratios is (10, -20, 40).
  const Case cases[] = {
      {{2, 2, 2}, {5, -10, 20}},
      {{0.5f, 0.5f, 0.5f}, {20, -40, 80}},
      {{1, -2, 4}, {10, 10, 10}},
  };
  const ArmModel unit;
  const Vec3 expected_q = unit.ToModelAngles({10, -20, 40});
  const Vec3 expected_p = unit.PositionFromReportedAngles({10, -20, 40});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "gear " << c.gear_ratios[0] << ", " << c.gear_ratios[1]
                                    << ", " << c.gear_ratios[2]);
    ArmModel model;
    model.SetGearRatios(c.gear_ratios[0], c.gear_ratios[1], c.gear_ratios[2]);
    EXPECT_EQ(model.GearRatios(), c.gear_ratios);
    ExpectNear3(model.ToModelAngles(c.reported), expected_q, "q");
    ExpectNear3(model.PositionFromReportedAngles(c.reported), expected_p, "position");
  }
}

TEST(ArmModel, ResetSetsLengthsAndFixedOffsetsOnly) {
  struct Case {
    std::array<float, 4> lengths;
    float extension;
    float expected_e;
  };
  const Case cases[] = {
      {{0.14f, 0.14f, 0.165f, 0.165f}, 0.0765f, 0.0765f},
      {{0.14f, 0.14f, 0.165f, 0.165f}, -0.0765f, 0.0765f},
      {{0.2f, 0.2f, 0.2f, 0.2f}, 0.1f, 0.1f},
      {{-0.1f, 0.0f, 0.3f, -0.2f}, -0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "extension " << c.extension);
    ArmModel model;
    model.SetGearRatios(2, 3, 4);
    model.Calibrate({10, -20, 40}, {0, 0, 0});
    const Vec3 offsets = model.AngleOffsets();
    model.Reset(c.lengths[0], c.lengths[1], c.lengths[2], c.lengths[3], c.extension);
    EXPECT_EQ(model.Lengths(), c.lengths);
    EXPECT_FLOAT_EQ(model.Extension(), c.expected_e);
    EXPECT_FLOAT_EQ(model.LateralOffset(), c.expected_e + ArmModel::kLateralOffsetBias);
    EXPECT_FLOAT_EQ(model.ToolOffset(), 0.18645f);
    EXPECT_EQ(model.Orientation(), (std::array<float, 4>{0, 0.7071f, 0, 0.7071f}));
    EXPECT_EQ(model.GearRatios(), (Vec3{2, 3, 4}));
    EXPECT_EQ(model.AngleOffsets(), offsets);
  }
}

TEST(ArmModel, DefaultResetUndoesEarlierLengths) {
  ArmModel model;
  const Vec3 before = model.PositionFromReportedAngles({10, -20, 40});
  model.Reset(0.2f, 0.2f, 0.2f, 0.2f, 0.1f);
  EXPECT_NE(model.PositionFromReportedAngles({10, -20, 40}), before);
  model.Reset(ArmModel::kDefaultInnerArm1, ArmModel::kDefaultOuterArm1,
              ArmModel::kDefaultInnerArm2, ArmModel::kDefaultOuterArm2,
              ArmModel::kDefaultExtension);
  EXPECT_EQ(model.PositionFromReportedAngles({10, -20, 40}), before);
  EXPECT_NEAR(model.LateralOffset(), 0.0245f, kTol);
}

TEST(ArmModel, NewArmResetsGearRatiosAndLengthsButKeepsOffsets) {
  ArmModel model;
  model.SetGearRatios(2, 2, 2);
  model.Reset(0.2f, 0.2f, 0.2f, 0.2f, 0.1f);
  model.Calibrate({10, -20, 40}, {0, 0, 0});
  const Vec3 offsets = model.AngleOffsets();

  model.ResetForNewArm();
  const ArmModel fresh;
  EXPECT_EQ(model.GearRatios(), (Vec3{1, 1, 1}));
  EXPECT_EQ(model.Lengths(), fresh.Lengths());
  EXPECT_EQ(model.Extension(), fresh.Extension());
  EXPECT_EQ(model.LateralOffset(), fresh.LateralOffset());
  EXPECT_EQ(model.Orientation(), fresh.Orientation());
  EXPECT_EQ(model.AngleOffsets(), offsets);
}

TEST(ArmModel, OrientationResetAfterResetChangesNothing) {
  ArmModel model;
  const Vec3 before = model.PositionFromReportedAngles({10, -20, 40});
  model.ResetOrientation();
  EXPECT_EQ(model.PositionFromReportedAngles({10, -20, 40}), before);
}

TEST(ArmModel, InstanceIsOneSharedModel) {
  ArmModel& shared = ArmModel::Instance();
  EXPECT_EQ(&shared, &ArmModel::Instance());
  shared.SetGearRatios(3, 3, 3);
  EXPECT_EQ(ArmModel::Instance().GearRatios(), (Vec3{3, 3, 3}));
  shared.ResetForNewArm();
  shared.Calibrate({0, 0, 0}, {0, 0, 0});
  EXPECT_EQ(shared.AngleOffsets(), (Vec3{0, 0, 0}));
}

}  // namespace
