#include "Velkor/HardwareAPI/Servo/Effects.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace Velkor::HardwareAPI::Servo {

namespace {

float Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 Minus(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

Vec3 Scaled(const Vec3& a, float s) { return {a[0] * s, a[1] * s, a[2] * s}; }

float Length(const Vec3& a) { return std::sqrt(Dot(a, a)); }

bool Finite(float x) { return std::isfinite(x); }

bool Finite(const Vec3& a) { return Finite(a[0]) && Finite(a[1]) && Finite(a[2]); }

Vec3 Force(const Spring& s, const Vec3& p, const Vec3& v) {
  const Vec3 offset = Minus(p, s.anchor);
  return {-s.stiffness * offset[0] - s.damping * v[0], -s.stiffness * offset[1] - s.damping * v[1],
          -s.stiffness * offset[2] - s.damping * v[2]};
}

Vec3 Force(const Damper& d, const Vec3&, const Vec3& v) { return Scaled(v, -d.damping); }

Vec3 Force(const Plane& w, const Vec3& p, const Vec3& v) {
  const float depth = -Dot(Minus(p, w.point), w.normal);
  if (depth <= 0.0f) return {};
  // Damping that would pull the tool back in as it leaves is dropped: a wall only pushes.
  const float push = w.stiffness * depth - w.damping * Dot(v, w.normal);
  return push > 0.0f ? Scaled(w.normal, push) : Vec3{};
}

Vec3 Force(const Sphere& s, const Vec3& p, const Vec3& v) {
  const Vec3 offset = Minus(p, s.center);
  const float distance = Length(offset);
  const float depth = s.inside ? distance - s.radius : s.radius - distance;
  if (depth <= 0.0f) return {};
  // At the very centre any direction is as good as another; up is predictable.
  const Vec3 outward = distance > 0.0f ? Scaled(offset, 1.0f / distance) : Vec3{0.0f, 0.0f, 1.0f};
  const Vec3 direction = s.inside ? Scaled(outward, -1.0f) : outward;
  // As with a wall, damping that would pull the tool back in as it leaves is dropped.
  const float push = s.stiffness * depth - s.damping * Dot(v, direction);
  return push > 0.0f ? Scaled(direction, push) : Vec3{};
}

Vec3 Force(const Box& b, const Vec3& p, const Vec3& v) {
  Vec3 f{};
  for (int i = 0; i < 3; ++i) {
    if (p[i] < b.min_corner[i]) f[i] = std::max(0.0f, b.stiffness * (b.min_corner[i] - p[i]) - b.damping * v[i]);
    if (p[i] > b.max_corner[i]) f[i] = std::min(0.0f, -b.stiffness * (p[i] - b.max_corner[i]) - b.damping * v[i]);
  }
  return f;
}

Vec3 Force(const ConstantForce& c, const Vec3&, const Vec3&) { return c.force; }

Render::Point Rotate(const Render::RigidTransform& t, const Render::Point& p) {
  const auto& r = t.rotation;
  return {r[0] * p[0] + r[1] * p[1] + r[2] * p[2], r[3] * p[0] + r[4] * p[1] + r[5] * p[2],
          r[6] * p[0] + r[7] * p[1] + r[8] * p[2]};
}

void Publish(const Mesh& m, const Vec3& f) {
  if (m.tap == nullptr || m.tap->writing.exchange(true, std::memory_order_acquire)) return;
  ProxyView view;
  const Render::Point at = Rotate(m.shown, m.proxy.position);
  const Render::Point normal = Rotate(m.shown, m.proxy.normal);
  for (int i = 0; i < 3; ++i) {
    view.position[i] = at[i] + m.shown.translation[i];
    view.normal[i] = normal[i];
  }
  view.cycle = m.renders;
  view.triangle = m.proxy.contacts > 0 ? m.proxy.triangle : UINT32_MAX;
  view.contacts = m.proxy.contacts;
  view.force = Length(f);
  view.level = m.level;
  m.tap->view.Store(view);
  m.tap->writing.store(false, std::memory_order_release);
}

using Quaternion = std::array<double, 4>;  // w, x, y, z

Quaternion FromRotation(const std::array<double, 9>& r) {
  // Shepperd's method: from the largest of the four candidates, for accuracy.
  const double trace = r[0] + r[4] + r[8];
  Quaternion q;
  if (trace > 0.0) {
    const double s = 2.0 * std::sqrt(1.0 + trace);
    q = {0.25 * s, (r[7] - r[5]) / s, (r[2] - r[6]) / s, (r[3] - r[1]) / s};
  } else if (r[0] > r[4] && r[0] > r[8]) {
    const double s = 2.0 * std::sqrt(1.0 + r[0] - r[4] - r[8]);
    q = {(r[7] - r[5]) / s, 0.25 * s, (r[1] + r[3]) / s, (r[2] + r[6]) / s};
  } else if (r[4] > r[8]) {
    const double s = 2.0 * std::sqrt(1.0 + r[4] - r[0] - r[8]);
    q = {(r[2] - r[6]) / s, (r[1] + r[3]) / s, 0.25 * s, (r[5] + r[7]) / s};
  } else {
    const double s = 2.0 * std::sqrt(1.0 + r[8] - r[0] - r[4]);
    q = {(r[3] - r[1]) / s, (r[2] + r[6]) / s, (r[5] + r[7]) / s, 0.25 * s};
  }
  return q;
}

std::array<double, 9> ToRotation(Quaternion q) {
  const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (double& x : q) x /= n;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

// The rigid motion a share `s` of the way from `a` to `b`: translation linear,
// rotation along the shortest arc.
Render::RigidTransform Between(const Render::RigidTransform& a, const Render::RigidTransform& b, double s) {
  Render::RigidTransform out;
  for (int i = 0; i < 3; ++i) out.translation[i] = a.translation[i] + s * (b.translation[i] - a.translation[i]);
  const Quaternion p = FromRotation(a.rotation);
  Quaternion q = FromRotation(b.rotation);
  double c = p[0] * q[0] + p[1] * q[1] + p[2] * q[2] + p[3] * q[3];
  if (c < 0.0) {
    for (double& x : q) x = -x;
    c = -c;
  }
  Quaternion r;
  if (c > 0.9995) {
    for (int i = 0; i < 4; ++i) r[i] = p[i] + s * (q[i] - p[i]);
  } else {
    const double angle = std::acos(std::min(1.0, c));
    const double wa = std::sin((1.0 - s) * angle) / std::sin(angle), wb = std::sin(s * angle) / std::sin(angle);
    for (int i = 0; i < 4; ++i) r[i] = wa * p[i] + wb * q[i];
  }
  out.rotation = ToRotation(r);
  return out;
}

bool Same(const Render::RigidTransform& a, const Render::RigidTransform& b) {
  return a.rotation == b.rotation && a.translation == b.translation;
}

// Moves the rendered pose one cycle on; a new transform starts a new blend from
// wherever the rendered pose is.
void AdvancePose(Mesh& m) {
  if (!m.posed) {
    m.shown = m.shown_before = m.blend_from = m.target = m.transform;
    m.blend_cycles = m.blend_done = 0;
    m.posed = true;
  }
  m.shown_before = m.shown;
  if (!Same(m.transform, m.target)) {
    m.blend_from = m.shown;
    m.target = m.transform;
    m.blend_cycles = m.glide ? std::clamp<uint32_t>(m.since_update, 1, kMeshPoseBlendCycles) : 1;
    m.blend_done = 0;
    m.since_update = 0;
  }
  if (m.since_update < kMeshPoseBlendCycles) ++m.since_update;
  if (m.blend_done < m.blend_cycles) {
    ++m.blend_done;
    m.shown = m.blend_done == m.blend_cycles
                  ? m.target
                  : Between(m.blend_from, m.target, static_cast<double>(m.blend_done) / m.blend_cycles);
  } else {
    m.shown = m.target;
  }
}

// A spring of `stiffness` as the loop renders it at its period: no stiffer than
// the cap, damped along its push beyond the stiffness the arm keeps stable alone.
template <class S>
void Limit(S& stiffness, S& damping, const ContactLimits& l) {
  if (stiffness > l.stiffness_cap) stiffness = l.stiffness_cap;
  if (stiffness > l.free_stiffness)
    damping += std::min<S>(l.damping_per_root * std::sqrt(stiffness), l.damping_slope * (stiffness - l.free_stiffness));
}

// Enabled or not, a mesh's proxy is stepped every cycle: at zero gain it is put
// where the tool is, as adding the mesh would put it.
Vec3 StepMesh(Mesh& m, const Vec3& p, const Vec3& v, const ContactLimits& limits) {
  const float target = m.enabled ? m.gain : 0.0f;
  // A fresh proxy starts at the tool, where the force is zero whatever the gain.
  if (!m.proxy.placed) m.level = target;
  if (!m.enabled) m.level = 0.0f;
  m.level = std::clamp(target, m.level - kMeshGainStep, m.level + kMeshGainStep);
  if (!(m.level > 0.0f)) m.proxy = Render::ProxyState{};
  AdvancePose(m);
  // Damping acts on the tool's velocity relative to the surface under it.
  const Render::Point tool{p[0], p[1], p[2]};
  Render::Point local{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) local[c] += m.shown.rotation[3 * r + c] * (tool[r] - m.shown.translation[r]);
  if (m.stepped_on != m.shape.get() && m.proxy.placed && m.proxy.contacts > 0) {
    double depth2 = 0.0;
    for (int i = 0; i < 3; ++i) depth2 += (m.proxy.position[i] - local[i]) * (m.proxy.position[i] - local[i]);
    // The tool may have moved with the surface since: lifted by the depth it was
    // pressed in before, the proxy is in front of a surface that moved less.
    const double lift = std::max(std::sqrt(depth2), m.pressed);
    for (int i = 0; i < 3; ++i) m.proxy.position[i] += m.proxy.surface[i] * lift;
    m.proxy.contacts = 0;  // comes down afresh: friction holds it from the next cycle
  }
  m.stepped_on = m.shape.get();
  const Render::Point now = Rotate(m.shown, local), before = Rotate(m.shown_before, local);
  Render::Point relative{};
  for (int i = 0; i < 3; ++i) {
    const double moved = now[i] + m.shown.translation[i] - before[i] - m.shown_before.translation[i];
    relative[i] = v[i] - moved / m.cycle_s;
  }
  Render::ProxyMaterial material = m.material;
  Limit(material.stiffness, material.damping, limits);
  const Render::Point f = Render::RenderMesh(*m.shape, m.proxy, material, m.shown, tool, relative);
  double pressed2 = 0.0;
  if (m.proxy.contacts > 0)
    for (int i = 0; i < 3; ++i) pressed2 += (m.proxy.position[i] - local[i]) * (m.proxy.position[i] - local[i]);
  m.pressed = std::sqrt(pressed2);
  const Vec3 force = Scaled({static_cast<float>(f[0]), static_cast<float>(f[1]), static_cast<float>(f[2])}, m.level);
  ++m.renders;
  if (m.publishes) Publish(m, force);
  return force;
}

// Asked without a loop, a mesh answers from a copy of its proxy and keeps its own.
Vec3 Force(const Mesh& m, const Vec3& p, const Vec3& v) {
  Mesh copy = m;
  copy.publishes = false;
  return StepMesh(copy, p, v, ContactLimits{});
}

Vec3 Step(Mesh& m, const Vec3& p, const Vec3& v, const ContactLimits& limits) { return StepMesh(m, p, v, limits); }

template <class E>
Vec3 Step(E& e, const Vec3& p, const Vec3& v, const ContactLimits& limits) {
  if constexpr (std::is_same_v<E, Damper> || std::is_same_v<E, ConstantForce>) {
    return Force(e, p, v);
  } else {
    E rendered = e;
    Limit(rendered.stiffness, rendered.damping, limits);
    return Force(rendered, p, v);
  }
}

const char* Check(Spring& s) {
  if (!Finite(s.anchor)) return "anchor must be finite";
  if (!Finite(s.stiffness) || s.stiffness < 0.0f) return "stiffness must be finite and not negative";
  if (!Finite(s.damping) || s.damping < 0.0f) return "damping must be finite and not negative";
  return nullptr;
}

const char* Check(Damper& d) {
  if (!Finite(d.damping) || d.damping < 0.0f) return "damping must be finite and not negative";
  return nullptr;
}

const char* Check(Plane& w) {
  if (!Finite(w.point)) return "point must be finite";
  if (!Finite(w.normal)) return "normal must be finite";
  const float length = Length(w.normal);
  if (!(length > 0.0f) || !std::isfinite(length)) return "normal must not be zero";
  if (!Finite(w.stiffness) || w.stiffness < 0.0f) return "stiffness must be finite and not negative";
  if (!Finite(w.damping) || w.damping < 0.0f) return "damping must be finite and not negative";
  w.normal = Scaled(w.normal, 1.0f / length);
  return nullptr;
}

const char* Check(Sphere& s) {
  if (!Finite(s.center)) return "center must be finite";
  if (!Finite(s.radius) || s.radius <= 0.0f) return "radius must be finite and positive";
  if (!Finite(s.stiffness) || s.stiffness < 0.0f) return "stiffness must be finite and not negative";
  if (!Finite(s.damping) || s.damping < 0.0f) return "damping must be finite and not negative";
  return nullptr;
}

const char* Check(Box& b) {
  if (!Finite(b.min_corner) || !Finite(b.max_corner)) return "corners must be finite";
  for (int i = 0; i < 3; ++i)
    if (b.min_corner[i] > b.max_corner[i]) return "min_corner must not exceed max_corner on any axis";
  if (!Finite(b.stiffness) || b.stiffness < 0.0f) return "stiffness must be finite and not negative";
  if (!Finite(b.damping) || b.damping < 0.0f) return "damping must be finite and not negative";
  return nullptr;
}

const char* Check(ConstantForce& c) { return Finite(c.force) ? nullptr : "force must be finite"; }

bool FiniteNotNegative(double x) { return std::isfinite(x) && x >= 0.0; }

const char* Check(Mesh& m) {
  if (!m.shape) return "mesh has no triangles";
  if (!FiniteNotNegative(m.material.stiffness)) return "stiffness must be finite and not negative";
  if (!FiniteNotNegative(m.material.damping)) return "damping must be finite and not negative";
  if (!FiniteNotNegative(m.material.static_friction)) return "friction must be finite and not negative";
  if (!FiniteNotNegative(m.material.dynamic_friction)) return "dynamic_friction must be finite and not negative";
  if (m.material.dynamic_friction > m.material.static_friction)
    return "dynamic_friction must not exceed friction";
  double matrix[16] = {};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) matrix[4 * i + j] = m.transform.rotation[3 * i + j];
    matrix[4 * i + 3] = m.transform.translation[i];
  }
  matrix[15] = 1.0;
  return Render::RigidFromMatrix(matrix, m.transform);
}

}  // namespace

