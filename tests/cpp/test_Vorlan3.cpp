#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "support/Interruption.hpp"
#include "support/MemoryPortDriver.hpp"
#include "support/PtyEmulator.hpp"
#include "support/Trickle.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::ArmModel;
using Velkor::HardwareAPI::Devices::ArmState;
using Velkor::HardwareAPI::Devices::DeviceInfo;
using Velkor::HardwareAPI::Devices::Outcome;
using Velkor::HardwareAPI::Devices::Triple;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::SetLastError;
using Velkor::HardwareAPI::Platform::SetPortDriverFactory;
using VelkorTest::Bytes;
using VelkorTest::InterruptAfter;
using VelkorTest::MemoryPortDriver;
using VelkorTest::PtyEmulator;
using VelkorTest::Trickle;

namespace {

constexpr float kTolerance = 1e-5f;

Bytes Floats(std::initializer_list<float> values) {
  Bytes out;
  for (float v : values) {
    uint8_t raw[4];
    std::memcpy(raw, &v, 4);
    out.insert(out.end(), raw, raw + 4);
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Sequence(uint8_t first, size_t count, uint8_t step = 1) {
  Bytes out;
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(first + i * step));
  return out;
}

void ExpectTriple(const Triple& actual, const Triple& expected, const char* what) {
  for (size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], kTolerance) << what << " [" << i << "]";
}

// Waits (bounded) until the host side has at least n bytes queued.
bool WaitQueued(SerialStream& stream, int32_t n) {
  const auto limit = steady_clock::now() + seconds(5);
  while (stream.Available() < n) {
    if (steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

// Generous, so that a loaded machine never turns a reply into a time-out; tests
// of silence set a short time-out of their own.
constexpr float kReplyTimeout = 2.0f;
constexpr float kSilenceTimeout = 0.25f;

struct Rig {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  Vorlan3 arm{&stream, kReplyTimeout};
};

double SecondsSince(steady_clock::time_point start) { return duration<double>(steady_clock::now() - start).count(); }

// An end-effector state whose first float names the exchange it answers.
Bytes LabelledState(int label) { return Concat({{0x2B}, Floats({static_cast<float>(label), 0, 0, 0, 0, 0})}); }

int LabelOf(const ArmState& state) { return static_cast<int>(state.first[0]); }

ArmState ForceExchange(Vorlan3& arm) { return arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {}); }

// An arm on the in-memory port: every arrival point is exact.
struct MemoryRig {
  struct Factory {
    explicit Factory(const std::shared_ptr<MemoryPortDriver::Line>& line) {
      SetPortDriverFactory([line] { return std::make_unique<MemoryPortDriver>(line); });
    }
    ~Factory() { SetPortDriverFactory(nullptr); }
  };
  std::shared_ptr<MemoryPortDriver::Line> line = std::make_shared<MemoryPortDriver::Line>();
  Factory factory{line};
  SerialStream stream{"memory", true};
  Vorlan3 arm{&stream, 0.2f};
};

// Calibration offsets outlive every arm object; leave none behind for other tests.
class Vorlan3Test : public ::testing::Test {
 protected:
  void TearDown() override {
    ArmModel::Instance().ResetForNewArm();
    ArmModel::Instance().Calibrate({0, 0, 0}, {0, 0, 0});
  }
};

}  // namespace

TEST_F(Vorlan3Test, ConstructionResetsTheSharedModelButKeepsOffsets) {
  auto& model = ArmModel::Instance();
  model.SetGearRatios(2, 2, 2);
  model.Reset(0.2f, 0.2f, 0.2f, 0.2f, 0.1f);
  model.Calibrate({10, -20, 40}, {0, 0, 0});
  const auto offsets = model.AngleOffsets();
  Vorlan3 arm(nullptr);
  EXPECT_EQ(model.GearRatios(), (std::array<float, 3>{1, 1, 1}));
  EXPECT_EQ(model.Lengths(), (std::array<float, 4>{0.14f, 0.14f, 0.165f, 0.165f}));
  EXPECT_EQ(model.AngleOffsets(), offsets);
  EXPECT_FLOAT_EQ(arm.read_timeout, Vorlan3::kDefaultReadTimeout);
}

TEST_F(Vorlan3Test, ExchangeEncodesRequestAndDecodesStateReply) {
  struct Case {
    const char* name;
    uint8_t code, reply_code;
    Triple request;
    Bytes expected_request;
    Bytes reply;
    Triple first, second;
  };
  const Bytes ee_state = Concat({{0x2B}, Floats({0.1f, 0.2f, 0.3f, 1, 2, 3})});
  const Bytes joint_state = Concat({{0x1B}, Floats({10, -20, 40, -1, 0.5f, 0})});
  const Case cases[] = {
      {"force",
       Vorlan3::kForceRequest,
       Vorlan3::kEndEffectorStateReply,
       {1.0f, -2.0f, 0.5f},
       {0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x3F},
       ee_state,
       {0.1f, 0.2f, 0.3f},
       {1, 2, 3}},
      {"position",
       Vorlan3::kPositionRequest,
       Vorlan3::kEndEffectorStateReply,
       {0, 0, 1.5f},
       {0x2C, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0xC0, 0x3F},
       ee_state,
       {0.1f, 0.2f, 0.3f},
       {1, 2, 3}},
      {"joint torques",
       Vorlan3::kJointTorqueRequest,
       Vorlan3::kJointStateReply,
       {-1, 0, 2},
       {0x1A, 0x00, 0x00, 0x80, 0xBF, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40},
       joint_state,
       {10, -20, 40},
       {-1, 0.5f, 0}},
      {"joint angles, reply behind two notifications",
       Vorlan3::kJointAngleRequest,
       Vorlan3::kJointStateReply,
       {0.25f, 0, 0},
       {0x1C, 0x00, 0x00, 0x80, 0x3E, 0, 0, 0, 0, 0, 0, 0, 0},
       Concat({{0xBA, 0x01, 0x03, 7, 8, 9, 0xBB, 0x00, 0x00}, joint_state}),
       {10, -20, 40},
       {-1, 0.5f, 0}},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(Vorlan3::kRequestSize, c.reply);
    const ArmState state = rig.arm.Exchange(c.code, c.reply_code, c.request);
    EXPECT_EQ(rig.device.Written(), c.expected_request) << c.name;
    ExpectTriple(state.first, c.first, c.name);
    ExpectTriple(state.second, c.second, c.name);
    EXPECT_EQ(rig.stream.Available(), 0) << c.name;
  }
}

TEST_F(Vorlan3Test, WrongOrMissingStateReplyGivesZeroTriplesAndTheNextExchangeItsOwnReply) {
  struct Case {
    const char* name;
    Bytes reply;
  };
  const Case cases[] = {
      {"joint state to a force request", Concat({{0x1B}, Floats({1, 2, 3, 4, 5, 6})})},
      {"silent port", {}},
      {"short payload", Concat({{0x2B}, Floats({1, 2, 3})})},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(Vorlan3::kRequestSize, c.reply);
    const ArmState state = rig.arm.Exchange(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {1, 1, 1});
    ExpectTriple(state.first, {0, 0, 0}, c.name);
    ExpectTriple(state.second, {0, 0, 0}, c.name);
    EXPECT_NE(rig.arm.last_outcome, Outcome::Ok) << c.name;
    rig.device.ForgetWritten();
    rig.device.Expect(Vorlan3::kRequestSize, LabelledState(2));
    EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 2) << c.name;
    EXPECT_EQ(rig.stream.Available(), 0) << c.name;
  }
}

TEST_F(Vorlan3Test, SplitSendLeavesReplyQueuedForReceive) {
  Rig rig;
  rig.device.Expect(Vorlan3::kRequestSize, Concat({{0x2B}, Floats({1, 2, 3, 4, 5, 6})}));
  rig.device.Expect(Vorlan3::kRequestSize, Concat({{0x1B}, Floats({7, 8, 9, 10, 11, 12})}));
  rig.arm.SendRequest(Vorlan3::kForceRequest, {1.0f, 2.0f, 3.0f});
  ASSERT_TRUE(WaitQueued(rig.stream, 25));
  EXPECT_EQ(rig.device.Written(), Concat({{0x2A}, Floats({1, 2, 3})}));

  Triple position{9, 9, 9}, velocity{8, 8, 8};
  EXPECT_EQ(rig.arm.ReceiveState(position, velocity), 24);
  ExpectTriple(position, {1, 2, 3}, "position");
  ExpectTriple(velocity, {4, 5, 6}, "velocity");

  rig.arm.SendRequest(Vorlan3::kJointAngleRequest, {0, 0, 0});
  Triple angles{}, speeds{};
  EXPECT_EQ(rig.arm.ReceiveJointState(angles, speeds), 24);
  ExpectTriple(angles, {7, 8, 9}, "angles");
  ExpectTriple(speeds, {10, 11, 12}, "joint velocities");
}

TEST_F(Vorlan3Test, ReceiveStateFailureLeavesOutputsUntouched) {
  struct Case {
    const char* name;
    Bytes wire;
  };
  const Case cases[] = {
      {"silent port", {}},
      {"wrong code", Concat({{0x1B}, Floats({1, 2, 3, 4, 5, 6})})},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.wire.empty()) rig.arm.read_timeout = kSilenceTimeout;
    if (!c.wire.empty()) rig.device.Send(c.wire);
    Triple position{9, 9, 9}, velocity{8, 8, 8};
    EXPECT_EQ(rig.arm.ReceiveState(position, velocity), -1) << c.name;
    EXPECT_EQ(position, (Triple{9, 9, 9})) << c.name;
    EXPECT_EQ(velocity, (Triple{8, 8, 8})) << c.name;
    Triple angles{7, 7, 7}, speeds{6, 6, 6};
    EXPECT_EQ(rig.arm.ReceiveJointState(angles, speeds), -1) << c.name;
    EXPECT_EQ(angles, (Triple{7, 7, 7})) << c.name;
  }
}

