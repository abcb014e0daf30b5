#pragma once

#include <array>
#include <cstdint>

#include "Velkor/HardwareAPI/Render/TriangleMesh.hpp"

namespace Velkor::HardwareAPI::Render {

// How far (m) the proxy keeps above a surface it rests on: far below what a hand
// feels (1 um is 1 mN at 1000 N/m), far above the rounding of the arithmetic.
constexpr double kSkin = 1e-6;
// Surfaces the proxy can rest on at once: a face, an edge, a corner.
constexpr int kMaxConstraints = 3;

// A half-space the proxy must stay in: normal . x >= offset.
struct Constraint {
  Point normal{};  // unit length
  double offset = 0.0;
};

// The point nearest `goal` on the free side of every constraint (a small
// quadratic programme: the best of the goal itself and its projections onto
// each face, edge and corner the constraints make). Returns `fallback` when no
// such projection is feasible (degenerate, parallel faces facing each other).
Point NearestFreePoint(const Point& goal, const Constraint* constraints, int count, const Point& fallback);

struct ProxyMaterial {
  double stiffness = 0.0;         // N/m
  double damping = 0.0;           // N s/m, along the contact normal
  double static_friction = 0.0;   // mu: the tangential force a resting contact holds
  double dynamic_friction = 0.0;  // mu while sliding
};

// The god-object: a point that follows the tool but never passes through a front
// face. It lives in the mesh's own frame, so a moving mesh carries it along.
struct ProxyState {
  Point position{};
  bool placed = false;   // false: the next step puts it at the tool
  bool sliding = false;  // friction: sliding (dynamic) rather than held (static)
  int contacts = 0;      // surfaces it rests on
  uint32_t triangle = kNoTriangle;  // the first of them, as given to the mesh
  uint32_t triangles[kMaxConstraints] = {kNoTriangle, kNoTriangle, kNoTriangle};  // each of them
  Constraint planes[kMaxConstraints];  // and their planes (kSkin in front of the faces)
  Point surface{};  // the first one's face normal
  // The surface normal the force follows (shaded where the mesh is), unit
  // length; zero out of contact. What graphics draws at the proxy.
  Point normal{};
};

// A rigid motion, mesh frame -> device frame: x_device = rotation x_mesh + translation.
struct RigidTransform {
  std::array<double, 9> rotation{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
  Point translation{};
};

// Why a 4x4 row-major matrix is no rigid motion, or nullptr (then `out` holds it).
const char* RigidFromMatrix(const double* matrix16, RigidTransform& out);

// Moves the proxy towards `tool` (mesh frame) as far as the surfaces allow,
// sliding along up to kMaxConstraints of them, then lets friction hold it back.
// Bounded work: a fixed number of hierarchy queries.
void StepProxy(const TriangleMesh& mesh, ProxyState& state, const ProxyMaterial& material, const Point& tool);

// The force on the tool (device frame) after one step: a spring from tool to
// proxy, with damping along the contact normal that never pulls.
Point RenderMesh(const TriangleMesh& mesh, ProxyState& state, const ProxyMaterial& material,
                 const RigidTransform& transform, const Point& tool, const Point& velocity);

}  // namespace Velkor::HardwareAPI::Render
