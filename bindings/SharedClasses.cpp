#include <pybind11/stl.h>

#include <array>
#include <memory>
#include <vector>

#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/UUID.hpp"

using Velkor::HardwareAPI::UUID;
using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::IO::SerialStream;

void RegisterSerialStream(py::module_& m) {
  py::class_<SerialStream>(m, "SerialStream")
      .def(py::init([](const char* name) {
             if (name == nullptr) throw py::type_error("SerialStream(): the port name must be a str or bytes, not None");
             // The name is copied by the stream before the lock is released.
             std::string port_name(name);
             py::gil_scoped_release release;
             return std::make_unique<SerialStream>(port_name.c_str(), true);
           }),
           "Initialize the serial stream");
}

void RegisterUUID(py::module_& m) {
  py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", [](const UUID& self) {
    return std::vector<uint8_t>(std::begin(self.bytes), std::end(self.bytes));
  });
}

void RegisterDevice(py::module_& m) { py::class_<Device>(m, "Device"); }
