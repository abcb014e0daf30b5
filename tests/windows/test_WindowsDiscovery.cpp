#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Discovery/PortListing.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"
#include "WindowsPorts.hpp"

using namespace Velkor::HardwareAPI;
using namespace VelkorWindowsTest;

namespace {

constexpr const char* kPortMapKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// One value in the registry's serial-port map for the lifetime of the object,
// written the way port drivers write theirs. Needs write access to the map
// (an administrator, or Wine).
class PortMapValue {
 public:
  PortMapValue(const std::string& device_object, const std::string& data) : name_(device_object) {
    HKEY key = nullptr;
    status_ = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                                nullptr, &key, nullptr);
    if (status_ != ERROR_SUCCESS) return;
    status_ = ::RegSetValueExA(key, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1));
    ::RegCloseKey(key);
  }
  ~PortMapValue() {
    if (status_ != ERROR_SUCCESS) return;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    ::RegDeleteValueA(key, name_.c_str());
    ::RegCloseKey(key);
  }
  PortMapValue(const PortMapValue&) = delete;
  PortMapValue& operator=(const PortMapValue&) = delete;
  bool Written() const { return status_ == ERROR_SUCCESS; }

 private:
  std::string name_;
  LONG status_ = ERROR_SUCCESS;
};

struct Lines {
  std::vector<std::string> lines;
  static void Sink(const char* line, size_t length, void* context) {
    static_cast<Lines*>(context)->lines.emplace_back(line, length);
  }
};

// The data of every value, in the order the registry enumerates them.
std::vector<std::string> PortMapDataInOrder() {
  std::vector<std::string> data;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return data;
  for (DWORD index = 0;; ++index) {
    char name[512];
    BYTE value[512];
    DWORD name_size = sizeof name;
    DWORD value_size = sizeof value;
    if (::RegEnumValueA(key, index, name, &name_size, nullptr, nullptr, value, &value_size) != ERROR_SUCCESS) break;
    data.emplace_back(reinterpret_cast<const char*>(value));
  }
  ::RegCloseKey(key);
  return data;
}

std::vector<SerialPortEntry> Only(const std::vector<SerialPortEntry>& ports, const std::vector<std::string>& names) {
  std::vector<SerialPortEntry> kept;
  for (const SerialPortEntry& port : ports) {
    if (std::find(names.begin(), names.end(), port.port_name) != names.end()) kept.push_back(port);
  }
  return kept;
}

}  // namespace

TEST(WindowsPortMap, ListsTheThreeKindsFromTheSerialCommKeyInItsOrder) {
  const PortMapValue cdc("\\Device\\USBSER077", "COM77");
  const PortMapValue bridge("\\Device\\Silabser7", "COM78");
  const PortMapValue other_driver("\\Device\\VCP7", "COM79");
  const PortMapValue lower_case("\\Device\\usbser078", "COM81");
  const PortMapValue bluetooth("\\Device\\BthModem7", "COM80");
  const PortMapValue on_board("\\Device\\Serial77", "COM82");
  if (!cdc.Written()) GTEST_SKIP() << "the serial-port map is not writable here";

  const std::map<std::string, PortKind> kinds = {
      {"COM77", PortKind::UsbCdc}, {"COM78", PortKind::Serial}, {"COM80", PortKind::Bluetooth},
      {"COM82", PortKind::Serial}};
  std::vector<std::string> expected_order;
  for (const std::string& data : PortMapDataInOrder()) {
    if (kinds.count(data) != 0) expected_order.push_back(data);
  }
  ASSERT_EQ(expected_order.size(), kinds.size());

  const std::vector<SerialPortEntry> ports =
      Only(EnumerateSerialPorts(), {"COM77", "COM78", "COM79", "COM80", "COM81", "COM82"});
  ASSERT_EQ(ports.size(), kinds.size()) << "other drivers' values and lower-case names are left out";
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].port_name, expected_order[i]) << "the terminating NUL of the data is not part of the name";
    EXPECT_EQ(ports[i].kind, kinds.at(ports[i].port_name)) << ports[i].port_name;
  }
}

