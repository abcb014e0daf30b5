#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Platform/PortEnumeration.hpp"

namespace Velkor::HardwareAPI {

// The class of driver that serves a port; decides which detect functions try it.
enum class PortKind : int32_t { None = 0, UsbCdc = 1, Serial = 2, Bluetooth = 3 };

struct SerialPortEntry {
  std::string port_name;  // the name the serial layer opens, such as /dev/ttyACM0
  PortKind kind;          // never PortKind::None
};

using PortNameSet = std::set<std::string>;

// USB vendor identifiers, four upper-case hexadecimal digits each.
extern const std::vector<std::string> Vorlan3VendorIds;
extern const std::vector<std::string> HandleVendorIds;
extern const std::vector<std::string> UnprobedHandleVendorIds;
extern const std::vector<std::string> WiredHandleVendorIds;
extern const std::vector<std::string> WirelessHandleVendorIds;

// Every serial port that can be opened now, with its driver class, sorted by
// port name. Empty on failure, which is logged.
std::vector<SerialPortEntry> EnumerateSerialPorts(const std::string& sys_root = "/sys",
                                                  const std::string& dev_root = "/dev");

// Names of the serial ports whose USB vendor identifier contains one of
// vendor_ids; with no vendor_ids, of every serial port. Empty on failure,
// silently: callers take an empty set as "no restriction".
PortNameSet FindUsbVendorPorts(const std::vector<std::string>& vendor_ids,
                               const std::string& sys_root = "/sys",
                               const std::string& dev_root = "/dev");

// True when vendor_ids is empty, or when vendor_id is not empty and holds one of
// them as a substring.
bool VendorMatches(const std::string& vendor_id, const std::vector<std::string>& vendor_ids);

// The driver class of one listed terminal; None for ports nobody probes.
PortKind ClassifyTtyDevice(const Platform::TtyDeviceRecord& device);

// Windows device object names such as \Device\USBSER000 (case-sensitive).
PortKind ClassifyDeviceObjectName(const std::string& name);

// "USB Serial Device (COM5)" -> "COM5"; empty when the name holds no COM port.
std::string PortNameFromFriendlyName(const std::string& name);

// "USB\VID_1A86&PID_0001\5&10&0&2" -> "1A86"; empty when there is no VID_ field.
std::string UsbVendorIdFromInstanceId(const std::string& id);

// Pieces of text between delimiters. Empty pieces are dropped, except the one
// after a trailing delimiter.
std::vector<std::string> SplitString(const std::string& text, const std::string& delimiter);

}  // namespace Velkor::HardwareAPI
