#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Calls.hpp"
#include "ServoShared.hpp"
#include "Termination.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

namespace servo_binding {

using Velkor::HardwareAPI::IO::SerialStream;

namespace {

constexpr double kHighestCallbackRate = 1000.0;
// Waking this long before each deadline and spinning the rest: in the servo
// benchmark the median period came out 4-6 us long without it, on time with it.
constexpr double kDefaultSpin = 50e-6;

std::set<PyLoop*>& LiveLoops() {
  static auto* loops = new std::set<PyLoop*>;
  return *loops;
}

}  // namespace

PyLoop::PyLoop(Vorlan3& arm_, const ServoOptions& options)
    : arm(arm_), loop(std::make_shared<ServoLoop>(arm_, options)), tap(std::make_shared<TelemetryTap>(loop)) {
  LiveLoops().insert(this);
  Republish();
}

PyLoop::~PyLoop() {
  LiveLoops().erase(this);
  Halt();
  for (auto& entry : effects) Disown(entry.second);
}

void PyLoop::Republish(bool fade) {
  std::vector<Effect> values;
  std::vector<EffectLease> lease_list;
  values.reserve(effects.size());
  for (const auto& entry : effects) {
    values.push_back(entry.second.cast<PyEffect&>().value);
    const auto lease = leases.find(entry.first);
    lease_list.push_back(lease != leases.end() ? lease->second : EffectLease{});
  }
  if (leases.empty()) lease_list.clear();
  // The arm's own limit, when set, bounds the loop's too: the lower of the two applies.
  float limit = max_force;
  if (const std::optional<float> arm_limit = VelkorBinding::MaxForce(arm)) limit = std::min(limit, *arm_limit);
  loop->Publish(std::move(values), limit, fade, std::move(lease_list));
}

void PyLoop::Renew(const PyEffect* effect) {
  for (const auto& lease : leases) {
    const auto it = effects.find(lease.first);
    if (it != effects.end() && &it->second.cast<PyEffect&>() == effect) loop->Renew(lease.second.slot);
  }
}

void PyLoop::Forget(int64_t handle) {
  const auto lease = leases.find(handle);
  if (lease == leases.end()) return;
  loop->ReleaseLease(lease->second.slot);
  leases.erase(lease);
}

void PyLoop::Disown(const py::object& effect) {
  auto& owners = effect.cast<PyEffect&>().owners;
  const auto it = std::find(owners.begin(), owners.end(), this);
  if (it != owners.end()) owners.erase(it);
}

void PyLoop::Start() {
  VelkorBinding::RequireOpenedHere(arm, "ServoLoop.start");
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
  VelkorBinding::WatchLoop(loop);
  if (callback) StartCallbackThread();
}

void PyLoop::Halt() {
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

namespace {

// The stiffness of an effect that has one, and its class's name.
std::pair<double, const char*> StiffnessOf(const Effect& effect) {
  if (const auto* e = std::get_if<Spring>(&effect)) return {e->stiffness, "Spring"};
  if (const auto* e = std::get_if<Plane>(&effect)) return {e->stiffness, "Plane"};
  if (const auto* e = std::get_if<Sphere>(&effect)) return {e->stiffness, "Sphere"};
  if (const auto* e = std::get_if<Box>(&effect)) return {e->stiffness, "Box"};
  if (const auto* e = std::get_if<Mesh>(&effect)) return {e->material.stiffness, "Mesh"};
  return {0.0, nullptr};
}

}  // namespace

void WarnIfTooStiff(const PyEffect& effect, const PyLoop* loop) {
  const auto [stiffness, name] = StiffnessOf(effect.value);
  if (name == nullptr) return;
  for (const PyLoop* owner : effect.owners) {
    if (loop != nullptr && owner != loop) continue;
    const ServoOptions& options = owner->loop->Options();
    const double limit = StableStiffness(options.rate_hz);
    if (!(stiffness > limit)) continue;
    char text[400];
    std::snprintf(text, sizeof text,
                  "%s: stiffness %g N/m is more than %s renders stably (at most %.0f N/m at %g Hz: 0.0135 / T^2 "
                  "for a period T); %s",
                  name, stiffness, owner->loop->LeaseName(), limit, options.rate_hz,
                  options.stiff_contact ? "it is rendered at that stiffness, damped along its push"
                                        : "with stiff_contact=False it will buzz");
    if (PyErr_WarnEx(PyExc_UserWarning, text, 1) != 0) throw py::error_already_set();
    return;
  }
}

void PyEffect::Changed(bool fade) {
  for (PyLoop* owner : owners) {
    owner->Renew(this);
    owner->Republish(fade);
  }
}

namespace {

void ArmLimitChanged(const Velkor::HardwareAPI::Devices::Device& device) {
  for (PyLoop* loop : LiveLoops())
    if (static_cast<const Velkor::HardwareAPI::Devices::Device*>(&loop->arm) == &device) loop->Republish(true);
}

// Stops every loop still running when the interpreter begins to exit, while
// Python threads can still be joined.
void StopAllLoops() {
  const std::set<PyLoop*> loops = LiveLoops();
  for (PyLoop* loop : loops) loop->Halt();
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

}  // namespace servo_binding

void RegisterServoLoop(py::module_& m) {
  using namespace servo_binding;
  RegisterEffects(m);

  py::class_<PyLoop> servo_loop(m, "ServoLoop", kLoopDoc);
  servo_loop
      .def(py::init([](VelkorBinding::BuiltOrNone<Vorlan3> built_arm, double rate_hz, bool realtime,
                       double exchange_timeout, uint32_t failure_limit, double late_limit, double spin, double ramp_s,
                       bool reconnect, std::optional<std::vector<py::object>> reconnect_ports, bool stiff_contact) {
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
             options.stiff_contact = stiff_contact;
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
           py::arg("reconnect_ports") = py::none(), py::arg("stiff_contact") = true, py::keep_alive<1, 2>(),
           "rate_hz: 1 to 10000. realtime: ask for SCHED_FIFO and locked memory where the process may have them "
           "(stats() says what it got; never fails for lack of privilege). exchange_timeout: seconds each exchange "
           "may take. failure_limit, late_limit: when to hold zero force. spin: seconds before each deadline spent "
           "spinning instead of sleeping. ramp_s: seconds over which force ramps in at start and after a hold, "
           "and the slew limit when effects are added or removed (0: none). reconnect: when the port goes away, hold "
           "zero force, find the arm again by its identifier (on reconnect_ports, or every serial port when None), "
           "reopen the stream there and ramp back in. stiff_contact: render springs, walls, balls, boxes and meshes "
           "stiffer than the measured period keeps stable damped along their push, and at most as stiff as it "
           "allows (False: as given, however they buzz).")
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
              throw py::type_error(std::string("ServoLoop.add(): effect must be a Spring, Damper, Plane, Sphere, Box, "
                                               "ConstantForce or Mesh (an Effect), not ") +
                                   Py_TYPE(effect.ptr())->tp_name);
            PyEffect& native = effect.cast<PyEffect&>();
            const std::string far = GeometryOutOfReach(
                native.value, py::str(effect.get_type().attr("__name__")).cast<std::string>().c_str());
            // Python's registry shows it once per line of the program and effect.
            if (!far.empty() && PyErr_WarnEx(PyExc_UserWarning, far.c_str(), 1) != 0) throw py::error_already_set();
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
            WarnIfTooStiff(native, &self);
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
            // Lowered: clamped from the next cycle on; raised: reached slew-limited.
            self.Republish(true);
          },
          "Largest magnitude (N) of the force sent; the sum of the effects is scaled down to it (or to the arm's "
          "max_force when that is lower). Default 5.0. A "
          "lower limit applies from the next cycle; a higher one is reached no faster than max_force per ramp_s.")
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
          "holding, valid (position and velocity are a reply of this run: False until the arm first answered, "
          "and again after a reconnect until it answers).")
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
          py::arg("handle"), "Renew the lease of the effect add() returned this handle for, without changing it.");
  RegisterLoopTelemetry(servo_loop);

  py::module_::import("atexit").attr("register")(py::cpp_function(&StopAllLoops));
  VelkorBinding::OnMaxForceChange(&ArmLimitChanged);
}
