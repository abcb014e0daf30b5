#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"
#include "support/PtyEmulator.hpp"

using namespace Velkor::HardwareAPI::Devices;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Decode(const Bytes& raw) {
  Bytes out(raw.size() + 1, 0xEE);
  out.resize(SlipDecode(raw.data(), raw.size(), out.data()));
  return out;
}

// The 18 decoded bytes of a frame with the given fields, checksum last.
Bytes DecodedFrame(uint8_t error_flag, uint8_t sensor, uint8_t device_id, uint16_t a, uint16_t b, uint16_t c,
                   uint16_t d, uint8_t battery) {
  Bytes f(kStrixelMinFrameSize, 0);
  f[0] = 0x11;
  f[1] = 0x22;
  f[2] = error_flag;
  f[3] = sensor;
  f[4] = device_id;
  f[5] = 0x33;
  const uint16_t q[4] = {a, b, c, d};
  for (int i = 0; i < 4; ++i) {
    f[8 + 2 * i] = static_cast<uint8_t>(q[i]);
    f[9 + 2 * i] = static_cast<uint8_t>(q[i] >> 8);
  }
  f[16] = battery;
  f[17] = StrixelChecksum(f.data(), 17);
  return f;
}

Bytes Encode(const Bytes& decoded) {
  Bytes out(2 * decoded.size() + 1);
  out.resize(SlipEncode(decoded.data(), decoded.size(), out.data(), out.size()));
  return out;
}

Bytes Concat2(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool Parse(const Bytes& raw, StrixelStatus& status) {
  Bytes scratch(raw.size() + 1);
  return DecodeStrixelStatusFrame(raw.data(), raw.size(), scratch.data(), status);
}

}  // namespace

TEST(SlipDecode, UndoesEscapesAndDropsEndBytes) {
  struct Case {
    const char* name;
    Bytes raw;
    Bytes decoded;
  };
  const Case cases[] = {
      {"plain bytes", {1, 2, 3, 0xC0}, {1, 2, 3}},
      {"escaped end", {0xDB, 0xDC, 0xC0}, {0xC0}},
      {"escaped escape", {0xDB, 0xDD, 0xC0}, {0xDB}},
      {"both escapes between bytes", {7, 0xDB, 0xDC, 8, 0xDB, 0xDD, 9}, {7, 0xC0, 8, 0xDB, 9}},
      {"escape before another byte drops only the escape", {0xDB, 0x41, 0x42}, {0x41, 0x42}},
      {"escape before end drops both", {5, 0xDB, 0xC0}, {5}},
      {"double escape", {0xDB, 0xDB, 0xDC}, {0xC0}},
      {"every end byte dropped", {0xC0, 1, 0xC0, 2, 0xC0}, {1, 2}},
      {"trailing escape dropped", {1, 0xDB}, {1}},
      {"empty", {}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.raw), c.decoded) << c.name;
}

TEST(SlipDecode, DecodesInPlace) {
  Bytes raw{1, 0xDB, 0xDC, 2, 0xDB, 0xDD, 3, 0xC0};
  const size_t n = SlipDecode(raw.data(), raw.size(), raw.data());
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + static_cast<long>(n)), (Bytes{1, 0xC0, 2, 0xDB, 3}));
}

TEST(SlipEncode, RoundTripsEveryByteValueAndFailsWhenItDoesNotFit) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  const Bytes encoded = Encode(all);
  ASSERT_EQ(encoded.size(), all.size() + 2 + 1);
  EXPECT_EQ(encoded.back(), kSlipEnd);
  for (size_t i = 0; i + 1 < encoded.size(); ++i) ASSERT_NE(encoded[i], kSlipEnd) << i;
  EXPECT_EQ(Decode(encoded), all);

  Bytes out(encoded.size() - 1);
  EXPECT_EQ(SlipEncode(all.data(), all.size(), out.data(), out.size()), 0u);
}

TEST(StrixelChecksum, StartsFromTheHeaderCodeAndWraps) {
  const Bytes none;
  EXPECT_EQ(StrixelChecksum(none.data(), 0), 0xDA);
  const Bytes some{0x20, 0x06};
  EXPECT_EQ(StrixelChecksum(some.data(), some.size()), 0x00);
  const Bytes many(300, 0xFF);
  EXPECT_EQ(StrixelChecksum(many.data(), many.size()), static_cast<uint8_t>(0xDA + 300 * 0xFF));
}

