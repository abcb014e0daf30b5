#pragma once

// What the servo loop's binding files share: the objects Python holds (an
// effect, a loop), their casters, and the conversions of effect parameters.
// ServoEffects.cpp binds the effects, ServoLoop.cpp the loop, ServoCallback.cpp
// its on_state thread, ServoTelemetry.cpp what it reports (state, stats,
// telemetry, recordings). Every file that casts these types includes this
// header, so all of them see the same type_caster specialisations.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Built.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"
#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"

namespace servo_binding {

using Velkor::HardwareAPI::Devices::Vorlan3;
using namespace Velkor::HardwareAPI::Servo;

inline constexpr float kDefaultMaxForce = 5.0f;
inline constexpr double kDefaultCallbackRate = 100.0;

inline bool InterpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Runs `wait` without the interpreter lock. Once the interpreter is finalizing,
// taking the lock back would end this thread by a forced unwind; the process is
// about to end anyway, so the thread stays parked instead.
template <class Wait>
void WithoutInterpreterLock(Wait&& wait) {
  PyThreadState* saved = PyEval_SaveThread();
  wait();
  while (InterpreterFinalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
  PyEval_RestoreThread(saved);
}

inline float ToFloat(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

inline Vec3 ToVec3(const std::vector<double>& values, const char* name) {
  if (values.size() != 3)
    throw py::value_error(std::string(name) + " needs exactly 3 elements, got " + std::to_string(values.size()));
  return {ToFloat(values[0]), ToFloat(values[1]), ToFloat(values[2])};
}

inline std::string Format(const Vec3& v) {
  char text[96];
  std::snprintf(text, sizeof text, "[%g, %g, %g]", v[0], v[1], v[2]);
  return text;
}

inline std::string Format(float x) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", x);
  return text;
}

// A parameter vector as an attribute gives it: a tuple, so that an edit in place
// (`c.force[2] = 3.0`) raises instead of changing a copy nobody sees. It is of a
// tuple subclass that also equals a list with the same items, so comparisons
// written against the lists these attributes used to be still hold.
struct ReadOnlyVector {
  std::vector<double> values;
};
struct ReadOnlyMatrix {
  std::vector<std::vector<double>> rows;
};
// The tuple subclass (made once, when the effects are registered).
py::object VectorType();
inline ReadOnlyVector ReadOnly(const Vec3& v) { return {{v[0], v[1], v[2]}}; }

// Why an effect's geometry lies far outside the arm's workspace (probably in
// millimetres), or an empty text. ServoLoop.add() warns with it.
std::string GeometryOutOfReach(const Effect& effect, const char* kind);

struct PyLoop;

// An effect as Python holds it: a value, and the loops it was added to, which
// are told to publish again when the value changes.
struct PyEffect {
  explicit PyEffect(Effect effect) : value(std::move(effect)) {}
  Effect value;
  std::vector<PyLoop*> owners;
  bool batching = false;
  // fade: the loop moves to the new force slew-limited (an effect switched on or off).
  void Changed(bool fade = false);
};

struct PySpring : PyEffect {
  using PyEffect::PyEffect;
};
struct PyDamper : PyEffect {
  using PyEffect::PyEffect;
};
struct PyPlane : PyEffect {
  using PyEffect::PyEffect;
};
struct PySphere : PyEffect {
  using PyEffect::PyEffect;
};
struct PyBox : PyEffect {
  using PyEffect::PyEffect;
};
struct PyConstantForce : PyEffect {
  using PyEffect::PyEffect;
};
struct PyMesh : PyEffect {
  using PyEffect::PyEffect;
};

// The telemetry ring's one consumer: drain() or the recording's thread (both
// with the interpreter lock, so never at once).
struct TelemetryTap {
  explicit TelemetryTap(std::shared_ptr<ServoLoop> loop_) : loop(std::move(loop_)) {}
  std::shared_ptr<ServoLoop> loop;
  uint64_t dropped_seen = 0;
};

// The on_state thread's rate, stop flag and error (ServoCallback.cpp).
struct CallbackControl {
  std::mutex mutex;
  std::condition_variable wake;
  // Each callback thread runs while this is the generation it was started in:
  // one still inside fn when the loop stops ends after fn returns, and never
  // runs beside a thread started later.
  uint64_t generation = 0;
  double rate_hz = kDefaultCallbackRate;
  py::object error;  // what the callback raised; touched only with the interpreter lock
};

// A ServoLoop as Python holds it: the native loop, the effects by handle and
// their leases, the on_state thread and the recording. The methods are in
// ServoLoop.cpp, the callback thread's in ServoCallback.cpp, Record and
// StopRecording in ServoTelemetry.cpp.
struct PyLoop {
  PyLoop(Vorlan3& arm_, const ServoOptions& options);
  ~PyLoop();

  void Republish(bool fade = false);
  // An update of an effect renews its leases in this loop.
  void Renew(const PyEffect* effect);
  void Forget(int64_t handle);
  void Disown(const py::object& effect);
  void Start();
  // Stops the thread (its last exchange sends zero force), the callback and the
  // recording, and hands the arm back. Raises nothing; see TakeCallbackError.
  void Halt();
  void Record(const py::object& path);
  py::object StopRecording();
  void StartCallbackThread();
  void EndCallbackThread();
  void TakeCallbackError();

  Vorlan3& arm;
  std::shared_ptr<ServoLoop> loop;
  std::shared_ptr<TelemetryTap> tap;
  py::object recorder;
  std::map<int64_t, py::object> effects;
  std::map<int64_t, EffectLease> leases;
  int64_t next_handle = 1;
  float max_force = kDefaultMaxForce;
  std::shared_ptr<CallbackControl> callback;
  py::object callback_fn;
  py::object callback_thread;
};

// One UserWarning when the effect's stiffness is beyond what `loop` (or, without
// one, the first of the loops it is in that finds it so) renders stably at its rate.
void WarnIfTooStiff(const PyEffect& effect, const PyLoop* loop = nullptr);

// The state as on_state and state() give it (ServoTelemetry.cpp).
py::dict StateDict(const ServoState& s);
// The `error` property's text; empty while there is nothing to report.
std::string ErrorText(const PyLoop& self);
py::dict StatsDict(const ServoStats& s);

}  // namespace servo_binding

namespace pybind11::detail {
template <>
struct type_caster<servo_binding::ReadOnlyVector> {
  PYBIND11_TYPE_CASTER(servo_binding::ReadOnlyVector, const_name("Vector"));
  bool load(handle, bool) { return false; }
  static handle cast(const servo_binding::ReadOnlyVector& v, return_value_policy, handle) {
    py::tuple items(v.values.size());
    for (size_t i = 0; i < v.values.size(); ++i) items[i] = py::float_(v.values[i]);
    return servo_binding::VectorType()(items).release();
  }
};
template <>
struct type_caster<servo_binding::ReadOnlyMatrix> {
  PYBIND11_TYPE_CASTER(servo_binding::ReadOnlyMatrix, const_name("tuple[Vector, Vector, Vector, Vector]"));
  bool load(handle, bool) { return false; }
  static handle cast(const servo_binding::ReadOnlyMatrix& m, return_value_policy policy, handle parent) {
    py::tuple rows(m.rows.size());
    for (size_t i = 0; i < m.rows.size(); ++i)
      rows[i] = reinterpret_steal<object>(
          type_caster<servo_binding::ReadOnlyVector>::cast(servo_binding::ReadOnlyVector{m.rows[i]}, policy, parent));
    return servo_binding::VectorType()(rows).release();
  }
};
}  // namespace pybind11::detail

// Methods of instances made with __new__ alone raise instead of using unbuilt memory.
namespace pybind11::detail {
template <>
class type_caster<servo_binding::PyEffect> : public built_type_caster<servo_binding::PyEffect> {};
template <>
class type_caster<servo_binding::PySpring> : public built_type_caster<servo_binding::PySpring> {};
template <>
class type_caster<servo_binding::PyDamper> : public built_type_caster<servo_binding::PyDamper> {};
template <>
class type_caster<servo_binding::PyPlane> : public built_type_caster<servo_binding::PyPlane> {};
template <>
class type_caster<servo_binding::PySphere> : public built_type_caster<servo_binding::PySphere> {};
template <>
class type_caster<servo_binding::PyBox> : public built_type_caster<servo_binding::PyBox> {};
template <>
class type_caster<servo_binding::PyConstantForce> : public built_type_caster<servo_binding::PyConstantForce> {};
template <>
class type_caster<servo_binding::PyMesh> : public built_type_caster<servo_binding::PyMesh> {};
template <>
class type_caster<servo_binding::PyLoop> : public built_type_caster<servo_binding::PyLoop> {};
}  // namespace pybind11::detail

namespace servo_binding {

// The classes, each file its own, in the module's order: RegisterServoLoop
// calls RegisterEffects first, then binds ServoLoop, whose telemetry methods
// RegisterLoopTelemetry adds last.
void RegisterEffects(py::module_& m);
void RegisterLoopTelemetry(py::class_<PyLoop>& servo_loop);

}  // namespace servo_binding
