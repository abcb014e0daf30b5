#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace VelkorBinding {

// The module's own exception classes, for callers who chose exceptions (strict
// mode, SerialStream.open): one base, and a class per way a call can fail.
enum class ErrorKind { Device, Timeout, BadReply, PortGone, WriteFailed, PortOpen };

// Borrowed: the class lives as long as the process.
PyObject* ErrorType(ErrorKind kind);

// What a raised DeviceError carries besides its message.
struct ErrorDetails {
  std::string call;
  std::string port;
  const char* outcome = nullptr;        // last_error's name, if a device call failed
  std::vector<std::string> lines;       // the [err] lines the failing call logged
  int error_code = 0;                   // the system's error number, 0 when none
};

// Sets the Python error to a new exception of kind and throws error_already_set.
[[noreturn]] void RaiseDeviceError(ErrorKind kind, const std::string& message, const ErrorDetails& details);

}  // namespace VelkorBinding
