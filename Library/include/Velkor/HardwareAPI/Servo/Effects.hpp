#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "Velkor/HardwareAPI/Render/Proxy.hpp"

namespace Velkor::HardwareAPI::Servo {

// Metres, metres per second and newtons, in the device's frame.
using Vec3 = std::array<float, 3>;

// Every effect also has `enabled` (false: it asks for no force) and `gain`
// (its force is scaled by it), last in the struct so that the geometric
// parameters come first in braced initialisation.

// Pulls towards the anchor: -stiffness (p - anchor) - damping v.
struct Spring {
  Vec3 anchor{};
  float stiffness = 0.0f;  // N/m
  float damping = 0.0f;    // N s/m
  bool enabled = true;
  float gain = 1.0f;
};

// Resists motion: -damping v.
struct Damper {
  float damping = 0.0f;  // N s/m
  bool enabled = true;
  float gain = 1.0f;
};

// A one-sided wall through `point`; the free side is the one `normal` points to.
// Inside the wall it pushes out along the normal and never pulls.
struct Plane {
  Vec3 point{};
  Vec3 normal{0.0f, 0.0f, 1.0f};  // unit length once validated
  float stiffness = 0.0f;
  float damping = 0.0f;
  bool enabled = true;
  float gain = 1.0f;
};

// A solid ball that pushes the tool out, or (inside) a shell that keeps it in:
// stiffness times depth, less damping times the velocity along the push.
struct Sphere {
  Vec3 center{};
  float radius = 0.0f;
  float stiffness = 0.0f;
  bool inside = false;
  float damping = 0.0f;  // N s/m, along the push; never pulls
  bool enabled = true;
  float gain = 1.0f;
};

// Walls on the six faces of an axis-aligned box that keep the tool inside it.
struct Box {
  Vec3 min_corner{};
  Vec3 max_corner{};
  float stiffness = 0.0f;
  float damping = 0.0f;  // N s/m, on each axis whose wall the tool is in; never pulls
  bool enabled = true;
  float gain = 1.0f;
};

struct ConstantForce {
  Vec3 force{};
  bool enabled = true;
  float gain = 1.0f;
};

// A triangle mesh touched through a proxy that never passes its front faces. The
// mesh is shared and never changes; the proxy is state, and each loop's copy of
// the effect carries its own.
struct Mesh {
  std::shared_ptr<const Render::TriangleMesh> shape;
  Render::ProxyMaterial material;
  Render::RigidTransform transform;  // mesh frame -> device frame
  // Shared by every copy of one effect: how a loop finds its proxy again when a
  // new set of effects replaces the one it renders.
  uint64_t key = 0;
  Render::ProxyState proxy;
  bool enabled = true;
  float gain = 1.0f;
};

using Effect = std::variant<Spring, Damper, Plane, Sphere, Box, ConstantForce, Mesh>;

// EffectForce that also advances the state an effect keeps (a mesh's proxy).
Vec3 StepEffect(Effect& effect, const Vec3& position, const Vec3& velocity);

// Gives each mesh in `fresh` the proxy of the mesh with the same key in
// `previous`; the others (all of them when `previous` is null) start afresh at
// the tool. Allocates nothing: the loop calls it when it takes a new set.
void CarryState(std::vector<Effect>& fresh, const std::vector<Effect>* previous);

// The force an effect asks for at this position and velocity. No allocation, no
// failure: a validated effect always yields a finite force for a finite state.
Vec3 EffectForce(const Effect& effect, const Vec3& position, const Vec3& velocity);

// The force scaled down (direction kept) so its magnitude is at most `limit`;
// a non-finite force becomes zero.
Vec3 ClampMagnitude(const Vec3& force, float limit);

// Why an effect cannot be used, or nullptr when it can. Normalises a plane's
// normal in place.
const char* Validate(Effect& effect);

}  // namespace Velkor::HardwareAPI::Servo
