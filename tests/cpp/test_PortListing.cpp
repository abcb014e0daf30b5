#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Discovery/PortListing.hpp"
#include "support/FakeSysfs.hpp"
#include "support/PtyEmulator.hpp"

namespace Velkor::HardwareAPI {
namespace {

using Names = std::vector<std::string>;
using Testing::FakeSysfs;
using VelkorTest::Bytes;
using VelkorTest::PtyEmulator;

TEST(ListSerialPorts, ListsWhatEnumerationListsWithTheUsbVendor) {
  FakeSysfs sys;
  sys.AddPlatformUart("ttyS1", 4);
  sys.AddPlatformUart("ttyS0", 0);
  sys.AddCdcAcm("ttyACM0", "16c0");
  sys.AddUsbSerial("ttyUSB0", "ch341", "1a86");
  sys.AddRfcomm("rfcomm0");
  sys.AddVirtualTty("tty0");
  sys.AddCdcAcm("ttyACM1", "2fe3", false);

  testing::internal::CaptureStderr();
  const SerialPortList list = ListSerialPorts(sys.SysRoot(), sys.DevRoot());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(list.status, Platform::TtyListingStatus::Ok);

  const struct {
    const char* name;
    PortKind kind;
    const char* vendor;
  } expected[] = {
      {"rfcomm0", PortKind::Bluetooth, ""},
      {"ttyACM0", PortKind::UsbCdc, "16C0"},
      {"ttyS1", PortKind::Serial, ""},
      {"ttyUSB0", PortKind::Serial, "1A86"},
  };
  ASSERT_EQ(list.ports.size(), std::size(expected));
  const std::vector<SerialPortEntry> entries = EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot());
  ASSERT_EQ(entries.size(), list.ports.size());
  for (size_t i = 0; i < list.ports.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(list.ports[i].port_name, sys.DevPath(expected[i].name));
    EXPECT_EQ(list.ports[i].kind, expected[i].kind);
    EXPECT_EQ(list.ports[i].vendor_id, expected[i].vendor);
    EXPECT_EQ(entries[i].port_name, list.ports[i].port_name);
    EXPECT_EQ(entries[i].kind, list.ports[i].kind);
  }
}

TEST(ListSerialPorts, HandsAnUnreadableTreeBackWithoutALogLine) {
  FakeSysfs sys;
  testing::internal::CaptureStderr();
  const SerialPortList list = ListSerialPorts(sys.SysRoot() + "/missing", sys.DevRoot());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(list.status, Platform::TtyListingStatus::OpenFailed);
  EXPECT_EQ(list.error, ENOENT);
  EXPECT_EQ(list.class_path, sys.SysRoot() + "/missing/class/tty");
  EXPECT_TRUE(list.ports.empty());
}

Bytes ArmInfo() {
  Bytes reply{0x0B, 0x34, 0x12, 4, 2, 5};
  for (uint8_t i = 0; i < 16; ++i) reply.push_back(i);
  return reply;
}

const Bytes kHandleInfo{0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09};

// Every probed port answers one wake-up; the detect function and the probes
// one by one each get their own emulators.
struct Machine {
  FakeSysfs sys;
  std::map<std::string, std::unique_ptr<PtyEmulator>> devices;

  void Answer(const std::string& name, const Bytes& reply, int wakeups) {
    auto& device = devices[name];
    device = std::make_unique<PtyEmulator>();
    for (int i = 0; i < wakeups; ++i) device->Expect(1, reply);
    sys.AddDevNode(name, device->SlavePath());
  }
};

TEST(DetectCandidates, ProbedOneByOneTheyGiveWhatTheDetectFunctionsReturn) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddCdcAcm("ttyACM1", "2fe3");
  m.sys.AddUsbSerial("ttyUSB0", "cp210x", "10c4");
  m.sys.AddUsbSerial("ttyUSB1", "ftdi_sio", "0403");
  m.sys.AddRfcomm("rfcomm0");
  m.sys.AddPlatformUart("ttyS0", 4);
  const std::string sys = m.sys.SysRoot();
  const std::string dev = m.sys.DevRoot();

  const struct {
    DetectTarget target;
    Names (*detect)(const std::string&, const std::string&, std::chrono::milliseconds);
    std::vector<std::pair<std::string, bool>> candidates;
  } cases[] = {
      {DetectTarget::Vorlan3, DetectVorlan3s, {{"ttyACM0", true}}},
      // Once a 1A86/10C4/2FE3 device is known, ports of no such vendor are out.
      {DetectTarget::Handle, DetectHandles, {{"ttyACM1", false}, {"ttyUSB0", true}}},
      {DetectTarget::WiredHandle, DetectWiredHandles, {{"ttyUSB0", true}}},
      {DetectTarget::WirelessHandle, DetectWirelessHandles, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.target));
    m.Answer("ttyACM0", ArmInfo(), 2);
    m.Answer("ttyUSB0", kHandleInfo, 2);
    const Names detected = c.detect(sys, dev, ProbeLimit(c.target));

    const std::vector<DetectCandidate> candidates = DetectCandidates(c.target, sys, dev);
    ASSERT_EQ(candidates.size(), c.candidates.size());
    Names found;
    for (size_t i = 0; i < candidates.size(); ++i) {
      EXPECT_EQ(candidates[i].port_name, m.sys.DevPath(c.candidates[i].first));
      EXPECT_EQ(candidates[i].probe, c.candidates[i].second);
      if (!candidates[i].probe || ProbeFor(c.target, candidates[i].port_name, ProbeLimit(c.target)))
        found.push_back(candidates[i].port_name);
    }
    EXPECT_EQ(found, detected);
  }
}

TEST(ProbeFor, AnswersForTheDeviceKindItWasAskedAbout) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddUsbSerial("ttyUSB0", "cp210x", "10c4");
  const std::string arm = m.sys.DevPath("ttyACM0");
  const std::string handle = m.sys.DevPath("ttyUSB0");
  const std::chrono::milliseconds limit(3000);
  m.Answer("ttyACM0", ArmInfo(), 2);
  m.Answer("ttyUSB0", kHandleInfo, 3);
  EXPECT_TRUE(ProbeFor(DetectTarget::Vorlan3, arm, limit));
  EXPECT_TRUE(ProbeFor(DetectTarget::Handle, handle, limit));
  EXPECT_TRUE(ProbeFor(DetectTarget::WiredHandle, handle, limit));
  EXPECT_TRUE(ProbeFor(DetectTarget::WirelessHandle, handle, limit));
  // The handle probe takes an arm's reply code for no handle at once.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ProbeFor(DetectTarget::Handle, arm, limit));
  testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace Velkor::HardwareAPI

namespace Velkor::HardwareAPI {
namespace {

TEST(PortNameLess, CountsRunsOfDigitsByTheirValue) {
  const std::vector<std::string> sorted = {"/dev/rfcomm0", "/dev/ttyS2",  "/dev/ttyS10", "/dev/ttyUSB0",
                                           "COM1",         "COM3",        "COM03",       "COM10",
                                           "COM10A",       "COM10B",      "COM100",      "COMX"};
  for (size_t i = 0; i < sorted.size(); ++i) {
    for (size_t j = 0; j < sorted.size(); ++j) {
      EXPECT_EQ(PortNameLess(sorted[i], sorted[j]), i < j) << sorted[i] << " / " << sorted[j];
    }
  }
}

}  // namespace
}  // namespace Velkor::HardwareAPI
