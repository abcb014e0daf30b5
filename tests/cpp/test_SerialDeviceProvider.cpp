#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/FakeSysfs.hpp"

namespace Velkor::HardwareAPI {
namespace {

using Testing::FakeSysfs;

std::string KindName(PortKind kind) {
  switch (kind) {
    case PortKind::None: return "None";
    case PortKind::UsbCdc: return "UsbCdc";
    case PortKind::Serial: return "Serial";
    case PortKind::Bluetooth: return "Bluetooth";
  }
  return "?";
}

std::vector<std::string> Describe(const std::vector<SerialPortEntry>& ports) {
  std::vector<std::string> out;
  for (const SerialPortEntry& port : ports) {
    out.push_back(port.port_name + " " + KindName(port.kind));
  }
  return out;
}

TEST(ClassifyDeviceObjectName, MatchesDriverTextsCaseSensitivelyInOrder) {
  const struct {
    const char* name;
    PortKind kind;
  } cases[] = {
      {"\\Device\\USBSER000", PortKind::UsbCdc},
      {"\\Device\\Silabser0", PortKind::Serial},
      {"\\Device\\Serial0", PortKind::Serial},
      {"\\Device\\BthModem2", PortKind::Bluetooth},
      {"\\Device\\usbser000", PortKind::None},
      {"\\Device\\VCP0", PortKind::None},
      {"\\Device\\USBSER000\\Serial0", PortKind::UsbCdc},
      {"", PortKind::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyDeviceObjectName(c.name), c.kind) << c.name;
  }
}

TEST(PortNameFromFriendlyName, TakesComPortFromLastParenthesisedGroup) {
  const struct {
    const char* name;
    const char* port;
  } cases[] = {
      {"USB Serial Device (COM5)", "COM5"},
      {"X (Y) (COM4)", "COM4"},
      {"(COM4)", "COM4"},
      {"X (COM4", "COM4"},
      {"x (com4)", "COM4"},
      {"Standard Serial over Bluetooth link (COM12)", "COM12"},
      {"X (LPT1)", ""},
      {"X COM4", ""},
      {"(", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortNameFromFriendlyName(c.name), c.port) << c.name;
  }
}

TEST(UsbVendorIdFromInstanceId, TakesDigitsAfterVidInFirstField) {
  const struct {
    const char* id;
    const char* vendor;
  } cases[] = {
      {"USB\\VID_1A86&PID_0001\\5&10&0&2", "1A86"},
      {"USB\\VID_10C4&PID_EA60\\0001", "10C4"},
      {"usb\\vid_2fe3&pid_0100\\1", "2FE3"},
      {"USB\\VID_10C4", ""},
      {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1", ""},
      {"USB\\VID_&PID_0001", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UsbVendorIdFromInstanceId(c.id), c.vendor) << c.id;
  }
}

TEST(SplitString, DropsEmptyPiecesButKeepsTheOneAfterATrailingDelimiter) {
  using Pieces = std::vector<std::string>;
  const struct {
    const char* text;
    const char* delimiter;
    Pieces pieces;
  } cases[] = {
      {"A&&B", "&", {"A", "B"}},
      {"A&", "&", {"A", ""}},
      {"&A", "&", {"A"}},
      {"A", "&", {"A"}},
      {"", "&", {}},
      {"A&B", "", {"A&B"}},
      {"A::B::", "::", {"A", "B", ""}},
      {"&", "&", {""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitString(c.text, c.delimiter), c.pieces) << c.text << " / " << c.delimiter;
  }
}

TEST(VendorMatches, EmptyListMatchesAllAndEmptyIdMatchesNoList) {
  EXPECT_TRUE(VendorMatches("16C0", {}));
  EXPECT_TRUE(VendorMatches("", {}));
  EXPECT_TRUE(VendorMatches("16C0", Vorlan3VendorIds));
  EXPECT_TRUE(VendorMatches("10C4", HandleVendorIds));
  EXPECT_FALSE(VendorMatches("2FE3", WiredHandleVendorIds));
  EXPECT_FALSE(VendorMatches("16c0", Vorlan3VendorIds));
  EXPECT_FALSE(VendorMatches("", HandleVendorIds));
}

TEST(VendorLists, HoldTheKnownVendors) {
  EXPECT_EQ(Vorlan3VendorIds, (std::vector<std::string>{"16C0"}));
  EXPECT_EQ(HandleVendorIds, (std::vector<std::string>{"1A86", "10C4", "2FE3"}));
  EXPECT_EQ(UnprobedHandleVendorIds, (std::vector<std::string>{"2FE3"}));
  EXPECT_EQ(WiredHandleVendorIds, (std::vector<std::string>{"1A86", "10C4"}));
  EXPECT_EQ(WirelessHandleVendorIds, (std::vector<std::string>{"1A86", "10C4"}));
}

// The mix of a desktop with an arm, two bridges, a Bluetooth link and the
// phantom UARTs the 8250 driver registers whether or not hardware is there.
void AddTypicalMachine(FakeSysfs& sys) {
  sys.AddPlatformUart("ttyS0", 0);
  sys.AddPlatformUart("ttyS1", 4);
  sys.AddUsbSerial("ttyUSB1", "ch341", "1a86");
  sys.AddCdcAcm("ttyACM0", "16c0");
  sys.AddRfcomm("rfcomm0");
  sys.AddUsbSerial("ttyUSB0", "cp210x", "10c4");
  sys.AddVirtualTty("tty0");
  sys.AddVirtualTty("ptmx");
}

TEST(ListTtyDevices, ReportsTheHardwareDriverAboveTheSerialCoreAndTheUsbVendor) {
  FakeSysfs sys;
  AddTypicalMachine(sys);
  const Platform::TtyListing listing = Platform::ListTtyDevices(sys.SysRoot(), sys.DevRoot());
  std::vector<std::string> seen;
  for (const Platform::TtyDeviceRecord& d : listing.devices) {
    seen.push_back(d.name + " " + d.driver + (d.on_usb_serial_bus ? " usb-serial" : "") +
                   (d.is_uart ? " uart" : "") + " " + d.vendor_id);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "ptmx  ", "rfcomm0  ", "tty0  ", "ttyACM0 cdc_acm 16C0",
                      "ttyS1 serial8250 uart ", "ttyUSB0 cp210x usb-serial 10C4",
                      "ttyUSB1 ch341 usb-serial 1A86"}));
}

TEST(EnumerateSerialPorts, ListsSerialDriversWithKindsSortedByPath) {
  FakeSysfs sys;
  AddTypicalMachine(sys);
  const std::string dev = sys.DevRoot();
  EXPECT_EQ(Describe(EnumerateSerialPorts(sys.SysRoot(), dev)),
            (std::vector<std::string>{dev + "/rfcomm0 Bluetooth", dev + "/ttyACM0 UsbCdc",
                                      dev + "/ttyS1 Serial", dev + "/ttyUSB0 Serial",
                                      dev + "/ttyUSB1 Serial"}));
}

TEST(EnumerateSerialPorts, MapsDriversOntoKinds) {
  const struct {
    const char* driver;
    bool usb_serial_bus;
    PortKind kind;
  } cases[] = {
      {"cdc_acm", false, PortKind::UsbCdc},
      {"ftdi_sio", true, PortKind::Serial},
      {"pl2303", true, PortKind::Serial},
      {"option", true, PortKind::Serial},  // any bridge on the usb-serial bus
      {"hso", false, PortKind::None},      // a modem's own tty, not a serial port
      {"cdc_wdm", false, PortKind::None},
  };
  for (const auto& c : cases) {
    FakeSysfs sys;
    if (c.usb_serial_bus) {
      sys.AddUsbSerial("ttyX0", c.driver, "abcd");
    } else {
      sys.AddUsbInterfaceTty("ttyX0", c.driver, "abcd");
    }
    const std::vector<SerialPortEntry> ports = EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot());
    if (c.kind == PortKind::None) {
      EXPECT_TRUE(ports.empty()) << c.driver;
    } else {
      ASSERT_EQ(ports.size(), 1u) << c.driver;
      EXPECT_EQ(ports[0].kind, c.kind) << c.driver;
      EXPECT_EQ(ports[0].port_name, sys.DevPath("ttyX0"));
    }
  }
}

TEST(EnumerateSerialPorts, LeavesOutPortsWithoutAnOpenableDevNode) {
  FakeSysfs sys;
  sys.AddCdcAcm("ttyACM0", "16c0", false);
  sys.AddCdcAcm("ttyACM1", "16c0");
  sys.AddCdcAcm("ttyACM2", "16c0");
  sys.AddDevNode("ttyACM2", sys.DevRoot() + "/gone");
  EXPECT_EQ(Describe(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot())),
            (std::vector<std::string>{sys.DevPath("ttyACM1") + " UsbCdc"}));
}