Vec3 EffectForce(const Effect& effect, const Vec3& position, const Vec3& velocity) {
  return std::visit(
      [&](const auto& e) {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, Mesh>) return Force(e, position, velocity);
        else return e.enabled ? Scaled(Force(e, position, velocity), e.gain) : Vec3{};
      },
      effect);
}

ContactLimits ContactLimitsFor(double period_s) {
  if (!(period_s > 0.0) || !std::isfinite(period_s)) return {};
  ContactLimits l;
  l.stiffness_cap = static_cast<float>(kStableStiffnessShare * kArmMass / (period_s * period_s));
  l.free_stiffness = static_cast<float>(kFreeStiffnessShare * kArmDamping / period_s);
  l.damping_per_root = static_cast<float>(kContactDampingRatio * std::sqrt(kArmMass));
  l.damping_slope = static_cast<float>(kContactDampingSlope * period_s);
  return l;
}

double StableStiffness(double rate_hz) { return kStableStiffnessShare * kArmMass * rate_hz * rate_hz; }

Vec3 StepEffect(Effect& effect, const Vec3& position, const Vec3& velocity, const ContactLimits& limits) {
  return std::visit(
      [&](auto& e) {
        // A mesh applies its own (slewed) gain and keeps its proxy going while disabled.
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, Mesh>) return Step(e, position, velocity, limits);
        else return e.enabled ? Scaled(Step(e, position, velocity, limits), e.gain) : Vec3{};
      },
      effect);
}