TEST(StrixelFrame, ParsesFieldsFromAValidFrame) {
  // sensor byte 0b101'10011: buttons 5, hall level 19.
  const Bytes decoded = DecodedFrame(0x07, 0xB3, 0x2C, 0x8000, 0x7FFF, 0x0000, 0x4000, 200);
  StrixelStatus s;
  ASSERT_TRUE(Parse(Encode(decoded), s));
  EXPECT_EQ(s.device_id, 0x2C);
  EXPECT_EQ(s.error_flag, 0x07);
  EXPECT_EQ(s.hall_effect_sensor_level, 19);
  EXPECT_EQ(s.buttons, 5);
  EXPECT_FLOAT_EQ(s.quaternion[0], -1.0f);
  EXPECT_NEAR(s.quaternion[1], -0.999969f, 1e-6);
  EXPECT_FLOAT_EQ(s.quaternion[2], 0.0f);
  EXPECT_FLOAT_EQ(s.quaternion[3], 0.5f);
  EXPECT_FLOAT_EQ(s.battery_level, 4.0f);
}

TEST(StrixelFrame, FixedPointComponentsAndBattery) {
  struct Case {
    uint16_t raw;
    float value;
  };
  const Case cases[] = {{0x8000, -1.0f}, {0x7FFF, 32767.0f / 32768.0f}, {0x0000, 0.0f},
                        {0xFFFF, -1.0f / 32768.0f}, {0x0001, 1.0f / 32768.0f}, {0xC000, -0.5f}};
  for (const auto& c : cases) {
    StrixelStatus s;
    ASSERT_TRUE(Parse(Encode(DecodedFrame(0, 0, 0, c.raw, c.raw, c.raw, c.raw, 0)), s));
    EXPECT_EQ(s.quaternion[0], c.value) << c.raw;
    EXPECT_EQ(s.quaternion[1], -c.value) << c.raw;
    EXPECT_EQ(s.quaternion[2], -c.value) << c.raw;
    EXPECT_EQ(s.quaternion[3], c.value) << c.raw;
  }
  EXPECT_NEAR(32767.0f / 32768.0f, 0.999969f, 1e-6);

  const struct {
    uint8_t raw;
    float level;
  } batteries[] = {{0, 3.0f}, {200, 4.0f}, {255, 4.275f}};
  for (const auto& b : batteries) {
    StrixelStatus s;
    ASSERT_TRUE(Parse(Encode(DecodedFrame(0, 0, 0, 0, 0, 0, 0, b.raw)), s));
    EXPECT_FLOAT_EQ(s.battery_level, b.level) << int(b.raw);
  }
}

TEST(StrixelFrame, EscapedBytesTakePartInTheChecksum) {
  // Field bytes 0xC0 and 0xDB travel escaped; the checksum counts them decoded.
  const Bytes decoded = DecodedFrame(0xC0, 0xDB, 0xC0, 0xDBC0, 0, 0, 0, 0xDB);
  const Bytes raw = Encode(decoded);
  ASSERT_GT(raw.size(), decoded.size() + 1);
  StrixelStatus s;
  ASSERT_TRUE(Parse(raw, s));
  EXPECT_EQ(s.error_flag, 0xC0);
  EXPECT_EQ(s.device_id, 0xC0);
  EXPECT_EQ(s.hall_effect_sensor_level, 0xDB & 0x1F);
  EXPECT_EQ(s.buttons, 0xDB >> 5);
}

TEST(StrixelFrame, CorruptFramesAreRejectedAndLeaveTheRecordAlone) {
  const Bytes good = DecodedFrame(1, 2, 3, 4, 5, 6, 7, 8);
  struct Case {
    const char* name;
    Bytes raw;
  };
  Bytes off_by_one = good;
  off_by_one[17] = static_cast<uint8_t>(off_by_one[17] + 1);
  Bytes flipped = good;
  flipped[9] ^= 0x10;
  Bytes cut_after_escape = Encode(good);
  cut_after_escape.push_back(kSlipEscape);
  Bytes lost_escape = Encode(DecodedFrame(0, 0xC0, 0, 0, 0, 0, 0, 0));
  lost_escape.erase(lost_escape.begin() + 3);  // the 0xDB before the escaped 0xC0
  const Case cases[] = {
      {"checksum off by one", Encode(off_by_one)},
      {"field bit flipped", Encode(flipped)},
      {"ends with an escape", cut_after_escape},
      {"escape lost", lost_escape},
      {"empty", {}},
      {"only an end byte", {kSlipEnd}},
  };
  for (const auto& c : cases) {
    StrixelStatus s;
    s.device_id = 0x77;
    EXPECT_FALSE(Parse(c.raw, s)) << c.name;
    EXPECT_EQ(s.device_id, 0x77) << c.name;
  }
}