TEST(EnumerateSerialPorts, LeavesOutTheActiveConsoles) {
  FakeSysfs sys;
  sys.AddPlatformUart("ttyS0", 4);
  sys.AddPlatformUart("ttyS1", 4);
  std::filesystem::create_directories(sys.SysRoot() + "/class/tty/console");
  std::ofstream(sys.SysRoot() + "/class/tty/console/active") << "tty0 ttyS0\n";
  EXPECT_EQ(Describe(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot())),
            (std::vector<std::string>{sys.DevPath("ttyS1") + " Serial"}));
}

TEST(EnumerateSerialPorts, FollowsDevNodeSymlinks) {
  FakeSysfs sys;
  sys.AddCdcAcm("ttyACM0", "16c0");
  sys.AddDevNode("target", "");
  sys.AddDevNode("ttyACM0", sys.DevPath("target"));
  EXPECT_EQ(Describe(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot())),
            (std::vector<std::string>{sys.DevPath("ttyACM0") + " UsbCdc"}));
}

TEST(EnumerateSerialPorts, GivesTheSameListOnEveryCall) {
  FakeSysfs sys;
  AddTypicalMachine(sys);
  const auto first = Describe(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot()));
  EXPECT_EQ(Describe(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot())), first);
}

TEST(EnumerateSerialPorts, MissingSysRootGivesEmptyListAndOneLogLine) {
  FakeSysfs sys;
  const std::string missing = sys.SysRoot() + "/nowhere";
  testing::internal::CaptureStderr();
  const std::vector<SerialPortEntry> ports = EnumerateSerialPorts(missing, sys.DevRoot());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ports.empty());
  EXPECT_EQ(err, "[err] Library/src/SerialDeviceProvider:115> unable to access registry key: " +
                     missing + "/class/tty: [2] No such file or directory\n");
}

