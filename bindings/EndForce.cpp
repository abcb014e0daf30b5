#include "EndForce.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Calls.hpp"
#include "Velkor/HardwareAPI/Devices/Outcome.hpp"

namespace VelkorBinding {

namespace api = Velkor::HardwareAPI;
using api::Devices::Device;
using api::Devices::Vorlan3;
using api::IO::SerialStream;

namespace {

// The final exchange waits at most this long for each reply: ending a program
// on a silent device must not take the full read time-out twice.
constexpr float kEndTimeout = 1.0f;
// A call of another thread on the same stream is waited for this long at most.
constexpr std::chrono::seconds kStreamWait{3};

struct ForceOn {
  Vorlan3* arm;
  uint8_t code;  // the request that carried it: force or joint torques
};

// Never destroyed: arms may be collected while the process exits.
std::unordered_map<const Device*, ForceOn>& forces_on = *new std::unordered_map<const Device*, ForceOn>;
std::unordered_set<const Device*>& keep_force = *new std::unordered_set<const Device*>;

void SendZero(Vorlan3& arm, uint8_t code) {
  const uint8_t reply = code == Vorlan3::kForceRequest ? Vorlan3::kEndEffectorStateReply : Vorlan3::kJointStateReply;
  const float timeout = arm.read_timeout;
  const auto outcome = arm.last_outcome;
  ReleaseLock unlock;
  SerialStream& stream = *arm.stream;
  const auto give_up = std::chrono::steady_clock::now() + kStreamWait;
  bool held = stream.Calls().TryLock();
  while (!held && std::chrono::steady_clock::now() < give_up)
    held = stream.Calls().TryLockFor(std::chrono::milliseconds(5));
  if (!held) return;
  arm.read_timeout = timeout > 0.0f && timeout < kEndTimeout ? timeout : kEndTimeout;
  arm.Exchange(code, reply, api::Devices::Triple{0.0f, 0.0f, 0.0f});
  arm.read_timeout = timeout;
  arm.last_outcome = outcome;
  stream.Calls().Unlock();
}

}  // namespace

void NoteArmRequest(Vorlan3& arm, uint8_t code, const std::array<float, 3>& request) {
  const bool carries = code == Vorlan3::kForceRequest || code == Vorlan3::kJointTorqueRequest;
  const bool nonzero = std::any_of(request.begin(), request.end(), [](float c) { return c != 0.0f; });
  if (carries && nonzero) {
    forces_on[&arm] = ForceOn{&arm, code};
  } else {
    forces_on.erase(&arm);
  }
}

void EndArmForce(const Device* device) {
  const auto found = forces_on.find(device);
  if (found == forces_on.end()) return;
  const ForceOn force = found->second;
  forces_on.erase(found);
  if (keep_force.count(device) != 0) return;
  Vorlan3& arm = *force.arm;
  // A loop driving the arm ends with its own zero-force exchange.
  if (arm.stream == nullptr || !arm.stream->IsOpen() || !arm.Admits()) return;
  // A device that went away takes no request: nothing to send, and no line to print about it.
  if (arm.stream->LastFault() == api::IO::PortFault::Gone || arm.last_outcome == api::Devices::Outcome::PortGone)
    return;
  SendZero(arm, force.code);
}

void EndForcesOnStream(const SerialStream* stream) {
  std::vector<const Device*> arms;
  for (const auto& entry : forces_on)
    if (entry.second.arm->stream == stream) arms.push_back(entry.first);
  for (const Device* arm : arms) EndArmForce(arm);
}

bool ZeroForceOnClose(const Device& device) { return keep_force.count(&device) == 0; }

void SetZeroForceOnClose(const Device& device, bool zero) {
  if (zero) {
    keep_force.erase(&device);
  } else {
    keep_force.insert(&device);
  }
}

void EndAllArmForces() {
  std::vector<const Device*> arms;
  for (const auto& entry : forces_on) arms.push_back(entry.first);
  for (const Device* arm : arms) EndArmForce(arm);
}

void ForgetArmForce(const Device* device) {
  forces_on.erase(device);
  keep_force.erase(device);
}

}  // namespace VelkorBinding
