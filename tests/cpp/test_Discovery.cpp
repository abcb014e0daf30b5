#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"
#include "support/FakeSysfs.hpp"
#include "support/Interruption.hpp"
#include "support/PtyEmulator.hpp"

namespace Velkor::HardwareAPI {
namespace {

using namespace std::chrono;
using Names = std::vector<std::string>;
using Testing::FakeSysfs;
using VelkorTest::Bytes;
using VelkorTest::InterruptAfter;
using VelkorTest::PtyEmulator;

const Bytes kWakeupOnly{0x0A};

Bytes ArmInfo(uint8_t model) {
  Bytes reply{0x0B, 0x34, 0x12, model, 2, 5};
  for (uint8_t i = 0; i < 16; ++i) reply.push_back(i);
  return reply;
}

const Bytes kHandleInfo{0xD0, 0x05, 0x00, 0x34, 0x12, 0x07, 0x09};
const Bytes kHandleError{0xDF, 0x02, 0x01, 0x04};

// Device 0x1234, hall level 3, a zero quaternion and no user data.
Bytes HandleStatus() {
  Bytes reply(22, 0x00);
  reply[0] = 0xDA;
  reply[1] = 0x34;
  reply[2] = 0x12;
  reply[4] = 0x03;
  return reply;
}

// A fake machine whose dev nodes lead to pty emulators. Ports left with their
// placeholder node fail to open loudly, so a quiet stderr shows they were never tried.
struct Machine {
  FakeSysfs sys;
  std::map<std::string, std::unique_ptr<PtyEmulator>> devices;

  PtyEmulator& Attach(const std::string& name) {
    auto& device = devices[name];
    device = std::make_unique<PtyEmulator>();
    sys.AddDevNode(name, device->SlavePath());
    return *device;
  }
  PtyEmulator& Answering(const std::string& name, const Bytes& reply,
                         milliseconds delay = milliseconds(0)) {
    PtyEmulator& device = Attach(name);
    device.Expect(1, reply, delay);
    return device;
  }
  Bytes Written(const std::string& name) { return devices.at(name)->Written(); }
  std::string Path(const std::string& name) const { return sys.DevPath(name); }
  Names Paths(const Names& names) const {
    Names paths;
    for (const std::string& name : names) paths.push_back(Path(name));
    return paths;
  }
};

template <typename Detect>
Names RunQuietly(Machine& machine, Detect detect) {
  testing::internal::CaptureStderr();
  Names found = detect(machine.sys.SysRoot(), machine.sys.DevRoot());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  return found;
}

Names Vorlan3s(const std::string& sys, const std::string& dev) { return DetectVorlan3s(sys, dev); }
Names Handles(const std::string& sys, const std::string& dev) { return DetectHandles(sys, dev); }
Names WiredHandles(const std::string& sys, const std::string& dev) { return DetectWiredHandles(sys, dev); }
Names WirelessHandles(const std::string& sys, const std::string& dev) {
  return DetectWirelessHandles(sys, dev);
}

TEST(DetectVorlan3s, ProbesOnlyUsbCdcPortsOfTheArmVendor) {
  Machine m;
  m.sys.AddPlatformUart("ttyS0", 0);
  m.sys.AddPlatformUart("ttyS1", 4);
  m.sys.AddCdcAcm("ttyACM1", "16c0");
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddCdcAcm("ttyACM2", "abcd");
  m.sys.AddUsbSerial("ttyUSB0", "cp210x", "16c0");
  m.sys.AddRfcomm("rfcomm0");
  m.Answering("ttyACM0", ArmInfo(4));
  m.Answering("ttyACM1", ArmInfo(4));
  m.Answering("ttyACM2", ArmInfo(4));  // a foreign vendor: skipped while an arm vendor is known
  m.Answering("ttyUSB0", ArmInfo(4));  // a bridge, not a CDC port
  EXPECT_EQ(RunQuietly(m, Vorlan3s), m.Paths({"ttyACM0", "ttyACM1"}));
  EXPECT_EQ(m.Written("ttyACM0"), kWakeupOnly);
  EXPECT_EQ(m.Written("ttyACM1"), kWakeupOnly);
  EXPECT_EQ(m.Written("ttyACM2"), Bytes{});
  EXPECT_EQ(m.Written("ttyUSB0"), Bytes{});
}

TEST(DetectVorlan3s, ProbesEveryUsbCdcPortWhenNoArmVendorIsKnown) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "abcd");
  m.sys.AddCdcAcm("ttyACM1", "1234");
  m.Answering("ttyACM0", ArmInfo(4));
  m.Answering("ttyACM1", ArmInfo(4));
  EXPECT_EQ(RunQuietly(m, Vorlan3s), m.Paths({"ttyACM0", "ttyACM1"}));
}

