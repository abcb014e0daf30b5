#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Built.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"
#include "Velkor/HardwareAPI/Servo/ServoLoop.hpp"

using Velkor::HardwareAPI::Devices::OutcomeName;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using namespace Velkor::HardwareAPI::Servo;

namespace {

constexpr float kDefaultMaxForce = 5.0f;
constexpr double kDefaultCallbackRate = 100.0;
constexpr double kHighestCallbackRate = 1000.0;
// Waking this long before each deadline and spinning the rest: in the servo
// benchmark the median period came out 4-6 us long without it, on time with it.
constexpr double kDefaultSpin = 50e-6;

bool InterpreterFinalizing() {
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

float ToFloat(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

Vec3 ToVec3(const std::vector<double>& values, const char* name) {
  if (values.size() != 3)
    throw py::value_error(std::string(name) + " needs exactly 3 elements, got " + std::to_string(values.size()));
  return {ToFloat(values[0]), ToFloat(values[1]), ToFloat(values[2])};
}

std::string Format(const Vec3& v) {
  char text[96];
  std::snprintf(text, sizeof text, "[%g, %g, %g]", v[0], v[1], v[2]);
  return text;
}

std::string Format(float x) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", x);
  return text;
}

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

}  // namespace

// Methods of instances made with __new__ alone raise instead of using unbuilt memory.
namespace pybind11::detail {
template <>
class type_caster<PyEffect> : public built_type_caster<PyEffect> {};
template <>
class type_caster<PySpring> : public built_type_caster<PySpring> {};
template <>
class type_caster<PyDamper> : public built_type_caster<PyDamper> {};
template <>
class type_caster<PyPlane> : public built_type_caster<PyPlane> {};
template <>
class type_caster<PySphere> : public built_type_caster<PySphere> {};
template <>
class type_caster<PyBox> : public built_type_caster<PyBox> {};
template <>
class type_caster<PyConstantForce> : public built_type_caster<PyConstantForce> {};
template <>
class type_caster<PyMesh> : public built_type_caster<PyMesh> {};
template <>
class type_caster<PyLoop> : public built_type_caster<PyLoop> {};
}  // namespace pybind11::detail

namespace {

template <class E>
const char* EffectName();
template <>
const char* EffectName<Spring>() { return "Spring"; }
template <>
const char* EffectName<Damper>() { return "Damper"; }
template <>
const char* EffectName<Plane>() { return "Plane"; }
template <>
const char* EffectName<Sphere>() { return "Sphere"; }
template <>
const char* EffectName<Box>() { return "Box"; }
template <>
const char* EffectName<ConstantForce>() { return "ConstantForce"; }
template <>
const char* EffectName<Mesh>() { return "Mesh"; }

template <class E>
Effect Checked(Effect effect) {
  if (const char* why = Validate(effect)) throw py::value_error(std::string(EffectName<E>()) + ": " + why);
  return effect;
}

// Applies a change to a copy, checks it whole, then swaps it in: a loop never
// sees an effect that failed its checks, nor half of one update.
template <class E, class Mutate>
void Change(PyEffect& self, Mutate&& mutate) {
  Effect copy = self.value;
  mutate(std::get<E>(copy));
  if (!self.batching) copy = Checked<E>(std::move(copy));
  self.value = std::move(copy);
  if (!self.batching) self.Changed();
}

template <class E>
const E& Get(const PyEffect& self) {
  return std::get<E>(self.value);
}

// --- The on_state callback thread.

struct CallbackControl {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  double rate_hz = kDefaultCallbackRate;
  py::object error;  // what the callback raised; touched only with the interpreter lock
};

py::dict StateDict(const ServoState& s) {
  return py::dict(py::arg("position") = s.position, py::arg("velocity") = s.velocity, py::arg("force") = s.force,
                  py::arg("cycle") = s.cycle, py::arg("time") = s.time,
                  py::arg("holding") = s.hold != HoldReason::None);
}

// The telemetry ring's one consumer: drain() or the recording's thread (both
// with the interpreter lock, so never at once).
struct TelemetryTap {
  explicit TelemetryTap(std::shared_ptr<ServoLoop> loop_) : loop(std::move(loop_)) {}
  std::shared_ptr<ServoLoop> loop;
  uint64_t dropped_seen = 0;
};

// A NumPy dtype with TelemetryRecord's fields at their offsets; made once, on
// first use, so that importing the module does not import NumPy.
py::object TelemetryDtype() {
  static py::object* dtype = nullptr;  // kept for the life of the process
  if (dtype == nullptr) {
    py::dict layout;
    layout["names"] = py::make_tuple("time", "cycle", "position", "velocity", "force", "period_us", "exchange_us",
                                     "compute_us", "lateness_us", "flags");
    layout["formats"] = py::make_tuple("<f8", "<u8", "(3,)<f4", "(3,)<f4", "(3,)<f4", "<f4", "<f4", "<f4", "<f4", "<u4");
    layout["offsets"] = py::make_tuple(
        offsetof(TelemetryRecord, time), offsetof(TelemetryRecord, cycle), offsetof(TelemetryRecord, position),
        offsetof(TelemetryRecord, velocity), offsetof(TelemetryRecord, force), offsetof(TelemetryRecord, period_us),
        offsetof(TelemetryRecord, exchange_us), offsetof(TelemetryRecord, compute_us),
        offsetof(TelemetryRecord, lateness_us), offsetof(TelemetryRecord, flags));
    layout["itemsize"] = sizeof(TelemetryRecord);
    dtype = new py::object(py::module_::import("numpy").attr("dtype")(layout));
  }
  return *dtype;
}

// The records since the last drain, copied straight into a new array, and how
// many the ring had no room for meanwhile.
py::tuple Drain(TelemetryTap& tap) {
  TelemetryRing& ring = tap.loop->Telemetry();
  const size_t available = ring.Size();
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(available)};
  py::array records(py::dtype::from_args(TelemetryDtype()), shape);
  const size_t n = ring.Pop(static_cast<TelemetryRecord*>(records.mutable_data()), available);
  const uint64_t dropped = ring.Dropped();
  const uint64_t lost = dropped - tap.dropped_seen;
  tap.dropped_seen = dropped;
  if (n < available) records.resize({static_cast<py::ssize_t>(n)});
  return py::make_tuple(records, lost);
}

struct PyLoop;
std::set<PyLoop*>& LiveLoops() {
  static auto* loops = new std::set<PyLoop*>;
  return *loops;
}

struct PyLoop {
  PyLoop(Vorlan3& arm_, const ServoOptions& options)
      : arm(arm_), loop(std::make_shared<ServoLoop>(arm_, options)), tap(std::make_shared<TelemetryTap>(loop)) {
    LiveLoops().insert(this);
    Republish();
  }