TEST(StrixelFrame, EveryTruncationOfAFrameIsRejected) {
  // Escapes at both ends so that cuts fall inside escape pairs too.
  const Bytes raw = Encode(DecodedFrame(0xC0, 0xDB, 0xC0, 0xC0DB, 0xDBDB, 0xC0C0, 0x1234, 0xDB));
  for (size_t cut = 0; cut + 1 < raw.size(); ++cut) {
    // Exactly as long as the cut: a read past its end would show under the sanitizers.
    std::vector<uint8_t> prefix(raw.begin(), raw.begin() + static_cast<long>(cut));
    StrixelStatus s;
    Bytes scratch(cut + 1);
    EXPECT_FALSE(DecodeStrixelStatusFrame(prefix.data(), prefix.size(), scratch.data(), s)) << "cut at " << cut;
  }
  // The whole frame without its end byte is complete all the same.
  StrixelStatus s;
  EXPECT_TRUE(Parse(Bytes(raw.begin(), raw.end() - 1), s));
}

TEST(StrixelFrame, ShortFramesWithAMatchingChecksumAreUnusable) {
  for (size_t n = 1; n < kStrixelMinFrameSize; ++n) {
    Bytes decoded(n, 0x05);
    decoded.back() = StrixelChecksum(decoded.data(), n - 1);
    StrixelStatus s;
    EXPECT_FALSE(ParseStrixelStatus(decoded.data(), decoded.size(), s)) << n;
    EXPECT_FALSE(Parse(Encode(decoded), s)) << n;
  }
}

TEST(StrixelFrame, LongerFramesCarryUninterpretedBytesBeforeTheChecksum) {
  Bytes decoded = DecodedFrame(9, 0, 0x42, 0, 0, 0, 0, 100);
  decoded.pop_back();
  for (uint8_t extra : {0xC0, 0xDB, 0x01}) decoded.push_back(extra);
  decoded.push_back(StrixelChecksum(decoded.data(), decoded.size()));
  StrixelStatus s;
  ASSERT_TRUE(Parse(Encode(decoded), s));
  EXPECT_EQ(s.device_id, 0x42);
  EXPECT_EQ(s.error_flag, 9);
  EXPECT_FLOAT_EQ(s.battery_level, 3.5f);
}

TEST(EncodeStrixelStatusFrame, RoundTripsARecordAndClipsWhatTheFrameCannotCarry) {
  StrixelStatus in;
  in.device_id = 0xC0;
  in.error_flag = 0xDB;
  in.hall_effect_sensor_level = 31;
  in.buttons = 7;
  const float q[4] = {0.25f, -0.5f, 1.0f / 32768.0f, -1.0f};
  std::memcpy(in.quaternion, q, sizeof q);
  in.battery_level = 3.6f;

  uint8_t raw[kStrixelMaxEncodedSize];
  const size_t n = EncodeStrixelStatusFrame(in, raw, sizeof raw);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(raw[n - 1], kSlipEnd);
  StrixelStatus out;
  ASSERT_TRUE(DecodeStrixelStatusFrame(raw, n, raw, out));
  EXPECT_EQ(out.device_id, in.device_id);
  EXPECT_EQ(out.error_flag, in.error_flag);
  EXPECT_EQ(out.hall_effect_sensor_level, 31);
  EXPECT_EQ(out.buttons, 7);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out.quaternion[i], q[i]) << i;
  EXPECT_FLOAT_EQ(out.battery_level, 3.6f);

  StrixelStatus wide;
  wide.quaternion[0] = 2.0f;
  wide.quaternion[1] = 2.0f;
  wide.battery_level = 9.0f;
  const size_t wide_n = EncodeStrixelStatusFrame(wide, raw, sizeof raw);
  ASSERT_GT(wide_n, 0u);
  ASSERT_TRUE(DecodeStrixelStatusFrame(raw, wide_n, raw, out));
  EXPECT_EQ(out.quaternion[0], 32767.0f / 32768.0f);
  EXPECT_EQ(out.quaternion[1], 1.0f);  // b = -2.0 clips to -1.0
  EXPECT_FLOAT_EQ(out.battery_level, 3.0f + 0.005f * 255);

  EXPECT_EQ(EncodeStrixelStatusFrame(in, raw, 10), 0u);
}

namespace {

// What the streaming decoder makes of a raw frame, pushed up to its first end byte.
bool StreamDecode(const Bytes& raw, StrixelStatus& status) {
  StrixelFrameDecoder frame;
  for (uint8_t byte : raw) {
    if (frame.Push(byte)) break;
  }
  return frame.Finish(status);
}

Bytes UpToFirstEnd(const Bytes& raw) {
  Bytes out;
  for (uint8_t byte : raw) {
    out.push_back(byte);
    if (byte == kSlipEnd) break;
  }
  return out;
}

bool SameStatus(const StrixelStatus& a, const StrixelStatus& b) {
  return a.device_id == b.device_id && a.error_flag == b.error_flag &&
         a.hall_effect_sensor_level == b.hall_effect_sensor_level && a.buttons == b.buttons &&
         std::memcmp(a.quaternion, b.quaternion, sizeof a.quaternion) == 0 && a.battery_level == b.battery_level;
}

// A decoded frame: the fields of DecodedFrame, then `extra` uninterpreted bytes, then the checksum.
Bytes WithExtra(Bytes decoded, const Bytes& extra) {
  decoded.pop_back();
  decoded.insert(decoded.end(), extra.begin(), extra.end());
  decoded.push_back(StrixelChecksum(decoded.data(), decoded.size()));
  return decoded;
}

}  // namespace

