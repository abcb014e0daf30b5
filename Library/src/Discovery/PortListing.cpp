#include "Velkor/HardwareAPI/Discovery/PortListing.hpp"

#include <algorithm>
#include <map>

namespace Velkor::HardwareAPI {

namespace {

struct TargetRules {
  PortKind kind;  // None: every kind
  const std::vector<std::string>* allow_list;
  const std::vector<std::string>* unprobed_vendors;
};

TargetRules RulesOf(DetectTarget target) {
  switch (target) {
    case DetectTarget::Vorlan3:
      return {PortKind::UsbCdc, &Vorlan3VendorIds, nullptr};
    case DetectTarget::Handle:
      return {PortKind::None, &HandleVendorIds, &UnprobedHandleVendorIds};
    case DetectTarget::WiredHandle:
      return {PortKind::Serial, &WiredHandleVendorIds, nullptr};
    case DetectTarget::WirelessHandle:
      break;
  }
  return {PortKind::Bluetooth, &WirelessHandleVendorIds, nullptr};
}

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      // Numbers compare by value: leading zeros skipped, then the longer run is
      // the larger number, then the digits decide.
      size_t ai = i, bj = j;
      while (ai < a.size() && a[ai] == '0') ++ai;
      while (bj < b.size() && b[bj] == '0') ++bj;
      size_t ae = ai, be = bj;
      while (ae < a.size() && digit(a[ae])) ++ae;
      while (be < b.size() && digit(b[be])) ++be;
      if (ae - ai != be - bj) return ae - ai < be - bj;
      const int order = a.compare(ai, ae - ai, b, bj, be - bj);
      if (order != 0) return order < 0;
      // Equal values: fewer leading zeros first, so the order stays total.
      if (ae - i != be - j) return ae - i < be - j;
      i = ae;
      j = be;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

SerialPortList ListSerialPorts(const std::string& sys_root, const std::string& dev_root) {
  SerialPortList list;
  const Platform::PortMap map = Platform::ReadPortMap(sys_root, dev_root);
  list.error = map.error;
  list.class_path = map.source;
  // A listing answers "which ports are there"; with no map there are none.
  if (map.absent) {
    list.error = 0;
    return list;
  }
  if (map.status != Platform::PortMapStatus::Ok) {
    list.status = map.status == Platform::PortMapStatus::OpenFailed ? Platform::TtyListingStatus::OpenFailed
                                                                    : Platform::TtyListingStatus::ReadFailed;
    return list;
  }
  std::map<std::string, std::string> vendors;
  for (const Platform::KnownPort& known : Platform::ListKnownPorts(sys_root, dev_root)) {
    vendors.emplace(known.port_name, known.vendor_id);
  }
  for (const SerialPortEntry& port : map.ports) {
    const auto vendor = vendors.find(port.port_name);
    list.ports.push_back({port.port_name, port.kind, vendor != vendors.end() ? vendor->second : std::string()});
  }
  for (const std::string& name : map.other_ports) {
    const auto vendor = vendors.find(name);
    list.ports.push_back({name, PortKind::None, vendor != vendors.end() ? vendor->second : std::string()});
  }
  // Sorted on every platform, also where the port map has an order of its own,
  // and as people count: COM3 before COM10.
  std::sort(list.ports.begin(), list.ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return PortNameLess(a.port_name, b.port_name); });
  return list;
}

std::vector<DetectCandidate> DetectCandidates(DetectTarget target, const std::string& sys_root,
                                              const std::string& dev_root) {
  const TargetRules rules = RulesOf(target);
  const std::vector<SerialPortEntry> entries = EnumerateSerialPorts(sys_root, dev_root);
  const PortNameSet allowed = FindUsbVendorPorts(*rules.allow_list, sys_root, dev_root);
  const PortNameSet unprobed = rules.unprobed_vendors != nullptr
                                   ? FindUsbVendorPorts(*rules.unprobed_vendors, sys_root, dev_root)
                                   : PortNameSet();
  std::vector<DetectCandidate> candidates;
  for (const SerialPortEntry& entry : entries) {
    if (!allowed.empty() && allowed.count(entry.port_name) == 0) continue;
    if (unprobed.count(entry.port_name) != 0) {
      candidates.push_back({entry.port_name, false});
      continue;
    }
    if (rules.kind != PortKind::None && entry.kind != rules.kind) continue;
    candidates.push_back({entry.port_name, true});
  }
  return candidates;
}

std::chrono::milliseconds ProbeLimit(DetectTarget target) {
  return target == DetectTarget::Vorlan3 ? kVorlan3ProbeLimit : kHandleProbeLimit;
}

bool ProbeFor(DetectTarget target, const std::string& port_name, std::chrono::milliseconds limit) {
  if (target == DetectTarget::Vorlan3) return IsVorlan3Port(port_name, limit) != 0;
  return IsHandlePort(port_name, limit);
}

}  // namespace Velkor::HardwareAPI
