#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Discovery/SerialPortRules.hpp"

namespace Velkor::HardwareAPI::Platform {

// What discovery asks of the platform. sys_root and dev_root are where the POSIX
// layer reads its device tree (tests lay out a fake one there); the Windows
// registry and configuration manager have no such roots and ignore them.

enum class PortMapStatus { Ok, OpenFailed, ReadFailed };

// The serial ports that can be opened now, from the platform's map of them.
struct PortMap {
  PortMapStatus status = PortMapStatus::Ok;
  int32_t error = 0;    // code of the failed call, for the log line
  std::string source;   // what was read: the registry key, the sysfs folder
  // The map itself does not exist (OpenFailed): Windows creates SERIALCOMM
  // only once a serial port appears, so this is a machine without serial ports.
  bool absent = false;
  std::vector<SerialPortEntry> ports;  // stable order between calls; no PortKind::None
  // Ports of the map whose driver is none of the kinds above (on Windows a
  // device object such as \Device\VCP0): never probed, only listed for people.
  std::vector<std::string> other_ports;
};

PortMap ReadPortMap(const std::string& sys_root, const std::string& dev_root);

// A serial-port device the platform knows, whether connected now or only remembered.
struct KnownPort {
  std::string port_name;
  std::string vendor_id;  // USB vendor, four upper-case hexadecimal digits; empty off USB
};

// Empty when the device database cannot be read.
std::vector<KnownPort> ListKnownPorts(const std::string& sys_root, const std::string& dev_root);

// The POSIX layer's own walk of the kernel's terminals, below ReadPortMap.
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
