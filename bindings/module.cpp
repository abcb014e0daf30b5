#include "Registration.hpp"

PYBIND11_MODULE(VelkorHardwareAPI, m) {
  m.doc() = "Python Implementation of the Velkor Hardware API";
  RegisterSerialStream(m);
  RegisterUUID(m);
  RegisterDevice(m);
  RegisterVersionFunctions(m);
  RegisterDiscovery(m);
  RegisterVorlan3(m);
  RegisterHandle(m);
  RegisterServoLoop(m);
  RegisterPorts(m);
  m.attr("__version__") = "dev";
  RegisterErrorHandler(m);
  RegisterErrors(m);
  RegisterTerminationHandling(m);
}
