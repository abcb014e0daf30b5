#pragma once

#include <array>
#include <cstdint>

#include "Velkor/HardwareAPI/Devices/Device.hpp"
#include "Velkor/HardwareAPI/Devices/Vorlan3.hpp"
#include "Velkor/HardwareAPI/IO/SerialStream.hpp"

// A force a program asked for in a plain request stays on the arm until the
// next request changes it. So that no way of ending a program leaves it there,
// each arm whose last request carried a non-zero force or torque is remembered,
// and one zero-force exchange goes out before its stream closes (close, reopen,
// the with block), before the arm is collected and at interpreter exit; unless
// the program set arm.zero_force_on_close = False. All with the lock held
// unless said otherwise.
namespace VelkorBinding {

// Called for every request an arm call is about to send.
void NoteArmRequest(Velkor::HardwareAPI::Devices::Vorlan3& arm, uint8_t code, const std::array<float, 3>& request);
// The zero-force exchange, if this device is an arm that needs one.
void EndArmForce(const Velkor::HardwareAPI::Devices::Device* device);
// The same for every arm on the stream.
void EndForcesOnStream(const Velkor::HardwareAPI::IO::SerialStream* stream);
bool ZeroForceOnClose(const Velkor::HardwareAPI::Devices::Device& device);
void SetZeroForceOnClose(const Velkor::HardwareAPI::Devices::Device& device, bool zero);
// Every arm that needs one, at interpreter exit.
void EndAllArmForces();
void ForgetArmForce(const Velkor::HardwareAPI::Devices::Device* device);
// Once the program is ending (the interpreter-exit zero went out, or a
// termination signal is being handled), whether this request must be refused
// because it would put a force back after the last zero. Any thread, called
// with the stream's call lock held, so that no request gets in after the zero.
bool RefusedWhileEnding(const Velkor::HardwareAPI::Devices::Vorlan3& arm, uint8_t code,
                        const std::array<float, 3>& request);
// Whether any arm's last request carried a force; any thread.
bool AnyArmForceOn();
// The zero-force exchange for every arm that needs one, from the termination
// signal's watcher thread (interpreter lock not held; bounded in time).
void EndArmForcesOnSignal();
// Installs the termination signal stand-in (Termination.cpp) for a plain force.
void WatchForces();

}  // namespace VelkorBinding
