#include <pybind11/stl.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "Built.hpp"
#include "Calls.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/UUID.hpp"

using Velkor::HardwareAPI::UUID;
using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorBinding::Built;
using VelkorBinding::Call;
using VelkorBinding::Lock;

namespace {

// Pulling the port from under a call in progress would leave that call on a
// closed or replaced port.
void RequireIdle(const SerialStream& stream, const char* method) {
  if (VelkorBinding::StreamInUse::Busy(&stream))
    throw std::runtime_error(std::string("SerialStream.") + method +
                             "(): a device call on this stream is in progress");
}

}  // namespace

void RegisterSerialStream(py::module_& m) {
  py::class_<SerialStream>(m, "SerialStream")
      .def(py::init([](const char* name) {
             if (name == nullptr) throw py::type_error("SerialStream(): the port name must be a str or bytes, not None");
             // The name is copied by the stream before the lock is released.
             std::string port_name(name);
             return Call(Lock::Released, [&] { return std::make_unique<SerialStream>(port_name.c_str(), true); });
           }),
           "Initialize the serial stream")
      .def_property_readonly(
          "is_open", [](Built<SerialStream> self) { return self->IsOpen(); }, "True while the port is open.")
      .def(
          "close",
          [](Built<SerialStream> self) {
            RequireIdle(*self, "close");
            // A servo loop driving the stream is stopped first (zero force last): not with the lock held.
            Call(Lock::Released, [&] { self->Close(); });
          },
          "Close the port. Devices built on the stream fail with 'port_gone' until reopen().")
      .def(
          "reopen",
          [](Built<SerialStream> self) {
            RequireIdle(*self, "reopen");
            return Call(Lock::Released, [&] { return self->Reopen() >= 0; });
          },
          "Close the port if it is open and open the same name again, as after the device was unplugged and "
          "plugged back in. True when the port opened; devices built on the stream go on using it.")
      .def(
          "__enter__", [](Built<SerialStream> self) { return py::reinterpret_borrow<py::object>(self.instance()); },
          "Return the stream itself.")
      .def(
          "__exit__",
          [](Built<SerialStream> self, const py::object&, const py::object&, const py::object&) {
            RequireIdle(*self, "__exit__");
            Call(Lock::Released, [&] { self->Close(); });
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), "Close the port.");
}

void RegisterUUID(py::module_& m) {
  py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", [](Built<UUID> self) {
    return std::vector<uint8_t>(std::begin(self->bytes), std::end(self->bytes));
  });
}

void RegisterDevice(py::module_& m) { py::class_<Device>(m, "Device"); }