TEST_F(Vorlan3Test, WakeupAndDeviceInfoRecord) {
  const Bytes record = Concat({{0x34, 0x12, 0x07, 0x02, 0x05}, Sequence(0, 16)});
  struct Case {
    const char* name;
    Bytes reply;
    int32_t result;
  };
  const Case cases[] = {
      {"plain reply", Concat({{0x0B}, record}), 21},
      {"behind a notification", Concat({{0xBA, 0x55, 0x03, 1, 2, 3, 0x0B}, record}), 21},
      {"wrong code", Concat({{0x0C}, record}), -1},
      {"short record", Concat({{0x0B}, Sequence(0, 20)}), -1},
      {"silent port", {}, -1},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(1, c.reply);
    rig.arm.SendDeviceWakeup();
    DeviceInfo info;
    info.device_id = 0xBEEF;
    info.device_id_ext[15] = 0x77;
    EXPECT_EQ(rig.arm.ReceiveDeviceInfo(info), c.result) << c.name;
    // Silence proves nothing about the emulator having read the request yet.
    EXPECT_TRUE(rig.device.WaitWritten(1)) << c.name;
    EXPECT_EQ(rig.device.Written(), Bytes{0x0A}) << c.name;
    if (c.result == 21) {
      EXPECT_EQ(info.device_id, 0x1234) << c.name;
      EXPECT_EQ(info.device_model_number, 7) << c.name;
      EXPECT_EQ(info.hardware_version, 2) << c.name;
      EXPECT_EQ(info.firmware_version, 5) << c.name;
      EXPECT_EQ(Bytes(info.device_id_ext, info.device_id_ext + 16), Sequence(0, 16)) << c.name;
    } else {
      EXPECT_EQ(info.device_id, 0xBEEF) << c.name;
      EXPECT_EQ(info.device_id_ext[15], 0x77) << c.name;
    }
  }
}

