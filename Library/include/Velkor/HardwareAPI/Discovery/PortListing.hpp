#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Platform/PortEnumeration.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

namespace Velkor::HardwareAPI {

// One port as a person listing the machine's ports wants to see it.
struct SerialPortInfo {
  std::string port_name;
  PortKind kind;          // PortKind::None: a driver the detect functions do not know
  std::string vendor_id;  // the USB vendor, four upper-case hex digits; empty off USB
};

struct SerialPortList {
  Platform::TtyListingStatus status = Platform::TtyListingStatus::Ok;
  int32_t error = 0;       // errno of the failed call
  std::string class_path;  // the directory that could not be listed
  std::vector<SerialPortInfo> ports;
};

// The ports EnumerateSerialPorts lists, with their vendors, in PortNameLess
// order, and the other ports of the platform's map (kind None), so that a
// person sees every port. Unlike it, a failure is handed back to the caller instead of being
// logged, and a machine without a port map (Windows without SERIALCOMM) has no
// ports rather than a failure.
SerialPortList ListSerialPorts(const std::string& sys_root = "/sys", const std::string& dev_root = "/dev");

// Port names in the order people count them: runs of digits compare by their
// value (COM3 before COM10, ttyS2 before ttyS10), everything else byte-wise.
bool PortNameLess(const std::string& a, const std::string& b);

// The four detect functions, by the device kind they look for.
enum class DetectTarget { Vorlan3, Handle, WiredHandle, WirelessHandle };

struct DetectCandidate {
  std::string port_name;
  bool probe;  // false: reported without being opened
};

// The ports a detect function would look at, in its order, so that a caller
// can probe them one at a time and say what it is doing. Reporting the
// candidates with probe false, and those with probe true on which ProbeFor
// answers true, gives what the detect function returns.
std::vector<DetectCandidate> DetectCandidates(DetectTarget target, const std::string& sys_root = "/sys",
                                              const std::string& dev_root = "/dev");

// The detect function's time-limited probe of one port.
std::chrono::milliseconds ProbeLimit(DetectTarget target);
bool ProbeFor(DetectTarget target, const std::string& port_name, std::chrono::milliseconds limit);

}  // namespace Velkor::HardwareAPI
