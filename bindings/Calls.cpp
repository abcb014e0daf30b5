#include "Calls.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "Errors.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Outcome.hpp"
#include "Velkor/HardwareAPI/Log.hpp"
#include "Velkor/HardwareAPI/Platform/ServoTiming.hpp"

namespace VelkorBinding {

namespace api = Velkor::HardwareAPI;
using api::Devices::Device;
using api::Devices::Outcome;
using api::IO::SerialStream;

bool RuntimeFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void Park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

namespace {

// Error lines are collected per call on the thread that logs them; lines from
// threads outside any call (probe workers, loops of the library's own) wait in
// one queue for the next call to end. Bounded, so a flood cannot eat memory.
constexpr size_t kMaxQueuedLines = 1000;
thread_local std::vector<std::string>* call_lines = nullptr;
thread_local size_t call_lines_dropped = 0;
// Whether the innermost call on this thread keeps its lines (see CallScope).
thread_local bool call_captures = false;

// Never destroyed: a daemon thread still inside the library may log while the
// process exits and runs the destructors of statics.
struct LineQueue {
  std::mutex mutex;
  std::vector<std::string> lines;
  size_t dropped = 0;
};
LineQueue& queue = *new LineQueue;
std::atomic<bool> queue_pending{false};

// Owned reference, never released at exit: the interpreter may be gone by then.
PyObject* error_handler = nullptr;
// Read by threads that log without the interpreter lock.
std::atomic<bool> handler_installed{false};

void Enqueue(std::vector<std::string>& lines, size_t& dropped, const char* line, size_t length) {
  if (lines.size() < kMaxQueuedLines) {
    lines.emplace_back(line, length);
  } else {
    ++dropped;
  }
}

// Installed for good at import: without a handler, only the lines of a
// capturing call are kept back; every other line is printed at once, as the
// library prints without a sink.
void LineSink(const char* line, size_t length, void*) {
  try {
    const bool handler = handler_installed.load(std::memory_order_acquire);
    if (call_lines != nullptr && (handler || call_captures)) {
      Enqueue(*call_lines, call_lines_dropped, line, length);
      return;
    }
    if (!handler) {
      api::WriteErrorLine(line, length);
      return;
    }
    std::lock_guard<std::mutex> lock(queue.mutex);
    Enqueue(queue.lines, queue.dropped, line, length);
    queue_pending.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // A line that cannot be stored is lost; the library must not see an exception.
  }
}

void DeliverQueuedLines() {
  if (!queue_pending.load(std::memory_order_acquire)) return;
  std::vector<std::string> lines;
  size_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    lines.swap(queue.lines);
    dropped = queue.dropped;
    queue.dropped = 0;
    queue_pending.store(false, std::memory_order_release);
  }
  DeliverErrorLines(lines, dropped);
}

unsigned long MainThreadIdent() {
  try {
    return py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  } catch (py::error_already_set&) {
    return 0;
  }
}

// Only the main thread runs Python's signal handlers; elsewhere a check could
// never see anything.
bool OnMainThread() {
  static const unsigned long main_thread = MainThreadIdent();
  return PyThread_get_thread_ident() == main_thread;
}

std::vector<const SerialStream*>& streams_in_use = *new std::vector<const SerialStream*>;
std::unordered_set<const Device*>& strict_devices = *new std::unordered_set<const Device*>;
std::unordered_map<const Device*, float>& max_forces = *new std::unordered_map<const Device*, float>;
std::unordered_set<const Device*>& reach_refusing = *new std::unordered_set<const Device*>;

}  // namespace

ReleaseLock::ReleaseLock(CallScope* scope) : tstate_(nullptr), scope_(scope), finalizer_(RuntimeFinalizing()) {
  tstate_ = PyEval_SaveThread();
  if (scope_ != nullptr) scope_->release_ = this;
}

ReleaseLock::~ReleaseLock() {
  if (scope_ != nullptr) scope_->release_ = nullptr;
  if (MustNotReacquire()) Park();
  // Finalization may still begin between the check and taking the lock.
  ParkOnForcedUnwind([this] { PyEval_RestoreThread(tstate_); });
}

void CallPython(py::handle fn, const py::tuple& args) {
  bool failed = false;
  // The result goes too: its destructor may run Python code.
  ParkOnForcedUnwind([&] {
    PyObject* result = PyObject_Call(fn.ptr(), args.ptr(), nullptr);
    failed = result == nullptr;
    Py_XDECREF(result);
  });
  if (failed) throw py::error_already_set();
}

CallScope::CallScope(bool capture)
    : previous_lines_(call_lines), previous_dropped_(call_lines_dropped), previous_capture_(call_captures) {
  if (OnMainThread()) check_.emplace(&CallScope::Check, this);
  call_lines = &lines_;
  call_lines_dropped = 0;
  call_captures = capture;
}

