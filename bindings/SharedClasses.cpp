#include <pybind11/stl.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <cerrno>

#include "Built.hpp"
#include "Calls.hpp"
#include "Errors.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"
#include "Velkor/HardwareAPI/Platform/PortLock.hpp"
#include "Velkor/HardwareAPI/UUID.hpp"

using Velkor::HardwareAPI::UUID;
using Velkor::HardwareAPI::Devices::Device;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorBinding::Built;
using VelkorBinding::Call;
using VelkorBinding::Lock;

namespace {

// A port name as the constructor takes it: str, bytes or bytearray, rendered
// as str like the char pointer it replaces; None only in the converting pass.
struct PortNameArg {
  std::string text;
  bool none = false;
};

}  // namespace

namespace pybind11::detail {
template <>
class type_caster<PortNameArg> {
 public:
  PYBIND11_TYPE_CASTER(PortNameArg, const_name("str"));

  bool load(handle src, bool convert) {
    if (!src) return false;
    if (src.is_none()) {
      if (!convert) return false;
      value.none = true;
      return true;
    }
    make_caster<std::string> text;
    if (!text.load(src, convert)) return false;
    value.text = cast_op<std::string&&>(std::move(text));
    return true;
  }

  static handle cast(const PortNameArg&, return_value_policy, handle) { return none().release(); }
};
}  // namespace pybind11::detail

namespace {

// The OS opens names as C strings: a NUL byte would silently cut the name short
// and open another port.
void RequireNoNul(const std::string& name, const char* owner) {
  if (name.find('\0') != std::string::npos)
    throw py::value_error(std::string(owner) + ": the port name contains a NUL byte");
}

// A name from str, bytes, bytearray or os.PathLike.
std::string PortNameFrom(const py::handle& port, const char* owner) {
  if (port.is_none()) throw py::type_error(std::string(owner) + ": the port name must be a str, bytes or os.PathLike, not None");
  std::string name;
  if (PyByteArray_Check(port.ptr())) {
    name = py::cast<std::string>(port);
  } else {
    const py::object path = py::module_::import("os").attr("fspath")(port);
    name = py::cast<std::string>(path);
  }
  RequireNoNul(name, owner);
  return name;
}

std::string WideToUtf8(const std::wstring& text) {
  const py::object decoded = py::reinterpret_steal<py::object>(
      PyUnicode_FromWideChar(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!decoded) throw py::error_already_set();
  return py::cast<std::string>(decoded);
}

// Why an open failed, in the words a user can act on.
std::string OpenFailureReason(const std::string& name, int8_t code, int32_t error) {
#ifdef _WIN32
  (void)name;
  if (error == 5) return "the port is in use by another program (or access was denied)";
#else
  if (error == EBUSY && Velkor::HardwareAPI::Platform::PortLockedByThisProcess(name))
    return "the port is in use in this program already (another SerialStream has it open): close that one "
           "(stream.close()) or use it";
  if (error == EBUSY) return "the port is in use by another program";
  if (error == EACCES) return "permission denied (on Linux, join the group that owns the port, often dialout)";
#endif
  switch (code) {
    case -1:
      return "no such port";
    case -3:
      return "it is not a serial port";
    case -2:
      return "the port could not be opened";
    default:
      return "the port's line settings could not be applied";
  }
}

std::unique_ptr<SerialStream> OpenOrRaise(const std::string& name) {
  const char* const owner = "SerialStream.open()";
  auto stream = std::make_unique<SerialStream>(name.c_str(), false);
  int8_t code = 0;
  int32_t error = 0;
  // The lines the failed open logs go with the exception instead of standard error.
  VelkorBinding::CallScope scope(true);
  {
    VelkorBinding::ReleaseLock unlock(&scope);
    Velkor::HardwareAPI::Platform::SetLastError(0);
    code = stream->Open();
    error = Velkor::HardwareAPI::Platform::LastError();
  }
  scope.RaiseIfInterrupted();
  if (code >= 0 && stream->IsOpen()) return stream;
  VelkorBinding::ErrorDetails details;
  details.call = owner;
  details.port = name;
  details.lines = scope.TakeLinesForException();
  details.error_code = error;
  std::string message = std::string(owner) + ": cannot open '" + name + "': " + OpenFailureReason(name, code, error);
  if (error != 0)
    message += " ([" + std::to_string(error) + "] " + WideToUtf8(Velkor::HardwareAPI::SystemErrorText(error)) + ")";
  VelkorBinding::RaiseDeviceError(VelkorBinding::ErrorKind::PortOpen, message, details);
}

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
      .def(py::init([](const PortNameArg& name) {
             if (name.none) throw py::type_error("SerialStream(): the port name must be a str or bytes, not None");
             RequireNoNul(name.text, "SerialStream()");
             const std::string& port_name = name.text;
             return Call(Lock::Released, [&] { return std::make_unique<SerialStream>(port_name.c_str(), true); });
           }),
           "Initialize the serial stream")
      .def_property_readonly(
          "is_open", [](Built<SerialStream> self) { return self->IsOpen(); }, "True while the port is open.")
      .def(
          "close",
          [](Built<SerialStream> self) {
            RequireIdle(*self, "close");
            VelkorBinding::EndForcesOnStream(&*self);
            // A servo loop driving the stream is stopped first (zero force last): not with the lock held.
            Call(Lock::Released, [&] { self->Close(); });
          },
          "Close the port. Devices built on the stream fail with 'port_gone' until reopen().")
      .def(
          "reopen",
          [](Built<SerialStream> self) {
            RequireIdle(*self, "reopen");
            VelkorBinding::EndForcesOnStream(&*self);
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
            VelkorBinding::EndForcesOnStream(&*self);
            Call(Lock::Released, [&] { self->Close(); });
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), "Close the port.")
      .def_static(
          "open",
          [](const py::object& port) {
            const std::string name = PortNameFrom(port, "SerialStream.open()");
            // An empty name would be tried as /dev/ itself and reported as "not a serial port".
            if (name.empty())
              throw py::value_error(
                  "SerialStream.open(): the port name is empty; give a port such as '/dev/ttyACM0' "
                  "(VelkorHardwareAPI.list_ports() or `velkor ports` lists them)");
            return OpenOrRaise(name);
          },
          py::arg("port"),
          "Open the port and return its stream, or raise PortOpenError naming the port and why it could not be "
          "opened (no such port, not a serial port, in use, permission denied). port is a str, bytes or "
          "os.PathLike. Unlike the constructor, which prints error lines and returns a stream that is not open.");
}

void RegisterUUID(py::module_& m) {
  py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", [](Built<UUID> self) {
    return std::vector<uint8_t>(std::begin(self->bytes), std::end(self->bytes));
  });
}

void RegisterDevice(py::module_& m) { py::class_<Device>(m, "Device"); }
