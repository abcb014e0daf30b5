#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BindingHelpers.hpp"
#include "Errors.hpp"
#include "Reach.hpp"
#include "Registration.hpp"
#include "Velkor/HardwareAPI/Devices/ArmModel.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"
#include "Velkor/HardwareAPI/UUID.hpp"

using Velkor::HardwareAPI::UUID;
using Velkor::HardwareAPI::Devices::ArmModel;
using Velkor::HardwareAPI::Devices::ArmState;
using Velkor::HardwareAPI::Devices::DeviceInfo;
using Velkor::HardwareAPI::Devices::Vorlan3;
using Velkor::HardwareAPI::IO::SerialStream;
using VelkorBinding::BuiltOrNone;
using VelkorBinding::DeviceCall;
using VelkorBinding::Lock;
using VelkorBinding::ReleaseLock;
using VelkorBinding::RequireStream;
using VelkorBinding::RequireFinite;
using VelkorBinding::RequireFiniteTriple;
using VelkorBinding::RequireTimeout;
using VelkorBinding::RequireTriple;
using VelkorBinding::Triple;
using VelkorBinding::WarnDeprecated;

namespace {

using Arm = VelkorBinding::Built<Vorlan3>;
using FloatList = std::vector<float>;

const FloatList kZeroTriple{0.0f, 0.0f, 0.0f};

constexpr const char* kReceiveDeviceInfoDoc =
    "\n"
    "            Receive device info and return a tuple with the following fields: \n"
    "\n"
    "            device_id (uint16_t)\n"
    "            \n"
    "            device_model_num (uint8_t)\n"
    "            \n"
    "            hardware_version (uint8_t)\n"
    "            \n"
    "            firmware_version (uint8_t)\n"
    "            \n"
    "            device_id_ext (UUID)\n"
    "            ";

py::tuple StateTuple(const ArmState& state) { return py::make_tuple(state.first, state.second); }

bool IsForce(uint8_t code) { return code == Vorlan3::kForceRequest; }

// The request as it goes out: finite, and a force no longer than arm.max_force when that is set.
std::array<float, 3> Request(const Vorlan3& arm, const char* method, uint8_t code, const FloatList& request,
                             const char* argument) {
  RequireTriple(request, argument);
  std::array<float, 3> components = Triple(request);
  RequireFiniteTriple(components, method, argument);
  const std::array<double, 3> asked{components[0], components[1], components[2]};
  if (code == Vorlan3::kPositionRequest)
    VelkorBinding::WarnOrRefuse(VelkorBinding::PositionOutOfReach(method, asked), VelkorBinding::RefusesOutOfReach(arm));
  if (code == Vorlan3::kJointAngleRequest)
    VelkorBinding::WarnOrRefuse(VelkorBinding::AnglesOutOfReach(method, asked), VelkorBinding::RefusesOutOfReach(arm));
  if (!IsForce(code)) return components;
  const std::optional<float> limit = VelkorBinding::MaxForce(arm);
  if (!limit) return components;
  const double norm = std::sqrt(static_cast<double>(components[0]) * components[0] +
                                static_cast<double>(components[1]) * components[1] +
                                static_cast<double>(components[2]) * components[2]);
  if (norm <= *limit) return components;
  const double scale = *limit / norm;
  for (float& c : components) c = static_cast<float>(c * scale);
  return components;
}

// Checked with the stream's call lock held, after the wait for it: a request
// that waited while the program's last zero-force exchange went out must not
// follow it.
void RefuseWhileEnding(const Vorlan3& arm, const char* method, uint8_t code, const std::array<float, 3>& request) {
  if (VelkorBinding::RefusedWhileEnding(arm, code, request))
    throw std::runtime_error(std::string(method) +
                             "(): refused: the program is ending and the arm's force was set to zero");
}

// A whole request/reply exchange with the request taken from the list before the lock goes.
py::tuple Exchange(Arm self, const char* method, uint8_t code, uint8_t reply_code, const FloatList& request,
                   const char* argument) {
  const auto components = Request(*self, method, code, request, argument);
  // A call the loop's lease refuses puts no force on: nothing to end at exit.
  if (self->Admits()) VelkorBinding::NoteArmRequest(*self, code, components);
  const ArmState state =
      DeviceCall(*self, method, Lock::Released, [&] {
        RefuseWhileEnding(*self, method, code, components);
        return self->Exchange(code, reply_code, components);
      });
  return StateTuple(state);
}

void SendOnly(Arm self, const char* method, uint8_t code, const FloatList& request, const char* argument,
              const char* warning) {
  const auto components = Request(*self, method, code, request, argument);
  if (warning != nullptr) WarnDeprecated(warning);
  // A call the loop's lease refuses puts no force on: nothing to end at exit.
  if (self->Admits()) VelkorBinding::NoteArmRequest(*self, code, components);
  DeviceCall(*self, method, Lock::Released, [&] {
    RefuseWhileEnding(*self, method, code, components);
    self->SendRequest(code, components);
  });
}

// The result lists are the caller's lists as converted, elements 0 to 2 replaced on success.
void Overwrite(FloatList& list, const std::array<float, 3>& values) {
  for (size_t i = 0; i < values.size(); ++i) list[i] = values[i];
}

// The split receive forms: the caller's lists as converted, elements 0 to 2
// replaced when the reply came.
py::tuple ReceiveInto(Arm self, const char* method,
                      int32_t (Vorlan3::*receive)(std::array<float, 3>&, std::array<float, 3>&), FloatList first,
                      FloatList second, const char* first_name, const char* second_name, const char* warning) {
  RequireTriple(first, first_name);
  RequireTriple(second, second_name);
  WarnDeprecated(warning);
  std::array<float, 3> a{}, b{};
  const int32_t got = DeviceCall(*self, method, Lock::Released, [&] { return ((*self).*receive)(a, b); });
  if (got > 0) {
    Overwrite(first, a);
    Overwrite(second, b);
  }
  return py::make_tuple(first, second);
}

DeviceInfo Wakeup(Arm self, const char* method) {
  return DeviceCall(*self, method, Lock::Released, [&] {
    DeviceInfo info;
    self->Wakeup(info);
    return info;
  });
}

VelkorBinding::DeviceHolder<Vorlan3> MakeArm(SerialStream* stream, float timeout) {
  return VelkorBinding::DeviceHolder<Vorlan3>(new Vorlan3(RequireStream(stream, "Vorlan3"), timeout));
}

}  // namespace

