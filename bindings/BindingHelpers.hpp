#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Built.hpp"
#include "Calls.hpp"
#include "Velkor/HardwareAPI/Devices/Outcome.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

namespace py = pybind11;

namespace VelkorBinding {

// Issues a DeprecationWarning attributed to the caller's line. Call it with the
// lock held, before any device work; a filter that turns it into an error stops
// the call before anything is sent.
inline void WarnDeprecated(const char* text) {
  if (PyErr_WarnEx(PyExc_DeprecationWarning, text, 1) != 0) throw py::error_already_set();
}

// The device code reads elements 0 to 2 unconditionally.
inline void RequireTriple(const std::vector<float>& values, const char* argument) {
  if (values.size() < 3)
    throw py::value_error(std::string(argument) + " needs at least 3 elements, got " + std::to_string(values.size()));
}

inline std::array<float, 3> Triple(const std::vector<float>& values) { return {values[0], values[1], values[2]}; }

// A NaN or infinity sent to a device that pushes on a hand has no safe meaning,
// and once in the device's or the model's state it poisons every later reading.
inline void RequireFinite(float value, const char* method, const char* argument) {
  if (!std::isfinite(value))
    throw py::value_error(std::string(method) + "(): " + argument + " must be a finite number, got " +
                          py::repr(py::float_(value)).cast<std::string>());
}

inline void RequireFiniteTriple(const std::array<float, 3>& values, const char* method, const char* argument) {
  for (float value : values) {
    if (!std::isfinite(value))
      throw py::value_error(std::string(method) + "(): " + argument + " must hold finite numbers, got " +
                            py::repr(py::make_tuple(values[0], values[1], values[2])).cast<std::string>());
  }
}

// NaN compares false with everything, so no wait could ever decide on it.
inline float RequireTimeout(float seconds, const char* owner) {
  if (std::isnan(seconds)) throw py::value_error(std::string(owner) + ": the time-out must be a number of seconds, not NaN");
  return seconds;
}

// A device needs a stream to talk through.
inline Velkor::HardwareAPI::IO::SerialStream* RequireStream(Velkor::HardwareAPI::IO::SerialStream* stream,
                                                            const char* owner) {
  if (stream == nullptr) throw py::type_error(std::string(owner) + "(): the stream must be a SerialStream, not None");
  return stream;
}

// uuid.UUID(hex=...) from 16 identifier bytes in wire order; uuid is imported at call time.
inline py::object ToUuidObject(const uint8_t* bytes) {
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  return py::module_::import("uuid").attr("UUID")(py::arg("hex") = std::string(hex, 32));
}

// The members both device classes add after their specified ones.
template <typename T, typename Class>
void AddOutcomeMembers(Class& cls) {
  cls.def_property_readonly(
         "last_error",
         [](Built<T> self) -> py::object {
           const char* name = Velkor::HardwareAPI::Devices::OutcomeName(self->last_outcome);
           if (name == nullptr) return py::none();
           return py::str(name);
         },
         "None when the last call succeeded, otherwise why it failed: 'timeout', 'bad_reply', 'port_gone' or "
         "'write_failed' ('interrupted' when a signal handler raised during the call).")
      .def_property_readonly(
          "failures", [](Built<T> self) { return self->failures; }, "The number of calls that failed since construction.")
      .def_property(
          "strict", [](Built<T> self) { return IsStrict(*self); },
          [](Built<T> self, bool strict) { SetStrict(*self, strict); },
          "When true, a call that fails raises a DeviceError instead of returning zeros: DeviceTimeoutError (no "
          "reply in time, also a TimeoutError), BadReplyError (a wrong reply), PortGoneError (port closed or "
          "gone, also a ConnectionError) or WriteFailedError (request not written). The exception carries the "
          "call's error lines (error_lines), which are then not printed. False by default.");
}

}  // namespace VelkorBinding
