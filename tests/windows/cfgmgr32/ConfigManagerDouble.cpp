// A stand-in for the configuration manager (cfgmgr32.dll) with scripted
// devices, for the vendor-narrowing tests. Wine's own lacks
// CM_Get_Device_Interface_PropertyW, so without this the narrowing never runs
// there. scripts/test-windows.sh puts it in the test prefix's system folder and
// runs only the narrowing tests with a DLL override that prefers it.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using CONFIGRET_ = DWORD;
constexpr CONFIGRET_ kCrSuccess = 0;
constexpr CONFIGRET_ kCrInvalidPointer = 3;
constexpr CONFIGRET_ kCrNoSuchDevnode = 13;
constexpr CONFIGRET_ kCrBufferSmall = 26;
constexpr CONFIGRET_ kCrNoSuchValue = 37;
constexpr ULONG kPropString = 0x12;
constexpr ULONG kLocatePhantom = 1;

struct DevPropKey {
  GUID fmtid;
  ULONG pid;
};
constexpr GUID kDeviceProperties{0x78C34FC8, 0x104A, 0x4ACA, {0x9E, 0xA4, 0x52, 0x4D, 0x52, 0x99, 0x6E, 0x57}};
constexpr GUID kNameProperties{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}};

bool IsInstanceIdKey(const DevPropKey* key) {
  return key != nullptr && std::memcmp(&key->fmtid, &kDeviceProperties, sizeof(GUID)) == 0 && key->pid == 256;
}
bool IsFriendlyNameKey(const DevPropKey* key) {
  return key != nullptr && std::memcmp(&key->fmtid, &kNameProperties, sizeof(GUID)) == 0 && key->pid == 14;
}

struct Device {
  std::wstring interface_path;
  std::wstring instance_id;  // also the node's
  std::wstring friendly_name;
  ULONG interface_property_type = kPropString;
  bool phantom = false;  // remembered, not connected
};

std::vector<Device> devices;
std::vector<Device> arriving;  // each joins the list at the next fetch, which then finds its buffer too small
long size_queries = 0;
long fetches = 0;

std::vector<wchar_t> InterfaceList() {
  std::vector<wchar_t> list;
  for (const Device& d : devices) {
    list.insert(list.end(), d.interface_path.begin(), d.interface_path.end());
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  return list;
}

const Device* ByInterface(const wchar_t* path) {
  for (const Device& d : devices) {
    if (path != nullptr && d.interface_path == path) return &d;
  }
  return nullptr;
}

CONFIGRET_ CopyString(const std::wstring& text, ULONG* type, BYTE* buffer, ULONG* size) {
  const ULONG needed = static_cast<ULONG>((text.size() + 1) * sizeof(wchar_t));
  if (*size < needed) {
    *size = needed;
    return kCrBufferSmall;
  }
  std::memcpy(buffer, text.c_str(), needed);
  *size = needed;
  *type = kPropString;
  return kCrSuccess;
}

}  // namespace

extern "C" {

// Scripting, for the tests.
__declspec(dllexport) void VelkorCmDouble_Reset() {
  devices.clear();
  arriving.clear();
  size_queries = 0;
  fetches = 0;
}

// flags: 1 phantom; 2 the interface's instance identifier is no string.
__declspec(dllexport) void VelkorCmDouble_AddDevice(const wchar_t* interface_path, const wchar_t* instance_id,
                                                    const wchar_t* friendly_name, int flags, int arrives_later) {
  Device d;
  d.interface_path = interface_path;
  d.instance_id = instance_id;
  d.friendly_name = friendly_name;
  d.phantom = (flags & 1) != 0;
  if ((flags & 2) != 0) d.interface_property_type = 0x11;  // DEVPROP_TYPE_SECURITY_DESCRIPTOR_STRING
  (arrives_later ? arriving : devices).push_back(d);
}

__declspec(dllexport) long VelkorCmDouble_SizeQueries() { return size_queries; }
__declspec(dllexport) long VelkorCmDouble_Fetches() { return fetches; }

// The configuration manager's calls that the library loads.
__declspec(dllexport) CONFIGRET_ WINAPI CM_Get_Device_Interface_List_SizeA(PULONG length, LPGUID, PCSTR, ULONG) {
  if (length == nullptr) return kCrInvalidPointer;
  ++size_queries;
  *length = static_cast<ULONG>(InterfaceList().size());
  return kCrSuccess;
}

__declspec(dllexport) CONFIGRET_ WINAPI CM_Get_Device_Interface_ListW(LPGUID, PCWSTR, PWSTR buffer, ULONG length,
                                                                     ULONG) {
  ++fetches;
  if (!arriving.empty()) {
    devices.push_back(arriving.front());
    arriving.erase(arriving.begin());
  }
  const std::vector<wchar_t> list = InterfaceList();
  if (list.size() > length) return kCrBufferSmall;
  std::memcpy(buffer, list.data(), list.size() * sizeof(wchar_t));
  return kCrSuccess;
}

__declspec(dllexport) CONFIGRET_ WINAPI CM_Get_Device_Interface_PropertyW(PCWSTR interface_path, const DevPropKey* key,
                                                                         ULONG* type, PBYTE buffer, PULONG size,
                                                                         ULONG) {
  const Device* d = ByInterface(interface_path);
  if (d == nullptr) return kCrNoSuchDevnode;
  if (!IsInstanceIdKey(key)) return kCrNoSuchValue;
  const CONFIGRET_ r = CopyString(d->instance_id, type, buffer, size);
  if (r == kCrSuccess) *type = d->interface_property_type;
  return r;
}

__declspec(dllexport) CONFIGRET_ WINAPI CM_Locate_DevNodeW(DWORD* node, const wchar_t* instance_id, ULONG flags) {
  for (size_t i = 0; i < devices.size(); ++i) {
    if (instance_id == nullptr || devices[i].instance_id != instance_id) continue;
    if (devices[i].phantom && (flags & kLocatePhantom) == 0) return kCrNoSuchDevnode;
    *node = static_cast<DWORD>(i + 1);
    return kCrSuccess;
  }
  return kCrNoSuchDevnode;
}

__declspec(dllexport) CONFIGRET_ WINAPI CM_Get_DevNode_PropertyW(DWORD node, const DevPropKey* key, ULONG* type,
                                                                PBYTE buffer, PULONG size, ULONG) {
  if (node == 0 || node > devices.size()) return kCrNoSuchDevnode;
  const Device& d = devices[node - 1];
  if (IsFriendlyNameKey(key)) return CopyString(d.friendly_name, type, buffer, size);
  if (IsInstanceIdKey(key)) return CopyString(d.instance_id, type, buffer, size);
  return kCrNoSuchValue;
}

}  // extern "C"
