#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "Velkor/HardwareAPI/Render/Proxy.hpp"
#include "Velkor/HardwareAPI/Servo/SeqLock.hpp"

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

// Where a loop's proxy of a mesh is, for graphics: device frame, published by
// the loop each cycle it renders the mesh.
struct ProxyView {
  double position[3] = {};  // the proxy (m)
  double normal[3] = {};    // the surface normal the force follows; zero out of contact
  uint64_t cycle = 0;       // renders of the mesh by the loop that published this
  uint32_t triangle = UINT32_MAX;  // the face it rests on, as given; UINT32_MAX out of contact
  int32_t contacts = 0;     // faces it rests on (0 to 3)
  float force = 0.0f;       // the mesh's force (N), before the loop's clamp
  float level = 0.0f;       // the gain applied this cycle
};

// Shared by every copy of one mesh effect. Only a loop's copies publish; a
// second loop rendering the same mesh at the same moment skips rather than waits.
struct ProxyTap {
  SeqLock<ProxyView> view;
  std::atomic<bool> writing{false};
};

// A mesh's gain (and being switched on) reaches the force at most this much
// per cycle: from 0 to 1 in 50 cycles.
constexpr float kMeshGainStep = 0.02f;

// A mesh's new pose is reached over as many cycles as passed since the pose
// before it was set (the time between updates), at most this many: updates
// at 10 ms glide rather than step, a single late one takes 0.1 s at 1 kHz.
constexpr uint32_t kMeshPoseBlendCycles = 100;

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
  // The gain the force has now: towards `gain` (0 while disabled) by at most
  // kMeshGainStep a cycle. While it is 0 the proxy follows the tool, so that
  // switching on starts from where the tool is, as adding the mesh does.
  float level = 0.0f;
  std::shared_ptr<ProxyTap> tap;
  bool publishes = false;  // set on a loop's copies
  uint64_t renders = 0;
  // The pose rendered: moving from `blend_from` to `transform` over
  // blend_cycles cycles whenever `transform` changes; its motion is the
  // surface's velocity, against which damping acts.
  Render::RigidTransform shown;
  Render::RigidTransform shown_before;  // last cycle's
  Render::RigidTransform blend_from;
  Render::RigidTransform target;  // the transform the blend is heading for
  uint32_t blend_cycles = 0, blend_done = 0;
  uint32_t since_update = kMeshPoseBlendCycles;
  bool posed = false;  // shown holds a pose
  double cycle_s = 0.001;  // the loop's period, for the surface's velocity
  bool glide = true;  // false: a new transform applies whole from the next cycle
  // The geometry the proxy was last stepped on: when `shape` is replaced under a
  // touching tool, the proxy is lifted off along its normal by the depth and
  // comes down on the new surface.
  const Render::TriangleMesh* stepped_on = nullptr;
  // How deep the tool was pressed in after the last cycle (m): a replacement
  // lifts the proxy by at least this, the depth before the tool moved on.
  double pressed = 0.0;
  bool enabled = true;
  float gain = 1.0f;
};

using Effect = std::variant<Spring, Damper, Plane, Sphere, Box, ConstantForce, Mesh>;

// Stiff contact at a sampling period T. The force a cycle computes reaches the
// arm a period later and is held for a period; on the arm (about 0.1 kg and
// 2 N s/m at the tool) a spring stiffer than about 0.65 b / T then gains energy
// each bounce and buzzes: 1,300 N/m at 1 kHz. Damping along the push keeps
// stiffer contact stable, up to about 0.027 m / T^2 (where the damping itself,
// a period late, starts to feed the motion); the loop renders at most half of
// that, damped by 1.4 sqrt(k m) (the damping that settles it fastest), reached
// at 8 T per N/m beyond the free stiffness so that springs just past it get little.
constexpr double kArmMass = 0.1;      // kg, as felt at the tool
constexpr double kArmDamping = 2.0;   // N s/m, as felt at the tool
constexpr double kFreeStiffnessShare = 0.65;     // of b / T: stable without help
constexpr double kStableStiffnessShare = 0.135;  // of m / T^2: rendered at most
constexpr double kContactDampingRatio = 1.4;     // of sqrt(k m)
constexpr double kContactDampingSlope = 8.0;     // times T, per N/m beyond the free stiffness

// How the loop renders stiffness at its period: every spring force (springs,
// walls, balls, boxes, meshes) is rendered with at most `stiffness_cap` and,
// beyond `free_stiffness`, gets min(damping_per_root sqrt(k), damping_slope
// (k - free_stiffness)) more damping along its push. The default renders every
// effect as given.
struct ContactLimits {
  float stiffness_cap = INFINITY;
  float free_stiffness = INFINITY;
  float damping_per_root = 0.0f;  // N s/m per sqrt(N/m)
  float damping_slope = 0.0f;     // s
};

// The limits for a loop whose cycles are `period_s` apart.
ContactLimits ContactLimitsFor(double period_s);

// The stiffest spring a loop at `rate_hz` renders as given (N/m).
double StableStiffness(double rate_hz);

// EffectForce that also advances the state an effect keeps (a mesh's proxy),
// with the effect's stiffness rendered within `limits`.
Vec3 StepEffect(Effect& effect, const Vec3& position, const Vec3& velocity, const ContactLimits& limits = {});

// Gives each mesh in `fresh` the proxy (and applied gain) of the mesh with the
// same key in `previous`; the others (all of them when `previous` is null) start
// afresh at the tool. Marks them as a loop's, publishing their proxy. Allocates
// nothing: the loop calls it when it takes a new set.
void CarryState(std::vector<Effect>& fresh, const std::vector<Effect>* previous, double cycle_s = 0.001);

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
