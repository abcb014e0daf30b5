#include "Registration.hpp"

void RegisterVorlan3(py::module_&) {}
