#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Built.hpp"
#include "Calls.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Discovery/ConcurrentDetect.hpp"
#include "Velkor/HardwareAPI/Discovery/PortListing.hpp"

namespace {

namespace api = Velkor::HardwareAPI;

struct PortInfo {
  std::string name;
  std::string kind;
  std::optional<std::string> vendor;
};

}  // namespace

// Reading the fields of an instance made with __new__ alone raises instead.
namespace pybind11::detail {
template <>
class type_caster<PortInfo> : public built_type_caster<PortInfo> {};
}  // namespace pybind11::detail

namespace {

const char* KindName(api::PortKind kind) {
  switch (kind) {
    case api::PortKind::UsbCdc:
      return "usb_cdc";
    case api::PortKind::Serial:
      return "serial";
    case api::PortKind::Bluetooth:
      return "bluetooth";
    case api::PortKind::None:
      break;
  }
  return "unknown";
}

constexpr std::pair<const char*, api::DetectTarget> kTargets[] = {
    {"vorlan3", api::DetectTarget::Vorlan3},
    {"handle", api::DetectTarget::Handle},
    {"wired_handle", api::DetectTarget::WiredHandle},
    {"wireless_handle", api::DetectTarget::WirelessHandle},
};

api::DetectTarget TargetNamed(const std::string& device) {
  for (const auto& [name, target] : kTargets) {
    if (device == name) return target;
  }
  throw py::value_error("unknown device kind '" + device +
                        "': expected 'vorlan3', 'handle', 'wired_handle' or 'wireless_handle'");
}

std::vector<PortInfo> ListPorts(const std::string& sys_root, const std::string& dev_root) {
  const api::SerialPortList list = api::ListSerialPorts(sys_root, dev_root);
  if (list.status != api::Platform::TtyListingStatus::Ok) {
    const int error = list.error != 0 ? list.error : EIO;
    // The platform's own text for its own code (a Win32 code is no errno).
    const std::wstring text = api::SystemErrorText(error);
    PyErr_SetObject(PyExc_OSError, py::make_tuple(error, py::cast(text), list.class_path).ptr());
    throw py::error_already_set();
  }
  std::vector<PortInfo> ports;
  for (const api::SerialPortInfo& port : list.ports) {
    ports.push_back({port.port_name, KindName(port.kind),
                     port.vendor_id.empty() ? std::nullopt : std::optional<std::string>(port.vendor_id)});
  }
  return ports;
}

std::vector<std::pair<std::string, bool>> DetectCandidates(const std::string& device, const std::string& sys_root,
                                                           const std::string& dev_root) {
  const api::DetectTarget target = TargetNamed(device);
  std::vector<std::pair<std::string, bool>> candidates;
  for (const api::DetectCandidate& c : api::DetectCandidates(target, sys_root, dev_root))
    candidates.emplace_back(c.port_name, c.probe);
  return candidates;
}

std::chrono::milliseconds Seconds(double value, const char* name) {
  if (!std::isfinite(value) || value <= 0.0 || value > 3600.0)
    throw py::value_error(std::string(name) + " must be a number of seconds above 0 and at most 3600");
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(value * 1e3)));
}

std::chrono::milliseconds ProbeLimitOf(api::DetectTarget target, std::optional<double> limit) {
  return limit ? Seconds(*limit, "limit") : api::ProbeLimit(target);
}

bool ProbePort(const std::string& device, const std::string& port, std::optional<double> limit) {
  const api::DetectTarget target = TargetNamed(device);
  const std::chrono::milliseconds wait = ProbeLimitOf(target, limit);
  // Other threads run while the probe waits; a pending signal ends the wait.
  return VelkorBinding::Call(VelkorBinding::Lock::Released, [&] { return api::ProbeFor(target, port, wait); });
}

const char* OutcomeText(api::ProbeOutcome outcome) {
  switch (outcome) {
    case api::ProbeOutcome::Found:
      return "found";
    case api::ProbeOutcome::NoAnswer:
      return "no answer";
    case api::ProbeOutcome::NotProbed:
      return "not probed";
    case api::ProbeOutcome::Cancelled:
      break;
  }
  return "cancelled";
}

using ProgressCallback = std::function<void(const std::string&, const std::string&, double)>;

std::vector<std::string> Discover(const std::string& device, std::optional<double> limit,
                                  std::optional<double> timeout, const std::optional<ProgressCallback>& progress,
                                  const std::string& sys_root, const std::string& dev_root) {
  const api::DetectTarget target = TargetNamed(device);
  const std::chrono::milliseconds wait = ProbeLimitOf(target, limit);
  std::optional<std::chrono::milliseconds> overall;
  if (timeout) overall = Seconds(*timeout, "timeout");
  api::ProbeProgress report;
  if (progress) {
    report = [&progress](const api::ProbeReport& r) {
      VelkorBinding::AcquireLock lock;
      (*progress)(r.port_name, OutcomeText(r.outcome), std::chrono::duration<double>(r.elapsed).count());
      return true;
    };
  }
  // The probes run on threads of their own; this thread waits without the
  // interpreter lock and takes it only to report progress.
  return VelkorBinding::Call(VelkorBinding::Lock::Released, [&] {
    return api::DetectConcurrently(target, wait, overall, report, sys_root, dev_root).ports;
  });
}

}  // namespace

