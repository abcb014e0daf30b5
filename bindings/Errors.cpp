#include "Errors.hpp"

#include <array>

#include "Registration.hpp"

namespace VelkorBinding {

namespace {

struct ErrorClass {
  ErrorKind kind;
  const char* name;
  const char* doc;
};

constexpr ErrorClass kClasses[] = {
    {ErrorKind::Device, "DeviceError",
     "Base of the module's errors: a device call or an open that failed. An OSError; call, port, outcome "
     "and error_lines say which call, on which port, why, and what it logged."},
    {ErrorKind::Timeout, "DeviceTimeoutError", "The device did not reply (in full) in time. Also a TimeoutError."},
    {ErrorKind::BadReply, "BadReplyError",
     "A reply came but does not answer the request (wrong code or malformed). Not a TimeoutError."},
    {ErrorKind::PortGone, "PortGoneError",
     "The port is closed, was never opened, or its device went away. Also a ConnectionError."},
    {ErrorKind::WriteFailed, "WriteFailedError",
     "The request could not be written to the port. A PortGoneError, and a RuntimeError as send_raw's "
     "failure always was."},
    {ErrorKind::PortOpen, "PortOpenError",
     "SerialStream.open() could not open the port; the message says why, errno is the system's error number."},
};

std::array<PyObject*, std::size(kClasses)> types{};

PyObject* NewClass(const ErrorClass& cls, py::tuple bases) {
  const std::string qualified = std::string("VelkorHardwareAPI.") + cls.name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), cls.doc, bases.ptr(), nullptr);
  if (type == nullptr) throw py::error_already_set();
  return type;
}

}  // namespace

PyObject* ErrorType(ErrorKind kind) {
  PyObject* type = types[static_cast<size_t>(kind)];
  return type != nullptr ? type : PyExc_OSError;
}

void RaiseDeviceError(ErrorKind kind, const std::string& message, const ErrorDetails& details) {
  py::object error = py::reinterpret_borrow<py::object>(ErrorType(kind))(message);
  error.attr("call") = details.call;
  error.attr("port") = details.port;
  error.attr("outcome") = details.outcome != nullptr ? py::object(py::str(details.outcome)) : py::none();
  py::tuple lines(details.lines.size());
  for (size_t i = 0; i < details.lines.size(); ++i) {
    PyObject* text = PyUnicode_DecodeUTF8(details.lines[i].data(), static_cast<Py_ssize_t>(details.lines[i].size()),
                                          "backslashreplace");
    if (text == nullptr) throw py::error_already_set();
    PyTuple_SET_ITEM(lines.ptr(), static_cast<Py_ssize_t>(i), text);
  }
  error.attr("error_lines") = lines;
  // errno only: with strerror or filename set, OSError's text would replace the message.
  if (details.error_code != 0) error.attr("errno") = details.error_code;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace VelkorBinding

void RegisterErrors(py::module_& m) {
  using VelkorBinding::ErrorKind;
  using VelkorBinding::kClasses;
  auto& types = VelkorBinding::types;
  auto type_of = [&](ErrorKind kind) { return py::handle(types[static_cast<size_t>(kind)]); };
  for (const auto& cls : kClasses) {
    py::tuple bases;
    switch (cls.kind) {
      case ErrorKind::Device:
        bases = py::make_tuple(py::handle(PyExc_OSError));
        break;
      case ErrorKind::Timeout:
        bases = py::make_tuple(type_of(ErrorKind::Device), py::handle(PyExc_TimeoutError));
        break;
      case ErrorKind::PortGone:
        bases = py::make_tuple(type_of(ErrorKind::Device), py::handle(PyExc_ConnectionError));
        break;
      case ErrorKind::WriteFailed:
        bases = py::make_tuple(type_of(ErrorKind::PortGone), py::handle(PyExc_RuntimeError));
        break;
      case ErrorKind::BadReply:
      case ErrorKind::PortOpen:
        bases = py::make_tuple(type_of(ErrorKind::Device));
        break;
    }
    // Owned for good: the classes are raised from any later call.
    PyObject* type = VelkorBinding::NewClass(cls, bases);
    types[static_cast<size_t>(cls.kind)] = type;
    m.add_object(cls.name, py::handle(type));
  }
}