  ~PyLoop() {
    LiveLoops().erase(this);
    Halt();
    for (auto& entry : effects) Disown(entry.second);
  }

  void Republish(bool fade = false) {
    std::vector<Effect> values;
    std::vector<EffectLease> lease_list;
    values.reserve(effects.size());
    for (const auto& entry : effects) {
      values.push_back(entry.second.cast<PyEffect&>().value);
      const auto lease = leases.find(entry.first);
      lease_list.push_back(lease != leases.end() ? lease->second : EffectLease{});
    }
    if (leases.empty()) lease_list.clear();
    loop->Publish(std::move(values), max_force, fade, std::move(lease_list));
  }

  // An update of an effect renews its leases in this loop.
  void Renew(const PyEffect* effect) {
    for (const auto& lease : leases) {
      const auto it = effects.find(lease.first);
      if (it != effects.end() && &it->second.cast<PyEffect&>() == effect) loop->Renew(lease.second.slot);
    }
  }

  void Forget(int64_t handle) {
    const auto lease = leases.find(handle);
    if (lease == leases.end()) return;
    loop->ReleaseLease(lease->second.slot);
    leases.erase(lease);
  }

  void Disown(const py::object& effect) {
    auto& owners = effect.cast<PyEffect&>().owners;
    const auto it = std::find(owners.begin(), owners.end(), this);
    if (it != owners.end()) owners.erase(it);
  }

  void Start() {
    const char* why = nullptr;
    WithoutInterpreterLock([&] { why = loop->Start(); });
    if (why != nullptr) {
      std::string message = std::string("ServoLoop.start(): ") + why;
      const SerialStream* stream = arm.stream;
      if (stream != nullptr) {
        message += " ('" + stream->PortName() + "')";
        const auto* holder = stream->GetLease().Holder();
        if (holder != nullptr && holder != loop.get()) message += std::string(": ") + holder->LeaseName();
      }
      throw std::runtime_error(message);
    }
    if (callback) StartCallbackThread();
  }

  // Stops the thread (its last exchange sends zero force), the callback and the
  // recording, and hands the arm back. Raises nothing; see TakeCallbackError.
  void Halt() {
    if (loop->Running()) {
      // While finalizing, no other Python thread may run: releasing the lock
      // would only park this one.
      if (InterpreterFinalizing()) {
        loop->Stop();
      } else {
        WithoutInterpreterLock([&] { loop->Stop(); });
      }
    }
    EndCallbackThread();
    if (recorder && !InterpreterFinalizing()) {
      try {
        StopRecording();
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("ServoLoop: ending the recording");
      }
    }
  }

  void Record(const py::object& path) {
    if (recorder) throw std::runtime_error("ServoLoop.record(): already recording; call stop_recording() first");
    std::shared_ptr<TelemetryTap> shared = tap;
    py::cpp_function drain([shared]() { return Drain(*shared); });
    py::object recording = py::module_::import("velkor_telemetry").attr("Recording");
    py::object made = recording(path, drain, py::arg("rate_hz") = loop->Options().rate_hz);
    made.attr("start")();
    recorder = made;
  }

  py::object StopRecording() {
    if (!recorder) return py::none();
    py::object made = std::move(recorder);
    recorder = py::object();
    return made.attr("stop")();
  }

