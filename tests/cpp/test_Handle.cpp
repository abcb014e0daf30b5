#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "support/Interruption.hpp"
#include "support/MemoryPortDriver.hpp"
#include "support/PtyEmulator.hpp"
#include "support/Trickle.hpp"

using namespace std::chrono;
using namespace Velkor::HardwareAPI::Devices;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::SetLastError;
using Velkor::HardwareAPI::Platform::SetPortDriverFactory;
using VelkorTest::Bytes;
using VelkorTest::InterruptAfter;
using VelkorTest::MemoryPortDriver;
using VelkorTest::PtyEmulator;
using VelkorTest::Trickle;

namespace {

// Records every slot so that a test sees which fired and with what.
struct RecordingHandle : Handle {
  using Handle::Handle;
  std::vector<std::string> calls;
  uint8_t info_fields[5] = {};
  uint16_t info_device_id = 0;
  HandleInfo info;
  HandleStatusMessage status;
  std::vector<uint8_t> status_user_data;
  float status_quaternion[4] = {};
  uint16_t error_device_id = 0;
  uint8_t error_code = 0;
  HandleErrorResponse error;

  void OnReceiveHandleInfo(uint8_t remaining, uint16_t id, uint8_t model, uint8_t hardware, uint8_t firmware) override {
    calls.push_back("info fields");
    const uint8_t fields[5] = {remaining, 0, model, hardware, firmware};
    std::memcpy(info_fields, fields, sizeof fields);
    info_device_id = id;
  }
  void OnReceiveHandleInfo(const HandleInfo& record) override {
    calls.push_back("info record");
    info = record;
  }
  void OnReceiveHandleStatusMessage(uint16_t, const float* q, uint8_t, uint8_t, uint8_t length,
                                    const uint8_t* data) override {
    calls.push_back("status fields");
    std::memcpy(status_quaternion, q, sizeof status_quaternion);
    status_user_data.assign(data, data + length);
  }
  void OnReceiveHandleStatusMessage(const HandleStatusMessage& record) override {
    calls.push_back("status record");
    status = record;
  }
  void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override {
    calls.push_back("error fields");
    error_device_id = id;
    error_code = code;
  }
  void OnReceiveHandleErrorResponse(const HandleErrorResponse& record) override {
    calls.push_back("error record");
    error = record;
  }
};

struct Rig {
  PtyEmulator device;
  SerialStream stream{device.SlavePath().c_str(), true};
  RecordingHandle handle{&stream, 0.3f};

  // Sends and waits (bounded) until every byte is queued on the host side.
  void Deliver(const Bytes& bytes) {
    device.Send(bytes);
    const auto limit = steady_clock::now() + seconds(5);
    while (stream.Available() < static_cast<int32_t>(bytes.size()) && steady_clock::now() < limit)
      std::this_thread::sleep_for(milliseconds(1));
  }
};

double SecondsSince(steady_clock::time_point start) { return duration<double>(steady_clock::now() - start).count(); }

void PutFloat(Bytes& bytes, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(bits >> shift));
}

Bytes StatusMessage(uint16_t device_id, const float (&q)[4], uint8_t error_flag, uint8_t hall,
                    const Bytes& user_data) {
  Bytes wire{Handle::kStatusMessage, static_cast<uint8_t>(device_id), static_cast<uint8_t>(device_id >> 8),
             error_flag, hall};
  for (float v : q) PutFloat(wire, v);
  wire.push_back(static_cast<uint8_t>(user_data.size()));
  wire.insert(wire.end(), user_data.begin(), user_data.end());
  return wire;
}

// 0xDA followed by the stuffed frame of `status`.
Bytes StatusFrame(const StrixelStatus& status) {
  Bytes wire(1 + kStrixelMaxEncodedSize);
  wire[0] = Handle::kStatusMessage;
  wire.resize(1 + EncodeStrixelStatusFrame(status, wire.data() + 1, kStrixelMaxEncodedSize));
  return wire;
}

StrixelStatus SampleStatus(uint8_t device_id) {
  StrixelStatus s;
  s.device_id = device_id;
  s.error_flag = 4;
  s.hall_effect_sensor_level = 17;
  s.buttons = 2;
  s.quaternion[0] = 0.5f;
  s.quaternion[1] = -0.25f;
  s.quaternion[2] = 0.125f;
  s.quaternion[3] = -1.0f;
  s.battery_level = 3.9f;
  return s;
}

