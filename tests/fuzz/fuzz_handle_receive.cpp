// Handle::Receive and Handle::GetStrixelStatus over an in-memory line that
// delivers arbitrary bytes. Receive is compared with the framing model: the
// code, the count, and for every message read whole the exact fields handed
// to both forms of its callbacks; GetStrixelStatus either fails with a flag
// or returns the status of a frame that really is on the line.
//
// Input: a mode byte (even: up to 16 Receive calls over the line in up to
// three pieces; odd: one status read of the whole line), then the line as
// SplitLine reads it.
#include <cstring>
#include <string>
#include <vector>

#include "FramingModel.hpp"
#include "FuzzSupport.hpp"
#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/StrixelFrame.hpp"
#include "Velkor/HardwareAPI/Devices/WireFormat.hpp"

using namespace Velkor::HardwareAPI::Devices;
using VelkorFuzz::Bytes;
using VelkorFuzz::FramingModel;
using VelkorFuzz::MemoryRig;

namespace {

constexpr int kMostMessages = 16;

// Keeps what each slot received, in the order the slots fired.
struct RecordingHandle : Handle {
  using Handle::Handle;

  std::vector<int> slots;
  HandleInfo info_fields, info_record;
  HandleStatusMessage status_fields, status_record;
  HandleErrorResponse error_fields, error_record;

