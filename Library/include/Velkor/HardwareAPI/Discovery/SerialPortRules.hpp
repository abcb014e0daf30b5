#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Velkor::HardwareAPI {

// The class of driver that serves a port; decides which detect functions try it.
enum class PortKind : int32_t { None = 0, UsbCdc = 1, Serial = 2, Bluetooth = 3 };

struct SerialPortEntry {
  std::string port_name;  // the name the serial layer opens, such as COM3 or /dev/ttyACM0
  PortKind kind;          // never PortKind::None
};

// True when vendor_ids is empty, or when vendor_id is not empty and holds one of
// them as a substring.
bool VendorMatches(const std::string& vendor_id, const std::vector<std::string>& vendor_ids);

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
