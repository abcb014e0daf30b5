#include <iostream>

#include "Registration.hpp"
#include "Velkor/HardwareAPI/Version.hpp"

namespace {

const char* GetCppVersion() { return Velkor::HardwareAPI::kLibraryVersion; }

// Through the C++ stream, not sys.stdout.
void PrintCppVersion() {
  std::cout << "Library version: " << Velkor::HardwareAPI::kLibraryVersion << std::endl;
}

}  // namespace

void RegisterVersionFunctions(py::module_& m) {
  m.def("get_cpp_version", &GetCppVersion, "Get the version of the CPP library");
  m.def("print_cpp_version", &PrintCppVersion, "Print the version of the CPP library");
}
