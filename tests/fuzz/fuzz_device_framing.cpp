// Device::ReadHeaderCode and Device::ReadPayload over an in-memory line that
// delivers arbitrary bytes in up to three pieces, compared step by step with
// the framing model: the same codes, the same payload bytes, the same bytes
// left unread, and never a read outside the receive buffer.
//
// Input: payload size (two bytes, little-endian, modulo 1040 so that sizes
// beyond the buffer are tried too), then the line as SplitLine reads it.
#include "FramingModel.hpp"
#include "FuzzSupport.hpp"
#include "Velkor/HardwareAPI/Devices/Device.hpp"

using Velkor::HardwareAPI::Devices::Device;
using VelkorFuzz::FramingModel;
using VelkorFuzz::MemoryRig;

namespace {

constexpr size_t kLargestTriedPayload = 1040;
constexpr int kMostFrames = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t first_payload = (data[0] | data[1] << 8) % kLargestTriedPayload;
  VelkorFuzz::LineInput input = VelkorFuzz::SplitLine(data + 2, size - 2);
  MemoryRig rig(std::move(input.chunks));
  Device device(&rig.Stream(), 5.0f);
  FramingModel model(input.wire);

  size_t payload = first_payload;
  for (int frame = 0; frame < kMostFrames && model.Left() > 0; ++frame) {
    const uint8_t code = device.ReadHeaderCode();
    FUZZ_CHECK(code == model.ReadHeaderCode());
    FUZZ_CHECK(rig.Unread() == model.Left());
    FUZZ_CHECK(rig.Stream().good());
    if (code == 0) break;
    FUZZ_CHECK(device.rx_buffer[0] == code);

    const uint32_t got = device.ReadPayload(payload);
    FUZZ_CHECK(got == model.ReadPayload(payload));
    FUZZ_CHECK(got == 0 || got == payload);
    FUZZ_CHECK(rig.Unread() == model.Left());
    if (got > 0) FUZZ_CHECK(std::memcmp(device.rx_buffer.get(), model.Rx(), got) == 0);
    // Every failed wait spins briefly before it blocks: one per input keeps the harness fast.
    if (got == 0 && payload > 0) break;
    // A fixed part that states the length of what follows, as the handle's status message does.
    payload = code;
  }
  return 0;
}
