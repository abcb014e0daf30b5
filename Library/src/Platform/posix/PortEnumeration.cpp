#include "Velkor/HardwareAPI/Platform/PortEnumeration.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace Velkor::HardwareAPI::Platform {
namespace {

namespace fs = std::filesystem;

// A tty sits at most a few levels below its USB device; the bound keeps a
// malformed tree from walking far.
constexpr int kMaxWalkUp = 16;

// sysfs attributes are one line with a trailing newline.
bool ReadAttribute(const fs::path& path, std::string& value) {
  std::ifstream in(path);
  if (!in || !std::getline(in, value)) return false;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  return true;
}

// <dir>/driver points at .../bus/<bus>/drivers/<name>.
bool ReadDriverLink(const fs::path& dir, std::string& name, std::string& bus) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(dir / "driver", ec);
  if (ec) return false;
  name = target.filename().string();
  bus = target.parent_path().parent_path().filename().string();
  return true;
}

std::string UsbVendorAbove(fs::path dir, const fs::path& sys_root) {
  for (int i = 0; i < kMaxWalkUp && dir != sys_root && dir.has_relative_path(); ++i) {
    std::string vendor;
    if (ReadAttribute(dir / "idVendor", vendor)) {
      for (char& c : vendor) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return vendor;
    }
    dir = dir.parent_path();
  }
  return {};
}

// Since 6.5 a UART's tty hangs below serial-base "port" and "ctrl" devices;
// the hardware's own driver is above them.
void ReadDriverChain(const fs::path& tty_dir, const fs::path& sys_root, TtyDeviceRecord& record) {
  std::error_code ec;
  fs::path device = fs::canonical(tty_dir / "device", ec);
  if (ec) return;
  for (int i = 0; i < kMaxWalkUp; ++i) {
    std::string name, bus;
    if (!ReadDriverLink(device, name, bus)) break;
    if (bus != "serial-base") {
      record.driver = name;
      record.on_usb_serial_bus = bus == "usb-serial";
      break;
    }
    device = device.parent_path();
  }
  record.vendor_id = UsbVendorAbove(device, sys_root);
}

std::string DevPath(const std::string& dev_root, const std::string& name) {
  if (!dev_root.empty() && dev_root.back() == '/') return dev_root + name;
  return dev_root + "/" + name;
}

// The terminals the kernel writes its console to, such as "tty0 ttyS0".
std::set<std::string> ActiveConsoles(const std::string& class_path) {
  std::set<std::string> names;
  std::ifstream active(class_path + "/console/active");
  std::string name;
  while (active >> name) names.insert(name);
  return names;
}

bool IsUsbSerialBridge(const std::string& driver) {
  static const char* const kBridges[] = {"cp210x", "ch341", "ftdi_sio", "pl2303"};
  return std::any_of(std::begin(kBridges), std::end(kBridges),
                     [&](const char* bridge) { return driver == bridge; });
}

bool IsOnBoardUart(const std::string& driver) {
  return driver == "serial8250" || driver == "serial";
}

PortKind ClassifyTtyDevice(const TtyDeviceRecord& device) {
  // rfcomm terminals move between devices/virtual and their HCI device as they
  // connect, so only the name is steady.
  if (device.name.rfind("rfcomm", 0) == 0) return PortKind::Bluetooth;
  if (device.driver == "cdc_acm") return PortKind::UsbCdc;
  if (device.on_usb_serial_bus || IsUsbSerialBridge(device.driver)) return PortKind::Serial;
  if (device.is_uart || IsOnBoardUart(device.driver)) return PortKind::Serial;
  return PortKind::None;
}

}  // namespace

PortMap ReadPortMap(const std::string& sys_root, const std::string& dev_root) {
  const TtyListing listing = ListTtyDevices(sys_root, dev_root);
  PortMap map;
  map.source = listing.class_path;
  map.error = listing.error;
  if (listing.status != TtyListingStatus::Ok) {
    map.status = listing.status == TtyListingStatus::OpenFailed ? PortMapStatus::OpenFailed
                                                                : PortMapStatus::ReadFailed;
    return map;
  }
  for (const TtyDeviceRecord& device : listing.devices) {
    const PortKind kind = ClassifyTtyDevice(device);
    if (kind != PortKind::None) map.ports.push_back({device.dev_path, kind});
  }
  // Directory order changes as devices come and go; callers need a steady one.
  std::sort(map.ports.begin(), map.ports.end(),
            [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.port_name < b.port_name; });
  return map;
}

// sysfs forgets a device once it is unplugged, so only connected ones are known here.
std::vector<KnownPort> ListKnownPorts(const std::string& sys_root, const std::string& dev_root) {
  const TtyListing listing = ListTtyDevices(sys_root, dev_root);
  std::vector<KnownPort> ports;
  if (listing.status != TtyListingStatus::Ok) return ports;
  for (const TtyDeviceRecord& device : listing.devices) {
    if (ClassifyTtyDevice(device) != PortKind::None) ports.push_back({device.dev_path, device.vendor_id});
  }
  return ports;
}

TtyListing ListTtyDevices(const std::string& sys_root, const std::string& dev_root) {
  TtyListing listing;
  listing.class_path = sys_root + "/class/tty";
  DIR* dir = opendir(listing.class_path.c_str());
  if (dir == nullptr) {
    listing.status = TtyListingStatus::OpenFailed;
    listing.error = errno;
    return listing;
  }
  std::error_code ec;
  fs::path sys_canonical = fs::canonical(sys_root, ec);
  if (ec) sys_canonical = sys_root;
  const std::set<std::string> consoles = ActiveConsoles(listing.class_path);

  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        listing.status = TtyListingStatus::ReadFailed;
        listing.error = errno;
        listing.devices.clear();
      }
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // The kernel's own console is no device port: probing it would reconfigure
    // the console line and write to it.
    if (consoles.count(name) != 0) continue;

    TtyDeviceRecord record;
    record.name = name;
    record.dev_path = DevPath(dev_root, name);
    struct stat node;
    if (stat(record.dev_path.c_str(), &node) != 0) continue;

    const fs::path tty_dir = fs::path(listing.class_path) / name;
    std::string type;
    if (ReadAttribute(tty_dir / "type", type)) {
      if (std::strtol(type.c_str(), nullptr, 10) == 0) continue;
      record.is_uart = true;
    }
    ReadDriverChain(tty_dir, sys_canonical, record);
    listing.devices.push_back(std::move(record));
  }
  closedir(dir);
  return listing;
}

}  // namespace Velkor::HardwareAPI::Platform