void RegisterPorts(py::module_& m) {
  py::class_<PortInfo>(m, "PortInfo", "A serial port of this machine, as list_ports() lists it.")
      .def_readonly("name", &PortInfo::name, "The name to open the port by, such as /dev/ttyACM0.")
      .def_readonly("kind", &PortInfo::kind,
                    "The driver class: 'usb_cdc' (arms), 'serial' (USB-to-UART bridges and on-board ports, "
                    "wired handles), 'bluetooth' (wireless handles) or 'unknown' (a driver the detect functions "
                    "do not know, which they never probe).")
      .def_readonly("vendor", &PortInfo::vendor,
                    "The USB vendor identifier as four upper-case hexadecimal digits, or None off USB.")
      .def("__eq__",
           [](const PortInfo& a, const py::object& other) -> py::object {
             if (!py::isinstance<PortInfo>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             const PortInfo& b = other.cast<const PortInfo&>();
             return py::bool_(a.name == b.name && a.kind == b.kind && a.vendor == b.vendor);
           },
           py::arg("other"))
      .def("__hash__", [](const PortInfo& p) { return py::hash(py::make_tuple(p.name, p.kind, p.vendor)); })
      .def("__repr__", [](const PortInfo& p) {
        return "PortInfo(name=" + py::repr(py::str(p.name)).cast<std::string>() +
               ", kind=" + py::repr(py::str(p.kind)).cast<std::string>() +
               ", vendor=" + py::repr(py::cast(p.vendor)).cast<std::string>() + ")";
      });

  m.def("list_ports", &ListPorts, py::arg("sys_root") = "/sys", py::arg("dev_root") = "/dev",
        "List the serial ports that the detect functions consider, sorted by name, without opening any.\n\n"
        "Ports of the platform's map whose driver the detect functions do not know are listed too,\n"
        "with kind 'unknown'.\n\n"
        "sys_root and dev_root name the kernel's device tree and device folder; tests point them at a\n"
        "tree of their own. Raises OSError when the device tree cannot be read.");
  m.def("detect_candidates", &DetectCandidates, py::arg("device"), py::arg("sys_root") = "/sys",
        py::arg("dev_root") = "/dev",
        "The ports that a detect function looks at, in its order, as (port, probe) pairs.\n\n"
        "device is 'vorlan3', 'handle', 'wired_handle' or 'wireless_handle', for detect_vorlan3s,\n"
        "detect_handles, detect_wired_handles and detect_wireless_handles. A port with probe False is\n"
        "reported without being opened; one with probe True is reported when probe_port(device, port)\n"
        "is True. Together this gives what the detect function returns, one port at a time.");
  m.def("probe_port", &ProbePort, py::arg("device"), py::arg("port"), py::arg("limit") = py::none(),
        "Run the detect function's probe of one port: open it, send the wake-up, read the first reply.\n\n"
        "True when a device of the kind answered within limit seconds (None: 3 s for 'vorlan3', 5 s\n"
        "for the handles). A silent port still takes the probe's full read time-out before it returns.\n"
        "Unlike the detect functions, other Python threads run while the probe waits.");
  m.def("discover", &Discover, py::arg("device"), py::kw_only(), py::arg("limit") = py::none(),
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(), py::arg("sys_root") = "/sys",
        py::arg("dev_root") = "/dev",
        "What the detect function of the device kind returns, with every candidate probed at once.\n\n"
        "device is 'vorlan3', 'handle', 'wired_handle' or 'wireless_handle'. The candidates, their\n"
        "narrowing by USB vendor and the order of the result are the detect function's; a reply counts\n"
        "within limit seconds (None: 3 s for 'vorlan3', 5 s for the handles), so silent ports cost one\n"
        "limit in all instead of one each. The interpreter lock is released while the probes run: other\n"
        "Python threads go on, and Ctrl-C stops every probe and raises KeyboardInterrupt at once.\n"
        "timeout (seconds, None: no limit) stops probes still running and returns what was found.\n"
        "progress, if given, is called on this thread as progress(port, outcome, seconds) for each\n"
        "candidate as its outcome becomes known: 'found', 'no answer', 'not probed' (reported without\n"
        "opening it) or 'cancelled' (the timeout came first). Every probed port is closed on return.");
}