TEST_F(Vorlan3Test, IdentifierQueries) {
  const Bytes ab16(16, 0xAB);
  const std::array<uint8_t, 16> zeros{};
  std::array<uint8_t, 16> all_ab;
  all_ab.fill(0xAB);
  struct Case {
    const char* name;
    uint8_t sub_code;
    Bytes reply;
    std::array<uint8_t, 16> expected;
  };
  const Case cases[] = {
      {"device identifier", Vorlan3::kDeviceIdentifier, Concat({{0x0D, 0xD1, 16}, ab16}), all_ab},
      {"firmware version", Vorlan3::kFirmwareVersion, Concat({{0x0D, 0xD2, 16}, ab16}), all_ab},
      {"length byte 15", Vorlan3::kDeviceIdentifier, Concat({{0x0D, 0xD1, 15}, ab16}), zeros},
      {"length byte 17", Vorlan3::kDeviceIdentifier, Concat({{0x0D, 0xD1, 17}, ab16}), zeros},
      {"other sub-code answered", Vorlan3::kDeviceIdentifier, Concat({{0x0D, 0xD2, 16}, ab16}), zeros},
      {"wrong first code", Vorlan3::kFirmwareVersion, Concat({{0x0B, 0xD2, 16}, ab16}), zeros},
      {"codes behind a notification", Vorlan3::kDeviceIdentifier,
       Concat({{0x0D, 0xBB, 0x00, 0x01, 0x42, 0xD1, 16}, ab16}), all_ab},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(2, c.reply);
    EXPECT_EQ(rig.arm.QueryIdentifier(c.sub_code), c.expected) << c.name;
    EXPECT_EQ(rig.device.Written(), (Bytes{0x0D, c.sub_code})) << c.name;
    if (c.expected == all_ab) {
      // The line is in step after the reply: the next exchange reads its own.
      rig.device.Expect(Vorlan3::kRequestSize, LabelledState(7));
      EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 7) << c.name;
    }
  }
}

TEST_F(Vorlan3Test, IdentifierQueryOnSilentPortGivesZeros) {
  Rig rig;
  rig.arm.read_timeout = kSilenceTimeout;
  EXPECT_EQ(rig.arm.QueryIdentifier(Vorlan3::kDeviceIdentifier), (std::array<uint8_t, 16>{}));
}

TEST_F(Vorlan3Test, StatusQueriesDecodeTheirReplies) {
  {
    Rig rig;
    rig.device.Expect(1, Concat({{0xAB}, Floats({0.5f, 1.0f, -0.25f})}));
    Triple currents{};
    EXPECT_TRUE(rig.arm.QueryMotorCurrents(currents));
    EXPECT_EQ(currents, (Triple{0.5f, 1.0f, -0.25f}));
    EXPECT_EQ(rig.device.Written(), Bytes{0xAB});
  }
  {
    Rig rig;
    rig.device.Expect(1, Concat({{0x0C}, Floats({0.1f, -0.2f, 0.3f, 0.9f})}));
    std::array<float, 4> q{};
    EXPECT_TRUE(rig.arm.QueryOrientation(q));
    EXPECT_EQ(q, (std::array<float, 4>{0.1f, -0.2f, 0.3f, 0.9f}));
    EXPECT_EQ(rig.device.Written(), Bytes{0x0C});
  }
  {
    Rig rig;
    rig.device.Expect(1, Concat({{0xAA}, Floats({36.5f})}));
    float temperature = 0;
    EXPECT_TRUE(rig.arm.QueryTemperature(temperature));
    EXPECT_EQ(temperature, 36.5f);
    EXPECT_EQ(rig.device.Written(), Bytes{0xAA});
  }
  const std::pair<uint8_t, bool> power_cases[] = {{0x00, false}, {0x01, true}, {0xFF, true}};
  for (const auto& [byte, powered] : power_cases) {
    Rig rig;
    rig.device.Expect(1, {0xAC, byte});
    bool result = !powered;
    EXPECT_TRUE(rig.arm.QueryPowerStatus(result)) << int(byte);
    EXPECT_EQ(result, powered) << int(byte);
    EXPECT_EQ(rig.device.Written(), Bytes{0xAC});
  }
}

TEST_F(Vorlan3Test, StatusQueriesReportMissingOrWrongReplies) {
  struct Case {
    const char* name;
    Bytes reply;
  };
  const Case cases[] = {
      {"silent port", {}},
      {"wrong code", Concat({{0x2B}, Floats({1, 2, 3, 4})})},
      {"short payload", {0xAB, 0x00}},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(1, c.reply);
    Triple currents{7, 7, 7};
    EXPECT_FALSE(rig.arm.QueryMotorCurrents(currents)) << c.name;
    EXPECT_EQ(currents, (Triple{7, 7, 7})) << c.name;
  }
  Rig rig;
  rig.arm.read_timeout = 0.1f;
  std::array<float, 4> q{};
  bool powered = true;
  float temperature = 1;
  EXPECT_FALSE(rig.arm.QueryOrientation(q));
  EXPECT_FALSE(rig.arm.QueryPowerStatus(powered));
  EXPECT_FALSE(rig.arm.QueryTemperature(temperature));
  EXPECT_TRUE(powered);
  EXPECT_EQ(temperature, 1);
}

TEST_F(Vorlan3Test, RequestCurrentThenReceiveCurrent) {
  Rig rig;
  rig.device.Expect(1, Concat({{0xAB}, Floats({0.5f, 1.0f, -0.25f})}));
  rig.arm.RequestCurrent();
  ASSERT_TRUE(WaitQueued(rig.stream, 13));
  EXPECT_EQ(rig.device.Written(), Bytes{0xAB});
  Triple currents{7, 7, 7};
  EXPECT_EQ(rig.arm.ReceiveCurrent(currents), 12);
  EXPECT_EQ(currents, (Triple{0.5f, 1.0f, -0.25f}));
  currents = {7, 7, 7};
  rig.arm.read_timeout = kSilenceTimeout;
  EXPECT_EQ(rig.arm.ReceiveCurrent(currents), -1);
  EXPECT_EQ(currents, (Triple{7, 7, 7}));
}

