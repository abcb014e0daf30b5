#pragma once

// Requests and effect geometry far outside what the arm can reach: almost always
// a value in the wrong unit (millimetres for metres, radians taken for degrees
// the other way round). The exchanges send what they are given; this only warns,
// or refuses when the caller asked for it (Vorlan3.refuse_out_of_reach).

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"

namespace VelkorBinding {

namespace py = pybind11;

// No joint of the arm turns anywhere near half a turn either way; the linkage
// closes for about -80 to 80 degrees.
inline constexpr double kJointReachDegrees = 180.0;

// The farthest any tool position of the kinematic model can be from the base
// origin, for its current lengths: the solved elbow lies within the longer
// inner and outer links of the origin, the tool offset is added along x and the
// lateral offset across it, and the base orientation is a rotation. About
// 0.59 m with the default lengths, where the tool works 0.2 to 0.25 m out.
inline double PositionReach() {
  const auto& model = Velkor::HardwareAPI::Devices::ArmModel::Instance();
  const auto l = model.Lengths();
  const double elbow = std::max(std::fabs(l[0]), std::fabs(l[1])) + std::max(std::fabs(l[2]), std::fabs(l[3]));
  const double along = elbow + std::fabs(model.ToolOffset());
  const double across = elbow + std::fabs(model.LateralOffset());
  return std::sqrt(along * along + across * across);
}

inline double Norm(const std::array<double, 3>& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

inline std::string FormatVector(const std::array<double, 3>& v) {
  char text[128];
  std::snprintf(text, sizeof text, "[%g, %g, %g]", v[0], v[1], v[2]);
  return text;
}

// Why a position (m) or joint-angle (degrees) request is far outside the arm's
// reach, or an empty text when it is not.
inline std::string PositionOutOfReach(const char* method, const std::array<double, 3>& p) {
  const double reach = PositionReach();
  const double distance = Norm(p);
  if (distance <= reach) return {};
  char text[512];
  std::snprintf(text, sizeof text,
                "%s(): the position %s lies %.3g m from the arm's base, far outside its reach of %.2f m: positions "
                "are in metres (the tool works about 0.2 to 0.25 m out along z; 220 mm is 0.22)",
                method, FormatVector(p).c_str(), distance, reach);
  return text;
}

inline std::string AnglesOutOfReach(const char* method, const std::array<double, 3>& degrees) {
  for (size_t i = 0; i < degrees.size(); ++i) {
    if (std::fabs(degrees[i]) <= kJointReachDegrees) continue;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s(): joint %zu's angle %g degrees is far outside the joints' reach of %g degrees either way: "
                  "angles are in degrees (the joints turn within about -80 to 80)",
                  method, i, degrees[i], kJointReachDegrees);
    return text;
  }
  return {};
}

// The Python line that called, as "file:line"; empty when no Python frame calls.
inline std::string CallSite() {
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) return {};
  PyCodeObject* code = PyFrame_GetCode(frame);  // new reference
  const py::object code_object = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(code));
  const std::string file = py::str(code_object.attr("co_filename"));
  return file + ":" + std::to_string(PyFrame_GetLineNumber(frame));
}

// A UserWarning the first time a call site sends such a request (the values
// differ from call to call, so Python's own once-per-message registry would
// repeat it at every cycle of a loop), or a ValueError when `refuse` is set.
// Both before any I/O; a warnings filter that turns the warning into an error
// raises it here.
inline void WarnOrRefuse(const std::string& why, bool refuse) {
  if (why.empty()) return;
  if (refuse) throw py::value_error(why + " (refused: refuse_out_of_reach is set)");
  static std::set<std::string>& warned = *new std::set<std::string>;
  if (!warned.insert(CallSite() + " " + why.substr(0, why.find('('))).second) return;
  if (PyErr_WarnEx(PyExc_UserWarning, why.c_str(), 1) != 0) throw py::error_already_set();
}

}  // namespace VelkorBinding
