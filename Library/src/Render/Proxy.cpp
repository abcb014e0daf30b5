#include "Velkor/HardwareAPI/Render/Proxy.hpp"

#include <algorithm>
#include <cmath>

namespace Velkor::HardwareAPI::Render {

namespace {

Point Sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Point Add(const Point& a, const Point& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Point Mul(const Point& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const Point& a, const Point& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Norm(const Point& a) { return std::sqrt(Dot(a, a)); }
Point Cross(const Point& a, const Point& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// How far a projection may fall short of a constraint and still count as on it.
constexpr double kFeasible = 1e-9;
// Moves per step: enough to meet every constraint and slide along them all.
constexpr int kMaxMoves = 2 * kMaxConstraints + 2;
// Faces whose normals are this close to parallel make no edge or corner.
constexpr double kParallel = 1e-10;

bool Feasible(const Point& q, const Constraint* c, int count) {
  for (int i = 0; i < count; ++i)
    if (Dot(c[i].normal, q) < c[i].offset - kFeasible) return false;
  return true;
}

// The projection of `goal` onto the intersection of the chosen faces' planes:
// goal + sum(lambda_j n_j) with the Gram system solved by Cramer's rule.
bool ProjectOnto(const Point& goal, const Constraint* c, const int* chosen, int k, Point& out) {
  double g[3][3] = {}, r[3] = {};
  for (int i = 0; i < k; ++i) {
    r[i] = c[chosen[i]].offset - Dot(c[chosen[i]].normal, goal);
    for (int j = 0; j < k; ++j) g[i][j] = Dot(c[chosen[i]].normal, c[chosen[j]].normal);
  }
  double lambda[3] = {};
  if (k == 1) {
    lambda[0] = r[0];
  } else if (k == 2) {
    const double det = g[0][0] * g[1][1] - g[0][1] * g[1][0];
    if (!(det > kParallel)) return false;
    lambda[0] = (r[0] * g[1][1] - g[0][1] * r[1]) / det;
    lambda[1] = (g[0][0] * r[1] - r[0] * g[1][0]) / det;
  } else {
    const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                       g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                       g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
    if (!(det > kParallel)) return false;
    for (int col = 0; col < 3; ++col) {
      double m[3][3];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = j == col ? r[i] : g[i][j];
      lambda[col] = (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) /
                    det;
    }
  }
  out = goal;
  for (int i = 0; i < k; ++i) out = Add(out, Mul(c[chosen[i]].normal, lambda[i]));
  return true;
}

// Moves from `from` towards `goal`, stopping just in front of each face in the
// way and sliding on along every face met so far. Returns where it ends.
Point Slide(const TriangleMesh& mesh, const Point& from, const Point& goal, Constraint* constraints, int& count,
            uint32_t* triangles) {
  Point p = from;
  count = 0;
  for (int move = 0; move < kMaxMoves; ++move) {
    const Point target = count > 0 ? NearestFreePoint(goal, constraints, count, p) : goal;
    SegmentHit hit = mesh.FirstFrontHit(p, target, kSkin);
    if (hit.hit) {
      // Back along the way to kSkin in front of the face, never backwards past the start.
      const double s0 = Dot(hit.normal, p) - hit.offset;
      const double back = std::clamp((s0 - kSkin) / (s0 - hit.end), 0.0, hit.t);
      p = Add(p, Mul(Sub(target, p), back));
    } else {
      p = target;
      if (count == 0) return p;
      // Slid over a convex edge onto a face's extension: the tool may now be
      // behind the face beyond the edge, which then joins the constraints (and
      // the proxy settles on the edge), or behind nothing at all (it left the
      // surface, and the proxy goes with it).
      hit = mesh.FirstFrontHit(p, goal, kSkin);
      if (!hit.hit) {
        count = 0;
        return goal;
      }
    }
    bool known = false;
    for (int i = 0; i < count; ++i)
      known = known || (Dot(constraints[i].normal, hit.normal) > 1.0 - 1e-12 &&
                        std::fabs(constraints[i].offset - kSkin - hit.offset) < kFeasible);
    if (known || count == kMaxConstraints) return p;
    triangles[count] = hit.triangle;
    constraints[count++] = Constraint{hit.normal, hit.offset + kSkin};
  }
  return p;
}

}  // namespace

Point NearestFreePoint(const Point& goal, const Constraint* constraints, int count, const Point& fallback) {
  if (Feasible(goal, constraints, count)) return goal;
  bool found = false;
  Point best = fallback;
  double best_distance = 0.0;
  for (int mask = 1; mask < (1 << count); ++mask) {
    int chosen[kMaxConstraints];
    int k = 0;
    for (int i = 0; i < count; ++i)
      if (mask & (1 << i)) chosen[k++] = i;
    Point q;
    if (!ProjectOnto(goal, constraints, chosen, k, q) || !Feasible(q, constraints, count)) continue;
    const double distance = Dot(Sub(q, goal), Sub(q, goal));
    if (!found || distance < best_distance) {
      found = true;
      best = q;
      best_distance = distance;
    }
  }
  return best;
}

const char* RigidFromMatrix(const double* m, RigidTransform& out) {
  for (int i = 0; i < 16; ++i)
    if (!std::isfinite(m[i])) return "transform must be finite";
  if (std::fabs(m[12]) > 1e-9 || std::fabs(m[13]) > 1e-9 || std::fabs(m[14]) > 1e-9 || std::fabs(m[15] - 1.0) > 1e-9)
    return "transform's last row must be [0, 0, 0, 1]";
  RigidTransform t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t.rotation[3 * i + j] = m[4 * i + j];
    t.translation[i] = m[4 * i + 3];
  }
  const auto& r = t.rotation;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot = r[3 * i] * r[3 * j] + r[3 * i + 1] * r[3 * j + 1] + r[3 * i + 2] * r[3 * j + 2];
      if (std::fabs(dot - (i == j ? 1.0 : 0.0)) > 1e-5)
        return "transform must be rigid: its rotation part must be orthonormal (no scale or shear)";
    }
  const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                     r[2] * (r[3] * r[7] - r[4] * r[6]);
  if (det < 0.0) return "transform must be rigid: a mirror image would turn the mesh's faces inside out";
  out = t;
  return nullptr;
}

void StepProxy(const TriangleMesh& mesh, ProxyState& state, const ProxyMaterial& material, const Point& tool) {
  if (!state.placed) {
    state = ProxyState{};
    state.position = tool;
    state.placed = true;
    return;
  }
  const Point before = state.position;
  Constraint constraints[kMaxConstraints];
  int count = 0;
  uint32_t triangles[kMaxConstraints] = {kNoTriangle, kNoTriangle, kNoTriangle};
  Point p = Slide(mesh, before, tool, constraints, count, triangles);

  // The friction cone: the proxy stays where it was while the tool's tangential
  // pull from there is within mu times its push into the surface; past that it
  // is dragged along, kept on the cone's edge.
  bool sliding = false;
  if (count > 0 && state.contacts > 0 && material.static_friction > 0.0) {
    const double depth = Norm(Sub(p, tool));
    const Point drift = Sub(before, p);
    const double distance = Norm(drift);
    const double mu = state.sliding ? material.dynamic_friction : material.static_friction;
    if (distance <= mu * depth) {
      p = before;
    } else {
      sliding = true;
      const Point edge = Add(p, Mul(drift, material.dynamic_friction * depth / distance));
      Constraint unused[kMaxConstraints];
      int unused_count = 0;
      uint32_t unused_triangles[kMaxConstraints];
      p = Slide(mesh, p, edge, unused, unused_count, unused_triangles);
    }
  }
  state.position = p;
  state.contacts = count;
  for (int i = 0; i < kMaxConstraints; ++i) {
    state.triangles[i] = i < count ? triangles[i] : kNoTriangle;
    state.planes[i] = i < count ? constraints[i] : Constraint{};
  }
  state.triangle = state.triangles[0];
  state.surface = count > 0 ? constraints[0].normal : Point{};
  state.sliding = sliding;
}

Point RenderMesh(const TriangleMesh& mesh, ProxyState& state, const ProxyMaterial& material,
                 const RigidTransform& transform, const Point& tool, const Point& velocity) {
  const auto& r = transform.rotation;
  const Point offset = Sub(tool, transform.translation);
  // The inverse of a rotation is its transpose.
  const Point local{r[0] * offset[0] + r[3] * offset[1] + r[6] * offset[2],
                    r[1] * offset[0] + r[4] * offset[1] + r[7] * offset[2],
                    r[2] * offset[0] + r[5] * offset[1] + r[8] * offset[2]};
  const Point v{r[0] * velocity[0] + r[3] * velocity[1] + r[6] * velocity[2],
                r[1] * velocity[0] + r[4] * velocity[1] + r[7] * velocity[2],
                r[2] * velocity[0] + r[5] * velocity[1] + r[8] * velocity[2]};
  StepProxy(mesh, state, material, local);
  state.normal = {};
  if (state.contacts == 0) return {};
  const Point stretch = Sub(state.position, local);
  const double length = Norm(stretch);
  if (!(length > 0.0)) return {};
  Point normal = Mul(stretch, 1.0 / length);
  state.normal = state.contacts == 1 ? state.surface : normal;
  if (mesh.Shaded()) {
    // Force shading: the spring is turned by the rotation that takes the face's
    // normal (or, on an edge or in a corner, the spring's own direction) to the
    // interpolated normal there, so that friction keeps its share. Only the
    // faces the proxy is on count (a constraint it has slid off is no contact);
    // where they disagree (a crease sharper than the smoothing angle) the force
    // stays as it is.
    int on = 0;
    Point shade{}, face{};
    bool agree = true;
    for (int i = 0; i < state.contacts; ++i) {
      const Constraint& plane = state.planes[i];
      if (Dot(plane.normal, state.position) - plane.offset > 1e-9) continue;
      const Point n = mesh.ShadedNormal(state.triangles[i], state.position);
      if (on++ == 0) {
        shade = n;
        face = plane.normal;
      } else {
        agree = agree && Dot(n, shade) > 1.0 - 1e-6;
      }
    }
    const Point reference = on == 1 ? face : normal;
    const double c = Dot(reference, shade);
    // A normal far from the face's (bad given normals) would push sideways or in: not used.
    if (on > 0 && agree && c > 0.5) {
      const Point axis = Cross(reference, shade);
      normal = Add(Add(Mul(normal, c), Cross(axis, normal)), Mul(axis, Dot(axis, normal) / (1.0 + c)));
      normal = Mul(normal, 1.0 / Norm(normal));
      state.normal = shade;
    }
  }
  // Damping that would pull the tool back in as it leaves is dropped: a surface only pushes.
  const double push = material.stiffness * length - material.damping * Dot(v, normal);
  if (!(push > 0.0)) return {};
  const Point f = Mul(normal, push);
  return {r[0] * f[0] + r[1] * f[1] + r[2] * f[2], r[3] * f[0] + r[4] * f[1] + r[5] * f[2],
          r[6] * f[0] + r[7] * f[1] + r[8] * f[2]};
}

}  // namespace Velkor::HardwareAPI::Render
