#include "EndForce.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
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

// Never destroyed: arms may be collected while the process exits. Guarded by
// forces_mutex, since the termination signal's watcher thread reads them
// without the interpreter lock; that thread holds the mutex for its whole
// sending, so an arm is not destroyed under it (the deleter takes the mutex).
// Never held while the interpreter lock is being taken.
std::mutex& forces_mutex = *new std::mutex;
std::unordered_map<const Device*, ForceOn>& forces_on = *new std::unordered_map<const Device*, ForceOn>;
// keep_force has a mutex of its own, only ever held for a look-up or a change
// (taken after forces_mutex when both are): a call that holds its stream's
// call lock asks it, while forces_mutex may be held by a thread waiting for
// that call lock.
std::mutex& keep_mutex = *new std::mutex;
std::unordered_set<const Device*>& keep_force = *new std::unordered_set<const Device*>;

bool Keeps(const Device* device) {
  std::lock_guard<std::mutex> lock(keep_mutex);
  return keep_force.count(device) != 0;
}
std::atomic<size_t> forces_count{0};
// Set once the program is ending (interpreter exit, or a termination signal
// the module stands in for): from then on a non-zero force or torque on an arm
// whose force is zeroed at the end is refused, so that the zero stays last.
std::atomic<bool> ending{false};

void CountForces() { forces_count.store(forces_on.size()); }

bool Reachable(Vorlan3& arm) {
  // A loop driving the arm ends with its own zero-force exchange.
  if (arm.stream == nullptr || !arm.stream->IsOpen() || !arm.Admits()) return false;
  // A device that went away takes no request: nothing to send, and no line to print about it.
  return arm.stream->LastFault() != api::IO::PortFault::Gone &&
         arm.last_outcome != api::Devices::Outcome::PortGone;
}

// Interpreter lock not held; the stream's call lock is waited for until give_up.
void SendZeroUnlocked(Vorlan3& arm, uint8_t code, std::chrono::steady_clock::time_point give_up) {
  const uint8_t reply = code == Vorlan3::kForceRequest ? Vorlan3::kEndEffectorStateReply : Vorlan3::kJointStateReply;
  SerialStream& stream = *arm.stream;
  bool held = stream.Calls().TryLock();
  while (!held && std::chrono::steady_clock::now() < give_up)
    held = stream.Calls().TryLockFor(std::chrono::milliseconds(5));
  if (!held) return;
  const float timeout = arm.read_timeout;
  const auto outcome = arm.last_outcome;
  arm.read_timeout = timeout > 0.0f && timeout < kEndTimeout ? timeout : kEndTimeout;
  arm.Exchange(code, reply, api::Devices::Triple{0.0f, 0.0f, 0.0f});
  arm.read_timeout = timeout;
  arm.last_outcome = outcome;
  stream.Calls().Unlock();
}

// Interpreter lock held.
void SendZero(Vorlan3& arm, uint8_t code) {
  ReleaseLock unlock;
  std::lock_guard<std::mutex> lock(forces_mutex);
  SendZeroUnlocked(arm, code, std::chrono::steady_clock::now() + kStreamWait);
}

}  // namespace

void NoteArmRequest(Vorlan3& arm, uint8_t code, const std::array<float, 3>& request) {
  const bool carries = code == Vorlan3::kForceRequest || code == Vorlan3::kJointTorqueRequest;
  const bool nonzero = std::any_of(request.begin(), request.end(), [](float c) { return c != 0.0f; });
  {
    std::lock_guard<std::mutex> lock(forces_mutex);
    if (carries && nonzero) {
      forces_on[&arm] = ForceOn{&arm, code};
    } else {
      forces_on.erase(&arm);
    }
    CountForces();
  }
  if (carries && nonzero) WatchForces();
}

bool RefusedWhileEnding(const Vorlan3& arm, uint8_t code, const std::array<float, 3>& request) {
  if (!ending.load()) return false;
  const bool carries = code == Vorlan3::kForceRequest || code == Vorlan3::kJointTorqueRequest;
  const bool nonzero = std::any_of(request.begin(), request.end(), [](float c) { return c != 0.0f; });
  if (!carries || !nonzero) return false;
  return !Keeps(&arm);
}

void EndArmForce(const Device* device) {
  ForceOn force{};
  {
    std::lock_guard<std::mutex> lock(forces_mutex);
    const auto found = forces_on.find(device);
    if (found == forces_on.end()) return;
    force = found->second;
    forces_on.erase(found);
    CountForces();
  }
  if (Keeps(device)) return;
  Vorlan3& arm = *force.arm;
  if (!Reachable(arm)) return;
  SendZero(arm, force.code);
}

void EndForcesOnStream(const SerialStream* stream) {
  std::vector<const Device*> arms;
  {
    std::lock_guard<std::mutex> lock(forces_mutex);
    for (const auto& entry : forces_on)
      if (entry.second.arm->stream == stream) arms.push_back(entry.first);
  }
  for (const Device* arm : arms) EndArmForce(arm);
}

bool ZeroForceOnClose(const Device& device) { return !Keeps(&device); }

void SetZeroForceOnClose(const Device& device, bool zero) {
  std::lock_guard<std::mutex> lock(keep_mutex);
  if (zero) {
    keep_force.erase(&device);
  } else {
    keep_force.insert(&device);
  }
}

void EndAllArmForces() {
  ending.store(true);
  std::vector<const Device*> arms;
  {
    std::lock_guard<std::mutex> lock(forces_mutex);
    for (const auto& entry : forces_on) arms.push_back(entry.first);
  }
  for (const Device* arm : arms) EndArmForce(arm);
}

bool AnyArmForceOn() { return forces_count.load() != 0; }

void EndArmForcesOnSignal() {
  ending.store(true);
  const auto give_up = std::chrono::steady_clock::now() + kStreamWait;
  std::lock_guard<std::mutex> lock(forces_mutex);
  for (auto it = forces_on.begin(); it != forces_on.end();) {
    const ForceOn force = it->second;
    const bool keep = Keeps(it->first);
    it = forces_on.erase(it);
    if (keep || !Reachable(*force.arm)) continue;
    SendZeroUnlocked(*force.arm, force.code, give_up);
  }
  CountForces();
}

void ForgetArmForce(const Device* device) {
  std::lock_guard<std::mutex> lock(forces_mutex);
  forces_on.erase(device);
  CountForces();
  std::lock_guard<std::mutex> keep(keep_mutex);
  keep_force.erase(device);
}

}  // namespace VelkorBinding