void ExpectStatus(const StrixelStatus& got, const StrixelStatus& want, const std::string& name) {
  EXPECT_EQ(got.error_flag, want.error_flag) << name;
  EXPECT_EQ(got.device_id, want.device_id) << name;
  EXPECT_EQ(got.hall_effect_sensor_level, want.hall_effect_sensor_level) << name;
  EXPECT_EQ(got.buttons, want.buttons) << name;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(got.quaternion[i], want.quaternion[i]) << name << " component " << i;
  EXPECT_FLOAT_EQ(got.battery_level, want.battery_level) << name;
}

void ExpectFailed(const StrixelStatus& got, uint8_t flag, const std::string& name) {
  StrixelStatus zero;
  zero.error_flag = flag;
  ExpectStatus(got, zero, name);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace

TEST(Handle, CommandsWriteTheirBytes) {
  Rig rig;
  const uint8_t data[2] = {0x07, 0xC0};
  rig.handle.SendDeviceWakeup();
  rig.handle.RequestStatus();
  rig.handle.SendHandleState(0x1234, 2, data);
  rig.handle.SendHandleState(0x0005, 0, nullptr);
  const Bytes expected{0x0A, 0xDA, 0xDB, 0x34, 0x12, 0x02, 0x07, 0xC0, 0xDB, 0x05, 0x00, 0x00};
  ASSERT_TRUE(rig.device.WaitWritten(expected.size()));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(rig.device.Written(), expected);
}

TEST(Handle, ReceiveDecodesAnInfoMessage) {
  Rig rig;
  rig.device.Send({0xBA, 0x00, 0x01, 0x55, 0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), 6);
  EXPECT_EQ(code, 0xD0);
  EXPECT_EQ(rig.handle.calls, (std::vector<std::string>{"info fields", "info record"}));
  EXPECT_EQ(rig.handle.info_fields[0], 5);
  EXPECT_EQ(rig.handle.info_device_id, 0x1234);
  EXPECT_EQ(rig.handle.info_fields[2], 0x12);
  EXPECT_EQ(rig.handle.info_fields[3], 7);
  EXPECT_EQ(rig.handle.info_fields[4], 9);
  EXPECT_EQ(rig.handle.info.device_id, 0x1234);
  EXPECT_EQ(rig.handle.info.tool_data_remaining, 5);
  EXPECT_EQ(rig.handle.info.device_model_number, 0x12);
  EXPECT_EQ(rig.handle.info.firmware_version, 9);
}

TEST(Handle, ReceiveDecodesStatusMessagesWithAnyUserDataLength) {
  const float q[4] = {0.5f, -1.5f, 2.25f, -0.0f};
  for (size_t length : {size_t{0}, size_t{1}, size_t{255}}) {
    Rig rig;
    Bytes user_data(length);
    for (size_t i = 0; i < length; ++i) user_data[i] = static_cast<uint8_t>(255 - i);
    rig.device.Send(StatusMessage(0xBEEF, q, 3, 21, user_data));
    uint8_t code = 0;
    EXPECT_EQ(rig.handle.Receive(code), static_cast<int32_t>(21 + length)) << length;
    EXPECT_EQ(code, 0xDA);
    EXPECT_EQ(rig.handle.calls, (std::vector<std::string>{"status fields", "status record"})) << length;
    EXPECT_EQ(rig.handle.status_user_data, user_data) << length;
    const HandleStatusMessage& s = rig.handle.status;
    EXPECT_EQ(s.device_id, 0xBEEF);
    EXPECT_EQ(s.error_flag, 3);
    EXPECT_EQ(s.hall_effect_sensor_level, 21);
    EXPECT_EQ(s.user_data_length, length);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(s.quaternion[i], q[i]);
      EXPECT_EQ(rig.handle.status_quaternion[i], q[i]);
    }
    for (size_t i = length; i < sizeof s.user_data; ++i) ASSERT_EQ(s.user_data[i], 0) << "byte " << i;
    EXPECT_EQ(rig.stream.Available(), 0);
  }
}

TEST(Handle, ReceiveDecodesAnErrorResponse) {
  Rig rig;
  rig.device.Send({0xDF, 0x02, 0x01, 0x04});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), 3);
  EXPECT_EQ(rig.handle.calls, (std::vector<std::string>{"error fields", "error record"}));
  EXPECT_EQ(rig.handle.error_device_id, 0x0102);
  EXPECT_EQ(rig.handle.error_code, 4);
  EXPECT_EQ(rig.handle.error.device_id, 0x0102);
  EXPECT_EQ(rig.handle.error.error_code, 4);
}