TEST_F(Vorlan3Test, HostComputedPositionUsesReportedJointAngles) {
  struct Case {
    const char* name;
    Bytes reply;
    Triple position;
  };
  const Case cases[] = {
      {"silent port", {}, {0.000002f, 0.0245f, -0.118548f}},
      {"device reports (10, -20, 40)", Concat({{0x1B}, Floats({10, -20, 40, 5, 5, 5})}),
       {-0.009076f, 0.023278f, 0.214190f}},
      {"device reports (0, -30, 30)", Concat({{0x1B}, Floats({0, -30, 30, 1, 1, 1})}),
       {-0.000004f, 0.0245f, 0.214618f}},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (c.reply.empty()) rig.arm.read_timeout = kSilenceTimeout;
    rig.device.Expect(Vorlan3::kRequestSize, c.reply);
    const ArmState state = rig.arm.GetEndEffectorPosition(false);
    EXPECT_TRUE(rig.device.WaitWritten(Vorlan3::kRequestSize)) << c.name;
    EXPECT_EQ(rig.device.Written(), Concat({{0x1A}, Bytes(12, 0)})) << c.name;
    ExpectTriple(state.first, c.position, c.name);
    EXPECT_EQ(state.second, (Triple{0, 0, 0})) << c.name;
  }
}

TEST_F(Vorlan3Test, OnboardPositionIsTheZeroForceExchange) {
  {
    Rig rig;
    rig.device.Expect(Vorlan3::kRequestSize, Concat({{0x2B}, Floats({0.1f, 0.2f, 0.3f, 1, 2, 3})}));
    const ArmState state = rig.arm.GetEndEffectorPosition(true);
    EXPECT_EQ(rig.device.Written(), Concat({{0x2A}, Bytes(12, 0)}));
    ExpectTriple(state.first, {0.1f, 0.2f, 0.3f}, "position");
    ExpectTriple(state.second, {1, 2, 3}, "velocity");
  }
  Rig silent;
  silent.arm.read_timeout = kSilenceTimeout;
  const ArmState state = silent.arm.GetEndEffectorPosition(true);
  EXPECT_EQ(state.first, (Triple{0, 0, 0}));
  EXPECT_EQ(state.second, (Triple{0, 0, 0}));
}

TEST_F(Vorlan3Test, AdjustAnglesCalibratesAgainstTheReportedPose) {
  Rig rig;
  const Bytes pose = Concat({{0x1B}, Floats({10, -20, 40, 0, 0, 0})});
  rig.device.Expect(Vorlan3::kRequestSize, pose);
  rig.device.Expect(Vorlan3::kRequestSize, pose);
  rig.arm.AdjustAngles({0, 0, 0});
  EXPECT_EQ(rig.device.Written(), Concat({{0x1A}, Bytes(12, 0)}));
  const auto offsets = ArmModel::Instance().AngleOffsets();
  ExpectTriple(offsets, {0.174533f, 0.349066f, -0.698132f}, "offsets");
  ExpectTriple(rig.arm.GetEndEffectorPosition(false).first, {0.000002f, 0.0245f, -0.118548f}, "calibrated pose");
}

TEST_F(Vorlan3Test, AdjustAnglesOnSilentPortCalibratesFromZeros) {
  Rig rig;
  rig.arm.read_timeout = kSilenceTimeout;
  rig.arm.AdjustAngles({10, 20, -30});
  const float to_rad = ArmModel::kPi / 180.0f;
  ExpectTriple(ArmModel::Instance().AngleOffsets(), {-10 * to_rad, 20 * to_rad, -30 * to_rad}, "offsets");
}

TEST_F(Vorlan3Test, SetReadTimeoutChangesLaterFramedReads) {
  Rig rig;
  rig.arm.SetReadTimeout(0);
  EXPECT_EQ(rig.arm.read_timeout, 0.0f);
  // Without a limit the header read waits for a reply that comes late.
  rig.device.Expect(1, Concat({{0xAA}, Floats({20})}), milliseconds(400));
  float temperature = 0;
  EXPECT_TRUE(rig.arm.QueryTemperature(temperature));
  EXPECT_EQ(temperature, 20);
}

TEST_F(Vorlan3Test, FlushInputDiscardsEverythingAPtyCanQueue) {
  Rig rig;
  rig.device.Send(Sequence(0, 3000));
  ASSERT_TRUE(WaitQueued(rig.stream, 3000));
  rig.arm.FlushInput();
  EXPECT_EQ(rig.stream.Available(), 0);
  EXPECT_TRUE(rig.stream.good());
  rig.device.Send({0x42});
  ASSERT_EQ(rig.arm.WaitRaw(1, 2.0f), 1u);
  uint8_t byte = 0;
  EXPECT_EQ(rig.arm.ReadRawInto(&byte, 1), 1u);
  EXPECT_EQ(byte, 0x42);
}

// A pty holds only about 4 KB and refills it from the writer asynchronously, so a
// flush on a bare pty finds it empty after a few reads. This stream lets a refill land
// before it reports an empty queue: the pty then behaves like a device streaming into
// a deep queue, as the 32-read bound is meant for.
class DeepQueueStream : public SerialStream {
 public:
  using SerialStream::SerialStream;
  int32_t Available() override {
    ++polls;
    int32_t queued = SerialStream::Available();
    if (queued == 0 && WaitReadable(milliseconds(200)) == Velkor::HardwareAPI::Platform::WaitResult::Readable) {
      queued = SerialStream::Available();
    }
    if (queued == 0) ++empty_answers;
    return queued;
  }
  int polls = 0;
  int empty_answers = 0;
};

TEST_F(Vorlan3Test, FlushInputStopsAfter32ReadsOfAStreamingDevice) {
  constexpr size_t kTotal = 40000;
  Bytes sent(kTotal);
  for (size_t i = 0; i < kTotal; ++i) sent[i] = static_cast<uint8_t>(i % 251);
  PtyEmulator device;
  DeepQueueStream stream(device.SlavePath().c_str(), true);
  Vorlan3 arm(&stream, 0.25f);
  std::thread writer([&] { device.Send(sent); });
  ASSERT_TRUE(WaitQueued(stream, 2048));
  stream.polls = 0;
  arm.FlushInput();
  // Every poll found bytes, so the flush ended on its bound, not on an empty queue.
  EXPECT_EQ(stream.polls, Vorlan3::kFlushReads);
  EXPECT_EQ(stream.empty_answers, 0);

  Bytes rest;
  uint8_t chunk[1024];
  for (;;) {
    const size_t n = arm.WaitRaw(sizeof chunk, 0.3f);
    if (n == 0) break;
    ASSERT_EQ(arm.ReadRawInto(chunk, n), n);
    rest.insert(rest.end(), chunk, chunk + n);
  }
  writer.join();
  // The pty sometimes offers less than 1024 bytes to a read, so the flush may take a
  // little less than 32 KB; never more, and what it leaves is the unbroken tail.
  ASSERT_GE(rest.size(), kTotal - Vorlan3::kFlushReads * Vorlan3::kBufferSize);
  ASSERT_LT(rest.size(), kTotal - (Vorlan3::kFlushReads / 2) * Vorlan3::kBufferSize);
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), sent.end() - static_cast<std::ptrdiff_t>(rest.size())));
}