  void StartCallbackThread() {
    if (!callback || !callback_fn) return;
    if (callback_thread && callback_thread.attr("is_alive")().cast<bool>()) return;
    std::shared_ptr<CallbackControl> control = callback;
    {
      std::lock_guard<std::mutex> lock(control->mutex);
      control->stop = false;
    }
    std::shared_ptr<ServoLoop> native = loop;
    py::object fn = callback_fn;
    py::cpp_function runner([control, native, fn]() {
      using Clock = std::chrono::steady_clock;
      const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / control->rate_hz));
      auto next = Clock::now();
      for (;;) {
        next += period;
        bool stop = false;
        WithoutInterpreterLock([&] {
          std::unique_lock<std::mutex> lock(control->mutex);
          control->wake.wait_until(lock, next, [&] { return control->stop; });
          stop = control->stop;
        });
        if (stop) return;
        // A slow callback is not made up for with a burst of calls.
        if (Clock::now() > next + period) next = Clock::now();
        try {
          fn(StateDict(native->State()));
        } catch (py::error_already_set& e) {
          control->error = e.value();
          throw;
        }
      }
    });
    py::object threading = py::module_::import("threading");
    callback_thread = threading.attr("Thread")(py::arg("target") = runner, py::arg("name") = "ServoLoop.on_state",
                                               py::arg("daemon") = true);
    callback_thread.attr("start")();
  }

  void EndCallbackThread() {
    if (!callback_thread) return;
    {
      std::lock_guard<std::mutex> lock(callback->mutex);
      callback->stop = true;
    }
    callback->wake.notify_all();
    py::object thread = std::move(callback_thread);
    callback_thread = py::object();
    py::object current = py::module_::import("threading").attr("current_thread")();
    if (!thread.is(current) && !InterpreterFinalizing()) thread.attr("join")();
  }

  void TakeCallbackError() {
    if (!callback || !callback->error) return;
    py::object error = std::move(callback->error);
    callback->error = py::object();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }

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

void PyEffect::Changed(bool fade) {
  for (PyLoop* owner : owners) {
    owner->Renew(this);
    owner->Republish(fade);
  }
}

std::string ErrorText(const PyLoop& self) {
  if (!self.loop->Running()) return {};
  const ServoState s = self.loop->State();
  const ServoOptions& options = self.loop->Options();
  char text[256];
  switch (s.hold) {
    case HoldReason::None:
      break;
    case HoldReason::Failures: {
      const char* outcome = OutcomeName(s.outcome);
      std::snprintf(text, sizeof text, "holding zero force: %u exchanges in a row failed (%s)",
                    s.consecutive_failures, outcome != nullptr ? outcome : "unknown");
      return text;
    }
    case HoldReason::Reconnecting: {
      const auto& id = self.loop->Identifier();
      char hex[33];
      for (size_t i = 0; i < id.size(); ++i) std::snprintf(hex + 2 * i, 3, "%02x", id[i]);
      std::snprintf(text, sizeof text,
                    "holding zero force: the port went away; looking for the arm with identifier %s "
                    "(attempt %u, every %.2f s)",
                    hex, s.reconnect_attempts, ServoLoop::kReconnectInterval);
      return text;
    }
    case HoldReason::Late:
      std::snprintf(text, sizeof text,
                    "a cycle started %.1f ms late (limit %.1f ms): the force the device had was sent again",
                    s.lateness * 1e3, options.late_limit * 1e3);
      return text;
  }
  if (s.overrun) {
    std::snprintf(text, sizeof text,
                  "the device cannot keep the rate: an exchange takes %.2f ms, the period is %.2f ms; deadlines are "
                  "being missed (stats()['missed_deadlines'])",
                  s.exchange_s * 1e3, 1e3 / options.rate_hz);
    return text;
  }
  return {};
}

py::dict StatsDict(const ServoStats& s) {
  py::dict d;
  d["cycles"] = s.cycles;
  d["rate_hz"] = s.rate_hz;
  d["period_p50_us"] = s.period_p50_us;
  d["period_p99_us"] = s.period_p99_us;
  d["period_max_us"] = s.period_max_us;
  d["late_cycles"] = s.late_cycles;
  d["exchange_p50_us"] = s.exchange_p50_us;
  d["exchange_p99_us"] = s.exchange_p99_us;
  d["compute_p50_us"] = s.compute_p50_us;
  d["compute_p99_us"] = s.compute_p99_us;
  d["failures"] = s.failures;
  d["realtime"] = s.realtime;
  d["target_rate_hz"] = s.target_rate_hz;
  d["period_error_p99_us"] = s.period_error_p99_us;
  d["exchange_max_us"] = s.exchange_max_us;
  d["held_cycles"] = s.held_cycles;
  d["holds"] = s.holds;
  d["memory_locked"] = s.memory_locked;
  d["realtime_note"] = s.realtime_note;
  d["window"] = s.window;
  d["missed_deadlines"] = s.missed_deadlines;
  d["late_resends"] = s.late_resends;
  d["fault_episodes"] = s.fault_episodes;
  d["stray_replies"] = s.stray_replies;
  d["reconnects"] = s.reconnects;
  d["lease_expiries"] = s.lease_expiries;
  d["leases_out"] = s.leases_out;
  d["telemetry_dropped"] = s.telemetry_dropped;
  return d;
}

