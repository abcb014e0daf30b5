#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "support/Interruption.hpp"
#include "support/PtyEmulator.hpp"
#include "support/Trickle.hpp"

using namespace std::chrono;
using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::SetLastError;
using Velkor::HardwareAPI::Devices::Outcome;
using VelkorTest::Bytes;
using VelkorTest::InterruptAfter;
using VelkorTest::PtyEmulator;
using VelkorTest::Trickle;

namespace {

double SecondsSince(steady_clock::time_point start) {
  return duration<double>(steady_clock::now() - start).count();
}

// Generous, so that a loaded machine never turns a reply into a time-out; tests
// of silence set a short time-out of their own.
constexpr float kReplyTimeout = 3.0f;
constexpr float kSilenceTimeout = 0.25f;

struct Rig {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  Device base{&stream, kReplyTimeout};

  // Waits (bounded) until the host has n bytes queued, so that a short time-out
  // afterwards can only end in silence.
  void WaitQueued(int32_t n) {
    const auto give_up = steady_clock::now() + std::chrono::seconds(10);
    while (stream.Available() < n && steady_clock::now() < give_up) std::this_thread::sleep_for(milliseconds(2));
    ASSERT_GE(stream.Available(), n);
  }
};

}  // namespace

TEST(Device, BuffersStartZeroed) {
  Rig rig;
  for (size_t i = 0; i < Device::kBufferSize; ++i) {
    ASSERT_EQ(rig.base.tx_buffer[i], 0);
    ASSERT_EQ(rig.base.rx_buffer[i], 0);
  }
}

TEST(Device, WriteCommandSendsTheLeadingBytesOfTheSendBuffer) {
  Rig rig;
  rig.base.tx_buffer[0] = 0x2A;
  rig.base.tx_buffer[1] = 0x11;
  rig.base.tx_buffer[2] = 0x22;
  rig.base.WriteCommand(2);
  ASSERT_TRUE(rig.device.WaitWritten(2));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(rig.device.Written(), (Bytes{0x2A, 0x11}));
}

TEST(Device, HeaderCodeDrainsNotificationFrames) {
  struct Case {
    const char* name;
    Bytes wire;
    uint8_t code;
  };
  Bytes long_notification{0xBB, 0x00, 0xFF};
  for (int i = 0; i < 255; ++i) long_notification.push_back(static_cast<uint8_t>(i));
  long_notification.push_back(0x0B);
  const Case cases[] = {
      {"plain code", {0x2B}, 0x2B},
      {"notification with payload", {0xBA, 0x00, 0x03, 1, 2, 3, 0xD0}, 0xD0},
      {"zero-length notification", {0xBB, 0x07, 0x00, 0xDF}, 0xDF},
      {"255-byte notification", long_notification, 0x0B},
      {"two notifications", {0xBA, 0, 1, 9, 0xBB, 0, 0, 0x1B}, 0x1B},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.device.Send(c.wire);
    EXPECT_EQ(rig.base.ReadHeaderCode(), c.code) << c.name;
    EXPECT_EQ(rig.base.rx_buffer[0], c.code) << c.name;
    EXPECT_EQ(rig.stream.Available(), 0) << c.name;
  }
}

TEST(Device, HeaderCodeSplitAcrossArrivals) {
  Rig rig;
  rig.base.read_timeout = 2.0f;
  rig.device.Send({0xBA, 0x00});
  rig.device.SendAfter(milliseconds(60), {0x02, 5});
  rig.device.SendAfter(milliseconds(60), {6, 0x2B});
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0x2B);
}

TEST(Device, SilentPortTimesOutSilentlyWhenNoErrorIsRecorded) {
  Rig rig;
  rig.base.read_timeout = kSilenceTimeout;
  SetLastError(0);
  testing::internal::CaptureStderr();
  const auto start = steady_clock::now();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  const double took = SecondsSince(start);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(took, kSilenceTimeout - 0.01);
  EXPECT_LT(took, 10.0) << "the wait must end";
}

TEST(Device, TimeoutLinesCarryTheRecordedError) {
  Rig rig;
  rig.base.read_timeout = kSilenceTimeout;
  SetLastError(5);
  testing::internal::CaptureStderr();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  rig.device.Send({0xBA});
  rig.WaitQueued(1);
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0) << "a lone notification code";
  EXPECT_EQ(rig.base.ReadPayload(4), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[err] Library/src/Device:78> timeout waiting for header code: [5] Input/output error\n"
            "[err] Library/src/Device:112> timeout draining notification header: [5] Input/output error\n"
            "[err] Library/src/Device:153> timeout waiting for bytes: [5] Input/output error\n");
  SetLastError(0);
}

TEST(Device, NotificationPayloadTimeout) {
  Rig rig;
  SetLastError(5);
  rig.device.Send({0xBA, 0x00, 0x05, 1, 2});
  rig.WaitQueued(5);
  rig.base.read_timeout = kSilenceTimeout;
  testing::internal::CaptureStderr();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[err] Library/src/Device:128> timeout draining notification payload: [5] Input/output error\n");
  SetLastError(0);
}

TEST(Device, PayloadShortLeavesBytesQueuedAndExactIsRead) {
  Rig rig;
  rig.device.Send({1, 2, 3, 4});
  rig.WaitQueued(4);
  rig.base.read_timeout = kSilenceTimeout;
  EXPECT_EQ(rig.base.ReadPayload(6), 0u);
  EXPECT_EQ(rig.stream.Available(), 4);

  Rig exact;
  Bytes block(255);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(255 - i);
  exact.device.Send(block);
  EXPECT_EQ(exact.base.ReadPayload(255), 255u);
  EXPECT_EQ(exact.base.rx_buffer[0], 255);
  EXPECT_EQ(exact.base.rx_buffer[254], 1);
  EXPECT_EQ(exact.base.ReadPayload(Device::kBufferSize + 1), 0u) << "more than the buffer holds";
}