TEST_F(Vorlan3Test, SendRawWritesBytesAsTheyAre) {
  Rig rig;
  const uint8_t payload[] = {0x00, 0xBA, 0xFF, 0x0A};
  EXPECT_TRUE(rig.arm.SendRaw(payload, sizeof payload));
  ASSERT_TRUE(rig.device.WaitWritten(4));
  EXPECT_FALSE(rig.arm.SendRaw(payload, 0));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(rig.device.Written(), (Bytes{0x00, 0xBA, 0xFF, 0x0A}));
}

TEST_F(Vorlan3Test, SendRawReportsAFailedWrite) {
  Rig rig;
  rig.device.HangUp();
  const uint8_t payload[] = {1, 2, 3};
  EXPECT_FALSE(rig.arm.SendRaw(payload, sizeof payload));
}

TEST_F(Vorlan3Test, RawOperationsWithoutStreamDoNothing) {
  Vorlan3 arm(nullptr, 0.1f);
  const uint8_t payload[] = {1};
  uint8_t out[4] = {9, 9, 9, 9};
  arm.FlushInput();
  EXPECT_FALSE(arm.SendRaw(payload, 1));
  EXPECT_EQ(arm.WaitRaw(4, 0.1f), 0u);
  EXPECT_EQ(arm.ReadRawInto(out, 4), 0u);
  EXPECT_EQ(out[0], 9);
}

TEST_F(Vorlan3Test, WaitRawReportsWhatARawReadMayTake) {
  struct Case {
    const char* name;
    Bytes now;
    Bytes later;  // sent 60 ms after the wait starts
    size_t n;
    float timeout;
    Bytes expected;
  };
  const Case cases[] = {
      {"nothing asked", {1, 2}, {}, 0, 0.2f, {}},
      {"all queued", {1, 2, 3, 4, 5}, {}, 4, 0.2f, {1, 2, 3, 4}},
      {"partial after the time-out", {1, 2}, {}, 4, 0.2f, {1, 2}},
      {"nothing after the time-out", {}, {}, 4, 0.2f, {}},
      {"completed within the time-out", {1, 2}, {3, 4}, 4, 3.0f, {1, 2, 3, 4}},
      {"no limit waits for the rest", {}, {5, 6, 7}, 3, 0.0f, {5, 6, 7}},
      {"negative means no limit", {1}, {2}, 2, -1.0f, {1, 2}},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (!c.now.empty()) {
      rig.device.Send(c.now);
      ASSERT_TRUE(WaitQueued(rig.stream, static_cast<int32_t>(c.now.size()))) << c.name;
    }
    if (!c.later.empty()) rig.device.SendAfter(milliseconds(60), c.later);
    const size_t n = rig.arm.WaitRaw(c.n, c.timeout);
    ASSERT_EQ(n, c.expected.size()) << c.name;
    Bytes got(n);
    EXPECT_EQ(rig.arm.ReadRawInto(got.data(), n), n) << c.name;
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST_F(Vorlan3Test, WaitRawWithoutLimitEndsWhenThePortGoesAway) {
  Rig rig;
  rig.device.ExpectThenHangUp(0, milliseconds(50));
  const auto start = steady_clock::now();
  EXPECT_EQ(rig.arm.WaitRaw(4, 0.0f), 0u);
  EXPECT_LT(duration<double>(steady_clock::now() - start).count(), 5.0);
}

TEST_F(Vorlan3Test, AfterASingleFaultTheNextButOneExchangeGetsItsOwnReply) {
  constexpr float kTimeout = 0.2f;
  Bytes garbage;
  for (int i = 0; i < 40; ++i) garbage.push_back(static_cast<uint8_t>(0x31 + 7 * i));
  garbage[3] = 0xBA;  // a notification header that promises more than comes
  garbage[5] = 0xC8;
  const Bytes state1 = LabelledState(1);
  struct Case {
    const char* name;
    std::function<void(Rig&)> fault;  // the script of exchange 1 (and of more, when it spans them)
    int faulty;                               // exchanges the fault spans
    int recovered;                            // the first exchange that must get its own reply
  };
  const Case cases[] = {
      {"truncated reply", [&](Rig& r) { r.device.Expect(13, Bytes(state1.begin(), state1.begin() + 9)); }, 1, 2},
      {"garbage instead of the reply", [&](Rig& r) { r.device.Expect(13, garbage); }, 1, 2},
      {"garbage ahead of the reply", [&](Rig& r) { r.device.Expect(13, Concat({garbage, state1})); }, 1, 2},
      // The line is in step after exchange 0, so the notification header in
      // the garbage is taken for a frame still arriving: exchange 1 is the
      // faulty one.
      {"garbage behind the previous reply",
       [&](Rig& r) {
         r.device.Send(garbage);
         ASSERT_TRUE(WaitQueued(r.stream, 40));
         r.device.Expect(13, state1);
       },
       1, 2},
      {"reply late within the discard attempt",
       [&](Rig& r) { r.device.Expect(13, state1, milliseconds(300)); }, 1, 2},
      {"reply later than the discard attempt, inside the horizon",
       [&](Rig& r) { r.device.Expect(13, state1, milliseconds(550)); }, 1, 2},
      // Late replies that land together with the current one: the exchange
      // takes the last of them.
      {"a late reply arriving with the next one",
       [&](Rig& r) {
         r.device.Expect(13, {});
         r.device.Expect(13, Concat({state1, LabelledState(2)}));
       },
       2, 2},
      {"device silent for three exchanges, then answering all of them",
       [&](Rig& r) {
         r.device.Expect(13, {});
         r.device.Expect(13, {});
         r.device.Expect(13, {});
         r.device.Expect(13, Concat({state1, LabelledState(2), LabelledState(3), LabelledState(4)}));
       },
       4, 4},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.arm.read_timeout = kTimeout;
    const int exchanges = c.recovered + 3;
    std::vector<int> labels;
    for (int i = 0; i < exchanges; ++i) {
      if (i == 1) {
        c.fault(rig);
      } else if (i == 0 || i > c.faulty) {
        rig.device.Expect(13, LabelledState(i));
      }
      labels.push_back(LabelOf(ForceExchange(rig.arm)));
    }
    for (int i = c.recovered; i < exchanges; ++i) EXPECT_EQ(labels[i], i) << c.name << ", exchange " << i;
    EXPECT_EQ(labels[0], 0) << c.name;
  }
}

TEST_F(Vorlan3Test, WhatAFailedFirstExchangeParsesAsRepliesLeavesItsOwnReplyOwed) {
  // The first exchange finds a byte that begins no frame, then bytes that
  // parse as two replies (the inside of some other frame); the device's own
  // reply to it comes 60 ms later, while the next exchange waits for its own.
  // Taking those phantoms as answers would make the late reply the next
  // exchange's reading.
  Rig rig;
  rig.arm.read_timeout = 0.2f;
  rig.device.Expect(Vorlan3::kRequestSize, Concat({{0x77}, LabelledState(70), LabelledState(71)}));
  ArmState state;
  EXPECT_NE(rig.arm.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {}, 0.05, state),
            Outcome::Ok);
  rig.device.SendAfter(milliseconds(60), LabelledState(1));
  rig.device.Expect(Vorlan3::kRequestSize, LabelledState(2), milliseconds(90));
  const Outcome second =
      rig.arm.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {}, 0.3, state);
  if (second == Outcome::Ok) {
    EXPECT_EQ(LabelOf(state), 2);
  }
  // Whatever the second did, the third reads its own reply once the replies
  // owed have come or their horizon passed (as a holding servo loop waits).
  rig.device.Expect(Vorlan3::kRequestSize, LabelledState(3));
  ASSERT_EQ(rig.arm.ExchangeWithin(Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, {}, 0.3, state, true),
            Outcome::Ok);
  EXPECT_EQ(LabelOf(state), 3);
}

