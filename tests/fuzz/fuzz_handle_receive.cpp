// Handle::Receive and Handle::GetStrixelStatus over an in-memory line that
// delivers arbitrary bytes. Receive is compared with a model of its rules
// built on the framing model: the code, the count, the bytes left unread, the
// status frames skipped, how the call ended, and for every message read whole
// the exact fields handed to both forms of its callbacks; GetStrixelStatus
// either fails with a flag or returns the status of a frame that really is on
// the line.
//
// Input: a mode byte (even: up to 16 Receive calls over the line in up to
// three pieces; odd: one status read of the whole line), then the line as
// SplitLine reads it.
#include <cmath>
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

// Handle::Receive as its rules describe it, over a line whose bytes have all
// arrived: a 0xDA frame is read byte by byte; a body that closes a valid
// status frame (decoded whole, not as it streams) is skipped; 21 + L bytes
// that do not are a status message, unless a valid frame began inside them,
// the byte behind them begins no frame, or a quaternion component is not
// finite or beyond kLargestQuaternionComponent. After a fault the next call
// first discards bytes up to the end of a valid status frame, or until the
// line falls quiet.
struct ModelReceipt {
  enum class Kind { None, Info, Status, Error };
  uint8_t code = 0;
  int32_t count = -1;
  Kind dispatched = Kind::None;
  HandleInfo info;
  HandleStatusMessage status;
  HandleErrorResponse error;
};

class HandleModel {
 public:
  explicit HandleModel(const Bytes& wire) : framing_(wire) {}

  size_t Left() const { return framing_.Left(); }
  uint64_t Skipped() const { return skipped_; }

  ModelReceipt Receive() {
    ModelReceipt receipt;
    FindBoundary();
    for (;;) {
      receipt.code = framing_.ReadHeaderCode();
      switch (receipt.code) {
        case Handle::kInfoMessage: {
          if (framing_.ReadPayload(Handle::kInfoSize) != Handle::kInfoSize) return OutOfStep(receipt, 0);
          const uint8_t* rx = framing_.Rx();
          receipt.info = HandleInfo{GetUint16(rx + 2), rx[0], rx[3], rx[4], rx[5]};
          receipt.dispatched = ModelReceipt::Kind::Info;
          receipt.count = static_cast<int32_t>(Handle::kInfoSize);
          return receipt;
        }
        case Handle::kErrorResponse: {
          if (framing_.ReadPayload(Handle::kErrorSize) != Handle::kErrorSize) return OutOfStep(receipt, 0);
          const uint8_t* rx = framing_.Rx();
          receipt.error = HandleErrorResponse{GetUint16(rx), rx[2]};
          receipt.dispatched = ModelReceipt::Kind::Error;
          receipt.count = static_cast<int32_t>(Handle::kErrorSize);
          return receipt;
        }
        case Handle::kStatusMessage:
          if (StatusBody(receipt)) return receipt;
          ++skipped_;
          continue;
        default:
          if (receipt.code != 0 && !NextMayBeginFrame()) out_of_step_ = true;
          return receipt;
      }
    }
  }

 private:
  // Whether the bytes from `from` up to the last one read form a valid status frame.
  bool ValidFrame(size_t from) const {
    const size_t n = framing_.Position() - from;
    Bytes scratch(n);
    StrixelStatus status;
    return DecodeStrixelStatusFrame(framing_.At(from), n, scratch.data(), status);
  }

  bool NextMayBeginFrame() const {
    if (Left() == 0) return true;
    const uint8_t next = framing_.Next();
    return next == Handle::kInfoMessage || next == Handle::kStatusMessage || next == Handle::kErrorResponse ||
           next == Device::kNotificationA || next == Device::kNotificationB;
  }

  uint8_t TakeByte() {
    framing_.ReadPayload(1);
    return framing_.Rx()[0];
  }

  // A message that was no whole message: the line may be mid-frame now.
  ModelReceipt& OutOfStep(ModelReceipt& receipt, int32_t count) {
    out_of_step_ = true;
    receipt.count = count;
    return receipt;
  }

  void FindBoundary() {
    if (!out_of_step_) return;
    bool in_frame = false;
    size_t frame = 0;
    // A drained line stands still: that is a boundary too.
    while (Left() > 0) {
      const uint8_t byte = TakeByte();
      if (byte == Handle::kStatusMessage) {
        in_frame = true;
        frame = framing_.Position();
      } else if (in_frame && byte == kSlipEnd && ValidFrame(frame)) {
        break;
      }
    }
    out_of_step_ = false;
  }

