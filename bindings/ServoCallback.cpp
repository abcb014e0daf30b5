// The on_state callback: a Python thread that hands fn the loop's state about
// rate_hz times a second while the loop runs.

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

#include "ServoShared.hpp"

namespace servo_binding {

namespace {
// How long stop() waits for an on_state call under way to return (seconds).
constexpr double kCallbackJoinLimit = 0.1;
}  // namespace

void PyLoop::StartCallbackThread() {
  if (!callback || !callback_fn) return;
  if (callback_thread && callback_thread.attr("is_alive")().cast<bool>()) return;
  std::shared_ptr<CallbackControl> control = callback;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    generation = ++control->generation;
  }
  std::shared_ptr<ServoLoop> native = loop;
  py::object fn = callback_fn;
  py::cpp_function runner([control, native, fn, generation]() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / control->rate_hz));
    auto next = Clock::now();
    for (;;) {
      next += period;
      bool stop = false;
      WithoutInterpreterLock([&] {
        std::unique_lock<std::mutex> lock(control->mutex);
        control->wake.wait_until(lock, next, [&] { return control->generation != generation; });
        stop = control->generation != generation;
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

void PyLoop::EndCallbackThread() {
  if (!callback_thread) return;
  {
    std::lock_guard<std::mutex> lock(callback->mutex);
    ++callback->generation;
  }
  callback->wake.notify_all();
  py::object thread = std::move(callback_thread);
  callback_thread = py::object();
  py::object current = py::module_::import("threading").attr("current_thread")();
  // A callback still busy (or waiting on this very thread) does not hold up
  // stop(): it gets a moment to end, then finishes on its own and is not
  // called again.
  if (!thread.is(current) && !InterpreterFinalizing()) thread.attr("join")(kCallbackJoinLimit);
}

void PyLoop::TakeCallbackError() {
  if (!callback || !callback->error) return;
  py::object error = std::move(callback->error);
  callback->error = py::object();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace servo_binding