TEST_F(Vorlan3Test, WholeExchangesDiscardWhatWasQueuedBeforeTheirRequest) {
  struct Case {
    const char* name;
    Bytes queued;
    bool peek;  // a reader left a byte in the stream's look-ahead slot
  };
  const Case cases[] = {
      {"a reply nobody collected", LabelledState(9), false},
      {"notification frames", {0xBA, 0x00, 0x02, 0x2B, 0x2B, 0xBB, 0x01, 0x00}, false},
      {"a byte in the look-ahead slot", {0x2B}, true},
      {"more than a buffer of bytes", Bytes(3000, 0x2B), false},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.device.Send(c.queued);
    ASSERT_TRUE(WaitQueued(rig.stream, static_cast<int32_t>(c.queued.size()))) << c.name;
    if (c.peek) {
      ASSERT_EQ(rig.stream.peek(), 0x2B) << c.name;
      ASSERT_EQ(rig.stream.Available(), 1) << c.name;
    }
    rig.device.Expect(Vorlan3::kRequestSize, LabelledState(4));
    EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 4) << c.name;
    EXPECT_EQ(rig.arm.last_outcome, Outcome::Ok) << c.name;
  }
}

TEST_F(Vorlan3Test, WholeStatusAndIdentityQueriesDiscardStaleInputToo) {
  Rig rig;
  const Bytes stale = Concat({{0xAA}, Floats({-1}), {0x0D, 0xD1, 16}, Bytes(16, 0xEE), {0x0B}, Bytes(21, 0xEE)});
  const Bytes record = Concat({{0x34, 0x12, 0x04, 0x02, 0x05}, Sequence(0, 16)});
  std::array<uint8_t, 16> ab;
  ab.fill(0xAB);

  rig.device.Send(stale);
  ASSERT_TRUE(WaitQueued(rig.stream, static_cast<int32_t>(stale.size())));
  rig.device.Expect(1, Concat({{0xAA}, Floats({36.5f})}));
  float temperature = 0;
  EXPECT_TRUE(rig.arm.QueryTemperature(temperature));
  EXPECT_EQ(temperature, 36.5f);

  rig.device.Send(stale);
  ASSERT_TRUE(WaitQueued(rig.stream, static_cast<int32_t>(stale.size())));
  rig.device.Expect(2, Concat({{0x0D, 0xD1, 16}, Bytes(16, 0xAB)}));
  EXPECT_EQ(rig.arm.QueryIdentifier(Vorlan3::kDeviceIdentifier), ab);

  rig.device.Send(stale);
  ASSERT_TRUE(WaitQueued(rig.stream, static_cast<int32_t>(stale.size())));
  rig.device.Expect(1, Concat({{0x0B}, record}));
  DeviceInfo info;
  EXPECT_EQ(rig.arm.Wakeup(info), 21);
  EXPECT_EQ(info.device_model_number, 4);
  EXPECT_EQ(Bytes(info.device_id_ext, info.device_id_ext + 16), Sequence(0, 16));
  EXPECT_EQ(rig.device.Written(), (Bytes{0xAA, 0x0D, 0xD1, 0x0A}));
  EXPECT_EQ(rig.arm.failures, 0u);
}

