#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Velkor::HardwareAPI::Platform {

// One terminal the kernel lists, with what its driver chain says about it.
struct TtyDeviceRecord {
  std::string name;      // kernel name, such as ttyACM0
  std::string dev_path;  // <dev_root>/<name>
  // The first bound driver above the serial core's own port and controller
  // devices; empty when none is bound (virtual terminals, unconnected rfcomm).
  std::string driver;
  bool on_usb_serial_bus = false;
  bool is_uart = false;   // a serial-core port with a UART behind it
  std::string vendor_id;  // the USB ancestor's idVendor, upper-case; empty off USB
};

enum class TtyListingStatus { Ok, OpenFailed, ReadFailed };

struct TtyListing {
  TtyListingStatus status = TtyListingStatus::Ok;
  int32_t error = 0;       // errno of the failed call
  std::string class_path;  // the directory that was listed
  std::vector<TtyDeviceRecord> devices;
};

// Lists <sys_root>/class/tty in directory order. Terminals without a node
// under dev_root cannot be opened and are left out, and so are serial-core
// ports of type 0, which have no UART behind them, and the active consoles.
TtyListing ListTtyDevices(const std::string& sys_root, const std::string& dev_root);

}  // namespace Velkor::HardwareAPI::Platform
