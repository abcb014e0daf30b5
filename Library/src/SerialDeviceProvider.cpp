#include "Velkor/HardwareAPI/SerialDeviceProvider.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <future>

#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"
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

// Watches only whether the first reply was an info or a status message; an
// error response is no proof of a handle.
struct MyHandle : Devices::Handle {
  using Devices::Handle::Handle;
  using Devices::Handle::OnReceiveHandleInfo;
  using Devices::Handle::OnReceiveHandleStatusMessage;

  void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { found = true; }
  void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                    const uint8_t*) override {
    found = true;
  }

  bool found = false;
};

void PrintProbeException(const std::exception& e) {
  std::fprintf(stderr, "%s\n", e.what());
  std::fflush(stderr);
}

bool StopRequested(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed); }

// The port name and the stop flag are borrowed by the worker; they stay alive
// because this always waits for the probe to end, also when the answer came
// too late to count or the caller asked to stop. The caller's interruption
// check is asked while waiting; the worker's waits ask the stop flag.
int32_t RunTimeLimited(int32_t (*probe)(const char*), const std::string& port_name,
                       std::chrono::milliseconds limit) {
  std::atomic<bool> stop{false};
  std::future<int32_t> result = std::async(std::launch::async, [probe, &port_name, &stop] {
    ScopedInterruptCheck check(StopRequested, &stop);
    return probe(port_name.c_str());
  });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool in_time = false;
  for (;;) {
    if (!stop.load(std::memory_order_relaxed) && InterruptRequested()) stop.store(true, std::memory_order_relaxed);
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration slice = kInterruptPollInterval;
    // Slices end at the limit, so a result seen ready in one that began before it came in time.
    const bool before_limit = now < deadline;
    if (before_limit) slice = std::min(slice, deadline - now);
    if (result.wait_for(slice) == std::future_status::ready) {
      in_time = before_limit && !stop.load(std::memory_order_relaxed);
      break;
    }
  }
  try {
    const int32_t value = result.get();
    return in_time ? value : 0;
  } catch (const std::exception& e) {
    PrintProbeException(e);
    return 0;
  }
}

// kind None takes every kind. Ports of unprobed_vendors are reported without
// being opened.
template <typename IsPort>
std::vector<std::string> DetectPorts(PortKind kind, const std::vector<std::string>& allow_list,
                                     const std::vector<std::string>* unprobed_vendors, IsPort is_port,
                                     const std::string& sys_root, const std::string& dev_root) {
  const std::vector<SerialPortEntry> entries = EnumerateSerialPorts(sys_root, dev_root);
  // An empty set means no device of the vendors is known, hence no narrowing.
  const PortNameSet allowed = FindUsbVendorPorts(allow_list, sys_root, dev_root);
  const PortNameSet unprobed = unprobed_vendors != nullptr
                                   ? FindUsbVendorPorts(*unprobed_vendors, sys_root, dev_root)
                                   : PortNameSet();
  std::vector<std::string> found;
  for (const SerialPortEntry& entry : entries) {
    // The caller's interruption check stopped a probe: no further candidates.
    if (InterruptRequested()) break;
    if (!allowed.empty() && allowed.count(entry.port_name) == 0) continue;
    if (unprobed.count(entry.port_name) != 0) {
      found.push_back(entry.port_name);
      continue;
    }
    if (kind != PortKind::None && entry.kind != kind) continue;
    if (is_port(entry.port_name)) found.push_back(entry.port_name);
  }
  return found;
}

}  // namespace

int32_t ProbeVorlan3Port(const char* port_name) {
  if (port_name == nullptr) return 0;
  try {
    IO::SerialStream stream(port_name, false);
    if (stream.Open() != 1) return 0;
    Devices::DeviceInfo info;
    int32_t received = -1;
    {
      // Resets the process-wide arm model, as every arm construction does.
      Devices::Vorlan3 arm(&stream, kProbeReadTimeout);
      arm.SendDeviceWakeup();
      received = arm.ReceiveDeviceInfo(info);
      stream.Close();
    }
    return received == static_cast<int32_t>(Devices::Vorlan3::kDeviceInfoSize) &&
                   info.device_model_number == Devices::Vorlan3::kArmModelNumber
               ? 1
               : 0;
  } catch (const std::exception& e) {
    std::printf("exception: %s\n", e.what());
    std::fflush(stdout);
    return 0;
  }
}

int32_t ProbeHandlePort(const char* port_name) {
  if (port_name == nullptr) return 0;
  try {
    IO::SerialStream stream(port_name, false);
    if (stream.Open() != 1) return 0;
    bool found = false;
    {
      MyHandle handle(&stream, kProbeReadTimeout);
      handle.SendDeviceWakeup();
      uint8_t code = 0;
      handle.Receive(code);
      found = handle.found;
      stream.Close();
    }
    return found ? 1 : 0;
  } catch (const std::exception& e) {
    PrintProbeException(e);
    return 0;
  }
}

int32_t IsVorlan3Port(const std::string& port_name, std::chrono::milliseconds limit) {
  return RunTimeLimited(ProbeVorlan3Port, port_name, limit);
}

bool IsHandlePort(const std::string& port_name, std::chrono::milliseconds limit) {
  return RunTimeLimited(ProbeHandlePort, port_name, limit) != 0;
}

std::vector<std::string> DetectVorlan3s(const std::string& sys_root, const std::string& dev_root,
                                        std::chrono::milliseconds limit) {
  return DetectPorts(
      PortKind::UsbCdc, Vorlan3VendorIds, nullptr,
      [&](const std::string& port) { return IsVorlan3Port(port, limit) != 0; }, sys_root, dev_root);
}

std::vector<std::string> DetectHandles(const std::string& sys_root, const std::string& dev_root,
                                       std::chrono::milliseconds limit) {
  return DetectPorts(
      PortKind::None, HandleVendorIds, &UnprobedHandleVendorIds,
      [&](const std::string& port) { return IsHandlePort(port, limit); }, sys_root, dev_root);
}

std::vector<std::string> DetectWiredHandles(const std::string& sys_root, const std::string& dev_root,
                                            std::chrono::milliseconds limit) {
  return DetectPorts(
      PortKind::Serial, WiredHandleVendorIds, nullptr,
      [&](const std::string& port) { return IsHandlePort(port, limit); }, sys_root, dev_root);
}

std::vector<std::string> DetectWirelessHandles(const std::string& sys_root, const std::string& dev_root,
                                               std::chrono::milliseconds limit) {
  return DetectPorts(
      PortKind::Bluetooth, WirelessHandleVendorIds, nullptr,
      [&](const std::string& port) { return IsHandlePort(port, limit); }, sys_root, dev_root);
}

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
