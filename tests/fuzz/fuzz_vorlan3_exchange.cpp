// The arm's calls fed arbitrary replies over an in-memory line whose pieces
// arrive as the arm's requests go out. Whatever comes back, each call writes
// exactly its request, and a value it returns as a reading is one the line
// really carried behind the right code (and, for a whole state exchange, one
// an arm can give); a failed call leaves its outputs alone. A raw read never returns more than was asked or
// than the line held.
//
// Input: a count byte (1 to 8 calls), one byte per call (low four bits: which
// call; high four bits: the raw read's size), then the line as SplitLine
// reads it.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"

using namespace Velkor::HardwareAPI::Devices;
using VelkorFuzz::Bytes;
using VelkorFuzz::Contains;
using VelkorFuzz::MemoryRig;

namespace {

constexpr Triple kRequest{1.5f, -2.25f, 0.125f};
constexpr float kSentinel = -12345.0f;
constexpr float kReadTimeout = 0.001f;

Bytes RequestFrame(uint8_t code, const Triple& request) {
  Bytes frame(Vorlan3::kRequestSize);
  frame[0] = code;
  for (size_t i = 0; i < 3; ++i) PutFloat(frame.data() + 1 + 4 * i, request[i]);
  return frame;
}

template <size_t N>
Bytes CodeAndFloats(uint8_t code, const std::array<float, N>& values) {
  Bytes bytes(1 + 4 * N);
  bytes[0] = code;
  for (size_t i = 0; i < N; ++i) PutFloat(bytes.data() + 1 + 4 * i, values[i]);
  return bytes;
}

template <size_t N>
bool AllZeroBits(const std::array<float, N>& values) {
  for (float v : values) {
    uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    if (bits != 0) return false;
  }
  return true;
}

template <size_t N>
bool AllSentinel(const std::array<float, N>& values) {
  for (float v : values) {
    if (std::memcmp(&v, &kSentinel, sizeof v) != 0) return false;
  }
  return true;
}

bool Finite(const ArmState& state) {
  for (const Triple* t : {&state.first, &state.second})
    for (float x : *t)
      if (!std::isfinite(x)) return false;
  return true;
}

// A state read as a reading must be a reply of its code on the line.
void CheckState(const Bytes& wire, uint8_t reply_code, const ArmState& state) {
  if (AllZeroBits(state.first) && AllZeroBits(state.second)) return;
  Bytes reply = CodeAndFloats(reply_code, state.first);
  const Bytes second = CodeAndFloats(0, state.second);
  reply.insert(reply.end(), second.begin() + 1, second.end());
  FUZZ_CHECK(Contains(wire, reply.data(), reply.size()));
}

template <size_t N>
void CheckQuery(const Bytes& wire, uint8_t code, bool ok, const std::array<float, N>& values) {
  if (!ok) {
    FUZZ_CHECK(AllSentinel(values));
    return;
  }
  const Bytes reply = CodeAndFloats(code, values);
  FUZZ_CHECK(Contains(wire, reply.data(), reply.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t calls = data[0] % 8 + 1;
  if (size < 1 + calls) return 0;
  const uint8_t* plan = data + 1;
  VelkorFuzz::LineInput input = VelkorFuzz::SplitLine(data + 1 + calls, size - 1 - calls);
  const Bytes& wire = input.wire;
  // The arm answers requests: each write lets the next piece of the line
  // arrive, and nothing comes between writes. A short read time-out keeps the
  // waits that find nothing (and the horizon a failed exchange waits out
  // before the next request) to a few milliseconds each.
  MemoryRig rig(std::move(input.chunks), MemoryRig::Arrival::AsHostWrites);
  Vorlan3 arm(&rig.Stream(), kReadTimeout);
  Bytes expected_writes;

  for (size_t call = 0; call < calls; ++call) {
    const unsigned which = plan[call] & 0x0F;
    const unsigned parameter = plan[call] >> 4;
    const size_t unread_before = rig.Unread();
    switch (which) {
      case 0: {
        arm.SendDeviceWakeup();
        expected_writes.push_back(Vorlan3::kWakeup);
        DeviceInfo info;
        info.device_id = 0xBEEF;
        info.device_model_number = 0xEE;
        const int32_t result = arm.ReceiveDeviceInfo(info);
        FUZZ_CHECK(result == -1 || result == static_cast<int32_t>(Vorlan3::kDeviceInfoSize));
        if (result == -1) {
          FUZZ_CHECK(info.device_id == 0xBEEF && info.device_model_number == 0xEE);
          break;
        }
        Bytes reply{Vorlan3::kDeviceInfoReply, static_cast<uint8_t>(info.device_id),
                    static_cast<uint8_t>(info.device_id >> 8), info.device_model_number, info.hardware_version,
                    info.firmware_version};
        reply.insert(reply.end(), info.device_id_ext, info.device_id_ext + sizeof info.device_id_ext);
        FUZZ_CHECK(Contains(wire, reply.data(), reply.size()));
        break;
      }
      case 1:
      case 2:
      case 3:
      case 4: {
        static constexpr uint8_t kCodes[][2] = {{Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply},
                                                {Vorlan3::kPositionRequest, Vorlan3::kEndEffectorStateReply},
                                                {Vorlan3::kJointTorqueRequest, Vorlan3::kJointStateReply},
                                                {Vorlan3::kJointAngleRequest, Vorlan3::kJointStateReply}};
        const uint8_t* codes = kCodes[which - 1];
        const ArmState state = arm.Exchange(codes[0], codes[1], kRequest);
        const Bytes frame = RequestFrame(codes[0], kRequest);
        expected_writes.insert(expected_writes.end(), frame.begin(), frame.end());
        CheckState(wire, codes[1], state);
        // A failed exchange returns zeros; a reading is one an arm can give (no
        // position or speed beyond any arm's, nothing that is not finite).
        const bool zeros = AllZeroBits(state.first) && AllZeroBits(state.second);
        if (arm.last_outcome != Outcome::Ok) FUZZ_CHECK(zeros);
        if (!zeros) {
          FUZZ_CHECK(arm.last_outcome == Outcome::Ok);
          FUZZ_CHECK(codes[1] == Vorlan3::kEndEffectorStateReply ? Vorlan3::Plausible(state) : Finite(state));
        }
        break;
      }
      case 5:
      case 6: {
        const uint8_t sub_code = which == 5 ? Vorlan3::kDeviceIdentifier : Vorlan3::kFirmwareVersion;
        const std::array<uint8_t, 16> id = arm.QueryIdentifier(sub_code);
        expected_writes.push_back(Vorlan3::kIdentifierQuery);
        expected_writes.push_back(sub_code);
        if (id == std::array<uint8_t, 16>{}) break;
        Bytes record{Vorlan3::kIdentifierLength};
        record.insert(record.end(), id.begin(), id.end());
        FUZZ_CHECK(Contains(wire, record.data(), record.size()));
        break;
      }
      case 7: {
        Triple currents{kSentinel, kSentinel, kSentinel};
        CheckQuery(wire, Vorlan3::kMotorCurrentQuery, arm.QueryMotorCurrents(currents), currents);
        expected_writes.push_back(Vorlan3::kMotorCurrentQuery);
        break;
      }
      case 8: {
        std::array<float, 4> orientation{kSentinel, kSentinel, kSentinel, kSentinel};
        CheckQuery(wire, Vorlan3::kOrientationQuery, arm.QueryOrientation(orientation), orientation);
        expected_writes.push_back(Vorlan3::kOrientationQuery);
        break;
      }
      case 9: {
        bool powered = false;
        const bool ok = arm.QueryPowerStatus(powered);
        expected_writes.push_back(Vorlan3::kPowerStatusQuery);
        if (!ok) break;
        bool seen = false;
        for (size_t i = 0; i + 1 < wire.size() && !seen; ++i)
          seen = wire[i] == Vorlan3::kPowerStatusQuery && (wire[i + 1] != 0) == powered;
        FUZZ_CHECK(seen);
        break;
      }
      case 10: {
        std::array<float, 1> temperature{kSentinel};
        CheckQuery(wire, Vorlan3::kTemperatureQuery, arm.QueryTemperature(temperature[0]), temperature);
        expected_writes.push_back(Vorlan3::kTemperatureQuery);
        break;
      }
      case 11: {
        arm.SendRequest(Vorlan3::kForceRequest, kRequest);
        const Bytes frame = RequestFrame(Vorlan3::kForceRequest, kRequest);
        expected_writes.insert(expected_writes.end(), frame.begin(), frame.end());
        ArmState state;
        state.first = state.second = Triple{kSentinel, kSentinel, kSentinel};
        const int32_t result = arm.ReceiveState(state.first, state.second);
        FUZZ_CHECK(result == -1 || result == static_cast<int32_t>(Vorlan3::kStateSize));
        if (result == -1) {
          FUZZ_CHECK(AllSentinel(state.first) && AllSentinel(state.second));
        } else {
          CheckState(wire, Vorlan3::kEndEffectorStateReply, state);
        }
        break;
      }
      case 12: {
        arm.RequestCurrent();
        expected_writes.push_back(Vorlan3::kMotorCurrentQuery);
        Triple currents{kSentinel, kSentinel, kSentinel};
        const int32_t result = arm.ReceiveCurrent(currents);
        FUZZ_CHECK(result == -1 || result == static_cast<int32_t>(Vorlan3::kMotorCurrentSize));
        CheckQuery(wire, Vorlan3::kMotorCurrentQuery, result != -1, currents);
        break;
      }
      case 13: {
        // Host kinematics over whatever angles came back (NaN and infinities included).
        arm.GetEndEffectorPosition(false);
        const Bytes frame = RequestFrame(Vorlan3::kJointTorqueRequest, Triple{});
        expected_writes.insert(expected_writes.end(), frame.begin(), frame.end());
        break;
      }
      case 14:
        arm.FlushInput();
        break;
      default: {
        // Raw reads of every size up to the line's length, and of sizes no memory could hold.
        static constexpr size_t kHuge[] = {(size_t{1} << 32) + 5, (size_t{1} << 63) - 1, size_t{1} << 63, SIZE_MAX};
        const size_t n = parameter < 12 ? parameter * 3 : kHuge[parameter - 12];
        const size_t ready = arm.WaitRaw(n, 0.0f);
        FUZZ_CHECK(ready <= n && ready <= unread_before);
        Bytes out(ready);
        const size_t got = arm.ReadRawInto(out.data(), out.size());
        FUZZ_CHECK(got == ready || got == 0);
        FUZZ_CHECK(Contains(wire, out.data(), got));
        break;
      }
    }
    FUZZ_CHECK(rig.Unread() <= unread_before);
    FUZZ_CHECK(rig.Written() == expected_writes);
    // With the line drained, later calls could only fail their waits, each after a brief spin.
    if (rig.Unread() == 0) break;
  }
  return 0;
}