  // The body of a 0xDA frame: false when it was a streamed status frame
  // (skipped), true with the receipt filled in otherwise.
  bool StatusBody(ModelReceipt& receipt) {
    const size_t body = framing_.Position();
    bool in_inner = false;
    size_t inner = 0;
    size_t n = 0;
    for (;;) {
      if (Left() == 0) {
        // Cut short: counted as its two payload reads would be, the fixed part if it came whole.
        OutOfStep(receipt, n < Handle::kStatusFixedSize ? 0 : static_cast<int32_t>(Handle::kStatusFixedSize));
        return true;
      }
      const uint8_t byte = TakeByte();
      n = framing_.Position() - body;
      if (byte == kSlipEnd && ValidFrame(body)) return false;
      // A valid frame began inside: what came before it was no whole message.
      if (byte == kSlipEnd && in_inner && ValidFrame(inner)) return true;
      if (byte == Handle::kStatusMessage) {
        in_inner = true;
        inner = framing_.Position();
      }
      const uint8_t* fixed = framing_.At(body);
      if (n >= Handle::kStatusFixedSize && n == Handle::kStatusFixedSize + fixed[Handle::kStatusFixedSize - 1]) break;
    }
    // Bytes of the next frame taken for this one's.
    if (!NextMayBeginFrame()) {
      OutOfStep(receipt, -1);
      return true;
    }
    const uint8_t* fixed = framing_.At(body);
    HandleStatusMessage& message = receipt.status;
    message.device_id = GetUint16(fixed);
    message.error_flag = fixed[2];
    message.hall_effect_sensor_level = fixed[3];
    for (size_t i = 0; i < 4; ++i) {
      message.quaternion[i] = GetFloat(fixed + 4 + 4 * i);
      if (!std::isfinite(message.quaternion[i]) ||
          std::fabs(message.quaternion[i]) > Handle::kLargestQuaternionComponent) {
        // No orientation looks like that: bytes of other frames read as floats.
        OutOfStep(receipt, -1);
        return true;
      }
    }
    message.user_data_length = fixed[Handle::kStatusFixedSize - 1];
    std::memcpy(message.user_data, fixed + Handle::kStatusFixedSize, message.user_data_length);
    receipt.dispatched = ModelReceipt::Kind::Status;
    receipt.count = static_cast<int32_t>(n);
    return true;
  }

  FramingModel framing_;
  bool out_of_step_ = false;
  uint64_t skipped_ = 0;
};

void CheckReceive(const uint8_t* data, size_t size) {
  VelkorFuzz::LineInput input = VelkorFuzz::SplitLine(data, size);
  MemoryRig rig(std::move(input.chunks));
  RecordingHandle handle(&rig.Stream(), 5.0f);
  HandleModel model(input.wire);

  for (int message = 0; message < kMostMessages && model.Left() > 0; ++message) {
    handle.slots.clear();
    uint8_t code = 0xEE;
    const int32_t count = handle.Receive(code);
    const ModelReceipt want = model.Receive();
    FUZZ_CHECK(code == want.code);
    FUZZ_CHECK(count == want.count);
    CheckCallbacks(handle, code);
    FUZZ_CHECK(rig.Stream().good());
    FUZZ_CHECK(rig.Unread() == model.Left());
    FUZZ_CHECK(handle.status_frames_skipped == model.Skipped());
    // A message dispatched is a call that succeeded; anything else failed and says so.
    FUZZ_CHECK(handle.slots.empty() == (want.dispatched == ModelReceipt::Kind::None));
    FUZZ_CHECK((handle.last_outcome == Outcome::Ok) == (want.dispatched != ModelReceipt::Kind::None));
    switch (want.dispatched) {
      case ModelReceipt::Kind::Info: FUZZ_CHECK(SameInfo(handle.info_record, want.info)); break;
      case ModelReceipt::Kind::Status: FUZZ_CHECK(SameMessage(handle.status_record, want.status)); break;
      case ModelReceipt::Kind::Error:
        FUZZ_CHECK(handle.error_record.device_id == want.error.device_id &&
                   handle.error_record.error_code == want.error.error_code);
        break;
      case ModelReceipt::Kind::None: break;
    }
    if (code == 0) return;
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
