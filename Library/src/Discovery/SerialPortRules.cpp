#include "Velkor/HardwareAPI/Discovery/SerialPortRules.hpp"

#include <algorithm>

namespace Velkor::HardwareAPI {

namespace {

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

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