TEST(Handle, ReceiveRefusesUnknownCodesAndSilenceWithoutCallbacks) {
  Rig rig;
  rig.Deliver({0xD5, 0x01, 0x02, 0x03});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), -1);
  EXPECT_EQ(code, 0xD5);
  EXPECT_EQ(rig.stream.Available(), 3) << "the bytes after the code stay queued";

  Rig silent;
  code = 0xFF;
  EXPECT_EQ(silent.handle.Receive(code), -1);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(rig.handle.calls.empty());
  EXPECT_TRUE(silent.handle.calls.empty());
}

// A message cut short would hand its callbacks whatever the buffer held before.
TEST(Handle, ReceiveWithAShortPayloadCallsNothingAndCountsWhatArrived) {
  Rig rig;
  rig.device.Send({0xDF, 0x02});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), 0);
  EXPECT_EQ(code, 0xDF);
  EXPECT_TRUE(rig.handle.calls.empty());
  EXPECT_EQ(rig.handle.last_outcome, Outcome::Timeout);
}

TEST(Handle, ExceptionFromACallbackLeavesReceive) {
  struct Throwing : Handle {
    using Handle::Handle;
    bool record_seen = false;
    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override {
      throw std::runtime_error("from the callback");
    }
    void OnReceiveHandleInfo(const HandleInfo&) override { record_seen = true; }
  };
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), true);
  Throwing handle(&stream, 0.3f);
  device.Send({0xD0, 1, 2, 3, 4, 5, 6});
  uint8_t code = 0;
  EXPECT_THROW(handle.Receive(code), std::runtime_error);
  EXPECT_FALSE(handle.record_seen);
}

TEST(Handle, StatusReadFindsTheFrame) {
  const StrixelStatus sample = SampleStatus(0x21);
  StrixelStatus escaped = SampleStatus(0xC0);
  escaped.error_flag = 0xDB;
  escaped.battery_level = 3.0f + 0.005f * 0xC0;
  Bytes bad_checksum = StatusFrame(SampleStatus(0x99));
  bad_checksum[bad_checksum.size() - 2] ^= 0x01;
  // Seventeen decoded bytes that a length-blind check would accept.
  Bytes short_decoded(17, 0x01);
  short_decoded.back() = StrixelChecksum(short_decoded.data(), 16);
  Bytes short_frame(40);
  short_frame[0] = 0xDA;
  short_frame.resize(1 + SlipEncode(short_decoded.data(), short_decoded.size(), short_frame.data() + 1, 39));

  struct Case {
    const char* name;
    Bytes wire;
    StrixelStatus want;
  };
  const Case cases[] = {
      {"plain frame", StatusFrame(sample), sample},
      {"escaped bytes", StatusFrame(escaped), escaped},
      {"leading garbage", Concat({{0x01, 0x7F, 0xC0, 0xDB, 0xFE}, StatusFrame(sample)}), sample},
      {"bad checksum, then a good frame", Concat({bad_checksum, StatusFrame(sample)}), sample},
      {"short frame, then a good frame", Concat({short_frame, StatusFrame(sample)}), sample},
      {"notification ahead", Concat({{0xBB, 0x00, 0x02, 0xDA, 0xDA}, StatusFrame(sample)}), sample},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.Deliver(c.wire);
    ExpectStatus(rig.handle.GetStrixelStatus(), c.want, c.name);
  }
}

TEST(Handle, StatusReadFailures) {
  Bytes bad_checksum = StatusFrame(SampleStatus(0x99));
  bad_checksum[bad_checksum.size() - 2] ^= 0x01;
  Bytes garbage(130, 0x7E);
  Bytes zero_among_codes(30, 0x7E);
  zero_among_codes[5] = 0x00;

  struct Case {
    const char* name;
    Bytes wire;
    uint8_t flag;
  };
  const Case cases[] = {
      {"bad checksum, nothing after it", bad_checksum, kStrixelNoFrame},
      {"101 codes without a frame", garbage, kStrixelNoFrame},
      {"a zero byte where a code is read", zero_among_codes, kStrixelNoHeader},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.Deliver(c.wire);
    ExpectFailed(rig.handle.GetStrixelStatus(), c.flag, c.name);
  }
}

