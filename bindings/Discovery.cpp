#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "Calls.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Discovery/SerialDeviceProvider.hpp"

namespace {

namespace api = Velkor::HardwareAPI;

using VelkorBinding::Call;
using VelkorBinding::Lock;

// The Python functions always look at this machine's own ports.
std::vector<std::string> DetectVorlan3sHere() { return Call(Lock::Held, [] { return api::DetectVorlan3s(); }); }
std::vector<std::string> DetectHandlesHere() { return Call(Lock::Held, [] { return api::DetectHandles(); }); }
std::vector<std::string> DetectWiredHandlesHere() {
  return Call(Lock::Held, [] { return api::DetectWiredHandles(); });
}
std::vector<std::string> DetectWirelessHandlesHere() {
  return Call(Lock::Held, [] { return api::DetectWirelessHandles(); });
}

}  // namespace

// Plain functions, so the interpreter lock stays held for the whole discovery
// run, probes included: other Python threads wait until it ends.
void RegisterDiscovery(py::module_& m) {
  m.def("detect_vorlan3s", &DetectVorlan3sHere, "detect available vorlan3 devices");
  m.def("detect_handles", &DetectHandlesHere, "detect available handles");
  m.def("detect_wired_handles", &DetectWiredHandlesHere, "detect available wired handles");
  m.def("detect_wireless_handles", &DetectWirelessHandlesHere, "detect available wireless handles");
}