TEST(StrixelFrameDecoder, AgreesWithTheWholeFrameDecoder) {
  const Bytes good = DecodedFrame(0xC0, 0xDB, 0xC0, 0xC0DB, 0xDBDB, 0xC0C0, 0x1234, 0xDB);
  Bytes bad = good;
  bad.back() ^= 1;
  Bytes lost_escape = Encode(good);
  lost_escape.erase(lost_escape.begin() + 2);
  Bytes no_end = Encode(good);
  no_end.pop_back();
  const struct {
    const char* name;
    Bytes raw;
    bool usable;
  } cases[] = {
      {"valid with escapes", Encode(good), true},
      {"valid, no end byte", no_end, true},
      {"long valid frame", Encode(WithExtra(good, Bytes(300, 0xC0))), true},
      {"bad checksum", Encode(bad), false},
      {"escape lost", lost_escape, false},
      {"ends with an escape", {1, 2, kSlipEscape}, false},
      {"escape before a plain byte", Encode(WithExtra(good, {0xDB, 0x41})), true},
      {"stops at the first end byte", Concat2(Encode(bad), Encode(good)), false},
      {"empty", {}, false},
      {"only an end byte", {kSlipEnd}, false},
  };
  for (const auto& c : cases) {
    StrixelStatus whole, streamed;
    const Bytes frame = UpToFirstEnd(c.raw);
    EXPECT_EQ(Parse(frame, whole), c.usable) << c.name;
    EXPECT_EQ(StreamDecode(c.raw, streamed), c.usable) << c.name;
    EXPECT_TRUE(SameStatus(whole, streamed)) << c.name;
  }
}

TEST(StrixelFrame, StatusFrameLongerThanTheReceiveBufferIsReadWholeNeverMisread) {
  // A valid frame whose filler, all escaped, takes over a thousand raw bytes; a
  // reader that cuts it at the buffer's end finds a 0xDA header in the tail and,
  // behind it, bytes that pass for a frame of their own.
  Bytes real = DecodedFrame(0x01, 0x22, 0x33, 0x1000, 0x2000, 0x3000, 0x4000, 150);
  real.pop_back();
  real.insert(real.end(), 520, kSlipEnd);
  real.push_back(Handle::kStatusMessage);
  Bytes fake = DecodedFrame(0x55, 0x1F, 0x66, 0x7000, 0x7000, 0x7000, 0x7000, 10);
  fake.pop_back();
  // Every byte of the fake goes out as itself, and its checksum is the real frame's own.
  for (uint8_t& byte : fake) {
    if (byte == kSlipEnd || byte == kSlipEscape) byte = 0x01;
  }
  fake.push_back(0x01);
  const unsigned prefix_sum = std::accumulate(real.begin(), real.end(), 0u);
  real[0] = static_cast<uint8_t>(real[0] - prefix_sum);  // the real prefix sums to 0 mod 256
  real.insert(real.end(), fake.begin(), fake.end());

  const struct {
    const char* name;
    bool real_checksum_ok;
  } cases[] = {{"valid frame decodes", true}, {"invalid frame is refused whole", false}};
  for (const auto& c : cases) {
    Bytes decoded = real;
    decoded.push_back(StrixelChecksum(decoded.data(), decoded.size()));
    if (!c.real_checksum_ok) decoded[1] ^= 0x01;
    Bytes wire{Handle::kStatusMessage};
    const Bytes raw = Encode(decoded);
    ASSERT_GT(raw.size(), Device::kBufferSize) << c.name;
    wire.insert(wire.end(), raw.begin(), raw.end());

    VelkorTest::PtyEmulator device;
    Velkor::HardwareAPI::IO::SerialStream stream(device.SlavePath().c_str(), true);
    Handle handle(&stream, 0.3f);
    device.Send(wire);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (stream.Available() < static_cast<int32_t>(wire.size()) && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const StrixelStatus got = handle.GetStrixelStatus();
    if (c.real_checksum_ok) {
      StrixelStatus want;
      ASSERT_TRUE(Parse(raw, want)) << c.name;
      EXPECT_TRUE(SameStatus(got, want)) << c.name;
      EXPECT_EQ(got.device_id, 0x33) << c.name;
    } else {
      EXPECT_EQ(got.error_flag, kStrixelNoFrame) << c.name;
      EXPECT_EQ(got.device_id, 0) << c.name;
    }
    EXPECT_EQ(stream.Available(), 0) << c.name;
  }
}