TEST(Handle, StatusReadOnASilentPortGivesUpAfterOneToTwoSeconds) {
  for (const Bytes& wire : {Bytes{}, Bytes(18, 0x7E)}) {
    Rig rig;
    rig.Deliver(wire);
    const auto start = steady_clock::now();
    ExpectFailed(rig.handle.GetStrixelStatus(), kStrixelSilent, std::to_string(wire.size()) + " bytes waiting");
    const double took = SecondsSince(start);
    EXPECT_GE(took, 0.99);
    EXPECT_LT(took, 10.0) << "the read must give up";
  }
}

TEST(Handle, StatusReadOfAFrameArrivingInTwoPieces) {
  const StrixelStatus sample = SampleStatus(0x42);
  const Bytes wire = StatusFrame(sample);
  ASSERT_EQ(wire.size(), 20u) << "a frame without escapes";
  for (size_t split = 1; split < wire.size(); ++split) {
    Rig rig;
    rig.Deliver(Bytes(wire.begin(), wire.begin() + static_cast<long>(split)));
    rig.device.SendAfter(milliseconds(30), Bytes(wire.begin() + static_cast<long>(split), wire.end()));
    ExpectStatus(rig.handle.GetStrixelStatus(), sample, "split at " + std::to_string(split));
  }
}

TEST(Handle, StatusReadAfterTheDeviceWentAway) {
  Rig rig;
  rig.device.HangUp();
  const auto start = steady_clock::now();
  ExpectFailed(rig.handle.GetStrixelStatus(), kStrixelSilent, "hung up");
  EXPECT_LT(SecondsSince(start), 3.0);

  Handle streamless(nullptr);
  ExpectFailed(streamless.GetStrixelStatus(), kStrixelSilent, "no stream");
}

TEST(Handle, CallsRecordHowTheyEnded) {
  Bytes bad_checksum = StatusFrame(SampleStatus(0x99));
  bad_checksum[bad_checksum.size() - 2] ^= 0x01;
  Bytes zero_among_codes(30, 0x7E);
  zero_among_codes[5] = 0x00;
  auto receive = [](Handle& h) {
    uint8_t code = 0;
    h.Receive(code);
  };
  auto status = [](Handle& h) { h.GetStrixelStatus(); };
  struct Case {
    const char* name;
    Bytes wire;
    std::function<void(Handle&)> call;
    Outcome outcome;
  };
  const Case cases[] = {
      {"info message", {0xD0, 5, 0, 0x34, 0x12, 7, 9}, receive, Outcome::Ok},
      {"unknown code", {0xD5, 1, 2}, receive, Outcome::BadReply},
      {"a zero code byte", {0x00}, receive, Outcome::BadReply},
      {"silence", {}, receive, Outcome::Timeout},
      {"short payload", {0xDF, 0x02}, receive, Outcome::Timeout},
      {"status frame", StatusFrame(SampleStatus(0x21)), status, Outcome::Ok},
      {"no valid frame", bad_checksum, status, Outcome::BadReply},
      {"a zero byte where a code is read", zero_among_codes, status, Outcome::BadReply},
      {"silent status read", {}, status, Outcome::Timeout},
      {"command", {}, [](Handle& h) { h.RequestStatus(); }, Outcome::Ok},
  };
  for (const auto& c : cases) {
    Rig rig;
    if (!c.wire.empty()) rig.Deliver(c.wire);
    c.call(rig.handle);
    EXPECT_EQ(rig.handle.last_outcome, c.outcome) << c.name;
    EXPECT_EQ(rig.handle.failures, c.outcome == Outcome::Ok ? 0u : 1u) << c.name;
  }

  Rig gone;
  gone.device.HangUp();
  receive(gone.handle);
  EXPECT_EQ(gone.handle.last_outcome, Outcome::PortGone);
  status(gone.handle);
  EXPECT_EQ(gone.handle.last_outcome, Outcome::PortGone);
  EXPECT_EQ(gone.handle.failures, 2u);
}

