#pragma once

#include <filesystem>
#include <string>

namespace Velkor::Testing {

// A sysfs tree and a /dev folder in a fresh temporary folder, laid out the way
// the kernel lays out terminals (6.x, with the serial-base level under UARTs).
// Removed with the object. Every Add* terminal also gets a placeholder dev node
// (an empty file) unless told otherwise; AddDevNode replaces it.
class FakeSysfs {
 public:
  FakeSysfs();
  ~FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::string SysRoot() const { return sys_.string(); }
  std::string DevRoot() const { return dev_.string(); }
  std::string DevPath(const std::string& name) const { return (dev_ / name).string(); }

  // vendor as sysfs writes idVendor, e.g. "16c0". Each call adds one USB device
  // below a root hub of vendor 1d6b.
  void AddCdcAcm(const std::string& name, const std::string& vendor, bool with_dev_node = true);
  // A tty bound straight to a USB interface by any driver (cdc_acm, hso, ...).
  void AddUsbInterfaceTty(const std::string& name, const std::string& driver,
                          const std::string& vendor, bool with_dev_node = true);
  // A bridge on the usb-serial bus: 1-N:1.0/<name> bound to driver, tty below.
  void AddUsbSerial(const std::string& name, const std::string& driver, const std::string& vendor,
                    bool with_dev_node = true);
  // An unconnected rfcomm terminal, under devices/virtual/tty.
  void AddRfcomm(const std::string& name, bool with_dev_node = true);
  // A terminal with no device behind it (tty0, ptmx, console).
  void AddVirtualTty(const std::string& name, bool with_dev_node = true);
  // serial8250 platform device -> serial-base ctrl -> port -> tty; type 0
  // means no UART answered at that address.
  void AddPlatformUart(const std::string& name, int type, bool with_dev_node = true);

  // <dev>/<name>: a symlink to target_path, or an empty file when it is empty.
  void AddDevNode(const std::string& name, const std::string& target_path = "");
  void RemoveDevNode(const std::string& name);

 private:
  std::filesystem::path AddUsbDevice(const std::string& vendor);
  std::filesystem::path Driver(const std::string& bus, const std::string& name);
  void AddTtyDir(const std::filesystem::path& tty_dir, const std::filesystem::path& device,
                 bool with_dev_node);

  std::filesystem::path root_;
  std::filesystem::path sys_;
  std::filesystem::path dev_;
  int usb_ports_ = 0;
};

}  // namespace Velkor::Testing