TEST(DetectVorlan3s, ReportsOnlyAFullRecordOfModelFour) {
  const struct {
    const char* name;
    Bytes reply;
    bool reported;
  } cases[] = {
      {"model 4", ArmInfo(4), true},
      {"model 3", ArmInfo(3), false},
      {"model 5", ArmInfo(5), false},
      {"model 0", ArmInfo(0), false},
      {"handle info", kHandleInfo, false},
  };
  for (const auto& c : cases) {
    Machine m;
    m.sys.AddCdcAcm("ttyACM0", "16c0");
    PtyEmulator& device = m.Answering("ttyACM0", c.reply);
    // A wrong code costs the arm probe a discard wait; the hang-up ends it at once.
    device.ExpectThenHangUp(0, milliseconds(300));
    EXPECT_EQ(DetectVorlan3s(m.sys.SysRoot(), m.sys.DevRoot()),
              c.reported ? m.Paths({"ttyACM0"}) : Names{})
        << c.name;
    EXPECT_EQ(m.Written("ttyACM0"), kWakeupOnly) << c.name;
  }
}

TEST(DetectVorlan3s, ArmAnsweringAfterThreeSecondsIsNotReportedButItsProbeIsAwaited) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddCdcAcm("ttyACM1", "16c0");
  const milliseconds late(3300), in_time(1500);
  PtyEmulator& slow = m.Answering("ttyACM0", ArmInfo(4), late);
  PtyEmulator& prompt = m.Answering("ttyACM1", ArmInfo(4), in_time);
  const auto start = steady_clock::now();
  EXPECT_EQ(RunQuietly(m, Vorlan3s), m.Paths({"ttyACM1"}));
  const auto took = steady_clock::now() - start;
  // Both replies were played during the call, one after the other.
  EXPECT_TRUE(slow.WaitScriptDone(milliseconds(0)));
  EXPECT_TRUE(prompt.WaitScriptDone(milliseconds(0)));
  EXPECT_GE(took, late + in_time);
  EXPECT_EQ(slow.Written(), kWakeupOnly);
  EXPECT_EQ(prompt.Written(), kWakeupOnly);
}

TEST(IsHandlePort, CountsAnAnswerOnlyWithinTheLimit) {
  const struct {
    milliseconds delay;
    bool counts;
  } cases[] = {{milliseconds(0), true}, {milliseconds(700), false}};
  for (const auto& c : cases) {
    PtyEmulator device;
    device.Expect(1, kHandleInfo, c.delay);
    const auto start = steady_clock::now();
    EXPECT_EQ(IsHandlePort(device.SlavePath(), milliseconds(250)), c.counts) << c.delay.count();
    EXPECT_GE(steady_clock::now() - start, c.delay);
    EXPECT_TRUE(device.WaitScriptDone(milliseconds(0)));
  }
}

TEST(DetectHandles, DecidesByTheFirstReplyCode) {
  const struct {
    const char* name;
    Bytes reply;
    bool reported;
  } cases[] = {
      {"info", kHandleInfo, true},
      {"status message", HandleStatus(), true},
      {"error response", kHandleError, false},
      {"arm info", ArmInfo(4), false},
      {"unknown code", {0xD5, 1, 2, 3}, false},
      {"info after a notification", {0xBA, 0x00, 0x01, 0x07, 0xD0, 5, 0, 0x34, 0x12, 7, 9}, true},
  };
  for (const auto& c : cases) {
    Machine m;
    m.sys.AddPlatformUart("ttyS1", 4);
    m.Answering("ttyS1", c.reply);
    EXPECT_EQ(RunQuietly(m, Handles), c.reported ? m.Paths({"ttyS1"}) : Names{}) << c.name;
    EXPECT_EQ(m.Written("ttyS1"), kWakeupOnly) << c.name;
  }
}

