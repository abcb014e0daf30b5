#include "support/FakeSysfs.hpp"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace Velkor::Testing {

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// sysfs links are relative, which also keeps the tree valid wherever it lives.
void Link(const fs::path& link, const fs::path& target) {
  if (fs::is_symlink(link)) return;
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

}  // namespace

FakeSysfs::FakeSysfs() {
  std::string pattern = (fs::temp_directory_path() / "velkor-sysfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  sys_ = root_ / "sys";
  dev_ = root_ / "dev";
  fs::create_directories(sys_ / "class" / "tty");
  fs::create_directories(dev_);
  const fs::path hub = sys_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1";
  WriteFile(hub / "idVendor", "1d6b\n");
  Link(hub / "driver", Driver("usb", "usb"));
}

FakeSysfs::~FakeSysfs() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

fs::path FakeSysfs::Driver(const std::string& bus, const std::string& name) {
  const fs::path driver = sys_ / "bus" / bus / "drivers" / name;
  fs::create_directories(driver);
  return driver;
}

fs::path FakeSysfs::AddUsbDevice(const std::string& vendor) {
  const std::string port = "1-" + std::to_string(++usb_ports_);
  const fs::path device = sys_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
  WriteFile(device / "idVendor", vendor + "\n");
  WriteFile(device / "idProduct", "0001\n");
  Link(device / "driver", Driver("usb", "usb"));
  const fs::path interface = device / (port + ":1.0");
  fs::create_directories(interface);
  return interface;
}

void FakeSysfs::AddTtyDir(const fs::path& tty_dir, const fs::path& device, bool with_dev_node) {
  const std::string name = tty_dir.filename().string();
  WriteFile(tty_dir / "dev", "166:0\n");
  if (!device.empty()) Link(tty_dir / "device", device);
  Link(sys_ / "class" / "tty" / name, tty_dir);
  if (with_dev_node) AddDevNode(name);
}

void FakeSysfs::AddCdcAcm(const std::string& name, const std::string& vendor, bool with_dev_node) {
  AddUsbInterfaceTty(name, "cdc_acm", vendor, with_dev_node);
}

void FakeSysfs::AddUsbInterfaceTty(const std::string& name, const std::string& driver,
                                   const std::string& vendor, bool with_dev_node) {
  const fs::path interface = AddUsbDevice(vendor);
  Link(interface / "driver", Driver("usb", driver));
  AddTtyDir(interface / "tty" / name, interface, with_dev_node);
}

void FakeSysfs::AddUsbSerial(const std::string& name, const std::string& driver,
                             const std::string& vendor, bool with_dev_node) {
  const fs::path interface = AddUsbDevice(vendor);
  Link(interface / "driver", Driver("usb", driver));
  const fs::path port = interface / name;
  Link(port / "driver", Driver("usb-serial", driver));
  AddTtyDir(port / "tty" / name, port, with_dev_node);
}

void FakeSysfs::AddRfcomm(const std::string& name, bool with_dev_node) {
  AddVirtualTty(name, with_dev_node);
}

void FakeSysfs::AddVirtualTty(const std::string& name, bool with_dev_node) {
  AddTtyDir(sys_ / "devices" / "virtual" / "tty" / name, fs::path(), with_dev_node);
}

void FakeSysfs::AddPlatformUart(const std::string& name, int type, bool with_dev_node) {
  const fs::path platform = sys_ / "devices" / "platform" / "serial8250";
  Link(platform / "driver", Driver("platform", "serial8250"));
  const fs::path ctrl = platform / "serial8250:0";
  Link(ctrl / "driver", Driver("serial-base", "ctrl"));
  const size_t digits = name.find_first_of("0123456789");
  const std::string index = digits == std::string::npos ? "0" : name.substr(digits);
  const fs::path port = ctrl / ("serial8250:0." + index);
  Link(port / "driver", Driver("serial-base", "port"));
  const fs::path tty_dir = port / "tty" / name;
  WriteFile(tty_dir / "type", std::to_string(type) + "\n");
  AddTtyDir(tty_dir, port, with_dev_node);
}

void FakeSysfs::AddDevNode(const std::string& name, const std::string& target_path) {
  RemoveDevNode(name);
  if (target_path.empty()) {
    WriteFile(dev_ / name, "");
  } else {
    fs::create_symlink(target_path, dev_ / name);
  }
}

void FakeSysfs::RemoveDevNode(const std::string& name) {
  std::error_code ec;
  fs::remove(dev_ / name, ec);
}

}  // namespace Velkor::Testing