TEST_F(Vorlan3Test, AFirstReplyOnAQuietLineStandsOnlyIfTheLinePausesAfterItForEveryWholeExchange) {
  // A frame may resume right at the first request on a line that was quiet:
  // what reads as the reply stands only if nothing but notifications follows
  // it, whichever whole exchange read it.
  struct Exchange {
    const char* name;
    Bytes reply;
    std::function<bool(Vorlan3&)> got_reply;
  };
  const Exchange exchanges[] = {
      {"force", LabelledState(3), [](Vorlan3& arm) { return LabelOf(ForceExchange(arm)) == 3; }},
      {"temperature", Concat({{0xAA}, Floats({36.5f})}),
       [](Vorlan3& arm) {
         float t = 0;
         return arm.QueryTemperature(t) && t == 36.5f;
       }},
      {"wakeup", Concat({{0x0B, 0x34, 0x12, 0x04, 0x02, 0x05}, Sequence(0, 16)}),
       [](Vorlan3& arm) {
         DeviceInfo info;
         return arm.Wakeup(info) == 21 && info.device_id == 0x1234;
       }},
  };
  struct Tail {
    const char* name;
    Bytes bytes;  // empty with `again`: the reply once more
    bool again;
    bool stands;
  };
  const Tail tails[] = {
      {"nothing", {}, false, true},
      {"a whole notification", {0xBA, 0x00, 0x02, 0x01, 0x02}, false, true},
      {"the same reply again", {}, true, false},
      {"a byte that begins no frame", {0x01}, false, false},
  };
  for (const auto& e : exchanges) {
    for (const auto& t : tails) {
      MemoryRig rig;
      rig.line->answer_on_write = true;
      rig.line->pending.push_back(Concat({e.reply, t.again ? e.reply : t.bytes}));
      EXPECT_EQ(e.got_reply(rig.arm), t.stands) << e.name << ", then " << t.name;
      EXPECT_EQ(rig.arm.last_outcome, t.stands ? Outcome::Ok : Outcome::BadReply) << e.name << ", then " << t.name;
      EXPECT_EQ(rig.line->written.size(), e.name[0] == 'f' ? Vorlan3::kRequestSize : 1u)
          << e.name << ", then " << t.name;
    }
  }
}

TEST_F(Vorlan3Test, AFirstReplyFollowedByAReplyThatStopsFailsWithinTheCallLimit) {
  // The line was quiet at the first request; behind the reply another one
  // begins and stops: the look for a pause after the reply ends by its bound.
  Rig rig;
  rig.arm.read_timeout = kSilenceTimeout;
  const Bytes second = LabelledState(8);
  rig.device.Expect(Vorlan3::kRequestSize, Concat({LabelledState(7), Bytes(second.begin(), second.begin() + 5)}));
  const auto start = steady_clock::now();
  const ArmState state = ForceExchange(rig.arm);
  EXPECT_LT(SecondsSince(start), rig.arm.CallLimit() + 1.0);
  EXPECT_EQ(LabelOf(state), 0);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::BadReply);
}

TEST_F(Vorlan3Test, EveryCallRecordsHowItEnded) {
  const Bytes state = LabelledState(1);
  struct Case {
    const char* name;
    std::function<void(PtyEmulator&)> script;
    std::function<void(Vorlan3&)> call;
    Outcome outcome;
  };
  auto exchange = [](Vorlan3& arm) { ForceExchange(arm); };
  auto identifier = [](Vorlan3& arm) { arm.QueryIdentifier(Vorlan3::kDeviceIdentifier); };
  auto receive = [](Vorlan3& arm) {
    Triple a{}, b{};
    arm.ReceiveState(a, b);
  };
  const Case cases[] = {
      {"reply", [&](PtyEmulator& d) { d.Expect(13, state); }, exchange, Outcome::Ok},
      {"silence", [](PtyEmulator&) {}, exchange, Outcome::Timeout},
      {"wrong code", [](PtyEmulator& d) { d.Expect(13, Concat({{0x1B}, Bytes(24, 0)})); },
       exchange, Outcome::BadReply},
      {"truncated reply", [&](PtyEmulator& d) { d.Expect(13, Bytes(state.begin(), state.begin() + 9)); }, exchange,
       Outcome::Timeout},
      {"hang-up", [](PtyEmulator& d) { d.ExpectThenHangUp(13); }, exchange, Outcome::PortGone},
      {"identifier", [](PtyEmulator& d) { d.Expect(2, Concat({{0x0D, 0xD1, 16}, Bytes(16, 1)})); }, identifier,
       Outcome::Ok},
      {"identifier of the wrong length", [](PtyEmulator& d) { d.Expect(2, Concat({{0x0D, 0xD1, 15}, Bytes(16, 1)})); },
       identifier, Outcome::BadReply},
      {"identifier for another sub-code", [](PtyEmulator& d) { d.Expect(2, Concat({{0x0D, 0xD2, 16}, Bytes(16, 1)})); },
       identifier, Outcome::BadReply},
      {"split receive of nothing", [](PtyEmulator&) {}, receive, Outcome::Timeout},
      {"split receive", [&](PtyEmulator& d) { d.Send(state); }, receive, Outcome::Ok},
  };
  for (const auto& c : cases) {
    Rig rig;
    c.script(rig.device);
    c.call(rig.arm);
    EXPECT_EQ(rig.arm.last_outcome, c.outcome) << c.name;
    EXPECT_EQ(rig.arm.failures, c.outcome == Outcome::Ok ? 0u : 1u) << c.name;
  }
}

TEST_F(Vorlan3Test, AGonePortIsToldApartFromASilentOneAndFailsAtOnce) {
  {
    Rig rig;
    rig.arm.read_timeout = 5.0f;
    rig.device.ExpectThenHangUp(13);
    const auto start = steady_clock::now();
    EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 0);
    EXPECT_EQ(rig.arm.last_outcome, Outcome::PortGone);
    EXPECT_LT(SecondsSince(start), 2.5) << "not at the time-out";
  }
  SetLastError(0);
  SerialStream never_opened("/dev/velkor-no-such-port", false);
  Vorlan3 arm(&never_opened, 5.0f);
  float temperature = 1;
  EXPECT_FALSE(arm.QueryTemperature(temperature));
  EXPECT_EQ(arm.last_outcome, Outcome::PortGone);
  Vorlan3 streamless(nullptr, 5.0f);
  ForceExchange(streamless);
  EXPECT_EQ(streamless.last_outcome, Outcome::PortGone);
  EXPECT_EQ(streamless.failures, 1u);
}

TEST_F(Vorlan3Test, ASuccessAfterFailuresRecordsOkAndKeepsTheCount) {
  Rig rig;
  rig.arm.read_timeout = 0.1f;
  ForceExchange(rig.arm);
  ForceExchange(rig.arm);
  EXPECT_EQ(rig.arm.failures, 2u);
  rig.device.ForgetWritten();
  rig.device.Expect(13, LabelledState(7));
  EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 7);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Ok);
  EXPECT_EQ(rig.arm.failures, 2u);
  // A host-computed position is one call, however many exchanges it makes.
  rig.arm.GetEndEffectorPosition(false);
  EXPECT_EQ(rig.arm.failures, 3u);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Timeout);
}

