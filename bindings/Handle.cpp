#include "Registration.hpp"

void RegisterHandle(py::module_&) {}
