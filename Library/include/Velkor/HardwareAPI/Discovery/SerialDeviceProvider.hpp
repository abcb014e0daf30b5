#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Export.hpp"
#include "Velkor/HardwareAPI/Platform/PortEnumeration.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialPortRules.hpp"

namespace Velkor::HardwareAPI {

using PortNameSet = std::set<std::string>;

// USB vendor identifiers, four upper-case hexadecimal digits each.
VELKOR_HWAPI_EXPORT extern const std::vector<std::string> Vorlan3VendorIds;
VELKOR_HWAPI_EXPORT extern const std::vector<std::string> HandleVendorIds;
VELKOR_HWAPI_EXPORT extern const std::vector<std::string> UnprobedHandleVendorIds;
VELKOR_HWAPI_EXPORT extern const std::vector<std::string> WiredHandleVendorIds;
VELKOR_HWAPI_EXPORT extern const std::vector<std::string> WirelessHandleVendorIds;

// Every serial port that can be opened now, with its driver class, in the
// platform's stable order. Empty on failure, which is logged. The roots matter
// only where the platform reads a device tree (see Platform::ReadPortMap).
std::vector<SerialPortEntry> EnumerateSerialPorts(const std::string& sys_root = "/sys",
                                                  const std::string& dev_root = "/dev");

// Names of the serial ports whose USB vendor identifier contains one of
// vendor_ids; with no vendor_ids, of every serial port. Empty on failure,
// silently: callers take an empty set as "no restriction".
PortNameSet FindUsbVendorPorts(const std::vector<std::string>& vendor_ids,
                               const std::string& sys_root = "/sys",
                               const std::string& dev_root = "/dev");

// An answer counts only within these limits; the probe itself always runs to its end.
constexpr std::chrono::milliseconds kVorlan3ProbeLimit{3000};
constexpr std::chrono::milliseconds kHandleProbeLimit{5000};
// Read time-out of the device objects a probe builds, in seconds.
constexpr float kProbeReadTimeout = 5.0f;

// Open the port, send the wake-up byte, read the first reply, close the port:
// 1 when a Vorlan3 (model 4) or a handle answered, else 0. Never throw.
int32_t ProbeVorlan3Port(const char* port_name);
int32_t ProbeHandlePort(const char* port_name);

// The probes run on a worker; a reply counts only within `limit`, but the call
// returns only once the probe has ended and closed its port.
int32_t IsVorlan3Port(const std::string& port_name, std::chrono::milliseconds limit = kVorlan3ProbeLimit);
bool IsHandlePort(const std::string& port_name, std::chrono::milliseconds limit = kHandleProbeLimit);

// Ports, in enumeration order, on which a device of the kind answered. Ports of
// the kind are narrowed by USB vendor first (no known device of the vendors:
// no narrowing) and probed one after another.
std::vector<std::string> DetectVorlan3s(const std::string& sys_root = "/sys", const std::string& dev_root = "/dev",
                                        std::chrono::milliseconds limit = kVorlan3ProbeLimit);
// Ports of every kind; ports of UnprobedHandleVendorIds are reported unopened.
std::vector<std::string> DetectHandles(const std::string& sys_root = "/sys", const std::string& dev_root = "/dev",
                                       std::chrono::milliseconds limit = kHandleProbeLimit);
std::vector<std::string> DetectWiredHandles(const std::string& sys_root = "/sys",
                                            const std::string& dev_root = "/dev",
                                            std::chrono::milliseconds limit = kHandleProbeLimit);
std::vector<std::string> DetectWirelessHandles(const std::string& sys_root = "/sys",
                                               const std::string& dev_root = "/dev",
                                               std::chrono::milliseconds limit = kHandleProbeLimit);

}  // namespace Velkor::HardwareAPI