void RegisterVorlan3(py::module_& m) {
  py::class_<Vorlan3, VelkorBinding::DeviceHolder<Vorlan3>> arm(m, "Vorlan3", "Vorlan3 Device Class");
  arm.def(py::init([](BuiltOrNone<SerialStream> stream) { return MakeArm(stream.get(), Vorlan3::kDefaultReadTimeout); }),
          py::keep_alive<1, 2>())
      .def(py::init([](BuiltOrNone<SerialStream> stream, float timeout) {
             return MakeArm(stream.get(), RequireTimeout(timeout, "Vorlan3()"));
           }),
           py::arg("stream"), py::arg("timeout") = 5.0, py::keep_alive<1, 2>(),
           "Construct an Vorlan3 with a custom serial timeout (seconds).")
      .def(
          "send_raw",
          [](Arm self, const py::bytes& payload) {
            const std::string data = payload;
            const bool ok = DeviceCall(*self, "send_raw", Lock::Released, [&] {
              return self->SendRaw(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            });
            if (!ok) {
              // A RuntimeError as the call always raised; as a PortGoneError also the kind other calls
              // raise on a closed or lost port in strict mode.
              VelkorBinding::ErrorDetails details;
              details.call = "send_raw";
              details.port = self->stream != nullptr ? self->stream->PortName() : std::string();
              details.outcome = Velkor::HardwareAPI::Devices::OutcomeName(self->last_outcome);
              VelkorBinding::RaiseDeviceError(VelkorBinding::ErrorKind::WriteFailed,
                                              "send_raw: underlying stream write failed", details);
            }
          },
          py::arg("payload"), "Send raw bytes directly to the serial stream (no framing).")
      .def(
          "read_raw",
          [](Arm self, size_t n, float timeout) {
            RequireTimeout(timeout, "read_raw()");
            const std::string data = DeviceCall(
                *self, "read_raw", Lock::Released,
                [&] {
                  std::string received;
                  // Sized by what has arrived, never by n: n may be far beyond any memory.
                  received.resize(self->WaitRaw(n, timeout));
                  received.resize(self->ReadRawInto(reinterpret_cast<uint8_t*>(received.data()), received.size()));
                  return received;
                },
                VelkorBinding::Strict::ShortReadIsAResult);
            return py::bytes(data);
          },
          py::arg("n"), py::arg("timeout") = 1.0,
          "Read up to n bytes with a per-call timeout (seconds). Returns whatever was received (may be shorter "
          "than n on timeout).")
      .def(
          "set_read_timeout",
          [](Arm self, float t) {
            VelkorBinding::RequireLease(*self, "set_read_timeout");
            // Not a device call: what the last call did stays readable.
            const auto outcome = self->last_outcome;
            self->SetReadTimeout(RequireTimeout(t, "set_read_timeout()"));
            self->last_outcome = outcome;
          },
          py::arg("t"), "Set the device-level read timeout (seconds).")
      .def(
          "flush_input",
          [](Arm self) { DeviceCall(*self, "flush_input", Lock::Released, [&] { self->FlushInput(); }); },
          "Drain any currently buffered input bytes from the serial stream.")
      .def(
          "device_wakeup",
          [](Arm self) {
            const DeviceInfo info = Wakeup(self, "device_wakeup");
            return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                  info.firmware_version,
                                  std::vector<uint8_t>(std::begin(info.device_id_ext), std::end(info.device_id_ext)));
          },
          "Wakeup the device and return the device info as a tuple.")
      .def(
          "device_wakeup_dict",
          [](Arm self) {
            const DeviceInfo info = Wakeup(self, "device_wakeup_dict");
            return py::dict(py::arg("device_id") = info.device_id,
                            py::arg("device_model_number") = info.device_model_number,
                            py::arg("hardware_version") = info.hardware_version,
                            py::arg("firmware_version") = info.firmware_version,
                            py::arg("device_id_ext") = VelkorBinding::ToUuidObject(info.device_id_ext));
          },
          "Wakeup the device and return the device info as a dict.")
      .def(
          "get_firmware_version",
          [](Arm self) {
            const auto identifier = DeviceCall(*self, "get_firmware_version", Lock::Held,
                                               [&] { return self->QueryIdentifier(Vorlan3::kFirmwareVersion); });
            return VelkorBinding::ToUuidObject(identifier.data());
          },
          "Receive the firmware version of the device.")
      .def(
          "get_device_id",
          [](Arm self) {
            const auto identifier = DeviceCall(*self, "get_device_id", Lock::Held,
                                               [&] { return self->QueryIdentifier(Vorlan3::kDeviceIdentifier); });
            return VelkorBinding::ToUuidObject(identifier.data());
          },
          "Receive the UUID of the device.")
      .def(
          "get_motor_currents",
          [](Arm self) {
            // Zeros when the device does not answer: the query leaves them untouched.
            std::array<float, 3> currents{};
            DeviceCall(*self, "get_motor_currents", Lock::Held, [&] { self->QueryMotorCurrents(currents); });
            return currents;
          },
          "Receive the motor currents of the device.")
      .def(
          "get_device_orientation",
          [](Arm self) {
            std::array<float, 4> orientation{};
            DeviceCall(*self, "get_device_orientation", Lock::Held, [&] { self->QueryOrientation(orientation); });
            return orientation;
          },
          "Receive the orientation of the base of the device.")
      .def(
          "get_power_status",
          [](Arm self) {
            bool powered = false;
            return DeviceCall(*self, "get_power_status", Lock::Held,
                              [&] { return self->QueryPowerStatus(powered) && powered; });
          },
          "Receive the power status of the device.")
      .def(
          "get_temperature",
          [](Arm self) {
            float temperature = 0.0f;
            DeviceCall(*self, "get_temperature", Lock::Held, [&] { self->QueryTemperature(temperature); });
            return temperature;
          },
          "Receive the temperature of the device.")
      .def(
          "end_effector_force",
          [](Arm self, const FloatList& force) {
            return Exchange(self, "end_effector_force", Vorlan3::kForceRequest, Vorlan3::kEndEffectorStateReply, force,
                            "force request vector");
          },
          py::arg("force request vector") = kZeroTriple, "Send forces to the device and receive device states")
      .def(
          "get_end_effector_position",
          [](Arm self, bool onboard) {
            const ArmState state = DeviceCall(*self, "get_end_effector_position", Lock::Released,
                                              [&] { return self->GetEndEffectorPosition(onboard); });
            return StateTuple(state);
          },
          py::arg("onboard") = true, "Get the end-effector position and velocity")
      .def(
          "adjust_angles",
          [](Arm self, const FloatList& angles) {
            RequireTriple(angles, "angles");
            const auto degrees = Triple(angles);
            RequireFiniteTriple(degrees, "adjust_angles", "angles");
            DeviceCall(*self, "adjust_angles", Lock::Released, [&] { self->AdjustAngles(degrees); });
          },
          py::arg("angles") = kZeroTriple, "Adjust the angles of the device")
      .def(
          "adjust_lengths",
          [](Arm, float inner_arm_1, float outer_arm_1, float inner_arm_2, float outer_arm_2, float extension) {
            RequireFinite(inner_arm_1, "adjust_lengths", "inner_arm_1");
            RequireFinite(outer_arm_1, "adjust_lengths", "outer_arm_1");
            RequireFinite(inner_arm_2, "adjust_lengths", "inner_arm_2");
            RequireFinite(outer_arm_2, "adjust_lengths", "outer_arm_2");
            RequireFinite(extension, "adjust_lengths", "extension");
            ReleaseLock release;
            ArmModel::Instance().Reset(inner_arm_1, outer_arm_1, inner_arm_2, outer_arm_2, extension);
          },
          py::arg("inner_arm_1") = 0.14, py::arg("outer_arm_1") = 0.14, py::arg("inner_arm_2") = 0.165,
          py::arg("outer_arm_2") = 0.165, py::arg("extension") = 0.0765, "Adjust the lengths of the linkages")
      .def(
          "adjust_gear_ratios",
          [](Arm, float head, float inner_arm, float outer_arm) {
            const std::pair<float, const char*> ratios[] = {{head, "head_gear_ratio_coeff"},
                                                            {inner_arm, "inner_arm_gear_ratio_coeff"},
                                                            {outer_arm, "outer_arm_gear_ratio_coeff"}};
            for (const auto& [ratio, name] : ratios) {
              RequireFinite(ratio, "adjust_gear_ratios", name);
              // A zero ratio maps every reported angle to one pose: the arm would look frozen.
              if (ratio == 0.0f) throw py::value_error(std::string("adjust_gear_ratios(): ") + name + " must not be 0");
            }
            ReleaseLock release;
            ArmModel::Instance().SetGearRatios(head, inner_arm, outer_arm);
          },
          py::arg("head_gear_ratio_coeff") = 1.0, py::arg("inner_arm_gear_ratio_coeff") = 1.0,
          py::arg("outer_arm_gear_ratio_coeff") = 1.0, "Adjust the gear ratios")
      .def(
          "deactivate_orientation_sensor",
          [](Arm) {
            ReleaseLock release;
            ArmModel::Instance().ResetOrientation();
          },
          // The device's own documentation text, kept as users know it.
          "Receive the power status of the device.")
      .def(
          "joint_torques",
          [](Arm self, const FloatList& torques) {
            return Exchange(self, "joint_torques", Vorlan3::kJointTorqueRequest, Vorlan3::kJointStateReply, torques,
                            "joint torque request vector");
          },
          py::arg("joint torque request vector") = kZeroTriple,
          "Send joint torques to the device and receive the joint states")
      .def(
          "end_effector_position",
          [](Arm self, const FloatList& position) {
            return Exchange(self, "end_effector_position", Vorlan3::kPositionRequest, Vorlan3::kEndEffectorStateReply,
                            position, "position request vector");
          },
          py::arg("position request vector") = kZeroTriple, "Send end-effector position and receive device states")
      .def(
          "joint_angles",
          [](Arm self, const FloatList& angles) {
            return Exchange(self, "joint_angles", Vorlan3::kJointAngleRequest, Vorlan3::kJointStateReply, angles,
                            "joint angle request vector");
          },
          py::arg("joint angle request vector") = kZeroTriple,
          "Send joint angles to the device and receive the joint states")
      .def(
          "SendDeviceWakeup",
          [](Arm self) {
            WarnDeprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
            DeviceCall(*self, "SendDeviceWakeup", Lock::Released, [&] { self->SendDeviceWakeup(); });
          },
          "[DEPRECATED] Send a device wakeup command")
      .def(
          "ReceiveDeviceInfo",
          [](Arm self) {
            const DeviceInfo info = DeviceCall(*self, "ReceiveDeviceInfo", Lock::Released, [&] {
              DeviceInfo received;
              self->ReceiveDeviceInfo(received);
              return received;
            });
            UUID ext;
            std::copy(std::begin(info.device_id_ext), std::end(info.device_id_ext), std::begin(ext.bytes));
            return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                  info.firmware_version, ext);
          },
          kReceiveDeviceInfoDoc)
      .def(
          "SendForce",
          [](Arm self, const FloatList& force) {
            SendOnly(self, "SendForce", Vorlan3::kForceRequest, force, "force",
                     "SendForce is deprecated, use end_effector_force instead");
          },
          py::arg("force") = kZeroTriple, "[Deprecated] Send force to the device")
      .def(
          "SendForce",
          [](Arm self, float x, float y, float z) {
            SendOnly(self, "SendForce", Vorlan3::kForceRequest, FloatList{x, y, z}, "force",
                     "SendForce is deprecated, use end_effector_force instead");
          },
          py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
          "[Deprecated] Send force to the device")
      .def(
          "ReceiveState",
          [](Arm self, FloatList position, FloatList velocity) {
            return ReceiveInto(self, "ReceiveState", &Vorlan3::ReceiveState, std::move(position), std::move(velocity),
                               "position", "velocity", "ReceiveState is deprecated, use end_effector instead");
          },
          py::arg("position") = kZeroTriple, py::arg("velocity") = kZeroTriple,
          "[Deprecated] receive state and return position and velocity")
      .def(
          "ReceiveJointState",
          [](Arm self, FloatList joint_position, FloatList joint_velocity) {
            return ReceiveInto(self, "ReceiveJointState", &Vorlan3::ReceiveJointState, std::move(joint_position),
                               std::move(joint_velocity), "joint_position", "joint_velocity",
                               "ReceiveJointState is deprecated, use joint_torques instead");
          },
          py::arg("joint_position") = kZeroTriple, py::arg("joint_velocity") = kZeroTriple,
          "[Deprecated] receive joint state and return position and velocity in the joint reference frame")
      .def(
          "SendJointTorques",
          [](Arm self, const FloatList& torque) {
            SendOnly(self, "SendJointTorques", Vorlan3::kJointTorqueRequest, torque, "joint_torque",
                     "SendJointTorques is deprecated, use joint_torques instead");
          },
          py::arg("joint_torque") = kZeroTriple, "[Deprecated] send joint torque")
      .def(
          "SendAngle",
          [](Arm self, const FloatList& angle) {
            SendOnly(self, "SendAngle", Vorlan3::kJointAngleRequest, angle, "angle", nullptr);
          },
          py::arg("angle") = kZeroTriple, "Send angles to the device")
      .def(
          "RequestCurrent",
          [](Arm self) { DeviceCall(*self, "RequestCurrent", Lock::Released, [&] { self->RequestCurrent(); }); },
          "request current")
      .def(
          "ReceiveCurrent",
          [](Arm self, FloatList current) {
            RequireTriple(current, "current");
            std::array<float, 3> values{};
            const int32_t got =
                DeviceCall(*self, "ReceiveCurrent", Lock::Released, [&] { return self->ReceiveCurrent(values); });
            if (got > 0) Overwrite(current, values);
            return current;
          },
          py::arg("current") = kZeroTriple, "receive current and return current")
      .def(
          "SendPosition",
          [](Arm self, const FloatList& position) {
            SendOnly(self, "SendPosition", Vorlan3::kPositionRequest, position, "position",
                     "SendPosition is deprecated, use end_effector_position instead");
          },
          py::arg("position") = kZeroTriple, "[Deprecated] Send Position to the device");
  VelkorBinding::AddOutcomeMembers<Vorlan3>(arm);
  arm.def_property(
      "max_force",
      [](Arm self) -> std::optional<float> { return VelkorBinding::MaxForce(*self); },
      [](Arm self, std::optional<double> limit) {
        if (limit && (!std::isfinite(*limit) || *limit < 0.0))
          throw py::value_error("max_force must be None or a finite number of newtons, 0 or more");
        VelkorBinding::SetMaxForce(*self, limit ? std::optional<float>(static_cast<float>(*limit)) : std::nullopt);
      },
      "None (the default) or the largest force in newtons that end_effector_force and SendForce send: a longer "
      "request is scaled down to this length, keeping its direction. Joint torques, positions and angles are "
      "not limited by it; a ServoLoop on the arm clamps its force to the lower of its own max_force and this.");
  arm.def_property_readonly(
      "stray_replies", [](Arm self) { return self->stray_replies; },
      "Whole replies that answered no request of the call that found them (a duplicate, a reply that came after "
      "its call gave up, or an older one queued ahead of the right one): discarded, and counted here since "
      "construction.");
  arm.def_property(
      "zero_force_on_close", [](Arm self) { return VelkorBinding::ZeroForceOnClose(*self); },
      [](Arm self, bool zero) { VelkorBinding::SetZeroForceOnClose(*self, zero); },
      "True (the default): when this arm's last request carried a non-zero force or joint torque "
      "(end_effector_force, joint_torques, SendForce, SendJointTorques), one zero-force exchange goes out before "
      "its stream is closed or reopened, before the arm is collected, at interpreter exit and on SIGTERM or SIGHUP "
      "left at their default action (see set_termination_handling); once the exit or such a signal has begun "
      "sending these, a non-zero force or torque request raises RuntimeError unsent, so the zero stays last. False leaves the last force on the device, as "
      "a plain request always did.");
  py::module_::import("atexit").attr("register")(py::cpp_function(&VelkorBinding::EndAllArmForces));
  arm.def_property(
      "refuse_out_of_reach", [](Arm self) { return VelkorBinding::RefusesOutOfReach(*self); },
      [](Arm self, bool refuse) { VelkorBinding::SetRefuseOutOfReach(*self, refuse); },
      "False (the default): a position or joint-angle request far outside what the arm's kinematic model can "
      "reach (farther from the base than the model's reach, about 0.59 m; a joint angle beyond 180 degrees "
      "either way) is sent as given, with a UserWarning the first time a line of the program sends one. True: "
      "such a request raises ValueError before anything is sent.");
}