TEST(WindowsPortMap, ValueTooLongForItsBufferFailsTheWholeListWithOneLine) {
  const PortMapValue usable("\\Device\\USBSER079", "COM83");
  const PortMapValue too_long("\\Device\\Serial78", std::string(300, 'C'));
  if (!too_long.Written()) GTEST_SKIP() << "the serial-port map is not writable here";
  Lines lines;
  SetLogSink(&Lines::Sink, &lines);
  const std::vector<SerialPortEntry> ports = EnumerateSerialPorts();
  SetLogSink(nullptr, nullptr);
  EXPECT_TRUE(ports.empty());
  ASSERT_EQ(lines.lines.size(), 1u);
  EXPECT_EQ(lines.lines[0].rfind("[err] Library/src/SerialDeviceProvider:137> unable to enum values for registry "
                                 "key: HARDWARE\\DEVICEMAP\\SERIALCOMM: [234] ",
                                 0),
            0u)
      << lines.lines[0];
}

TEST(WindowsDiscovery, DetectVorlan3sFindsTheArmBehindAUsbCdcEntry) {
  VELKOR_REQUIRE_PORT(ArmPort());
  const PortMapValue arm("\\Device\\USBSER090", ArmPort());
  const PortMapValue bridge_arm("\\Device\\Silabser90", ArmPort());
  if (!arm.Written()) GTEST_SKIP() << "the serial-port map is not writable here";
  const std::vector<std::string> found = DetectVorlan3s();
  EXPECT_EQ(std::count(found.begin(), found.end(), ArmPort()), 1)
      << "only the USB CDC entry is a candidate of the arm";
}

namespace {

// Takes the serial-port map away for the lifetime of the object, as on a
// machine that never had a serial port, and puts it back as it was.
class NoPortMap {
 public:
  NoPortMap() {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
      for (DWORD index = 0;; ++index) {
        char name[512];
        BYTE data[512];
        DWORD name_size = sizeof name;
        DWORD data_size = sizeof data;
        DWORD type = 0;
        if (::RegEnumValueA(key, index, name, &name_size, nullptr, &type, data, &data_size) != ERROR_SUCCESS) break;
        saved_.push_back({std::string(name, name_size), type, std::vector<BYTE>(data, data + data_size)});
      }
      ::RegCloseKey(key);
    }
    removed_ = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPortMapKey) == ERROR_SUCCESS;
  }
  ~NoPortMap() {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
      return;
    }
    for (const Value& v : saved_) {
      ::RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
    ::RegCloseKey(key);
  }
  NoPortMap(const NoPortMap&) = delete;
  NoPortMap& operator=(const NoPortMap&) = delete;
  bool Removed() const { return removed_; }

 private:
  struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  std::vector<Value> saved_;
  bool removed_ = false;
};

}  // namespace

TEST(WindowsPortMap, AMachineWithoutTheMapHasNoPortsAndTheDetectFunctionsKeepTheirLine) {
  const NoPortMap no_map;
  if (!no_map.Removed()) GTEST_SKIP() << "the serial-port map cannot be removed here";
  Lines lines;
  SetLogSink(&Lines::Sink, &lines);
  const SerialPortList list = ListSerialPorts();
  EXPECT_TRUE(lines.lines.empty()) << "a listing hands failures back instead of printing them";
  EXPECT_EQ(list.status, Platform::TtyListingStatus::Ok);
  EXPECT_TRUE(list.ports.empty());
  EXPECT_EQ(list.error, 0);

  const std::vector<SerialPortEntry> entries = EnumerateSerialPorts();
  const std::vector<std::string> found = DetectVorlan3s();
  SetLogSink(nullptr, nullptr);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(found.empty());
  ASSERT_EQ(lines.lines.size(), 2u);
  for (const std::string& line : lines.lines) {
    EXPECT_EQ(line.rfind("[err] Library/src/SerialDeviceProvider:115> unable to access registry key: "
                         "HARDWARE\\DEVICEMAP\\SERIALCOMM: [2] ",
                         0),
              0u)
        << line;
  }
}

TEST(WindowsPortMap, ListsPortsAsPeopleCountThem) {
  const PortMapValue thousand("\\Device\\Serial1096", "COM1096");
  const PortMapValue two_digits("\\Device\\Serial96", "COM96");
  const PortMapValue hundred("\\Device\\Serial196", "COM196");
  if (!thousand.Written()) GTEST_SKIP() << "the serial-port map is not writable here";
  std::vector<std::string> order;
  for (const SerialPortInfo& port : ListSerialPorts().ports) {
    if (port.port_name == "COM96" || port.port_name == "COM196" || port.port_name == "COM1096")
      order.push_back(port.port_name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"COM96", "COM196", "COM1096"}));
}