CallScope::~CallScope() {
  check_.reset();
  const size_t dropped = call_lines_dropped;
  call_lines = previous_lines_;
  call_lines_dropped = previous_dropped_;
  call_captures = previous_capture_;
  if (!lines_.empty() || dropped != 0) DeliverErrorLines(lines_, dropped);
  DeliverQueuedLines();
}

bool CallScope::Check(void* context) {
  auto* scope = static_cast<CallScope*>(context);
  if (scope->raised_) return true;
  if (scope->release_ == nullptr) return scope->CheckSignalsHoldingLock();
  bool raised = false;
  // During finalization the wait ends at once; the release guard then parks.
  if (!scope->release_->WithLock([&] { raised = scope->CheckSignalsHoldingLock(); })) return true;
  return raised;
}

bool CallScope::CheckSignalsHoldingLock() {
  if (PyErr_CheckSignals() == 0) return false;
  // Taken out of the interpreter now, so the rest of the call runs with no
  // error pending; raised again when the call returns.
  raised_.emplace();
  return true;
}

void CallScope::RaiseIfInterrupted() {
  if (!raised_) return;
  py::error_already_set error = std::move(*raised_);
  raised_.reset();
  throw error;
}

std::vector<std::string> CallScope::TakeLinesForException() {
  std::vector<std::string> lines;
  if (HasErrorHandler()) {
    lines = lines_;
  } else {
    lines.swap(lines_);
  }
  if (call_lines_dropped != 0) {
    lines.push_back("[err] " + std::to_string(call_lines_dropped) + " more error lines were dropped");
    if (!HasErrorHandler()) call_lines_dropped = 0;
  }
  return lines;
}

void CallScope::PreferInterrupt(py::error_already_set& other) {
  if (!raised_) return;
  PyException_SetContext(raised_->value().ptr(), other.value().inc_ref().ptr());
  RaiseIfInterrupted();
}

StreamInUse::StreamInUse(const SerialStream* stream) : stream_(stream) {
  if (stream_ != nullptr) streams_in_use.push_back(stream_);
}

StreamInUse::~StreamInUse() {
  if (stream_ == nullptr) return;
  const auto found = std::find(streams_in_use.begin(), streams_in_use.end(), stream_);
  if (found != streams_in_use.end()) {
    *found = streams_in_use.back();
    streams_in_use.pop_back();
  }
}

bool StreamInUse::Busy(const SerialStream* stream) {
  return std::find(streams_in_use.begin(), streams_in_use.end(), stream) != streams_in_use.end();
}

HoldStreamCalls::HoldStreamCalls(SerialStream* stream, CallScope& scope) : stream_(stream) {
  if (stream_ == nullptr || stream_->Calls().TryLock()) {
    held_ = true;
    return;
  }
  // Short slices: an interruption is seen well within its 50 ms.
  constexpr std::chrono::milliseconds kSlice{5};
  ReleaseLock unlock(&scope);
  while (!(held_ = stream_->Calls().TryLockFor(kSlice))) {
    if (api::InterruptRequested()) break;
  }
}

HoldStreamCalls::~HoldStreamCalls() {
  if (held_ && stream_ != nullptr) stream_->Calls().Unlock();
}

bool IsStrict(const Device& device) { return strict_devices.count(&device) != 0; }

void SetStrict(const Device& device, bool strict) {
  if (strict) {
    strict_devices.insert(&device);
  } else {
    strict_devices.erase(&device);
  }
}

void ForgetDevice(const Device* device) {
  ForgetArmForce(device);
  strict_devices.erase(device);
  max_forces.erase(device);
  reach_refusing.erase(device);
}

bool RefusesOutOfReach(const Device& device) { return reach_refusing.count(&device) != 0; }

void SetRefuseOutOfReach(const Device& device, bool refuse) {
  if (refuse) {
    reach_refusing.insert(&device);
  } else {
    reach_refusing.erase(&device);
  }
}

std::optional<float> MaxForce(const Device& device) {
  const auto found = max_forces.find(&device);
  if (found == max_forces.end()) return std::nullopt;
  return found->second;
}

namespace {
void (*max_force_listener)(const Device&) = nullptr;
}  // namespace

void SetMaxForce(const Device& device, std::optional<float> limit) {
  if (limit) {
    max_forces[&device] = *limit;
  } else {
    max_forces.erase(&device);
  }
  if (max_force_listener != nullptr) max_force_listener(device);
}

void OnMaxForceChange(void (*listener)(const Device& device)) { max_force_listener = listener; }

namespace {

[[noreturn]] void RaiseLeased(const Device& device, const char* method) {
  const api::IO::LeaseHolder* holder = device.stream != nullptr ? device.stream->GetLease().Holder() : nullptr;
  // The holder may have let go since the check: then the call was only unlucky.
  const char* name = holder != nullptr ? holder->LeaseName() : "a servo loop";
  PyErr_Format(PyExc_RuntimeError, "%s(): the arm's stream '%s' is driven by %s; stop that loop first", method,
               device.stream != nullptr ? device.stream->PortName().c_str() : "", name);
  throw py::error_already_set();
}

}  // namespace

