#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "support/MemoryPortDriver.hpp"

using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::IO::SerialStream;
using Velkor::HardwareAPI::Platform::SetPortDriverFactory;
using VelkorTest::MemoryPortDriver;

namespace {

using Bytes = std::vector<uint8_t>;

class DeviceFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    line_ = std::make_shared<MemoryPortDriver::Line>();
    SetPortDriverFactory([line = line_] { return std::make_unique<MemoryPortDriver>(line); });
  }
  void TearDown() override { SetPortDriverFactory(nullptr); }

  // Header code and payload read from the wire delivered in the given pieces.
  // Pieces arrive as soon as the device waits, so a whole reply never needs the
  // time-out: it is generous, that a preempted test cannot run it out. Cut wires
  // end in silence, and there a short one keeps the test quick.
  std::pair<uint8_t, Bytes> ReadReply(const std::vector<Bytes>& pieces, size_t payload_size, float timeout = 2.0f) {
    line_->pending.assign(pieces.begin(), pieces.end());
    line_->queued.clear();
    SerialStream stream("memory", true);
    Device device(&stream, timeout);
    const uint8_t code = device.ReadHeaderCode();
    Bytes payload;
    if (device.ReadPayload(payload_size) == payload_size)
      payload.assign(device.rx_buffer.get(), device.rx_buffer.get() + payload_size);
    return {code, payload};
  }

  std::shared_ptr<MemoryPortDriver::Line> line_;
};

Bytes Slice(const Bytes& wire, size_t from, size_t to) { return Bytes(wire.begin() + from, wire.begin() + to); }

}  // namespace

TEST_F(DeviceFraming, ReplyBehindNotificationsDecodesWhereverTheLineSplitsIt) {
  Bytes payload(24);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(0x40 + i);
  Bytes wire{0xBA, 0x55, 0x03, 0xBA, 0xBB, 0x2B, 0xBB, 0x07, 0x00, 0x2B};
  wire.insert(wire.end(), payload.begin(), payload.end());

  for (size_t i = 1; i < wire.size(); ++i) {
    for (size_t j = i; j < wire.size(); ++j) {
      std::vector<Bytes> pieces{Slice(wire, 0, i)};
      if (j > i) pieces.push_back(Slice(wire, i, j));
      pieces.push_back(Slice(wire, j, wire.size()));
      const auto [code, got] = ReadReply(pieces, payload.size());
      ASSERT_EQ(code, 0x2B) << "split at " << i << " and " << j;
      ASSERT_EQ(got, payload) << "split at " << i << " and " << j;
      ASSERT_TRUE(line_->queued.empty() && line_->pending.empty()) << "split at " << i << " and " << j;
    }
  }
}

TEST_F(DeviceFraming, TruncatedWireFailsAtEveryCut) {
  const Bytes wire{0xBA, 0x00, 0x02, 0x11, 0x22, 0x0B, 1, 2, 3, 4};
  for (size_t cut = 1; cut < wire.size(); ++cut) {
    const auto [code, got] = ReadReply({Slice(wire, 0, cut)}, 4, 0.05f);
    if (cut < 6) {
      EXPECT_EQ(code, 0) << "cut at " << cut;
    } else {
      EXPECT_EQ(code, 0x0B) << "cut at " << cut;
    }
    EXPECT_TRUE(got.empty()) << "cut at " << cut;
  }
}