TEST(Handle, ANotificationTrickleCannotStretchReceiveOrTheStatusRead) {
  {
    Rig rig;
    Trickle trickle(rig.device, {0xBB, 0x00, 0x01, 0x42}, milliseconds(20));
    uint8_t code = 0;
    const auto start = steady_clock::now();
    EXPECT_EQ(rig.handle.Receive(code), -1);
    EXPECT_LT(SecondsSince(start), 5.0) << "three read time-outs of 0.3 s";
    EXPECT_EQ(rig.handle.last_outcome, Outcome::Timeout);
  }
  {
    Rig rig;
    rig.handle.read_timeout = 5.0f;
    Trickle trickle(rig.device, {0xBB, 0x00, 0x01, 0x42}, milliseconds(20));
    const auto start = steady_clock::now();
    ExpectFailed(rig.handle.GetStrixelStatus(), kStrixelNoHeader, "trickle");
    EXPECT_LT(SecondsSince(start), 10.0) << "the status read ends within three seconds";
  }
}

TEST(Handle, BadStatusFramesStreamedAsFastAsTheyAreReadCannotStretchTheStatusRead) {
  auto line = std::make_shared<MemoryPortDriver::Line>();
  for (int i = 0; i < 4; ++i) {
    line->streaming.push_back(Handle::kStatusMessage);
    line->streaming.insert(line->streaming.end(), 18, 0x01);
    line->streaming.push_back(kSlipEnd);
  }
  line->streaming_until = steady_clock::now() + seconds(30);
  SetPortDriverFactory([line] { return std::make_unique<MemoryPortDriver>(line); });
  {
    SerialStream stream("memory", true);
    Handle handle(&stream);
    const auto start = steady_clock::now();
    ExpectFailed(handle.GetStrixelStatus(), kStrixelNoFrame, "endless bad frames");
    EXPECT_LT(SecondsSince(start), 15.0) << "the status read ends within three seconds";
    EXPECT_EQ(handle.last_outcome, Outcome::Timeout);
  }
  SetPortDriverFactory(nullptr);
}

TEST(Handle, InterruptedReadsStopWithoutALine) {
  Rig rig;
  rig.handle.read_timeout = 0.0f;
  SetLastError(5);
  testing::internal::CaptureStderr();
  {
    InterruptAfter interrupt(milliseconds(100));
    uint8_t code = 0xFF;
    EXPECT_EQ(rig.handle.Receive(code), -1);
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(rig.handle.last_outcome, Outcome::Interrupted);
  {
    InterruptAfter interrupt(milliseconds(100));
    ExpectFailed(rig.handle.GetStrixelStatus(), kStrixelSilent, "interrupted status read");
  }
  EXPECT_EQ(rig.handle.last_outcome, Outcome::Interrupted);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  SetLastError(0);

  rig.handle.read_timeout = 5.0f;
  rig.Deliver({0xDF, 0x02, 0x01, 0x04});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), 3);
  EXPECT_EQ(rig.handle.last_outcome, Outcome::Ok);
}

TEST(Handle, AStreamThatAnEarlierFailureLeftNotGoodServesTheNextCall) {
  Rig rig;
  rig.stream.setstate(std::ios_base::eofbit | std::ios_base::failbit);
  rig.Deliver({0xD0, 5, 0, 0x34, 0x12, 7, 9});
  uint8_t code = 0;
  EXPECT_EQ(rig.handle.Receive(code), 6);
  EXPECT_EQ(rig.handle.info.device_id, 0x1234);
  EXPECT_EQ(rig.handle.last_outcome, Outcome::Ok);
}

TEST(Handle, ACallbackMayReceiveTheNextMessageAndEachCallRecordsItsOwnOutcome) {
  struct Nesting : Handle {
    using Handle::Handle;
    using Handle::OnReceiveHandleInfo;
    std::vector<uint8_t> codes;
    Outcome nested_outcome = Outcome::Ok;
    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override {
      uint8_t code = 0;
      Receive(code);
      codes.push_back(code);
      nested_outcome = last_outcome;
    }
    void OnReceiveHandleErrorResponse(uint16_t, uint8_t) override { codes.push_back(0xDF); }
  };
  PtyEmulator device;
  SerialStream stream(device.SlavePath().c_str(), true);
  Nesting handle(&stream, 0.3f);
  device.Send({0xD0, 5, 0, 0x34, 0x12, 7, 9, 0xD5});
  uint8_t code = 0;
  EXPECT_EQ(handle.Receive(code), 6);
  EXPECT_EQ(code, 0xD0);
  EXPECT_EQ(handle.codes, (std::vector<uint8_t>{0xD5}));
  EXPECT_EQ(handle.nested_outcome, Outcome::BadReply);
  EXPECT_EQ(handle.last_outcome, Outcome::Ok);
  EXPECT_EQ(handle.failures, 1u);
}
