#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "BindingHelpers.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/Handle.hpp"

// The pure-virtual message names the class as spelled in the override macro.
namespace API = Velkor::HardwareAPI;

using API::Devices::Handle;
using API::Devices::StrixelStatus;
using API::IO::SerialStream;
using VelkorBinding::DeviceCall;
using VelkorBinding::Lock;
using namespace pybind11::literals;

namespace {

using HandleRef = VelkorBinding::Built<Handle>;

constexpr size_t kQuaternionSize = 4;
constexpr size_t kUserDataCapacity = 255;

// Both need the lock: the upcall takes it before its arguments are built.
py::list FloatList(const float* values, size_t n) {
  py::list list(n);
  for (size_t i = 0; i < n; ++i) list[i] = py::float_(values[i]);
  return list;
}

py::list ByteList(const uint8_t* bytes, size_t n) {
  py::list list(n);
  for (size_t i = 0; i < n; ++i) list[i] = py::int_(bytes[i]);
  return list;
}

// Hands the field-taking callbacks to the methods a Python subclass defines.
// The upcall is written out rather than taken from pybind11's override macros:
// a daemon thread inside a callback when the interpreter finalizes must park,
// not unwind through their lock guards.
class TrampolineHandle : public API::Devices::Handle {
 public:
  using API::Devices::Handle::Handle;
  using API::Devices::Handle::OnReceiveHandleErrorResponse;
  using API::Devices::Handle::OnReceiveHandleInfo;
  using API::Devices::Handle::OnReceiveHandleStatusMessage;

  void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                           uint8_t hardware_version, uint8_t firmware_version) override {
    const bool called = CallOverride("OnReceiveHandleInfo", [&] {
      return py::make_tuple(tool_data_remaining, device_id, device_model_number, hardware_version, firmware_version);
    });
    if (!called)
      Handle::OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                  firmware_version);
  }

  void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                    uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                    const uint8_t* user_data) override {
    const bool called = CallOverride("OnReceiveHandleStatusMessage", [&] {
      return py::make_tuple(device_id, FloatList(quaternion, kQuaternionSize), error_flag, hall_effect_sensor_level,
                            user_data_length, ByteList(user_data, user_data_length));
    });
    if (!called) RaiseMissingStatusOverride();
  }

  void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
    const bool called =
        CallOverride("OnReceiveHandleErrorResponse", [&] { return py::make_tuple(device_id, error_code); });
    if (!called) Handle::OnReceiveHandleErrorResponse(device_id, error_code);
  }

  bool InCallback() const { return callbacks_ > 0; }

 private:
  // The message stays the one callers match on; NotImplementedError is a
  // RuntimeError, so `except RuntimeError` still catches it, and the note says
  // what to write (shown with the traceback from Python 3.11 on).
  [[noreturn]] static void RaiseMissingStatusOverride() {
    VelkorBinding::AcquireLock lock;
    py::object error = py::reinterpret_borrow<py::object>(PyExc_NotImplementedError)(
        "Tried to call pure virtual function \"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
    const char* note =
        "A Handle subclass receives status messages in a method it defines: "
        "def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_effect_sensor_level, "
        "user_data_length, user_data). Define it (it may do nothing), or use Handle itself, whose callbacks do "
        "nothing.";
    if (py::hasattr(error, "add_note"))
      error.attr("add_note")(note);
    else
      error.attr("__notes__") = py::list(py::make_tuple(note));
    PyErr_SetObject(PyExc_NotImplementedError, error.ptr());
    throw py::error_already_set();
  }

  // Calls the method `name` that the Python subclass defines (the inherited
  // base method does not count); false when it defines none.
  template <typename MakeArguments>
  bool CallOverride(const char* name, MakeArguments&& make_arguments) {
    VelkorBinding::AcquireLock lock;
    const py::function override = py::get_override(static_cast<const Handle*>(this), name);
    if (!override) return false;
    ++callbacks_;
    struct Leave {
      int& count;
      ~Leave() { --count; }
    } leave{callbacks_};
    VelkorBinding::CallPython(override, make_arguments());
    return true;
  }

  int callbacks_ = 0;
};

// A read started from a callback would dispatch the next message into callbacks
// again while the first is still being handled, nesting without bound.
void RefuseFromCallback(const Handle& self, const char* method) {
  const auto* trampoline = dynamic_cast<const TrampolineHandle*>(&self);
  if (trampoline != nullptr && trampoline->InCallback())
    throw std::runtime_error(std::string("Handle.") + method +
                             "() cannot be called from a callback of the same handle; return from the callback "
                             "and call it again");
}

int32_t ReceiveReleased(HandleRef self) {
  return DeviceCall(*self, "Receive", Lock::Released, [&] {
    uint8_t code = 0;
    return self->Receive(code);
  });
}

VelkorBinding::DeviceHolder<Handle> MakeHandle(Handle* handle) { return VelkorBinding::DeviceHolder<Handle>(handle); }

}  // namespace