// Stops every loop still running when the interpreter begins to exit, while
// Python threads can still be joined.
void StopAllLoops() {
  const std::set<PyLoop*> loops = LiveLoops();
  for (PyLoop* loop : loops) loop->Halt();
}

py::list ForceAt(const PyEffect& self, const std::vector<double>& position, const std::vector<double>& velocity) {
  const Vec3 f = EffectForce(self.value, ToVec3(position, "position"), ToVec3(velocity, "velocity"));
  py::list out;
  for (float x : f) out.append(x);
  return out;
}

bool Enabled(const Effect& effect) {
  return std::visit([](const auto& e) { return e.enabled; }, effect);
}

// Sets several parameters as one change: checked together, published once.
void Update(py::object self, const py::kwargs& changes) {
  PyEffect& effect = self.cast<PyEffect&>();
  const Effect saved = effect.value;
  const bool was_enabled = Enabled(saved);
  effect.batching = true;
  try {
    for (const auto& item : changes) py::setattr(self, item.first, item.second);
    effect.batching = false;
    if (const char* why = Validate(effect.value))
      throw py::value_error(std::string(py::str(self.get_type().attr("__name__"))) + ": " + why);
  } catch (...) {
    effect.batching = false;
    effect.value = saved;
    throw;
  }
  effect.Changed(Enabled(effect.value) != was_enabled);
}

// The parameters every effect has; switching one on or off fades it.
template <class Mutate>
void ChangeCommon(PyEffect& self, Mutate&& mutate) {
  Effect copy = self.value;
  std::visit(mutate, copy);
  if (!self.batching) {
    if (const char* why = Validate(copy)) throw py::value_error(std::string("Effect: ") + why);
  }
  const bool fade = Enabled(copy) != Enabled(self.value);
  self.value = std::move(copy);
  if (!self.batching) self.Changed(fade);
}

// enabled and gain, which every effect has.
template <class Cls>
void AddSwitches(Cls& cls) {
  cls.def_property(
          "enabled", [](const PyEffect& self) { return Enabled(self.value); },
          [](PyEffect& self, bool on) { ChangeCommon(self, [&](auto& e) { e.enabled = on; }); },
          "False: the effect asks for no force. A running loop fades it out and in over its ramp_s.")
      .def_property(
          "gain", [](const PyEffect& self) { return std::visit([](const auto& e) { return e.gain; }, self.value); },
          [](PyEffect& self, double gain) { ChangeCommon(self, [&](auto& e) { e.gain = ToFloat(gain); }); },
          "The effect's force is scaled by this (finite, not negative; default 1.0).");
}

template <class Cls>
void AddCommon(Cls& cls) {
  cls.def("update", &Update,
          "Change several parameters at once (keyword arguments): checked together and applied in one cycle.")
      .def("force_at", &ForceAt, py::arg("position"), py::arg("velocity") = std::vector<double>{0.0, 0.0, 0.0},
           "The force (N) this effect asks for at a position (m) and velocity (m/s).");
  AddSwitches(cls);
}

std::vector<double> ToList(const Vec3& v) { return {v[0], v[1], v[2]}; }

#include "MeshEffect.inc"

