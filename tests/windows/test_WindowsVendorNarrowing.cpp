#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

using Velkor::HardwareAPI::FindUsbVendorPorts;
using Velkor::HardwareAPI::PortNameSet;

namespace {

// The configuration-manager double of tests/windows/cfgmgr32, loaded the way
// the library loads the real one; kept loaded so that its script holds while
// the library loads and frees it around each call.
class ConfigManagerDouble {
 public:
  ConfigManagerDouble() : module_(::LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (module_ == nullptr) return;
    reset_ = Function<void (*)()>("VelkorCmDouble_Reset");
    add_ = Function<void (*)(const wchar_t*, const wchar_t*, const wchar_t*, int, int)>("VelkorCmDouble_AddDevice");
    size_queries_ = Function<long (*)()>("VelkorCmDouble_SizeQueries");
    fetches_ = Function<long (*)()>("VelkorCmDouble_Fetches");
    if (Loaded()) reset_();
  }
  ~ConfigManagerDouble() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  ConfigManagerDouble(const ConfigManagerDouble&) = delete;
  ConfigManagerDouble& operator=(const ConfigManagerDouble&) = delete;

  bool Loaded() const { return reset_ != nullptr && add_ != nullptr && size_queries_ != nullptr && fetches_; }
  enum Flags { kConnected = 0, kPhantom = 1, kInterfaceIdNotAString = 2 };
  void Add(const std::wstring& instance_id, const std::wstring& friendly_name, int flags = kConnected,
           bool arrives_later = false) {
    const std::wstring path = L"\\\\?\\" + instance_id + L"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    add_(path.c_str(), instance_id.c_str(), friendly_name.c_str(), flags, arrives_later ? 1 : 0);
  }
  long SizeQueries() const { return size_queries_(); }
  long Fetches() const { return fetches_(); }

 private:
  template <typename F>
  F Function(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module_, name)));
  }
  HMODULE module_;
  void (*reset_)() = nullptr;
  void (*add_)(const wchar_t*, const wchar_t*, const wchar_t*, int, int) = nullptr;
  long (*size_queries_)() = nullptr;
  long (*fetches_)() = nullptr;
};

#define VELKOR_REQUIRE_DOUBLE(cm)                                                                   \
  do {                                                                                              \
    if (!(cm).Loaded())                                                                             \
      GTEST_SKIP() << "the configuration-manager double is not loaded: run scripts/test-windows.sh"; \
  } while (0)

}  // namespace

TEST(WindowsVendorNarrowing, KeepsThePortsOfTheGivenVendorsConnectedOrRemembered) {
  ConfigManagerDouble cm;
  VELKOR_REQUIRE_DOUBLE(cm);
  cm.Add(L"USB\\VID_16C0&PID_0483\\1", L"X (COM7)");
  cm.Add(L"USB\\VID_16C0&PID_0483\\2", L"Teensy USB Serial (COM9)", ConfigManagerDouble::kPhantom);
  cm.Add(L"USB\\VID_1A86&PID_7523\\5&10&0&2", L"USB-SERIAL CH340 (COM8)");
  cm.Add(L"USB\\VID_10C4&PID_EA60\\0001", L"Silicon Labs CP210x USB to UART Bridge (com4)");
  cm.Add(L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1", L"Standard Serial over "
                                                                                   L"Bluetooth link (COM12)");
  cm.Add(L"USB\\VID_2FE3&PID_0100\\9", L"No port name here");
  cm.Add(L"USB\\VID_2FE3&PID_0100\\A", L"Handle (COM20)", ConfigManagerDouble::kInterfaceIdNotAString);
  // Another device naming a port already in the set puts it there once.
  cm.Add(L"USB\\VID_16C0&PID_0484\\3", L"Y (COM7)");
  // Not ASCII: the name is converted from UTF-16 before its port name is read.
  cm.Add(L"USB\\VID_1A86&PID_55D4\\6", L"Ger\u00e4t \U0001F50C (COM15)");

  const struct {
    std::vector<std::string> vendors;
    PortNameSet expected;
  } cases[] = {
      {{"16C0"}, {"COM7", "COM9"}},
      {{"1A86", "10C4"}, {"COM4", "COM8", "COM15"}},
      {{"2FE3"}, {}},
      {{"FFFF"}, {}},
      {{}, {"COM4", "COM7", "COM8", "COM9", "COM12", "COM15"}},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& v : c.vendors) name += v + " ";
    EXPECT_EQ(FindUsbVendorPorts(c.vendors), c.expected) << name;
  }
  EXPECT_EQ(cm.SizeQueries(), static_cast<long>(std::size(cases)));
}

TEST(WindowsVendorNarrowing, AListThatGrowsBetweenItsSizeAndItsFetchIsAskedForAgain) {
  ConfigManagerDouble cm;
  VELKOR_REQUIRE_DOUBLE(cm);
  cm.Add(L"USB\\VID_16C0&PID_0483\\1", L"X (COM7)");
  cm.Add(L"USB\\VID_16C0&PID_0483\\2", L"X (COM21)", ConfigManagerDouble::kConnected, true);
  cm.Add(L"USB\\VID_16C0&PID_0483\\3", L"X (COM22)", ConfigManagerDouble::kConnected, true);
  EXPECT_EQ(FindUsbVendorPorts({"16C0"}), (PortNameSet{"COM7", "COM21", "COM22"}));
  EXPECT_EQ(cm.SizeQueries(), 3) << "each CR_BUFFER_SMALL asks for the size again";
  EXPECT_EQ(cm.Fetches(), 3);
}

TEST(WindowsVendorNarrowing, AnUnpairedSurrogateEndsTheCallWithARangeError) {
  const wchar_t unpaired[] = {L'X', L' ', static_cast<wchar_t>(0xD83D), L' ', L'(', L'C', L'O', L'M', L'5', L')', 0};
  const wchar_t lone_low[] = {L'(', L'C', L'O', L'M', L'6', L')', static_cast<wchar_t>(0xDC00), 0};
  for (const wchar_t* friendly_name : {unpaired, lone_low}) {
    ConfigManagerDouble cm;
    VELKOR_REQUIRE_DOUBLE(cm);
    cm.Add(L"USB\\VID_16C0&PID_0483\\1", friendly_name);
    try {
      FindUsbVendorPorts({"16C0"});
      ADD_FAILURE() << "no range error";
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
}
