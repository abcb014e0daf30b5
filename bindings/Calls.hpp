#pragma once

#include <pybind11/pybind11.h>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "EndForce.hpp"
#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/Interrupt.hpp"

namespace py = pybind11;

namespace VelkorBinding {

// Whether the interpreter is shutting down; safe to ask without the lock.
bool RuntimeFinalizing();

// Blocks this thread for good. A thread that would take the lock back while the
// runtime finalizes is ended by the interpreter with a forced unwind, which
// aborts the process when it meets a noexcept frame; the process is about to
// end anyway, so the thread waits for that instead.
[[noreturn]] void Park();

// Runs fn. If the interpreter ends this thread inside it (a daemon thread that
// meets the finalizing runtime when it takes the lock), the thread parks here
// instead of unwinding through native frames that cannot take that.
template <typename Fn>
void ParkOnForcedUnwind(Fn&& fn) {
#ifdef __GLIBCXX__
  try {
    fn();
  } catch (abi::__forced_unwind&) {
    Park();
  }
#else
  fn();
#endif
}

class CallScope;

// Releases the interpreter lock for its lifetime, like gil_scoped_release, but
// never takes it back once the runtime is finalizing unless this thread is the
// one finalizing (it held the lock when finalization had already begun).
class ReleaseLock {
 public:
  explicit ReleaseLock(CallScope* scope = nullptr);
  ~ReleaseLock();
  ReleaseLock(const ReleaseLock&) = delete;
  ReleaseLock& operator=(const ReleaseLock&) = delete;

  // True when taking the lock back now would end this thread.
  bool MustNotReacquire() const { return !finalizer_ && RuntimeFinalizing(); }
  // Runs fn with the lock held for a moment. False without running it when the
  // lock must not be taken back.
  template <typename Fn>
  bool WithLock(Fn&& fn) {
    if (MustNotReacquire()) return false;
    ParkOnForcedUnwind([this] { PyEval_RestoreThread(tstate_); });
    fn();
    tstate_ = PyEval_SaveThread();
    return true;
  }

 private:
  PyThreadState* tstate_;
  CallScope* scope_;
  bool finalizer_;
};

// Takes the lock for Python code called from native code that may run with the
// lock released (the handle's callbacks); nothing to take when this thread
// holds it already.
class AcquireLock {
 public:
  AcquireLock() {
    ParkOnForcedUnwind([this] { state_ = PyGILState_Ensure(); });
  }
  ~AcquireLock() { PyGILState_Release(state_); }
  AcquireLock(const AcquireLock&) = delete;
  AcquireLock& operator=(const AcquireLock&) = delete;

 private:
  PyGILState_STATE state_{};
};

// fn(*args) with the lock held; a Python exception leaves as error_already_set.
void CallPython(py::handle fn, const py::tuple& args);

// Everything a blocking call needs around its native work, created and ended
// with the lock held: an interruption check for the library's waits (pending
// Python signals on the main thread), and the error lines logged meanwhile,
// handed to the Python error handler when the scope ends.
class CallScope {
 public:
  // capture: the lines logged on this thread during the call stay with the
  // scope until it ends, so that an exception raised for the call can carry
  // them instead of their being printed (strict devices).
  explicit CallScope(bool capture = false);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // Raises what a signal handler raised during the call, if anything.
  void RaiseIfInterrupted();
  // Called while another exception leaves the call: a pending interruption
  // wins, with that exception as its context.
  void PreferInterrupt(py::error_already_set& other);
  // The lines logged so far for an exception to carry. Without an error
  // handler they are taken, so they are not printed as well; with one they
  // still go to it when the scope ends.
  std::vector<std::string> TakeLinesForException();

 private:
  friend class ReleaseLock;
  static bool Check(void* context);
  bool CheckSignalsHoldingLock();

  ReleaseLock* release_ = nullptr;
  std::optional<py::error_already_set> raised_;
  std::optional<Velkor::HardwareAPI::ScopedInterruptCheck> check_;
  std::vector<std::string> lines_;
  std::vector<std::string>* previous_lines_;
  size_t previous_dropped_;
  bool previous_capture_;
};

// The lock policy of a bound operation.
enum class Lock { Held, Released };

// Counts device calls in progress per stream, so that closing or reopening a
// stream under a call (from another thread, a signal handler or a callback)
// is refused instead of pulling the port from under it. Lock held.
class StreamInUse {
 public:
  explicit StreamInUse(const Velkor::HardwareAPI::IO::SerialStream* stream);
  ~StreamInUse();
  StreamInUse(const StreamInUse&) = delete;
  StreamInUse& operator=(const StreamInUse&) = delete;

  static bool Busy(const Velkor::HardwareAPI::IO::SerialStream* stream);

 private:
  const Velkor::HardwareAPI::IO::SerialStream* stream_;
};

// Holds the stream's call lock for a whole device call, so that two Python
// threads sharing a stream each get their own reply. Free: taken at once.
// Taken by another thread: waited for with the interpreter lock released, in
// short slices that answer an interruption (Ctrl-C) like every other wait.
// Created and ended with the interpreter lock held.
class HoldStreamCalls {
 public:
  HoldStreamCalls(Velkor::HardwareAPI::IO::SerialStream* stream, CallScope& scope);
  ~HoldStreamCalls();
  HoldStreamCalls(const HoldStreamCalls&) = delete;
  HoldStreamCalls& operator=(const HoldStreamCalls&) = delete;

