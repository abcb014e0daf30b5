#include "Registration.hpp"

void RegisterDiscovery(py::module_&) {}