void RegisterHandle(py::module_& m) {
  using VelkorBinding::BuiltOrNone;
  py::class_<Handle, TrampolineHandle, VelkorBinding::DeviceHolder<Handle>> handle(m, "Handle",
                                                                                  "The strixel handle class");
  handle
      .def(py::init(
               [](BuiltOrNone<SerialStream> stream) {
                 return MakeHandle(new Handle(VelkorBinding::RequireStream(stream.get(), "Handle")));
               },
               [](BuiltOrNone<SerialStream> stream) {
                 return MakeHandle(new TrampolineHandle(VelkorBinding::RequireStream(stream.get(), "Handle")));
               }),
           py::keep_alive<1, 2>())
      .def("SendDeviceWakeup",
           [](HandleRef self) {
             DeviceCall(*self, "SendDeviceWakeup", Lock::Released, [&] { self->SendDeviceWakeup(); });
           })
      .def(
          "SendHandleState",
          [](HandleRef self, uint16_t device_id, uint8_t data_length, uint8_t user_data) {
            // Python supplies one byte; the device code would copy data_length of them.
            if (data_length > 1)
              throw py::value_error("SendHandleState(): data_length can be at most 1, there is one user_data byte");
            DeviceCall(*self, "SendHandleState", Lock::Released,
                       [&] { self->SendHandleState(device_id, data_length, &user_data); });
          },
          "device_id"_a = 0, "data_length"_a = 0, "user_data"_a = py::none(), "send handle state")
      .def(
          "RequestStatus",
          [](HandleRef self) { DeviceCall(*self, "RequestStatus", Lock::Released, [&] { self->RequestStatus(); }); },
          "request handle status")
      .def(
          "OnReceiveHandleInfo",
          [](HandleRef self, uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
             uint8_t hardware_version, uint8_t firmware_version) {
            self->OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number, hardware_version,
                                      firmware_version);
          },
          "tool_data_remaining"_a, "device_id"_a, "device_model_number"_a, "hardware_version"_a, "firmware_version"_a)
      .def(
          "OnReceiveHandleStatusMessage",
          [](HandleRef self, uint16_t device_id, float quaternion, uint8_t error_flag, uint8_t hall_effect_sensor_level,
             uint8_t user_data_length, uint8_t user_data) {
            // The slot reads four components and user_data_length bytes; Python gives one of each.
            const float components[kQuaternionSize] = {quaternion, 0.0f, 0.0f, 0.0f};
            const uint8_t bytes[kUserDataCapacity] = {user_data};
            self->OnReceiveHandleStatusMessage(device_id, components, error_flag, hall_effect_sensor_level,
                                               user_data_length, bytes);
          },
          "device_id"_a, "quaternion"_a, "error_flag"_a, "hall_effect_sensor_level"_a, "user_data_length"_a,
          "user_data"_a)
      .def(
          "OnReceiveHandleErrorResponse",
          [](HandleRef self, uint16_t device_id, uint8_t error_code) {
            self->OnReceiveHandleErrorResponse(device_id, error_code);
          },
          "device_id"_a, "error_code"_a)
      .def(
          "Receive",
          [](HandleRef self) {
            RefuseFromCallback(*self, "Receive");
            return ReceiveReleased(self);
          },
          "Receive data from the handle")
      .def(
          "Receive",
          [](HandleRef self, uint8_t) {
            RefuseFromCallback(*self, "Receive");
            VelkorBinding::WarnDeprecated("Receive with one argument is deprecated");
            return ReceiveReleased(self);
          },
          "obsolete"_a, "[DEPRECATED] Receive current and return current")
      .def(
          "GetStrixelStatus",
          [](HandleRef self) {
            RefuseFromCallback(*self, "GetStrixelStatus");
            const StrixelStatus status =
                DeviceCall(*self, "GetStrixelStatus", Lock::Released, [&] { return self->GetStrixelStatus(); });
            return py::dict("device_id"_a = status.device_id,
                            "quaternion"_a = FloatList(status.quaternion, kQuaternionSize),
                            "error_flag"_a = status.error_flag,
                            "hall_effect_sensor_level"_a = status.hall_effect_sensor_level,
                            "buttons"_a = status.buttons, "battery_level"_a = status.battery_level);
          },
          "Get the most recent Strixel informations");
  VelkorBinding::AddOutcomeMembers<Handle>(handle);
  handle.def_property_readonly(
      "status_frames_skipped", [](HandleRef self) { return self->status_frames_skipped; },
      "Status frames of a handle that streams its status, which Receive read whole and skipped because they "
      "answer no request (GetStrixelStatus reads them), counted since construction.");
  // The constructor stays the one-argument form programs know (its overloads are part of the
  // class as published); the time-out is set after construction, also by a subclass's __init__.
  handle
      .def(
          "set_read_timeout",
          [](HandleRef self, float t) {
            RefuseFromCallback(*self, "set_read_timeout");
            self->read_timeout = VelkorBinding::RequireTimeout(t, "set_read_timeout()");
          },
          py::arg("t"),
          "Set the handle's read timeout (seconds): how long Receive() waits for each part of a message. "
          "GetStrixelStatus() keeps its own one-to-two-second wait.")
      .def_property_readonly(
          "read_timeout", [](HandleRef self) { return self->read_timeout; },
          "The read timeout in seconds: 5.0 until set_read_timeout() changes it.");
}