TEST(DetectHandles, ProbesPortsOfEveryKindWhenNoHandleVendorIsKnown) {
  Machine m;
  m.sys.AddPlatformUart("ttyS0", 0);
  m.sys.AddPlatformUart("ttyS1", 4);
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddRfcomm("rfcomm0");
  m.sys.AddUsbSerial("ttyUSB0", "ftdi_sio", "0403");
  m.Answering("ttyS1", HandleStatus());
  m.Answering("ttyACM0", kHandleInfo);
  m.Answering("rfcomm0", kHandleInfo);
  m.Answering("ttyUSB0", kHandleError);
  EXPECT_EQ(RunQuietly(m, Handles), m.Paths({"rfcomm0", "ttyACM0", "ttyS1"}));
  for (const char* name : {"ttyS1", "ttyACM0", "rfcomm0", "ttyUSB0"}) {
    EXPECT_EQ(m.Written(name), kWakeupOnly) << name;
  }
}

TEST(DetectHandles, ReportsTheUnprobedVendorUnopenedAndNarrowsTheRest) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "2fe3");
  m.sys.AddCdcAcm("ttyACM1", "16c0");
  m.sys.AddUsbSerial("ttyUSB0", "ch341", "1a86");
  m.sys.AddUsbSerial("ttyUSB1", "cp210x", "10c4");
  m.sys.AddRfcomm("rfcomm0");
  m.sys.AddPlatformUart("ttyS1", 4);
  for (const char* name : {"ttyACM0", "ttyACM1", "rfcomm0", "ttyS1"}) m.Answering(name, kHandleInfo);
  m.Answering("ttyUSB0", HandleStatus());
  m.Answering("ttyUSB1", kHandleError);
  EXPECT_EQ(RunQuietly(m, Handles), m.Paths({"ttyACM0", "ttyUSB0"}));
  for (const char* name : {"ttyACM0", "ttyACM1", "rfcomm0", "ttyS1"}) {
    EXPECT_EQ(m.Written(name), Bytes{}) << name;
  }
  EXPECT_EQ(m.Written("ttyUSB0"), kWakeupOnly);
  EXPECT_EQ(m.Written("ttyUSB1"), kWakeupOnly);
}

TEST(DetectHandles, PortHeldOpenElsewhereIsNotReportedAndItsOpenFailureIsLogged) {
  Machine m;
  m.sys.AddPlatformUart("ttyS1", 4);
  m.Answering("ttyS1", kHandleInfo);
  IO::SerialStream holder(m.Path("ttyS1").c_str(), true);
  ASSERT_TRUE(holder.IsOpen());
  testing::internal::CaptureStderr();
  EXPECT_EQ(DetectHandles(m.sys.SysRoot(), m.sys.DevRoot()), Names{});
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[err] Library/src/SerialStream:39> unable to open port '" + m.Path("ttyS1") + "'"),
            std::string::npos)
      << err;
  EXPECT_EQ(m.Written("ttyS1"), Bytes{});
}

TEST(DetectWiredHandles, ReportsAnsweringBridgesOfTheHandleVendorsInOrder) {
  Machine m;
  m.sys.AddUsbSerial("ttyUSB1", "ch341", "1a86");
  m.sys.AddUsbSerial("ttyUSB0", "cp210x", "10c4");
  m.sys.AddUsbSerial("ttyUSB2", "ftdi_sio", "0403");
  m.sys.AddPlatformUart("ttyS1", 4);
  m.sys.AddCdcAcm("ttyACM0", "1a86");
  m.sys.AddRfcomm("rfcomm0");
  m.Answering("ttyUSB0", kHandleInfo);
  m.Answering("ttyUSB1", HandleStatus());
  for (const char* name : {"ttyUSB2", "ttyS1", "ttyACM0", "rfcomm0"}) m.Answering(name, kHandleInfo);
  EXPECT_EQ(RunQuietly(m, WiredHandles), m.Paths({"ttyUSB0", "ttyUSB1"}));
  for (const char* name : {"ttyUSB2", "ttyS1", "ttyACM0", "rfcomm0"}) {
    EXPECT_EQ(m.Written(name), Bytes{}) << name;
  }
}