  void OnReceiveHandleInfo(uint8_t remaining, uint16_t id, uint8_t model, uint8_t hardware,
                           uint8_t firmware) override {
    slots.push_back(0);
    info_fields = {id, remaining, model, hardware, firmware};
  }
  void OnReceiveHandleInfo(const HandleInfo& record) override {
    slots.push_back(1);
    info_record = record;
  }
  void OnReceiveHandleStatusMessage(uint16_t id, const float* quaternion, uint8_t error_flag, uint8_t hall,
                                    uint8_t length, const uint8_t* user_data) override {
    slots.push_back(2);
    status_fields = HandleStatusMessage{};
    status_fields.device_id = id;
    std::memcpy(status_fields.quaternion, quaternion, sizeof status_fields.quaternion);
    status_fields.error_flag = error_flag;
    status_fields.hall_effect_sensor_level = hall;
    status_fields.user_data_length = length;
    std::memcpy(status_fields.user_data, user_data, length);
  }
  void OnReceiveHandleStatusMessage(const HandleStatusMessage& record) override {
    slots.push_back(3);
    status_record = record;
  }
  void OnReceiveHandleErrorResponse(uint16_t id, uint8_t code) override {
    slots.push_back(4);
    error_fields = {id, code};
  }
  void OnReceiveHandleErrorResponse(const HandleErrorResponse& record) override {
    slots.push_back(5);
    error_record = record;
  }
};

bool SameInfo(const HandleInfo& a, const HandleInfo& b) {
  return a.device_id == b.device_id && a.tool_data_remaining == b.tool_data_remaining &&
         a.device_model_number == b.device_model_number && a.hardware_version == b.hardware_version &&
         a.firmware_version == b.firmware_version;
}

bool SameMessage(const HandleStatusMessage& a, const HandleStatusMessage& b) {
  return a.device_id == b.device_id && std::memcmp(a.quaternion, b.quaternion, sizeof a.quaternion) == 0 &&
         a.error_flag == b.error_flag && a.hall_effect_sensor_level == b.hall_effect_sensor_level &&
         a.user_data_length == b.user_data_length &&
         std::memcmp(a.user_data, b.user_data, a.user_data_length) == 0;
}

bool SameStatus(const StrixelStatus& a, const StrixelStatus& b) {
  return a.device_id == b.device_id && a.error_flag == b.error_flag &&
         a.hall_effect_sensor_level == b.hall_effect_sensor_level && a.buttons == b.buttons &&
         std::memcmp(a.quaternion, b.quaternion, sizeof a.quaternion) == 0 &&
         std::memcmp(&a.battery_level, &b.battery_level, sizeof a.battery_level) == 0;
}

// Whichever callbacks fired belong to the code read, fire as a pair, and agree.
void CheckCallbacks(const RecordingHandle& handle, uint8_t code) {
  if (handle.slots.empty()) return;
  const int first = code == Handle::kInfoMessage ? 0 : code == Handle::kStatusMessage ? 2 : 4;
  FUZZ_CHECK(code == Handle::kInfoMessage || code == Handle::kStatusMessage || code == Handle::kErrorResponse);
  FUZZ_CHECK(handle.slots == (std::vector<int>{first, first + 1}));
  if (first == 0) FUZZ_CHECK(SameInfo(handle.info_fields, handle.info_record));
  if (first == 2) {
    FUZZ_CHECK(SameMessage(handle.status_fields, handle.status_record));
    const HandleStatusMessage& record = handle.status_record;
    for (size_t i = record.user_data_length; i < sizeof record.user_data; ++i) FUZZ_CHECK(record.user_data[i] == 0);
  }
  if (first == 4) {
    FUZZ_CHECK(handle.error_fields.device_id == handle.error_record.device_id);
    FUZZ_CHECK(handle.error_fields.error_code == handle.error_record.error_code);
  }
}

void CheckReceive(const uint8_t* data, size_t size) {
  VelkorFuzz::LineInput input = VelkorFuzz::SplitLine(data, size);
  MemoryRig rig(std::move(input.chunks));
  RecordingHandle handle(&rig.Stream(), 5.0f);
  FramingModel model(input.wire);

  for (int message = 0; message < kMostMessages && model.Left() > 0; ++message) {
    handle.slots.clear();
    uint8_t code = 0xEE;
    const int32_t count = handle.Receive(code);
    FUZZ_CHECK(code == model.ReadHeaderCode());
    CheckCallbacks(handle, code);
    FUZZ_CHECK(rig.Stream().good());

    switch (code) {
      case Handle::kInfoMessage: {
        if (model.ReadPayload(Handle::kInfoSize) != Handle::kInfoSize) break;
        const uint8_t* rx = model.Rx();
        const HandleInfo want{GetUint16(rx + 2), rx[0], rx[3], rx[4], rx[5]};
        FUZZ_CHECK(count == static_cast<int32_t>(Handle::kInfoSize));
        FUZZ_CHECK(!handle.slots.empty() && SameInfo(handle.info_record, want));
        FUZZ_CHECK(rig.Unread() == model.Left());
        continue;
      }
      case Handle::kStatusMessage: {
        if (model.ReadPayload(Handle::kStatusFixedSize) != Handle::kStatusFixedSize) break;
        HandleStatusMessage want;
        const uint8_t* rx = model.Rx();
        want.device_id = GetUint16(rx);
        want.error_flag = rx[2];
        want.hall_effect_sensor_level = rx[3];
        for (size_t i = 0; i < 4; ++i) want.quaternion[i] = GetFloat(rx + 4 + 4 * i);
        want.user_data_length = rx[20];
        if (model.ReadPayload(want.user_data_length) != want.user_data_length) break;
        std::memcpy(want.user_data, model.Rx(), want.user_data_length);
        FUZZ_CHECK(count == static_cast<int32_t>(Handle::kStatusFixedSize + want.user_data_length));
        FUZZ_CHECK(!handle.slots.empty() && SameMessage(handle.status_record, want));
        FUZZ_CHECK(rig.Unread() == model.Left());
        continue;
      }
      case Handle::kErrorResponse: {
        if (model.ReadPayload(Handle::kErrorSize) != Handle::kErrorSize) break;
        const uint8_t* rx = model.Rx();
        FUZZ_CHECK(count == static_cast<int32_t>(Handle::kErrorSize));
        FUZZ_CHECK(!handle.slots.empty() && handle.error_record.device_id == GetUint16(rx) &&
                   handle.error_record.error_code == rx[2]);
        FUZZ_CHECK(rig.Unread() == model.Left());
        continue;
      }
      default:
        FUZZ_CHECK(count == -1);
        FUZZ_CHECK(handle.slots.empty());
        FUZZ_CHECK(rig.Unread() == model.Left());
        if (code == 0) return;
        continue;
    }
    // A message cut short: its count says so, and the model follows whatever the reader took.
    const int32_t full = code == Handle::kInfoMessage ? 6 : code == Handle::kErrorResponse ? 3 : 21 + 255;
    FUZZ_CHECK(count >= -1 && count < full);
    FUZZ_CHECK(model.ResyncTo(rig.Unread()));
  }
}

// The status read as its rules describe it, over the whole line at once, with
// the whole-frame decoder instead of the streaming one.
StrixelStatus ModelStatusRead(const Bytes& wire) {
  FramingModel model(wire);
  StrixelStatus failed;
  for (;;) {
    if (model.Left() < static_cast<size_t>(kStrixelWaitBytes)) {
      failed.error_flag = kStrixelNoFrame;
      return failed;
    }
    uint8_t code = model.ReadHeaderCode();
    for (int skipped = 0; code != Handle::kStatusMessage; ++skipped) {
      if (code == 0) {
        failed.error_flag = kStrixelNoHeader;
        return failed;
      }
      if (skipped == kStrixelHeaderSearchLimit) {
        failed.error_flag = kStrixelNoFrame;
        return failed;
      }
      code = model.ReadHeaderCode();
    }
    Bytes raw;
    while (model.Left() > 0) {
      model.ReadPayload(1);
      raw.push_back(model.Rx()[0]);
      if (raw.back() == kSlipEnd) break;
    }
    Bytes scratch(raw.size());
    StrixelStatus status;
    if (DecodeStrixelStatusFrame(raw.data(), raw.size(), scratch.data(), status)) return status;
  }
}

void CheckStatusRead(const uint8_t* data, size_t size) {
  // Fewer bytes would make the read wait out its one to two seconds.
  if (size < static_cast<size_t>(kStrixelWaitBytes)) return;
  const Bytes wire(data, data + size);
  MemoryRig rig({wire});
  Handle handle(&rig.Stream(), 5.0f);
  const StrixelStatus got = handle.GetStrixelStatus();
  FUZZ_CHECK(SameStatus(got, ModelStatusRead(wire)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) {
    CheckStatusRead(data + 1, size - 1);
  } else {
    CheckReceive(data + 1, size - 1);
  }
  return 0;
}