TEST(EnumerateSerialPorts, EmptyTreeGivesEmptyListSilently) {
  FakeSysfs sys;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(EnumerateSerialPorts(sys.SysRoot(), sys.DevRoot()).empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(EnumerateSerialPorts, RealSysfsYieldsOnlyClassifiedDevPaths) {
  const std::vector<SerialPortEntry> ports = EnumerateSerialPorts();
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].port_name.rfind("/dev/", 0), 0u) << ports[i].port_name;
    EXPECT_NE(ports[i].kind, PortKind::None) << ports[i].port_name;
    if (i > 0) {
      EXPECT_LT(ports[i - 1].port_name, ports[i].port_name);
    }
  }
}

TEST(FindUsbVendorPorts, NarrowsSerialPortsByUpperCasedVendor) {
  FakeSysfs sys;
  AddTypicalMachine(sys);
  sys.AddUsbInterfaceTty("ttyHS0", "hso", "10c4");
  const std::string dev = sys.DevRoot();
  const struct {
    std::vector<std::string> vendors;
    PortNameSet names;
  } cases[] = {
      {Vorlan3VendorIds, {dev + "/ttyACM0"}},
      {HandleVendorIds, {dev + "/ttyUSB0", dev + "/ttyUSB1"}},
      {UnprobedHandleVendorIds, {}},
      {{"C4"}, {dev + "/ttyUSB0"}},
      {{"1D6B"}, {}},  // the root hub above every device is not the device's vendor
      {{},
       {dev + "/rfcomm0", dev + "/ttyACM0", dev + "/ttyS1", dev + "/ttyUSB0", dev + "/ttyUSB1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FindUsbVendorPorts(c.vendors, sys.SysRoot(), sys.DevRoot()), c.names)
        << (c.vendors.empty() ? std::string("(none)") : c.vendors.front());
  }
}

TEST(FindUsbVendorPorts, NamesEachPortOnceForManyMatchingVendors) {
  FakeSysfs sys;
  sys.AddCdcAcm("ttyACM0", "16c0");
  EXPECT_EQ(FindUsbVendorPorts({"16C0", "16", "C0"}, sys.SysRoot(), sys.DevRoot()),
            (PortNameSet{sys.DevPath("ttyACM0")}));
}

TEST(FindUsbVendorPorts, MissingSysRootGivesEmptySetSilently) {
  FakeSysfs sys;
  testing::internal::CaptureStderr();
  const PortNameSet names = FindUsbVendorPorts(HandleVendorIds, sys.SysRoot() + "/nowhere");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace Velkor::HardwareAPI
