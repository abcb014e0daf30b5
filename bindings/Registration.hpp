#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

// Each registers one class or group of functions into the module; module.cpp
// calls them in the module's fixed order.
void RegisterSerialStream(py::module_& m);
void RegisterUUID(py::module_& m);
void RegisterDevice(py::module_& m);
void RegisterVersionFunctions(py::module_& m);
void RegisterDiscovery(py::module_& m);
void RegisterVorlan3(py::module_& m);
void RegisterHandle(py::module_& m);
void RegisterServoLoop(py::module_& m);
void RegisterPorts(py::module_& m);
// Additions after the specified registration order.
void RegisterErrorHandler(py::module_& m);
void RegisterErrors(py::module_& m);
void RegisterTerminationHandling(py::module_& m);