TEST(Device, NoLimitWaitsForALateReply) {
  // Zero, negative, infinite, not a number and timeouts too long for the clock all mean no limit.
  for (const float timeout : {0.0f, -1.0f, 1e30f, std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()}) {
    Rig rig;
    rig.base.read_timeout = timeout;
    rig.device.SendAfter(milliseconds(400), {0x0B});
    const auto start = steady_clock::now();
    EXPECT_EQ(rig.base.ReadHeaderCode(), 0x0B) << timeout;
    EXPECT_GE(SecondsSince(start), 0.35) << timeout;
  }
}

TEST(Device, HangUpFailsTheWaitAtOnce) {
  Rig rig;
  rig.base.read_timeout = 0.0f;  // would otherwise wait for ever
  rig.device.SendAfter(milliseconds(50), {});
  rig.device.ExpectThenHangUp(0);
  const auto start = steady_clock::now();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  EXPECT_LT(SecondsSince(start), 10.0) << "without a limit, only the hang-up ends the wait";
}

TEST(Device, ANotificationTrickleCannotStretchAHeaderRead) {
  Rig rig;
  rig.base.read_timeout = 0.2f;
  Trickle trickle(rig.device, {0xBA, 0x00, 0x00}, milliseconds(20));
  const auto start = steady_clock::now();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  // Each notification restarted the wait before; now three read time-outs bound the read.
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST(Device, InterruptionStopsAnUnlimitedWaitWithoutALineAndLeavesThePortUsable) {
  struct Case {
    const char* name;
    Bytes queued;
    size_t left;  // what the wait had not consumed yet
    bool (*wait)(Device&);
  };
  const Case cases[] = {
      {"header code", {}, 0, [](Device& d) { return d.ReadHeaderCode() != 0; }},
      {"notification payload", {0xBA, 0x00, 0x09, 1}, 1, [](Device& d) { return d.ReadHeaderCode() != 0; }},
      {"payload", {1, 2}, 2, [](Device& d) { return d.ReadPayload(4) != 0; }},
      {"bytes", {}, 0, [](Device& d) { return d.WaitForBytes(3, 0.0f); }},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.base.read_timeout = 0.0f;
    if (!c.queued.empty()) rig.device.Send(c.queued);
    SetLastError(5);
    testing::internal::CaptureStderr();
    {
      InterruptAfter interrupt(milliseconds(100));
      const auto start = steady_clock::now();
      EXPECT_FALSE(c.wait(rig.base)) << c.name;
      EXPECT_LT(SecondsSince(start), 5.0) << c.name;
      EXPECT_GE(interrupt.asked(), 2) << c.name;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
    SetLastError(0);
    // Nothing was lost: what the wait had not consumed is still there, and more comes.
    rig.device.Send({0xEE, 0xEE, 0xEE, 0xEE});
    ASSERT_TRUE(rig.base.WaitForBytes(c.left + 4, 5.0f)) << c.name;
    EXPECT_EQ(rig.stream.Available(), static_cast<int32_t>(c.left + 4)) << c.name;
  }
}

TEST(Device, WaitsForMoreBytesThanACountCanHoldAreNeverSatisfied) {
  Rig rig;
  rig.device.Send({1, 2, 3});
  for (const size_t k : {size_t{1} << 31, size_t{1} << 63, std::numeric_limits<size_t>::max()}) {
    EXPECT_FALSE(rig.base.WaitForBytes(k, 0.1f)) << k;
  }
  EXPECT_TRUE(rig.base.WaitForBytes(3, 5.0f));
}

TEST(Device, CallsRecordTheirOutcomeOnceAndNest) {
  Rig rig;
  EXPECT_EQ(rig.base.last_outcome, Outcome::Ok);
  {
    Device::Call outer(rig.base, 1.0);
    rig.base.NoteFailure(Outcome::Timeout);
    rig.base.NoteFailure(Outcome::BadReply);
    {
      Device::Call inner(rig.base, 1.0);
      EXPECT_FALSE(rig.base.CallFailed()) << "a nested call starts clean";
    }
    EXPECT_EQ(rig.base.last_outcome, Outcome::Ok);
    EXPECT_EQ(rig.base.CallFailure(), Outcome::Timeout) << "the first cause stays";
    rig.base.NoteFailure(Outcome::PortGone);
    EXPECT_EQ(rig.base.CallFailure(), Outcome::PortGone) << "a gone port explains a time-out";
    rig.base.NoteFailure(Outcome::Interrupted);
    rig.base.NoteFailure(Outcome::Timeout);
    EXPECT_EQ(rig.base.CallFailure(), Outcome::Interrupted);
  }
  EXPECT_EQ(rig.base.last_outcome, Outcome::Interrupted);
  EXPECT_EQ(rig.base.failures, 1u);
  { Device::Call ok(rig.base, 1.0); }
  EXPECT_EQ(rig.base.last_outcome, Outcome::Ok);
  EXPECT_EQ(rig.base.failures, 1u);
}

TEST(Device, ACallDeadlineBoundsEveryWaitInTheCall) {
  Rig rig;
  rig.base.read_timeout = 10.0f;
  Device::Call call(rig.base, 0.3);
  const auto start = steady_clock::now();
  EXPECT_EQ(rig.base.ReadHeaderCode(), 0);
  EXPECT_EQ(rig.base.ReadPayload(4), 0u);
  EXPECT_LT(SecondsSince(start), 5.0) << "two waits of 10 s each, cut by the call's 0.3 s";
  EXPECT_EQ(rig.base.CallFailure(), Outcome::Timeout);
}