void CarryState(std::vector<Effect>& fresh, const std::vector<Effect>* previous, double cycle_s) {
  for (Effect& effect : fresh) {
    Mesh* mesh = std::get_if<Mesh>(&effect);
    if (mesh == nullptr) continue;
    mesh->proxy = Render::ProxyState{};
    mesh->level = 0.0f;
    mesh->renders = 0;
    mesh->publishes = true;
    mesh->posed = false;
    mesh->stepped_on = nullptr;
    mesh->pressed = 0.0;
    mesh->since_update = kMeshPoseBlendCycles;
    mesh->cycle_s = cycle_s > 0.0 ? cycle_s : 0.001;
    if (previous == nullptr) continue;
    for (const Effect& old : *previous) {
      const Mesh* before = std::get_if<Mesh>(&old);
      if (before != nullptr && before->key == mesh->key) {
        mesh->proxy = before->proxy;
        mesh->level = before->level;
        mesh->renders = before->renders;
        mesh->posed = before->posed;
        mesh->shown = before->shown;
        mesh->shown_before = before->shown_before;
        mesh->blend_from = before->blend_from;
        mesh->target = before->target;
        mesh->blend_cycles = before->blend_cycles;
        mesh->blend_done = before->blend_done;
        mesh->since_update = before->since_update;
        mesh->stepped_on = before->stepped_on;
        mesh->pressed = before->pressed;
        break;
      }
    }
  }
}

Vec3 ClampMagnitude(const Vec3& force, float limit) {
  if (!Finite(force)) return {};
  // In double: the square of a large finite force would overflow a float.
  const double magnitude = std::sqrt(double{force[0]} * force[0] + double{force[1]} * force[1] +
                                     double{force[2]} * force[2]);
  if (!(magnitude > limit)) return force;
  return limit > 0.0f ? Scaled(force, static_cast<float>(limit / magnitude)) : Vec3{};
}

const char* Validate(Effect& effect) {
  return std::visit(
      [](auto& e) -> const char* {
        if (!Finite(e.gain) || e.gain < 0.0f) return "gain must be finite and not negative";
        return Check(e);
      },
      effect);
}

}  // namespace Velkor::HardwareAPI::Servo
