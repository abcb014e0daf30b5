#include "Velkor/HardwareAPI/SerialDeviceProvider.hpp"

#include <algorithm>

#include "Velkor/HardwareAPI/Log.hpp"

namespace Velkor::HardwareAPI {

const std::vector<std::string> Vorlan3VendorIds = {"16C0"};
const std::vector<std::string> HandleVendorIds = {"1A86", "10C4", "2FE3"};
const std::vector<std::string> UnprobedHandleVendorIds = {"2FE3"};
const std::vector<std::string> WiredHandleVendorIds = {"1A86", "10C4"};
const std::vector<std::string> WirelessHandleVendorIds = {"1A86", "10C4"};

namespace {

// The texts and numbers are those of the Windows registry walk; the sysfs walk
// reports its analogous failures with them.
constexpr LogSite kCannotAccessPortMap{"Library/src/SerialDeviceProvider", 115,
                                       "unable to access registry key: %s"};
constexpr LogSite kCannotListPortMap{"Library/src/SerialDeviceProvider", 137,
                                     "unable to enum values for registry key: %s"};

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool IsUsbSerialBridge(const std::string& driver) {
  static const char* const kBridges[] = {"cp210x", "ch341", "ftdi_sio", "pl2303"};
  return std::any_of(std::begin(kBridges), std::end(kBridges),
                     [&](const char* bridge) { return driver == bridge; });
}

bool IsOnBoardUart(const std::string& driver) {
  return driver == "serial8250" || driver == "serial";
}

bool ListTtys(const std::string& sys_root, const std::string& dev_root, bool log,
              Platform::TtyListing& listing) {
  listing = Platform::ListTtyDevices(sys_root, dev_root);
  if (listing.status == Platform::TtyListingStatus::Ok) return true;
  if (log) {
    const LogSite& site = listing.status == Platform::TtyListingStatus::OpenFailed
                              ? kCannotAccessPortMap
                              : kCannotListPortMap;
    LogError(site.file, site.line, listing.error, site.message, listing.class_path.c_str());
  }
  return false;
}

}  // namespace

PortKind ClassifyTtyDevice(const Platform::TtyDeviceRecord& device) {
  // rfcomm terminals move between devices/virtual and their HCI device as they
  // connect, so only the name is steady.
  if (StartsWith(device.name, "rfcomm")) return PortKind::Bluetooth;
  if (device.driver == "cdc_acm") return PortKind::UsbCdc;
  if (device.on_usb_serial_bus || IsUsbSerialBridge(device.driver)) return PortKind::Serial;
  if (device.is_uart || IsOnBoardUart(device.driver)) return PortKind::Serial;
  return PortKind::None;
}

std::vector<SerialPortEntry> EnumerateSerialPorts(const std::string& sys_root,
                                                  const std::string& dev_root) {
  Platform::TtyListing listing;
  if (!ListTtys(sys_root, dev_root, true, listing)) return {};
  std::vector<SerialPortEntry> ports;
  for (const Platform::TtyDeviceRecord& device : listing.devices) {
    const PortKind kind = ClassifyTtyDevice(device);
    if (kind != PortKind::None) ports.push_back({device.dev_path, kind});
  }
  // Directory order changes as devices come and go; callers need a steady one.
  std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
    return a.port_name < b.port_name;
  });
  return ports;
}

PortNameSet FindUsbVendorPorts(const std::vector<std::string>& vendor_ids,
                               const std::string& sys_root, const std::string& dev_root) {
  Platform::TtyListing listing;
  if (!ListTtys(sys_root, dev_root, false, listing)) return {};
  PortNameSet names;
  for (const Platform::TtyDeviceRecord& device : listing.devices) {
    if (ClassifyTtyDevice(device) == PortKind::None) continue;
    if (VendorMatches(device.vendor_id, vendor_ids)) names.insert(device.dev_path);
  }
  return names;
}

bool VendorMatches(const std::string& vendor_id, const std::vector<std::string>& vendor_ids) {
  if (vendor_ids.empty()) return true;
  if (vendor_id.empty()) return false;
  return std::any_of(vendor_ids.begin(), vendor_ids.end(), [&](const std::string& wanted) {
    return vendor_id.find(wanted) != std::string::npos;
  });
}

PortKind ClassifyDeviceObjectName(const std::string& name) {
  if (Contains(name, "\\USBSER")) return PortKind::UsbCdc;
  if (Contains(name, "\\Silabser")) return PortKind::Serial;
  if (Contains(name, "\\Serial")) return PortKind::Serial;
  if (Contains(name, "\\BthModem")) return PortKind::Bluetooth;
  return PortKind::None;
}

std::string PortNameFromFriendlyName(const std::string& name) {
  const std::string upper = UpperAscii(name);
  if (upper.empty()) return {};
  const size_t open = upper.rfind('(');
  if (open == std::string::npos) return {};
  std::string port = upper.substr(open, upper.size() - 1);
  if (!Contains(port, "COM")) return {};
  if (!port.empty() && port.front() == '(') port.erase(0, 1);
  if (!port.empty() && port.back() == ')') port.pop_back();
  return port;
}

std::string UsbVendorIdFromInstanceId(const std::string& id) {
  const std::vector<std::string> fields = SplitString(UpperAscii(id), "&");
  if (fields.size() < 2) return {};
  if (!Contains(fields.front(), "VID_")) return {};
  const std::vector<std::string> parts = SplitString(fields.front(), "_");
  return parts.empty() ? std::string() : parts.back();
}

std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter) {
  if (text.empty()) return {};
  if (delimiter.empty()) return {text};
  std::vector<std::string> pieces;
  size_t position = 0;
  for (;;) {
    const size_t found = text.find(delimiter, position);
    if (found == std::string::npos) {
      pieces.push_back(text.substr(position));
      return pieces;
    }
    if (found > position) pieces.push_back(text.substr(position, found - position));
    position = found + delimiter.size();
  }
}

}  // namespace Velkor::HardwareAPI
