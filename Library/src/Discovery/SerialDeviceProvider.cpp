#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <future>
#include <mutex>

#include "Velkor/HardwareAPI/Devices/Handle.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

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

void LogPortMapFailure(const Platform::PortMap& map) {
  const LogSite& site =
      map.status == Platform::PortMapStatus::OpenFailed ? kCannotAccessPortMap : kCannotListPortMap;
  LogError(site.file, site.line, map.error, site.message, map.source.c_str());
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
    // Microsoft's runtime runs async tasks on pooled threads: one may still
    // hold the error code an earlier probe left, which this probe's lines
    // would print. Each probe starts as on a thread of its own.
    Platform::SetLastError(0);
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
      // Resets the process-wide arm model, as every arm construction does;
      // probes running at once take turns at it.
      static std::mutex model_reset;
      std::unique_lock<std::mutex> resetting(model_reset);
      Devices::Vorlan3 arm(&stream, kProbeReadTimeout);
      resetting.unlock();
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

std::vector<SerialPortEntry> EnumerateSerialPorts(const std::string& sys_root,
                                                  const std::string& dev_root) {
  Platform::PortMap map = Platform::ReadPortMap(sys_root, dev_root);
  if (map.status != Platform::PortMapStatus::Ok) {
    LogPortMapFailure(map);
    return {};
  }
  return std::move(map.ports);
}

PortNameSet FindUsbVendorPorts(const std::vector<std::string>& vendor_ids,
                               const std::string& sys_root, const std::string& dev_root) {
  PortNameSet names;
  for (const Platform::KnownPort& port : Platform::ListKnownPorts(sys_root, dev_root)) {
    if (!port.port_name.empty() && VendorMatches(port.vendor_id, vendor_ids)) names.insert(port.port_name);
  }
  return names;
}

}  // namespace Velkor::HardwareAPI
