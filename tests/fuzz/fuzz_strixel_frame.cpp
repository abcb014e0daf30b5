// The handle's status-frame codec over arbitrary bytes: the byte stuffing
// round-trips, the streaming and whole-frame decoders agree, a decoded status
// re-encodes to itself, and any status encodes into a frame that decodes to it
// within the frame's resolution.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "FuzzSupport.hpp"
#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"

using namespace Velkor::HardwareAPI::Devices;
using VelkorFuzz::Bytes;

namespace {

bool SameStatus(const StrixelStatus& a, const StrixelStatus& b) {
  return a.device_id == b.device_id && a.error_flag == b.error_flag &&
         a.hall_effect_sensor_level == b.hall_effect_sensor_level && a.buttons == b.buttons &&
         std::memcmp(a.quaternion, b.quaternion, sizeof a.quaternion) == 0 &&
         std::memcmp(&a.battery_level, &b.battery_level, sizeof a.battery_level) == 0;
}

void CheckStuffingRoundTrip(const Bytes& bytes) {
  // Exactly the room the worst case needs, so a write past it shows under the sanitizer.
  Bytes encoded(2 * bytes.size() + 1);
  const size_t n = SlipEncode(bytes.data(), bytes.size(), encoded.data(), encoded.size());
  FUZZ_CHECK(n >= bytes.size() + 1 && n <= encoded.size());
  FUZZ_CHECK(encoded[n - 1] == kSlipEnd);
  FUZZ_CHECK(std::find(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(n - 1), kSlipEnd) ==
             encoded.begin() + static_cast<std::ptrdiff_t>(n - 1));
  Bytes decoded(n);
  decoded.resize(SlipDecode(encoded.data(), n, decoded.data()));
  FUZZ_CHECK(decoded == bytes);

  // One byte short of the encoded length never fits, and never writes past the capacity.
  Bytes tight(n - 1);
  FUZZ_CHECK(SlipEncode(bytes.data(), bytes.size(), tight.data(), tight.size()) == 0);
}

// Decodes raw up to and including its first end byte, both ways, and compares.
void CheckDecodersAgree(const Bytes& raw) {
  size_t frame_length = 0;
  StrixelFrameDecoder streaming;
  bool ended = false;
  while (frame_length < raw.size() && !ended) ended = streaming.Push(raw[frame_length++]);
  FUZZ_CHECK(streaming.RawLength() == frame_length);
  FUZZ_CHECK(streaming.DecodedLength() <= frame_length);

  const Bytes frame(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(frame_length));
  Bytes scratch(frame.size());
  StrixelStatus whole_status, streamed_status;
  whole_status.device_id = streamed_status.device_id = 0x5A;
  const bool whole = DecodeStrixelStatusFrame(frame.data(), frame.size(), scratch.data(), whole_status);
  const bool streamed = streaming.Finish(streamed_status);
  FUZZ_CHECK(whole == streamed);
  FUZZ_CHECK(SameStatus(whole_status, streamed_status));
  if (!whole) {
    FUZZ_CHECK(whole_status.device_id == 0x5A);
    return;
  }

  FUZZ_CHECK(streaming.DecodedLength() >= kStrixelMinFrameSize);
  FUZZ_CHECK(whole_status.hall_effect_sensor_level <= 0x1F && whole_status.buttons <= 7);
  for (float q : whole_status.quaternion) FUZZ_CHECK(q >= -1.0f && q < 1.0f + 1.0f / 32768.0f);
  FUZZ_CHECK(whole_status.battery_level >= 3.0f && whole_status.battery_level <= 3.0f + 0.005f * 255 + 1e-5f);

  // What a frame says, a frame can say again: the re-encoded status decodes to itself.
  uint8_t again[kStrixelMaxEncodedSize];
  const size_t n = EncodeStrixelStatusFrame(whole_status, again, sizeof again);
  FUZZ_CHECK(n > 0);
  StrixelStatus round_trip;
  FUZZ_CHECK(DecodeStrixelStatusFrame(again, n, again, round_trip));
  FUZZ_CHECK(SameStatus(round_trip, whole_status));
}

float Clamp(float value, float low, float high) { return std::isnan(value) ? 0.0f : std::clamp(value, low, high); }

// Any record, NaNs and infinities included, goes out as a frame that comes back
// as the record clipped to what the frame carries.
void CheckStatusEncodes(const uint8_t* data, size_t size) {
  if (size < 4 + 5 * sizeof(float)) return;
  StrixelStatus in;
  in.device_id = data[0];
  in.error_flag = data[1];
  in.hall_effect_sensor_level = data[2];
  in.buttons = data[3];
  std::memcpy(in.quaternion, data + 4, sizeof in.quaternion);
  std::memcpy(&in.battery_level, data + 4 + sizeof in.quaternion, sizeof in.battery_level);

  uint8_t raw[kStrixelMaxEncodedSize];
  const size_t n = EncodeStrixelStatusFrame(in, raw, sizeof raw);
  FUZZ_CHECK(n > 0 && n <= sizeof raw);
  StrixelStatus out;
  FUZZ_CHECK(DecodeStrixelStatusFrame(raw, n, raw, out));
  FUZZ_CHECK(out.device_id == in.device_id && out.error_flag == in.error_flag);
  FUZZ_CHECK(out.hall_effect_sensor_level == (in.hall_effect_sensor_level & 0x1F));
  FUZZ_CHECK(out.buttons == (in.buttons & 7));
  constexpr float kStep = 1.0f / 32768.0f;
  const float top = 1.0f - kStep;
  const float want[4] = {Clamp(in.quaternion[0], -1.0f, top), -Clamp(-in.quaternion[1], -1.0f, top),
                         -Clamp(-in.quaternion[2], -1.0f, top), Clamp(in.quaternion[3], -1.0f, top)};
  for (int i = 0; i < 4; ++i) FUZZ_CHECK(std::fabs(out.quaternion[i] - want[i]) <= kStep / 2 + 1e-7f);
  const float battery = std::isnan(in.battery_level) ? 3.0f : std::clamp(in.battery_level, 3.0f, 3.0f + 0.005f * 255);
  FUZZ_CHECK(std::fabs(out.battery_level - battery) <= 0.0025f + 1e-5f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes bytes(data, data + size);
  CheckStuffingRoundTrip(bytes);
  CheckDecodersAgree(bytes);
  CheckStatusEncodes(data, size);
  return 0;
}
