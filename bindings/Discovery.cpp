#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "Registration.hpp"
#include "Velkor/HardwareAPI/SerialDeviceProvider.hpp"

namespace {

namespace api = Velkor::HardwareAPI;

// The Python functions always look at this machine's own ports.
std::vector<std::string> DetectVorlan3sHere() { return api::DetectVorlan3s(); }
std::vector<std::string> DetectHandlesHere() { return api::DetectHandles(); }
std::vector<std::string> DetectWiredHandlesHere() { return api::DetectWiredHandles(); }
std::vector<std::string> DetectWirelessHandlesHere() { return api::DetectWirelessHandles(); }

}  // namespace

// Plain functions, so the interpreter lock stays held for the whole discovery
// run, probes included: other Python threads wait until it ends.
void RegisterDiscovery(py::module_& m) {
  m.def("detect_vorlan3s", &DetectVorlan3sHere, "detect available vorlan3 devices");
  m.def("detect_handles", &DetectHandlesHere, "detect available handles");
  m.def("detect_wired_handles", &DetectWiredHandlesHere, "detect available wired handles");
  m.def("detect_wireless_handles", &DetectWirelessHandlesHere, "detect available wireless handles");
}