TEST(DetectWiredHandles, ProbesEverySerialPortWhenNoHandleVendorIsKnown) {
  Machine m;
  m.sys.AddPlatformUart("ttyS1", 4);
  m.sys.AddUsbSerial("ttyUSB0", "ftdi_sio", "0403");
  m.sys.AddRfcomm("rfcomm0");
  m.Answering("ttyS1", kHandleInfo);
  m.Answering("ttyUSB0", kHandleInfo);
  m.Answering("rfcomm0", kHandleInfo);
  EXPECT_EQ(RunQuietly(m, WiredHandles), m.Paths({"ttyS1", "ttyUSB0"}));
  EXPECT_EQ(m.Written("rfcomm0"), Bytes{});
}

TEST(DetectWirelessHandles, AnyKnownHandleVendorExcludesEveryBluetoothPort) {
  for (const bool vendor_known : {false, true}) {
    Machine m;
    m.sys.AddRfcomm("rfcomm1");
    m.sys.AddRfcomm("rfcomm0");
    // Bridges are never candidates here; they only make a vendor known.
    if (vendor_known) m.sys.AddUsbSerial("ttyUSB0", "ch341", "1a86");
    m.Answering("rfcomm0", kHandleInfo);
    m.Answering("rfcomm1", HandleStatus());
    EXPECT_EQ(RunQuietly(m, WirelessHandles), vendor_known ? Names{} : m.Paths({"rfcomm0", "rfcomm1"}))
        << vendor_known;
    const Bytes expected = vendor_known ? Bytes{} : kWakeupOnly;
    EXPECT_EQ(m.Written("rfcomm0"), expected) << vendor_known;
    EXPECT_EQ(m.Written("rfcomm1"), expected) << vendor_known;
  }
}

TEST(Probes, PortsThatCannotBeOpenedAreNotDevices) {
  FakeSysfs sys;
  const std::string missing = sys.DevPath("ttyACM9");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ProbeVorlan3Port(missing.c_str()), 0);
  EXPECT_EQ(ProbeHandlePort(missing.c_str()), 0);
  EXPECT_EQ(ProbeVorlan3Port(nullptr), 0);
  EXPECT_EQ(ProbeHandlePort(nullptr), 0);
  EXPECT_EQ(IsVorlan3Port(missing), 0);
  EXPECT_FALSE(IsHandlePort(missing));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("unable to open port '" + missing + "'"), std::string::npos) << err;
}

TEST(Probes, AnArmAnsweringAtOnceIsFoundWithinTheRealLimit) {
  PtyEmulator device;
  device.Expect(1, ArmInfo(4));
  EXPECT_EQ(IsVorlan3Port(device.SlavePath()), 1);
  EXPECT_EQ(device.Written(), kWakeupOnly);
}

TEST(IsVorlan3Port, AnInterruptedCallerStopsTheProbeAndStillWaitsForItsPortToClose) {
  const struct {
    const char* name;
    milliseconds limit, interrupt;
  } cases[] = {
      {"within the limit", kVorlan3ProbeLimit, milliseconds(100)},
      {"after the limit, while the late probe is awaited", milliseconds(100), milliseconds(300)},
  };
  for (const auto& c : cases) {
    PtyEmulator device;  // silent: the probe would take two read time-outs of 5 s
    const auto start = steady_clock::now();
    {
      InterruptAfter interrupt(c.interrupt);
      EXPECT_EQ(IsVorlan3Port(device.SlavePath(), c.limit), 0) << c.name;
    }
    EXPECT_LT(steady_clock::now() - start, seconds(5)) << c.name;
    EXPECT_EQ(device.Written(), kWakeupOnly) << c.name;
    IO::SerialStream again(device.SlavePath().c_str(), false);
    EXPECT_EQ(again.Open(), 1) << c.name << ": the probe closed its port before the call returned";
  }
}

TEST(DetectVorlan3s, AnInterruptedDetectionProbesNoFurtherPort) {
  Machine m;
  m.sys.AddCdcAcm("ttyACM0", "16c0");
  m.sys.AddCdcAcm("ttyACM1", "16c0");
  m.Attach("ttyACM0");
  m.Attach("ttyACM1");
  const auto start = steady_clock::now();
  {
    InterruptAfter interrupt(milliseconds(100));
    EXPECT_EQ(DetectVorlan3s(m.sys.SysRoot(), m.sys.DevRoot()), Names{});
  }
  EXPECT_LT(steady_clock::now() - start, seconds(5));
  EXPECT_EQ(m.Written("ttyACM0"), kWakeupOnly);
  EXPECT_EQ(m.Written("ttyACM1"), Bytes{});
}

}  // namespace
}  // namespace Velkor::HardwareAPI