  // False when the wait was interrupted: the call must not go on.
  bool Held() const { return held_; }

 private:
  Velkor::HardwareAPI::IO::SerialStream* stream_;
  bool held_ = false;
};

template <typename Work>
decltype(auto) RunWork(CallScope& scope, Lock lock, Work& work) {
  try {
    if (lock == Lock::Released) {
      ReleaseLock unlock(&scope);
      return work();
    }
    return work();
  } catch (py::error_already_set& error) {
    scope.PreferInterrupt(error);
    throw;
  } catch (const std::exception&) {
    scope.RaiseIfInterrupted();
    throw;
  }
}

// A blocking operation that is not a device call (discovery, opening a port).
template <typename Work>
auto Call(Lock lock, Work&& work) -> decltype(work()) {
  CallScope scope;
  if constexpr (std::is_void_v<decltype(work())>) {
    RunWork(scope, lock, work);
    scope.RaiseIfInterrupted();
  } else {
    auto result = RunWork(scope, lock, work);
    scope.RaiseIfInterrupted();
    return result;
  }
}

// Device strictness: the binding's own per-device setting.
bool IsStrict(const Velkor::HardwareAPI::Devices::Device& device);
void SetStrict(const Velkor::HardwareAPI::Devices::Device& device, bool strict);
void ForgetDevice(const Velkor::HardwareAPI::Devices::Device* device);
// Which failures a strict device raises for.
enum class Strict {
  AnyFailure,
  ShortReadIsAResult,  // raw reads return what came in time: only a lost port raises
};
// Raises the module's DeviceError subclass for the device's last outcome when
// the device is strict and the call failed, carrying the call's error lines.
void RaiseIfStrict(const Velkor::HardwareAPI::Devices::Device& device, const char* method, Strict rule,
                   CallScope* scope = nullptr);

// The opt-in limit on the norm of a force a device call sends directly; unset by default.
std::optional<float> MaxForce(const Velkor::HardwareAPI::Devices::Device& device);
void SetMaxForce(const Velkor::HardwareAPI::Devices::Device& device, std::optional<float> limit);
// Told of every change of a device's limit (the servo loops on it take the lower of theirs and it).
void OnMaxForceChange(void (*listener)(const Velkor::HardwareAPI::Devices::Device& device));

// The opt-in refusal of position and angle requests far outside the arm's reach; off by default.
bool RefusesOutOfReach(const Velkor::HardwareAPI::Devices::Device& device);
void SetRefuseOutOfReach(const Velkor::HardwareAPI::Devices::Device& device, bool refuse);

// Raises RuntimeError naming the holder when another owner (a running servo
// loop) holds the lease of the device's stream; clears the thread's refusal mark.
void RequireLease(const Velkor::HardwareAPI::Devices::Device& device, const char* method);
// Raises RuntimeError, before any I/O and with last_error 'port_gone', when
// the device's stream was opened by another process (a forked child using the
// descriptor it inherited would take the parent's replies, and the parent its).
void RequireOpenedHere(Velkor::HardwareAPI::Devices::Device& device, const char* method);
// The same, after a call: raises only when the lease refused it.
void RaiseIfRefused(const Velkor::HardwareAPI::Devices::Device& device, const char* method);

// A device call: the lease checked (before, and after in case a loop took it
// meanwhile and refused the call), the stream marked in use, the call scope, the lock policy,
// then the interruption and the strict mode decide how it ends.
template <typename Work>
auto DeviceCall(Velkor::HardwareAPI::Devices::Device& device, const char* method, Lock lock, Work&& work,
                Strict rule = Strict::AnyFailure) -> decltype(work()) {
  RequireOpenedHere(device, method);
  RequireLease(device, method);
  StreamInUse in_use(device.stream);
  CallScope scope(IsStrict(device));
  HoldStreamCalls serial(device.stream, scope);
  if (!serial.Held()) {
    scope.RaiseIfInterrupted();
    throw std::runtime_error(std::string(method) + "(): interrupted while waiting for the stream");
  }
  if constexpr (std::is_void_v<decltype(work())>) {
    RunWork(scope, lock, work);
    scope.RaiseIfInterrupted();
    RaiseIfRefused(device, method);
    RaiseIfStrict(device, method, rule, &scope);
  } else {
    auto result = RunWork(scope, lock, work);
    scope.RaiseIfInterrupted();
    RaiseIfRefused(device, method);
    RaiseIfStrict(device, method, rule, &scope);
    return result;
  }
}

// Destroys a device and forgets the binding's settings for it.
struct DeviceDeleter {
  template <typename T>
  void operator()(T* device) const noexcept {
    EndArmForce(device);
    ForgetDevice(device);
    delete device;
  }
};

template <typename T>
using DeviceHolder = std::unique_ptr<T, DeviceDeleter>;

// Hands queued error lines to the Python handler; lock held.
void DeliverErrorLines(std::vector<std::string>& lines, size_t dropped);
// True while a Python error handler is set.
bool HasErrorHandler();

}  // namespace VelkorBinding
