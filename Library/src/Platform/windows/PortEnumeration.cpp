#include <windows.h>

#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Platform/PortEnumeration.hpp"

namespace Velkor::HardwareAPI::Platform {

namespace {

constexpr const char* kPortMapKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kValueCapacity = 260;
constexpr ULONG kInterfacePropertyBytes = 400;
constexpr ULONG kNodePropertyBytes = 4096;

// The configuration manager's types and constants, declared here because its
// functions are looked up at run time: a system that lacks some of them still
// enumerates ports, only without vendor narrowing.
using CONFIGRET_ = DWORD;
using DEVINST_ = DWORD;
using DEVPROPTYPE_ = ULONG;
struct DEVPROPKEY_ {
  GUID fmtid;
  ULONG pid;
};
constexpr CONFIGRET_ kCrSuccess = 0;
constexpr CONFIGRET_ kCrBufferSmall = 26;
constexpr ULONG kListAllDevices = 1;  // CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES
constexpr ULONG kLocatePhantom = 1;   // CM_LOCATE_DEVNODE_PHANTOM
constexpr DEVPROPTYPE_ kPropString = 0x12;
constexpr GUID kComPortInterface{0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr DEVPROPKEY_ kInstanceIdKey{{0x78C34FC8, 0x104A, 0x4ACA, {0x9E, 0xA4, 0x52, 0x4D, 0x52, 0x99, 0x6E, 0x57}}, 256};
constexpr DEVPROPKEY_ kFriendlyNameKey{{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

using ListSizeA = CONFIGRET_(WINAPI*)(PULONG, LPGUID, PCSTR, ULONG);
using ListW = CONFIGRET_(WINAPI*)(LPGUID, PCWSTR, PWSTR, ULONG, ULONG);
using InterfacePropertyW = CONFIGRET_(WINAPI*)(PCWSTR, const DEVPROPKEY_*, DEVPROPTYPE_*, PBYTE, PULONG, ULONG);
using LocateDevNodeW = CONFIGRET_(WINAPI*)(DEVINST_*, PCWSTR, ULONG);
using DevNodePropertyW = CONFIGRET_(WINAPI*)(DEVINST_, const DEVPROPKEY_*, DEVPROPTYPE_*, PBYTE, PULONG, ULONG);

struct ConfigManager {
  ListSizeA list_size = nullptr;
  ListW list = nullptr;
  InterfacePropertyW interface_property = nullptr;
  LocateDevNodeW locate = nullptr;
  DevNodePropertyW node_property = nullptr;
};

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return function != nullptr;
}

class Library {
 public:
  explicit Library(const wchar_t* name) : module_(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}
  ~Library() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  HMODULE Module() const { return module_; }

 private:
  HMODULE module_;
};

// Stops at the first function the system does not export.
bool LoadConfigManager(const Library& library, ConfigManager& cm) {
  const HMODULE module = library.Module();
  if (module == nullptr) return false;
  return Resolve(module, "CM_Get_Device_Interface_List_SizeA", cm.list_size) &&
         Resolve(module, "CM_Get_Device_Interface_ListW", cm.list) &&
         Resolve(module, "CM_Get_Device_Interface_PropertyW", cm.interface_property) &&
         Resolve(module, "CM_Locate_DevNodeW", cm.locate) &&
         Resolve(module, "CM_Get_DevNode_PropertyW", cm.node_property);
}

// Up to the first NUL; an unpaired surrogate is a range error, as the standard
// converters report it.
std::string Utf16ToUtf8(const wchar_t* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i] != L'\0'; ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      const uint32_t low = i + 1 < capacity ? static_cast<uint16_t>(text[i + 1]) : 0;
      if (low < 0xDC00 || low > 0xDFFF) throw std::range_error("bad conversion");
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      throw std::range_error("bad conversion");
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool NodeString(const ConfigManager& cm, DEVINST_ node, const DEVPROPKEY_& key, std::string& value) {
  wchar_t buffer[kNodePropertyBytes / sizeof(wchar_t)] = {};
  DEVPROPTYPE_ type = 0;
  ULONG size = kNodePropertyBytes;
  if (cm.node_property(node, &key, &type, reinterpret_cast<PBYTE>(buffer), &size, 0) != kCrSuccess ||
      type != kPropString) {
    return false;
  }
  value = Utf16ToUtf8(buffer, size / sizeof(wchar_t));
  return true;
}

// One device interface of the list: its port name and USB vendor, if it has both texts.
bool DescribeInterface(const ConfigManager& cm, const wchar_t* interface_path, KnownPort& port) {
  wchar_t instance_id[kInterfacePropertyBytes / sizeof(wchar_t)] = {};
  DEVPROPTYPE_ type = 0;
  ULONG size = kInterfacePropertyBytes;
  if (cm.interface_property(interface_path, &kInstanceIdKey, &type, reinterpret_cast<PBYTE>(instance_id), &size,
                            0) != kCrSuccess ||
      type != kPropString) {
    return false;
  }
  DEVINST_ node = 0;
  if (cm.locate(&node, instance_id, kLocatePhantom) != kCrSuccess) return false;
  std::string friendly_name;
  if (!NodeString(cm, node, kFriendlyNameKey, friendly_name)) return false;
  port.port_name = PortNameFromFriendlyName(friendly_name);
  if (port.port_name.empty()) return false;
  std::string node_instance_id;
  if (!NodeString(cm, node, kInstanceIdKey, node_instance_id)) return false;
  port.vendor_id = UsbVendorIdFromInstanceId(node_instance_id);
  return true;
}

class HeapBlock {
 public:
  explicit HeapBlock(size_t bytes)
      : heap_(::GetProcessHeap()), data_(heap_ != nullptr ? ::HeapAlloc(heap_, HEAP_ZERO_MEMORY, bytes) : nullptr) {}
  ~HeapBlock() {
    if (data_ != nullptr) ::HeapFree(heap_, 0, data_);
  }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  wchar_t* Text() const { return static_cast<wchar_t*>(data_); }

 private:
  HANDLE heap_;
  void* data_;
};

}  // namespace

PortMap ReadPortMap(const std::string&, const std::string&) {
  PortMap map;
  map.source = kPortMapKey;
  HKEY key = nullptr;
  const LONG opened = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortMapKey, 0, STANDARD_RIGHTS_READ | KEY_QUERY_VALUE, &key);
  if (opened != ERROR_SUCCESS) {
    map.status = PortMapStatus::OpenFailed;
    map.error = opened;
    map.absent = opened == ERROR_FILE_NOT_FOUND;
    return map;
  }
  for (DWORD index = 0;; ++index) {
    char name[kValueCapacity] = {};
    BYTE data[kValueCapacity] = {};
    DWORD name_size = kValueCapacity;
    DWORD data_size = kValueCapacity;
    const LONG status = ::RegEnumValueA(key, index, name, &name_size, nullptr, nullptr, data, &data_size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      map.status = PortMapStatus::ReadFailed;
      map.error = status;
      map.ports.clear();
      map.other_ports.clear();
      break;
    }
    const PortKind kind = ClassifyDeviceObjectName(std::string(name, name_size));
    // String data carries its terminating NUL inside the reported size.
    std::string port_name;
    for (DWORD i = 0; i < data_size && i < kValueCapacity; ++i) {
      if (data[i] != 0) port_name.push_back(static_cast<char>(data[i]));
    }
    if (kind == PortKind::None) {
      if (!port_name.empty()) map.other_ports.push_back(port_name);
      continue;
    }
    map.ports.push_back({port_name, kind});
  }
  ::RegCloseKey(key);
  return map;
}

std::vector<KnownPort> ListKnownPorts(const std::string&, const std::string&) {
  std::vector<KnownPort> ports;
  const Library library(L"cfgmgr32.dll");
  ConfigManager cm;
  if (!LoadConfigManager(library, cm)) return ports;
  GUID interface_class = kComPortInterface;
  for (;;) {
    ULONG length = 0;
    if (cm.list_size(&length, &interface_class, nullptr, kListAllDevices) != kCrSuccess) return ports;
    HeapBlock list(static_cast<size_t>(length) * sizeof(wchar_t));
    if (list.Text() == nullptr) return ports;
    // The list may grow between the two calls; then ask for its length again.
    if (cm.list(&interface_class, nullptr, list.Text(), length, kListAllDevices) == kCrBufferSmall) continue;
    const wchar_t* const end = list.Text() + length;
    for (const wchar_t* path = list.Text(); path < end && *path != L'\0';
         path += ::wcsnlen(path, static_cast<size_t>(end - path)) + 1) {
      KnownPort port;
      if (DescribeInterface(cm, path, port)) ports.push_back(std::move(port));
    }
    return ports;
  }
}

}  // namespace Velkor::HardwareAPI::Platform