TEST_F(Vorlan3Test, AStalledWriteFailsItsCallWithOneLineAndTheStreamRecoversWhenTheDeviceReadsAgain) {
  MemoryRig rig;
  rig.line->room = 0;
  SetLastError(0);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 0);
    EXPECT_EQ(rig.arm.last_outcome, Outcome::WriteFailed);
  }
  const std::string line = "[err] Library/src/SerialStream:53> unable to write '13' bytes to stream: [110] "
                           "Connection timed out\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), line + line + line);
  EXPECT_EQ(rig.arm.failures, 3u);
  EXPECT_EQ(rig.line->output_discards, 3);
  EXPECT_FALSE(rig.stream.good());

  rig.line->room = SIZE_MAX;
  rig.line->answer_on_write = true;
  rig.line->pending.push_back(LabelledState(5));
  EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 5);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Ok);
  EXPECT_TRUE(rig.stream.good());
  SetLastError(0);
}

TEST_F(Vorlan3Test, AnExchangeAnsweredAtOnceNeverAsksTheInterruptionCheck) {
  MemoryRig rig;
  rig.line->answer_on_write = true;
  rig.line->pending.push_back(LabelledState(3));
  InterruptAfter interrupt(milliseconds(0));
  EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 3);
  EXPECT_EQ(interrupt.asked(), 0);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Ok);
}

TEST_F(Vorlan3Test, InterruptedCallsStopWithoutALineAndThePortServesTheNextExchange) {
  struct Case {
    const char* name;
    std::function<bool(Vorlan3&)> call;  // true when the call reported success
  };
  const Case cases[] = {
      {"exchange", [](Vorlan3& arm) { return LabelOf(ForceExchange(arm)) != 0; }},
      {"identifier", [](Vorlan3& arm) { return arm.QueryIdentifier(Vorlan3::kFirmwareVersion)[0] != 0; }},
      {"status query", [](Vorlan3& arm) {
         float t = 0;
         return arm.QueryTemperature(t);
       }},
      {"wake-up", [](Vorlan3& arm) {
         DeviceInfo info;
         return arm.Wakeup(info) == 21;
       }},
      {"split receive", [](Vorlan3& arm) {
         Triple a{}, b{};
         return arm.ReceiveState(a, b) == 24;
       }},
      {"raw wait", [](Vorlan3& arm) { return arm.WaitRaw(1, 0.0f) == 1; }},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.arm.read_timeout = 0.0f;
    SetLastError(5);
    testing::internal::CaptureStderr();
    const auto start = steady_clock::now();
    {
      InterruptAfter interrupt(milliseconds(100));
      EXPECT_FALSE(c.call(rig.arm)) << c.name;
    }
    EXPECT_LT(SecondsSince(start), 5.0) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
    EXPECT_EQ(rig.arm.last_outcome, Outcome::Interrupted) << c.name;
    SetLastError(0);
    // The late reply to the interrupted request lands before the next one goes out.
    rig.device.Send(LabelledState(8));
    ASSERT_TRUE(WaitQueued(rig.stream, 25)) << c.name;
    rig.device.ForgetWritten();
    rig.device.Expect(13, LabelledState(9));
    rig.arm.read_timeout = 5.0f;
    EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 9) << c.name;
  }
}

TEST_F(Vorlan3Test, AnInterruptedLargeRawWriteStopsAndTheStreamWorksOnceTheDeviceReads) {
  Rig rig;
  rig.device.PauseReading();
  const Bytes payload(300000, 0x55);
  testing::internal::CaptureStderr();
  {
    InterruptAfter interrupt(milliseconds(100));
    EXPECT_FALSE(rig.arm.SendRaw(payload.data(), payload.size()));
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Interrupted);

  // A device that never reads fails the write after a stall, not after 40 minutes.
  const auto start = steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(rig.arm.SendRaw(payload.data(), payload.size()));
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("[err] Library/src/SerialStream:53> unable to write '300000' "
                                                         "bytes to stream: [110] ", 0),
            0u);
  EXPECT_LT(SecondsSince(start), 30.0);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::WriteFailed);
  SetLastError(0);

  rig.device.ResumeReading();
  rig.device.ForgetWritten();
  rig.device.Expect(13, LabelledState(6));
  EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 6);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Ok);
}

TEST_F(Vorlan3Test, RawWaitsForHugeCountsReturnWhatArrived) {
  for (const size_t n : {size_t{1} << 31, size_t{1} << 63, std::numeric_limits<size_t>::max()}) {
    Rig rig;
    rig.device.Send({1, 2, 3});
    ASSERT_TRUE(WaitQueued(rig.stream, 3));
    EXPECT_EQ(rig.arm.WaitRaw(n, 0.1f), 3u) << n;
    EXPECT_EQ(rig.arm.last_outcome, Outcome::Timeout) << n;
    uint8_t out[3] = {};
    EXPECT_EQ(rig.arm.ReadRawInto(out, 3), 3u) << n;
    EXPECT_EQ(rig.arm.last_outcome, Outcome::Timeout) << "the read completes the raw call";
    EXPECT_EQ(rig.arm.failures, 1u);
  }
}

TEST_F(Vorlan3Test, ANotificationTrickleCannotStretchAnExchangeOrAReceive) {
  Rig rig;
  rig.arm.read_timeout = 0.2f;
  Trickle trickle(rig.device, {0xBB, 0x00, 0x02, 0x01, 0x02}, milliseconds(20));
  const auto start = steady_clock::now();
  DeviceInfo info;
  EXPECT_EQ(rig.arm.ReceiveDeviceInfo(info), -1);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Timeout);
  EXPECT_EQ(LabelOf(ForceExchange(rig.arm)), 0);
  EXPECT_EQ(rig.arm.last_outcome, Outcome::Timeout);
  EXPECT_LT(SecondsSince(start), 8.0) << "each call ends within three read time-outs and a drain";
}
