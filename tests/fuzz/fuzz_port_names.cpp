// The string rules of discovery and of port names over arbitrary bytes: what
// each rule returns is bounded by what it was given, and a name built the way
// Windows writes it gives back the part it was built from.
//
// Input: a selector byte, then the text (for SplitString, the second byte
// gives the delimiter's length, taken from the front of the text).
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.hpp"
#include "Velkor/HardwareAPI/Platform/PortPath.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

using namespace Velkor::HardwareAPI;

namespace {

bool HasLowerAscii(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Bytes of text with every '(' turned into something else: a piece that cannot
// open a parenthesised group of its own.
std::string WithoutParenthesis(std::string text) {
  std::replace(text.begin(), text.end(), '(', '[');
  return text;
}

void CheckFriendlyName(const std::string& name) {
  const std::string port = PortNameFromFriendlyName(name);
  if (!port.empty()) {
    FUZZ_CHECK(Has(port, "COM"));
    FUZZ_CHECK(!HasLowerAscii(port));
    FUZZ_CHECK(!Has(port, "("));
    FUZZ_CHECK(port.size() < name.size());
    FUZZ_CHECK(Has(Upper(name), port));
  }
  // "<anything> (COM<rest>)": the last group gives the port, upper-cased.
  const std::string rest = WithoutParenthesis(name.substr(0, std::min<size_t>(name.size(), 6)));
  const std::string built = name + " (COM" + rest + ")";
  FUZZ_CHECK(PortNameFromFriendlyName(built) == Upper("COM" + rest));
}

void CheckInstanceId(const std::string& id) {
  const std::string vendor = UsbVendorIdFromInstanceId(id);
  if (!vendor.empty()) {
    const std::string upper = Upper(id);
    FUZZ_CHECK(!HasLowerAscii(vendor));
    FUZZ_CHECK(!Has(vendor, "&") && !Has(vendor, "_"));
    FUZZ_CHECK(Has(upper, "VID_") && Has(upper, "&"));
    FUZZ_CHECK(Has(upper, vendor));
  }
  // "USB\VID_<v>&<anything>": v comes back upper-cased when it holds neither separator.
  std::string v = id.substr(0, std::min<size_t>(id.size(), 4));
  std::replace(v.begin(), v.end(), '&', 'x');
  std::replace(v.begin(), v.end(), '_', 'y');
  const std::string built = "USB\\VID_" + v + "&" + id;
  FUZZ_CHECK(UsbVendorIdFromInstanceId(built) == Upper(v));
  FUZZ_CHECK(VendorMatches(UsbVendorIdFromInstanceId(built), {}));
  if (!v.empty()) FUZZ_CHECK(VendorMatches(UsbVendorIdFromInstanceId(built), {Upper(v)}));
}

void CheckSplit(const std::string& text, const std::string& delimiter) {
  const std::vector<std::string> pieces = SplitString(text, delimiter);
  if (text.empty()) {
    FUZZ_CHECK(pieces.empty());
    return;
  }
  if (delimiter.empty()) {
    FUZZ_CHECK(pieces == std::vector<std::string>{text});
    return;
  }
  FUZZ_CHECK(!pieces.empty());
  size_t from = 0;
  size_t total = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    // Only the last piece may be empty (the one after a trailing delimiter).
    FUZZ_CHECK(!piece.empty() || i + 1 == pieces.size());
    FUZZ_CHECK(!Has(piece, delimiter));
    const size_t at = text.find(piece, from);
    FUZZ_CHECK(at != std::string::npos);
    from = at + piece.size();
    total += piece.size();
  }
  FUZZ_CHECK(total <= text.size());
  if (!Has(text, delimiter)) FUZZ_CHECK(pieces == std::vector<std::string>{text});
}

void CheckPortPath(const std::string& name) {
  const std::string path = Platform::PortPath(name);
  if (!name.empty() && name[0] == '/') {
    FUZZ_CHECK(path == name);
  } else {
    FUZZ_CHECK(path == "/dev/" + name);
  }
}

void CheckObjectName(const std::string& name) {
  const PortKind kind = ClassifyDeviceObjectName(name);
  FUZZ_CHECK(kind == PortKind::None || kind == PortKind::UsbCdc || kind == PortKind::Serial ||
             kind == PortKind::Bluetooth);
  FUZZ_CHECK((kind == PortKind::None) == !(Has(name, "\\USBSER") || Has(name, "\\Silabser") ||
                                           Has(name, "\\Serial") || Has(name, "\\BthModem")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 5) {
    case 0:
      CheckFriendlyName(text);
      break;
    case 1:
      CheckInstanceId(text);
      break;
    case 2: {
      if (text.empty()) {
        CheckSplit(text, text);
        break;
      }
      const size_t length = std::min<size_t>(static_cast<uint8_t>(text[0]) % 4, text.size() - 1);
      CheckSplit(text.substr(1 + length), text.substr(1, length));
      break;
    }
    case 3:
      CheckPortPath(text);
      break;
    default:
      CheckObjectName(text);
      break;
  }
  return 0;
}