void RegisterEffects(py::module_& m) {
  py::class_<PyEffect>(m, "Effect",
                       "A force effect for ServoLoop. Parameters may be changed while a loop runs: each change "
                       "applies whole from the next cycle.");

  py::class_<PySpring, PyEffect> spring(m, "Spring", "Pulls towards an anchor: -stiffness (p - anchor) - damping v.");
  spring
      .def(py::init([](const std::vector<double>& anchor, double stiffness, double damping) {
             return std::make_unique<PySpring>(
                 Checked<Spring>(Spring{ToVec3(anchor, "anchor"), ToFloat(stiffness), ToFloat(damping)}));
           }),
           py::arg("anchor"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "anchor", [](const PySpring& s) { return ToList(Get<Spring>(s).anchor); },
          [](PySpring& s, const std::vector<double>& v) {
            const Vec3 anchor = ToVec3(v, "anchor");
            Change<Spring>(s, [&](Spring& e) { e.anchor = anchor; });
          },
          "Where the spring pulls to (m).")
      .def_property(
          "stiffness", [](const PySpring& s) { return Get<Spring>(s).stiffness; },
          [](PySpring& s, double v) { Change<Spring>(s, [&](Spring& e) { e.stiffness = ToFloat(v); }); }, "N/m.")
      .def_property(
          "damping", [](const PySpring& s) { return Get<Spring>(s).damping; },
          [](PySpring& s, double v) { Change<Spring>(s, [&](Spring& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PySpring& s) {
        const Spring& e = Get<Spring>(s);
        return "Spring(anchor=" + Format(e.anchor) + ", stiffness=" + Format(e.stiffness) +
               ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(spring);

  py::class_<PyDamper, PyEffect> damper(m, "Damper", "Resists motion: -damping v.");
  damper
      .def(py::init([](double damping) { return std::make_unique<PyDamper>(Checked<Damper>(Damper{ToFloat(damping)})); }),
           py::arg("damping"))
      .def_property(
          "damping", [](const PyDamper& s) { return Get<Damper>(s).damping; },
          [](PyDamper& s, double v) { Change<Damper>(s, [&](Damper& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PyDamper& s) { return "Damper(damping=" + Format(Get<Damper>(s).damping) + ")"; });
  AddCommon(damper);

  py::class_<PyPlane, PyEffect> plane(
      m, "Plane",
      "A one-sided wall through `point`. The free side is where `normal` points; inside the wall the tool is "
      "pushed out along the normal with stiffness times depth, less damping times the velocity along the normal. "
      "It never pulls.");
  plane
      .def(py::init([](const std::vector<double>& point, const std::vector<double>& normal, double stiffness,
                       double damping) {
             return std::make_unique<PyPlane>(Checked<Plane>(
                 Plane{ToVec3(point, "point"), ToVec3(normal, "normal"), ToFloat(stiffness), ToFloat(damping)}));
           }),
           py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "point", [](const PyPlane& s) { return ToList(Get<Plane>(s).point); },
          [](PyPlane& s, const std::vector<double>& v) {
            const Vec3 point = ToVec3(v, "point");
            Change<Plane>(s, [&](Plane& e) { e.point = point; });
          },
          "A point of the wall's surface (m).")
      .def_property(
          "normal", [](const PyPlane& s) { return ToList(Get<Plane>(s).normal); },
          [](PyPlane& s, const std::vector<double>& v) {
            const Vec3 normal = ToVec3(v, "normal");
            Change<Plane>(s, [&](Plane& e) { e.normal = normal; });
          },
          "Towards the free side; kept at unit length.")
      .def_property(
          "stiffness", [](const PyPlane& s) { return Get<Plane>(s).stiffness; },
          [](PyPlane& s, double v) { Change<Plane>(s, [&](Plane& e) { e.stiffness = ToFloat(v); }); }, "N/m.")
      .def_property(
          "damping", [](const PyPlane& s) { return Get<Plane>(s).damping; },
          [](PyPlane& s, double v) { Change<Plane>(s, [&](Plane& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PyPlane& s) {
        const Plane& e = Get<Plane>(s);
        return "Plane(point=" + Format(e.point) + ", normal=" + Format(e.normal) +
               ", stiffness=" + Format(e.stiffness) + ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(plane);

  py::class_<PySphere, PyEffect> sphere(
      m, "Sphere",
      "A solid ball that pushes the tool out (stiffness times depth, less damping times the velocity along the push), "
      "or with inside=True a shell that keeps it in. It never pulls.");
  sphere
      .def(py::init([](const std::vector<double>& center, double radius, double stiffness, bool inside,
                       double damping) {
             return std::make_unique<PySphere>(Checked<Sphere>(
                 Sphere{ToVec3(center, "center"), ToFloat(radius), ToFloat(stiffness), inside, ToFloat(damping)}));
           }),
           py::arg("center"), py::arg("radius"), py::arg("stiffness"), py::arg("inside") = false,
           py::arg("damping") = 0.0)
      .def_property(
          "center", [](const PySphere& s) { return ToList(Get<Sphere>(s).center); },
          [](PySphere& s, const std::vector<double>& v) {
            const Vec3 center = ToVec3(v, "center");
            Change<Sphere>(s, [&](Sphere& e) { e.center = center; });
          },
          "m.")
      .def_property(
          "radius", [](const PySphere& s) { return Get<Sphere>(s).radius; },
          [](PySphere& s, double v) { Change<Sphere>(s, [&](Sphere& e) { e.radius = ToFloat(v); }); }, "m.")
      .def_property(
          "stiffness", [](const PySphere& s) { return Get<Sphere>(s).stiffness; },
          [](PySphere& s, double v) { Change<Sphere>(s, [&](Sphere& e) { e.stiffness = ToFloat(v); }); }, "N/m.")
      .def_property(
          "inside", [](const PySphere& s) { return Get<Sphere>(s).inside; },
          [](PySphere& s, bool v) { Change<Sphere>(s, [&](Sphere& e) { e.inside = v; }); },
          "True: the tool is kept inside the sphere.")
      .def_property(
          "damping", [](const PySphere& s) { return Get<Sphere>(s).damping; },
          [](PySphere& s, double v) { Change<Sphere>(s, [&](Sphere& e) { e.damping = ToFloat(v); }); },
          "N s/m, against the velocity along the push while the tool is in contact; never pulls.")
      .def("__repr__", [](const PySphere& s) {
        const Sphere& e = Get<Sphere>(s);
        return "Sphere(center=" + Format(e.center) + ", radius=" + Format(e.radius) +
               ", stiffness=" + Format(e.stiffness) + ", inside=" + (e.inside ? "True" : "False") +
               ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(sphere);

  py::class_<PyBox, PyEffect> box(m, "Box",
                                  "Walls on the faces of an axis-aligned box that keep the tool inside it.");
  box.def(py::init([](const std::vector<double>& min_corner, const std::vector<double>& max_corner, double stiffness,
                       double damping) {
            return std::make_unique<PyBox>(Checked<Box>(Box{ToVec3(min_corner, "min_corner"),
                                                            ToVec3(max_corner, "max_corner"), ToFloat(stiffness),
                                                            ToFloat(damping)}));
          }),
          py::arg("min_corner"), py::arg("max_corner"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "min_corner", [](const PyBox& s) { return ToList(Get<Box>(s).min_corner); },
          [](PyBox& s, const std::vector<double>& v) {
            const Vec3 corner = ToVec3(v, "min_corner");
            Change<Box>(s, [&](Box& e) { e.min_corner = corner; });
          },
          "m.")
      .def_property(
          "max_corner", [](const PyBox& s) { return ToList(Get<Box>(s).max_corner); },
          [](PyBox& s, const std::vector<double>& v) {
            const Vec3 corner = ToVec3(v, "max_corner");
            Change<Box>(s, [&](Box& e) { e.max_corner = corner; });
          },
          "m.")
      .def_property(
          "stiffness", [](const PyBox& s) { return Get<Box>(s).stiffness; },
          [](PyBox& s, double v) { Change<Box>(s, [&](Box& e) { e.stiffness = ToFloat(v); }); }, "N/m.")
      .def_property(
          "damping", [](const PyBox& s) { return Get<Box>(s).damping; },
          [](PyBox& s, double v) { Change<Box>(s, [&](Box& e) { e.damping = ToFloat(v); }); },
          "N s/m, against the velocity on each axis whose wall the tool is in; never pulls.")
      .def("__repr__", [](const PyBox& s) {
        const Box& e = Get<Box>(s);
        return "Box(min_corner=" + Format(e.min_corner) + ", max_corner=" + Format(e.max_corner) +
               ", stiffness=" + Format(e.stiffness) + ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(box);

  py::class_<PyConstantForce, PyEffect> constant(m, "ConstantForce", "The same force (N) every cycle.");
  constant
      .def(py::init([](const std::vector<double>& force) {
             return std::make_unique<PyConstantForce>(Checked<ConstantForce>(ConstantForce{ToVec3(force, "force")}));
           }),
           py::arg("force"))
      .def_property(
          "force", [](const PyConstantForce& s) { return ToList(Get<ConstantForce>(s).force); },
          [](PyConstantForce& s, const std::vector<double>& v) {
            const Vec3 force = ToVec3(v, "force");
            Change<ConstantForce>(s, [&](ConstantForce& e) { e.force = force; });
          },
          "N.")
      .def("__repr__", [](const PyConstantForce& s) {
        return "ConstantForce(force=" + Format(Get<ConstantForce>(s).force) + ")";
      });
  AddCommon(constant);
  RegisterMesh(m);
}

constexpr const char* kLoopDoc =
    "A fixed-rate thread that drives one Vorlan3: every period it sends the summed force of its effects (clamped "
    "to max_force) in one end_effector_force exchange and keeps the state that comes back. It runs without the "
    "interpreter lock. While it runs it holds the lease of the arm's stream: every other call on the arm, on another "
    "device on the same stream, or from another loop raises RuntimeError naming this loop. Closing or reopening the "
    "stream stops the loop first. stop() always ends with a zero-force exchange; so does leaving a `with` block, "
    "collecting the object, closing the stream, or interpreter exit.\n\n"
    "Safety: from the first unanswered request at most failure_limit requests carry force; then it sends zero force, "
    "counts it and keeps trying, and ramps back in over ramp_s once replies come again. A cycle that starts more "
    "than late_limit seconds late sends the force the device already has again. `error` says why it is holding, "
    "or that the device cannot keep the rate.";

}  // namespace

void RegisterServoLoop(py::module_& m) {
  RegisterEffects(m);

  py::class_<PyLoop>(m, "ServoLoop", kLoopDoc)
      .def(py::init([](VelkorBinding::BuiltOrNone<Vorlan3> built_arm, double rate_hz, bool realtime,
                       double exchange_timeout, uint32_t failure_limit, double late_limit, double spin, double ramp_s,
                       bool reconnect, std::optional<std::vector<py::object>> reconnect_ports) {
             Vorlan3* arm = built_arm.get();
             if (arm == nullptr) throw py::type_error("ServoLoop(): the arm must be a Vorlan3, not None");
             ServoOptions options;
             options.rate_hz = rate_hz;
             options.realtime = realtime;
             options.exchange_timeout = exchange_timeout;
             options.failure_limit = failure_limit;
             options.late_limit = late_limit;
             options.ramp_s = ramp_s;
             options.reconnect = reconnect;
             if (reconnect_ports) {
               py::object fspath = py::module_::import("os").attr("fspath");
               for (const py::object& port : *reconnect_ports) {
                 py::object name = fspath(port);
                 if (!py::isinstance<py::str>(name))
                   throw py::type_error("ServoLoop: reconnect_ports must hold str or os.PathLike port names");
                 std::string text = name.cast<std::string>();
                 if (text.empty() || text.find('\0') != std::string::npos)
                   throw py::value_error("ServoLoop: a port name in reconnect_ports is empty or holds a NUL");
                 options.reconnect_ports.push_back(std::move(text));
               }
             }
             options.spin = spin < 0.0 || !std::isfinite(spin) ? spin : std::min(spin, 1.0 / std::max(rate_hz, 1.0));
             if (const char* why = Validate(options)) throw py::value_error(std::string("ServoLoop: ") + why);
             return std::make_unique<PyLoop>(*arm, options);
           }),
           py::arg("arm"), py::arg("rate_hz") = 1000.0, py::arg("realtime") = false, py::kw_only(),
           py::arg("exchange_timeout") = 0.05, py::arg("failure_limit") = 3, py::arg("late_limit") = 0.005,
           py::arg("spin") = kDefaultSpin, py::arg("ramp_s") = 0.05, py::arg("reconnect") = false,
           py::arg("reconnect_ports") = py::none(), py::keep_alive<1, 2>(),
           "rate_hz: 1 to 10000. realtime: ask for SCHED_FIFO and locked memory where the process may have them "
           "(stats() says what it got; never fails for lack of privilege). exchange_timeout: seconds each exchange "
           "may take. failure_limit, late_limit: when to hold zero force. spin: seconds before each deadline spent "
           "spinning instead of sleeping. ramp_s: seconds over which force ramps in at start and after a hold, "
           "and the slew limit when effects are added or removed (0: none). reconnect: when the port goes away, hold "
           "zero force, find the arm again by its identifier (on reconnect_ports, or every serial port when None), "
           "reopen the stream there and ramp back in.")
      .def(
          "start",
          [](PyLoop& self, py::object record) {
            if (!record.is_none()) self.Record(record);
            try {
              self.Start();
            } catch (...) {
              if (!record.is_none()) self.StopRecording();
              throw;
            }
          },
          py::arg("record") = py::none(),
          "Start the thread. RuntimeError if it runs already or another loop drives the arm. record: a path; every "
          "cycle is recorded to an MCAP file there, as record(path) does, until stop_recording() or stop().")
      .def(
          "stop",
          [](PyLoop& self) {
            self.Halt();
            self.TakeCallbackError();
          },
          "Stop the thread; its last exchange sends zero force. Re-raises an exception that the on_state callback "
          "raised.")
      .def("__enter__",
           [](py::object self) {
             self.cast<PyLoop&>().Start();
             return self;
           })
      .def("__exit__",
           [](PyLoop& self, py::object type, py::object, py::object) {
             self.Halt();
             if (type.is_none()) self.TakeCallbackError();
             return false;
           })
      .def(
          "add",
          [](PyLoop& self, py::object effect, std::optional<double> lease) {
            if (lease && (!std::isfinite(*lease) || *lease <= 0.0 || *lease > 3600.0))
              throw py::value_error("ServoLoop.add(): lease must be more than 0 and at most 3600 seconds, or None");
            if (!py::isinstance<PyEffect>(effect))
              throw py::type_error(std::string("ServoLoop.add(): effect must be a Spring, Damper, Plane, Sphere, Box "
                                               "or ConstantForce (an Effect), not ") +
                                   Py_TYPE(effect.ptr())->tp_name);
            PyEffect& native = effect.cast<PyEffect&>();
            EffectLease leased;
            if (lease) {
              leased.slot = self.loop->AcquireLease();
              if (leased.slot == ServoLoop::kNoLease)
                throw std::runtime_error("ServoLoop.add(): " + std::to_string(ServoLoop::kLeaseSlots) +
                                         " effects with a lease at most");
              leased.lease_s = *lease;
            }
            const int64_t handle = self.next_handle++;
            self.effects.emplace(handle, effect);
            if (lease) self.leases.emplace(handle, leased);
            native.owners.push_back(&self);
            self.Republish(true);
            return handle;
          },
          py::arg("effect"), py::arg("lease") = py::none(),
          "Add an effect from the next cycle on; returns its handle for remove(). lease: seconds; unless the effect "
          "is changed or renew(handle) is called within that long, its force ramps out over ramp_s, and back in "
          "at the next change or renewal (stats(): lease_expiries, leases_out).")
      .def(
          "remove",
          [](PyLoop& self, int64_t handle) {
            const auto it = self.effects.find(handle);
            if (it == self.effects.end()) throw py::key_error("no effect with handle " + std::to_string(handle));
            self.Disown(it->second);
            self.effects.erase(it);
            self.Forget(handle);
            self.Republish(true);
          },
          py::arg("handle"), "Remove the effect that add() returned this handle for.")
      .def(
          "clear",
          [](PyLoop& self) {
            for (auto& entry : self.effects) self.Disown(entry.second);
            self.effects.clear();
            while (!self.leases.empty()) self.Forget(self.leases.begin()->first);
            self.Republish(true);
          },
          "Remove every effect.")
      .def_property_readonly(
          "effects",
          [](const PyLoop& self) {
            py::dict d;
            for (const auto& entry : self.effects) d[py::int_(entry.first)] = entry.second;
            return d;
          },
          "The effects by handle (a copy of the mapping; the effects themselves are live).")
      .def_property(
          "max_force", [](const PyLoop& self) { return self.max_force; },
          [](PyLoop& self, double value) {
            const float limit = ToFloat(value);
            if (!std::isfinite(limit) || limit < 0.0f)
              throw py::value_error("max_force must be finite and not negative");
            self.max_force = limit;
            self.Republish();
          },
          "Largest magnitude (N) of the force sent; the sum of the effects is scaled down to it. Default 5.0.")
      .def_property_readonly(
          "running", [](const PyLoop& self) { return self.loop->Running(); }, "Whether the thread runs.")
      .def_property_readonly(
          "rate_hz", [](const PyLoop& self) { return self.loop->Options().rate_hz; }, "The rate asked for (Hz).")
      .def_property_readonly(
          "error",
          [](const PyLoop& self) -> py::object {
            const std::string text = ErrorText(self);
            if (text.empty()) return py::none();
            return py::str(text);
          },
          "None, or why the running loop is holding zero force.")
      .def(
          "state", [](const PyLoop& self) { return StateDict(self.loop->State()); },
          "One cycle's values: position, velocity (of the reply), force (sent), cycle, time (s since start), "
          "holding.")
      .def(
          "stats",
          [](const PyLoop& self) {
            ServoStats stats;
            // Sorting a window of 65536 samples takes a while: not with the interpreter lock.
            WithoutInterpreterLock([&] { stats = self.loop->Stats(); });
            return StatsDict(stats);
          },
          "Counters since start and timing percentiles over the last 65536 cycles (microseconds).")
      .def(
          "on_state",
          [](PyLoop& self, py::object fn, double rate_hz) {
            if (!fn.is_none() && !PyCallable_Check(fn.ptr())) throw py::type_error("on_state: fn must be callable or None");
            if (!std::isfinite(rate_hz) || rate_hz <= 0.0 || rate_hz > kHighestCallbackRate)
              throw py::value_error("on_state: rate_hz must be more than 0 and at most 1000");
            self.EndCallbackThread();
            if (fn.is_none()) {
              self.callback_fn = py::object();
              return;
            }
            auto control = std::make_shared<CallbackControl>();
            control->rate_hz = rate_hz;
            if (self.callback) control->error = std::move(self.callback->error);
            self.callback = control;
            self.callback_fn = fn;
            if (self.loop->Running()) self.StartCallbackThread();
          },
          py::arg("fn"), py::arg("rate_hz") = kDefaultCallbackRate,
          "Call fn(state) on a Python thread about rate_hz times a second while the loop runs (None: no callback). "
          "An exception ends the callback, is reported by threading.excepthook and is raised again by stop().")
      .def(
          "renew",
          [](PyLoop& self, int64_t handle) {
            if (self.effects.find(handle) == self.effects.end())
              throw py::key_error("no effect with handle " + std::to_string(handle));
            const auto lease = self.leases.find(handle);
            if (lease == self.leases.end())
              throw py::value_error("ServoLoop.renew(): the effect with handle " + std::to_string(handle) +
                                    " was added without a lease");
            self.loop->Renew(lease->second.slot);
          },
          py::arg("handle"), "Renew the lease of the effect add() returned this handle for, without changing it.")
      .def(
          "drain",
          [](PyLoop& self) {
            if (self.recorder)
              throw std::runtime_error("ServoLoop.drain(): a recording drains the telemetry; stop_recording() first");
            return Drain(*self.tap);
          },
          "Every cycle since the last drain, oldest first, as (records, lost): records is a NumPy structured array "
          "of dtype ServoLoop.telemetry_dtype (time, cycle, position, velocity, force, period_us, exchange_us, "
          "compute_us, lateness_us, flags); lost counts cycles the ring (8192 records) had no room for because "
          "nothing drained it in time.")
      .def_property_readonly_static(
          "telemetry_dtype", [](py::object) { return TelemetryDtype(); },
          "The NumPy dtype of drain()'s records.")
      .def(
          "record", [](PyLoop& self, py::object path) { self.Record(path); }, py::arg("path"),
          "Record every cycle to an MCAP file at path (velkor_telemetry.Recording, on a Python thread that drains "
          "the telemetry) until stop_recording() or stop(). RuntimeError if a recording runs already.")
      .def(
          "stop_recording", [](PyLoop& self) { return self.StopRecording(); },
          "End the recording: the cycles so far are written and the file closed. Returns its summary (path, "
          "messages, lost) or None when nothing was recording.")
      .def_property_readonly(
          "recording",
          [](const PyLoop& self) -> py::object {
            if (!self.recorder) return py::none();
            return self.recorder.attr("path");
          },
          "The path being recorded to, or None.");

  py::module_::import("atexit").attr("register")(py::cpp_function(&StopAllLoops));
}