void RequireOpenedHere(Device& device, const char* method) {
  const SerialStream* stream = device.stream;
  if (stream == nullptr || stream->OpenedBy() == 0) return;
  const int64_t here = api::Platform::CurrentProcess();
  if (stream->OpenedBy() == here) return;
  device.last_outcome = Outcome::PortGone;
  throw std::runtime_error(std::string(method) + "(): the stream '" + stream->PortName() +
                           "' was opened by another process (pid " + std::to_string(stream->OpenedBy()) +
                           "): a call here would take that process's replies");
}

void RequireLease(const Device& device, const char* method) {
  Device::ForgetRefusal();
  if (!device.Admits()) RaiseLeased(device, method);
}

void RaiseIfRefused(const Device& device, const char* method) {
  if (Device::RefusedOnThisThread()) RaiseLeased(device, method);
}

void RaiseIfStrict(const Device& device, const char* method, Strict rule, CallScope* scope) {
  const Outcome outcome = device.last_outcome;
  // An interrupted call has raised already: the exception is what the caller sees.
  if (outcome == Outcome::Ok || outcome == Outcome::Interrupted || !IsStrict(device)) return;
  if (rule == Strict::ShortReadIsAResult && outcome != Outcome::PortGone) return;
  ErrorDetails details;
  details.call = method;
  details.port = device.stream != nullptr ? device.stream->PortName() : std::string();
  details.outcome = api::Devices::OutcomeName(outcome);
  if (scope != nullptr) details.lines = scope->TakeLinesForException();
  const std::string& port = details.port;
  ErrorKind kind = ErrorKind::Device;
  std::string message = std::string(method) + ": ";
  switch (outcome) {
    case Outcome::Timeout:
      kind = ErrorKind::Timeout;
      message += "the device on '" + port + "' did not reply in time";
      break;
    case Outcome::BadReply:
      kind = ErrorKind::BadReply;
      message += "the device on '" + port + "' sent a reply that does not answer the request";
      break;
    case Outcome::PortGone:
      kind = ErrorKind::PortGone;
      message += "the port '" + port + "' is closed or its device went away";
      break;
    case Outcome::WriteFailed:
      kind = ErrorKind::WriteFailed;
      message += "the request could not be written to '" + port + "'";
      break;
    default:
      message += std::string("the call on '") + port + "' failed";
      break;
  }
  RaiseDeviceError(kind, message, details);
}

void DeliverErrorLines(std::vector<std::string>& lines, size_t dropped) {
  if (dropped != 0) lines.push_back("[err] " + std::to_string(dropped) + " more error lines were dropped");
  if (lines.empty()) return;
  if (error_handler == nullptr) {
    // Kept back by a call, or logged for a handler that went away since: standard error, as without one.
    for (const std::string& line : lines) api::WriteErrorLine(line.data(), line.size());
    lines.clear();
    return;
  }
  py::error_scope keep_pending_error;
  // The handler may replace itself; this batch goes to the one it was logged for.
  const py::object handler = py::reinterpret_borrow<py::object>(error_handler);
  for (const std::string& line : lines) {
    PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "backslashreplace");
    bool failed = text == nullptr;
    if (text != nullptr) {
      ParkOnForcedUnwind([&] {
        PyObject* result = PyObject_CallFunctionObjArgs(handler.ptr(), text, nullptr);
        failed = result == nullptr;
        Py_XDECREF(result);
        Py_DECREF(text);
      });
    }
    // Like a failing logging handler, a failing error handler does not change
    // the outcome of the call that logged.
    if (failed) PyErr_WriteUnraisable(handler.ptr());
  }
  lines.clear();
}

bool HasErrorHandler() { return handler_installed.load(std::memory_order_acquire); }

}  // namespace VelkorBinding

void RegisterErrorHandler(py::module_& m) {
  Velkor::HardwareAPI::SetLogSink(&VelkorBinding::LineSink, nullptr);
  m.def(
      "set_error_handler",
      [](py::object handler) {
        if (!handler.is_none() && PyCallable_Check(handler.ptr()) == 0)
          throw py::type_error("set_error_handler(): the handler must be callable or None");
        // What was logged for the previous handler goes to it first.
        VelkorBinding::DeliverQueuedLines();
        PyObject* previous = VelkorBinding::error_handler;
        if (handler.is_none()) {
          VelkorBinding::error_handler = nullptr;
          VelkorBinding::handler_installed.store(false, std::memory_order_release);
        } else {
          VelkorBinding::error_handler = handler.inc_ref().ptr();
          VelkorBinding::handler_installed.store(true, std::memory_order_release);
        }
        Py_XDECREF(previous);
      },
      py::arg("handler"),
      "Pass each error line to handler(line) as a str without its newline, instead of writing it to standard "
      "error. Lines are delivered on the calling thread when a call of this module returns (lines of "
      "discovery workers with the detect call that started them). None restores standard error.");
}
