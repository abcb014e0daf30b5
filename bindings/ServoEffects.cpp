// The effects Python builds and hands to ServoLoop.add(), and the helpers
// their parameters go through.

#include <pybind11/eval.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Reach.hpp"
#include "ServoShared.hpp"

namespace servo_binding {

namespace {

template <class E>
const char* EffectName();
template <>
const char* EffectName<Spring>() { return "Spring"; }
template <>
const char* EffectName<Damper>() { return "Damper"; }
template <>
const char* EffectName<Plane>() { return "Plane"; }
template <>
const char* EffectName<Sphere>() { return "Sphere"; }
template <>
const char* EffectName<Box>() { return "Box"; }
template <>
const char* EffectName<ConstantForce>() { return "ConstantForce"; }
template <>
const char* EffectName<Mesh>() { return "Mesh"; }

template <class E>
Effect Checked(Effect effect) {
  if (const char* why = Validate(effect)) throw py::value_error(std::string(EffectName<E>()) + ": " + why);
  return effect;
}

// Applies a change to a copy, checks it whole, then swaps it in: a loop never
// sees an effect that failed its checks, nor half of one update.
template <class E, class Mutate>
void Change(PyEffect& self, Mutate&& mutate) {
  Effect copy = self.value;
  mutate(std::get<E>(copy));
  if (!self.batching) copy = Checked<E>(std::move(copy));
  self.value = std::move(copy);
  if (!self.batching) self.Changed();
}

template <class E>
const E& Get(const PyEffect& self) {
  return std::get<E>(self.value);
}

py::list ForceAt(const PyEffect& self, const std::vector<double>& position, const std::vector<double>& velocity) {
  const Vec3 f = EffectForce(self.value, ToVec3(position, "position"), ToVec3(velocity, "velocity"));
  py::list out;
  for (float x : f) out.append(x);
  return out;
}

bool Enabled(const Effect& effect) {
  return std::visit([](const auto& e) { return e.enabled; }, effect);
}

float Gain(const Effect& effect) {
  return std::visit([](const auto& e) { return e.gain; }, effect);
}

// Switching an effect on or off, or scaling it, moves the loop's force
// slew-limited: the whole effect's force would otherwise step at once.
bool Fades(const Effect& before, const Effect& after) {
  return Enabled(before) != Enabled(after) || Gain(before) != Gain(after);
}

// Sets several parameters as one change: checked together, published once.
void Update(py::object self, const py::kwargs& changes) {
  PyEffect& effect = self.cast<PyEffect&>();
  const Effect saved = effect.value;
  effect.batching = true;
  try {
    for (const auto& item : changes) py::setattr(self, item.first, item.second);
    effect.batching = false;
    if (const char* why = Validate(effect.value))
      throw py::value_error(std::string(py::str(self.get_type().attr("__name__"))) + ": " + why);
  } catch (...) {
    effect.batching = false;
    effect.value = saved;
    throw;
  }
  effect.Changed(Fades(saved, effect.value));
}

// The parameters every effect has; switching one on or off fades it.
template <class Mutate>
void ChangeCommon(PyEffect& self, Mutate&& mutate) {
  Effect copy = self.value;
  std::visit(mutate, copy);
  if (!self.batching) {
    if (const char* why = Validate(copy)) throw py::value_error(std::string("Effect: ") + why);
  }
  const bool fade = Fades(self.value, copy);
  self.value = std::move(copy);
  if (!self.batching) self.Changed(fade);
}

// enabled and gain, which every effect has; changing either fades.
template <class Cls>
void AddSwitches(Cls& cls) {
  cls.def_property(
          "enabled", [](const PyEffect& self) { return Enabled(self.value); },
          [](PyEffect& self, bool on) { ChangeCommon(self, [&](auto& e) { e.enabled = on; }); },
          "False: the effect asks for no force. A running loop fades it out and in over its ramp_s.")
      .def_property(
          "gain", [](const PyEffect& self) { return std::visit([](const auto& e) { return e.gain; }, self.value); },
          [](PyEffect& self, double gain) { ChangeCommon(self, [&](auto& e) { e.gain = ToFloat(gain); }); },
          "The effect's force is scaled by this (finite, not negative; default 1.0). A running loop moves to the "
          "new force no faster than max_force per ramp_s.");
}

template <class Cls>
void AddCommon(Cls& cls) {
  cls.def("update", &Update,
          "Change several parameters at once (keyword arguments): checked together and applied in one cycle.")
      .def("force_at", &ForceAt, py::arg("position"), py::arg("velocity") = std::vector<double>{0.0, 0.0, 0.0},
           "The force (N) this effect asks for at a position (m) and velocity (m/s).");
  AddSwitches(cls);
}

ReadOnlyVector ToList(const Vec3& v) { return ReadOnly(v); }

#include "MeshEffect.inc"

// The tuple subclass of ReadOnlyVector, written in Python: it must behave as a
// tuple everywhere (unpacking, NumPy, JSON, CBOR) and only add list equality.
constexpr const char* kVectorSource = R"(
class Vector(tuple):
    # Spelt out rather than a docstring, which Python 3.13 dedents and earlier ones do not.
    __doc__ = ("A read-only vector of an effect's parameters (a tuple). It equals a list with the same items.\n"
               "Assign a whole new value to change the parameter: effect.force = [0.0, 0.0, 1.0].")

    __slots__ = ()
    __module__ = "VelkorHardwareAPI"

    def __eq__(self, other):
        if isinstance(other, list):
            return len(self) == len(other) and all(a == b for a, b in zip(self, other))
        return tuple.__eq__(self, other)

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    __hash__ = tuple.__hash__

    def __reduce__(self):
        return (tuple, (tuple(self),))
)";

double Distance(const Vec3& v) { return std::sqrt(double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2]); }

// Distance from the base origin to the axis-aligned box [low, high] (0 inside it).
double DistanceToBox(const std::array<double, 3>& low, const std::array<double, 3>& high) {
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double gap = std::max({low[i], -high[i], 0.0});
    sum += gap * gap;
  }
  return std::sqrt(sum);
}

}  // namespace

py::object VectorType() {
  static py::object* type = nullptr;
  if (type == nullptr) {
    py::dict scope;
    py::exec(kVectorSource, scope);
    type = new py::object(scope["Vector"]);  // kept for the life of the process
  }
  return *type;
}

std::string GeometryOutOfReach(const Effect& effect, const char* kind) {
  const double reach = VelkorBinding::PositionReach();
  // How far from the base the nearest point of the geometry is, and what that geometry is.
  double gap = 0.0;
  std::string what;
  if (const auto* e = std::get_if<Spring>(&effect)) {
    gap = Distance(e->anchor);
    what = "anchored at " + Format(e->anchor);
  } else if (const auto* e = std::get_if<Plane>(&effect)) {
    const Vec3& n = e->normal;
    const double length = Distance(n);
    gap = length > 0.0 ? std::fabs(double(e->point[0]) * n[0] + double(e->point[1]) * n[1] +
                                   double(e->point[2]) * n[2]) / length
                       : 0.0;
    what = "through " + Format(e->point);
  } else if (const auto* e = std::get_if<Sphere>(&effect)) {
    gap = std::fabs(Distance(e->center) - e->radius);
    what = "at " + Format(e->center) + " of radius " + Format(e->radius);
  } else if (const auto* e = std::get_if<Box>(&effect)) {
    gap = DistanceToBox({e->min_corner[0], e->min_corner[1], e->min_corner[2]},
                        {e->max_corner[0], e->max_corner[1], e->max_corner[2]});
    what = "from " + Format(e->min_corner) + " to " + Format(e->max_corner);
  } else if (const auto* e = std::get_if<Mesh>(&effect)) {
    const Render::Point low = e->shape->BoundsMin(), high = e->shape->BoundsMax();
    std::array<double, 3> lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int corner = 0; corner < 8; ++corner) {
      const Render::Point p{(corner & 1) ? high[0] : low[0], (corner & 2) ? high[1] : low[1],
                            (corner & 4) ? high[2] : low[2]};
      const Render::Point q = ToDevice(e->transform, p);
      for (int i = 0; i < 3; ++i) {
        lo[i] = std::min(lo[i], double(q[i]));
        hi[i] = std::max(hi[i], double(q[i]));
      }
    }
    gap = DistanceToBox(lo, hi);
    char text[160];
    std::snprintf(text, sizeof text, "placed within [%g, %g, %g] to [%g, %g, %g]", lo[0], lo[1], lo[2],
                  hi[0], hi[1], hi[2]);
    what = text;
  } else {
    return {};
  }
  if (!(gap > reach)) return {};
  char text[512];
  std::snprintf(text, sizeof text,
                "ServoLoop.add(): the %s %s lies %.3g m from the arm's base, far outside the workspace (no tool "
                "position is more than %.2f m out): effect geometry is in metres, as is the tool's position",
                kind, what.c_str(), gap, reach);
  return text;
}

void RegisterEffects(py::module_& m) {
  m.attr("Vector") = VectorType();
  py::class_<PyEffect>(m, "Effect",
                       "A force effect for ServoLoop. Parameters may be changed while a loop runs: each change "
                       "applies whole from the next cycle.");

  py::class_<PySpring, PyEffect> spring(m, "Spring", "Pulls towards an anchor: -stiffness (p - anchor) - damping v.");
  spring
      .def(py::init([](const std::vector<double>& anchor, double stiffness, double damping) {
             return std::make_unique<PySpring>(
                 Checked<Spring>(Spring{ToVec3(anchor, "anchor"), ToFloat(stiffness), ToFloat(damping)}));
           }),
           py::arg("anchor"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "anchor", [](const PySpring& s) { return ToList(Get<Spring>(s).anchor); },
          [](PySpring& s, const std::vector<double>& v) {
            const Vec3 anchor = ToVec3(v, "anchor");
            Change<Spring>(s, [&](Spring& e) { e.anchor = anchor; });
          },
          "Where the spring pulls to (m).")
      .def_property(
          "stiffness", [](const PySpring& s) { return Get<Spring>(s).stiffness; },
          [](PySpring& s, double v) {
            Change<Spring>(s, [&](Spring& e) { e.stiffness = ToFloat(v); });
            WarnIfTooStiff(s);
          }, "N/m.")
      .def_property(
          "damping", [](const PySpring& s) { return Get<Spring>(s).damping; },
          [](PySpring& s, double v) { Change<Spring>(s, [&](Spring& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PySpring& s) {
        const Spring& e = Get<Spring>(s);
        return "Spring(anchor=" + Format(e.anchor) + ", stiffness=" + Format(e.stiffness) +
               ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(spring);

  py::class_<PyDamper, PyEffect> damper(m, "Damper", "Resists motion: -damping v.");
  damper
      .def(py::init([](double damping) { return std::make_unique<PyDamper>(Checked<Damper>(Damper{ToFloat(damping)})); }),
           py::arg("damping"))
      .def_property(
          "damping", [](const PyDamper& s) { return Get<Damper>(s).damping; },
          [](PyDamper& s, double v) { Change<Damper>(s, [&](Damper& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PyDamper& s) { return "Damper(damping=" + Format(Get<Damper>(s).damping) + ")"; });
  AddCommon(damper);

  py::class_<PyPlane, PyEffect> plane(
      m, "Plane",
      "A one-sided wall through `point`. The free side is where `normal` points; inside the wall the tool is "
      "pushed out along the normal with stiffness times depth, less damping times the velocity along the normal. "
      "It never pulls.");
  plane
      .def(py::init([](const std::vector<double>& point, const std::vector<double>& normal, double stiffness,
                       double damping) {
             return std::make_unique<PyPlane>(Checked<Plane>(
                 Plane{ToVec3(point, "point"), ToVec3(normal, "normal"), ToFloat(stiffness), ToFloat(damping)}));
           }),
           py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "point", [](const PyPlane& s) { return ToList(Get<Plane>(s).point); },
          [](PyPlane& s, const std::vector<double>& v) {
            const Vec3 point = ToVec3(v, "point");
            Change<Plane>(s, [&](Plane& e) { e.point = point; });
          },
          "A point of the wall's surface (m).")
      .def_property(
          "normal", [](const PyPlane& s) { return ToList(Get<Plane>(s).normal); },
          [](PyPlane& s, const std::vector<double>& v) {
            const Vec3 normal = ToVec3(v, "normal");
            Change<Plane>(s, [&](Plane& e) { e.normal = normal; });
          },
          "Towards the free side; kept at unit length.")
      .def_property(
          "stiffness", [](const PyPlane& s) { return Get<Plane>(s).stiffness; },
          [](PyPlane& s, double v) {
            Change<Plane>(s, [&](Plane& e) { e.stiffness = ToFloat(v); });
            WarnIfTooStiff(s);
          }, "N/m.")
      .def_property(
          "damping", [](const PyPlane& s) { return Get<Plane>(s).damping; },
          [](PyPlane& s, double v) { Change<Plane>(s, [&](Plane& e) { e.damping = ToFloat(v); }); }, "N s/m.")
      .def("__repr__", [](const PyPlane& s) {
        const Plane& e = Get<Plane>(s);
        return "Plane(point=" + Format(e.point) + ", normal=" + Format(e.normal) +
               ", stiffness=" + Format(e.stiffness) + ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(plane);

  py::class_<PySphere, PyEffect> sphere(
      m, "Sphere",
      "A solid ball that pushes the tool out (stiffness times depth, less damping times the velocity along the push), "
      "or with inside=True a shell that keeps it in. It never pulls.");
  sphere
      .def(py::init([](const std::vector<double>& center, double radius, double stiffness, bool inside,
                       double damping) {
             return std::make_unique<PySphere>(Checked<Sphere>(
                 Sphere{ToVec3(center, "center"), ToFloat(radius), ToFloat(stiffness), inside, ToFloat(damping)}));
           }),
           py::arg("center"), py::arg("radius"), py::arg("stiffness"), py::arg("inside") = false,
           py::arg("damping") = 0.0)
      .def_property(
          "center", [](const PySphere& s) { return ToList(Get<Sphere>(s).center); },
          [](PySphere& s, const std::vector<double>& v) {
            const Vec3 center = ToVec3(v, "center");
            Change<Sphere>(s, [&](Sphere& e) { e.center = center; });
          },
          "m.")
      .def_property(
          "radius", [](const PySphere& s) { return Get<Sphere>(s).radius; },
          [](PySphere& s, double v) { Change<Sphere>(s, [&](Sphere& e) { e.radius = ToFloat(v); }); }, "m.")
      .def_property(
          "stiffness", [](const PySphere& s) { return Get<Sphere>(s).stiffness; },
          [](PySphere& s, double v) {
            Change<Sphere>(s, [&](Sphere& e) { e.stiffness = ToFloat(v); });
            WarnIfTooStiff(s);
          }, "N/m.")
      .def_property(
          "inside", [](const PySphere& s) { return Get<Sphere>(s).inside; },
          [](PySphere& s, bool v) { Change<Sphere>(s, [&](Sphere& e) { e.inside = v; }); },
          "True: the tool is kept inside the sphere.")
      .def_property(
          "damping", [](const PySphere& s) { return Get<Sphere>(s).damping; },
          [](PySphere& s, double v) { Change<Sphere>(s, [&](Sphere& e) { e.damping = ToFloat(v); }); },
          "N s/m, against the velocity along the push while the tool is in contact; never pulls.")
      .def("__repr__", [](const PySphere& s) {
        const Sphere& e = Get<Sphere>(s);
        return "Sphere(center=" + Format(e.center) + ", radius=" + Format(e.radius) +
               ", stiffness=" + Format(e.stiffness) + ", inside=" + (e.inside ? "True" : "False") +
               ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(sphere);

  py::class_<PyBox, PyEffect> box(m, "Box",
                                  "Walls on the faces of an axis-aligned box that keep the tool inside it.");
  box.def(py::init([](const std::vector<double>& min_corner, const std::vector<double>& max_corner, double stiffness,
                       double damping) {
            return std::make_unique<PyBox>(Checked<Box>(Box{ToVec3(min_corner, "min_corner"),
                                                            ToVec3(max_corner, "max_corner"), ToFloat(stiffness),
                                                            ToFloat(damping)}));
          }),
          py::arg("min_corner"), py::arg("max_corner"), py::arg("stiffness"), py::arg("damping") = 0.0)
      .def_property(
          "min_corner", [](const PyBox& s) { return ToList(Get<Box>(s).min_corner); },
          [](PyBox& s, const std::vector<double>& v) {
            const Vec3 corner = ToVec3(v, "min_corner");
            Change<Box>(s, [&](Box& e) { e.min_corner = corner; });
          },
          "m.")
      .def_property(
          "max_corner", [](const PyBox& s) { return ToList(Get<Box>(s).max_corner); },
          [](PyBox& s, const std::vector<double>& v) {
            const Vec3 corner = ToVec3(v, "max_corner");
            Change<Box>(s, [&](Box& e) { e.max_corner = corner; });
          },
          "m.")
      .def_property(
          "stiffness", [](const PyBox& s) { return Get<Box>(s).stiffness; },
          [](PyBox& s, double v) {
            Change<Box>(s, [&](Box& e) { e.stiffness = ToFloat(v); });
            WarnIfTooStiff(s);
          }, "N/m.")
      .def_property(
          "damping", [](const PyBox& s) { return Get<Box>(s).damping; },
          [](PyBox& s, double v) { Change<Box>(s, [&](Box& e) { e.damping = ToFloat(v); }); },
          "N s/m, against the velocity on each axis whose wall the tool is in; never pulls.")
      .def("__repr__", [](const PyBox& s) {
        const Box& e = Get<Box>(s);
        return "Box(min_corner=" + Format(e.min_corner) + ", max_corner=" + Format(e.max_corner) +
               ", stiffness=" + Format(e.stiffness) + ", damping=" + Format(e.damping) + ")";
      });
  AddCommon(box);

  py::class_<PyConstantForce, PyEffect> constant(m, "ConstantForce", "The same force (N) every cycle.");
  constant
      .def(py::init([](const std::vector<double>& force) {
             return std::make_unique<PyConstantForce>(Checked<ConstantForce>(ConstantForce{ToVec3(force, "force")}));
           }),
           py::arg("force"))
      .def_property(
          "force", [](const PyConstantForce& s) { return ToList(Get<ConstantForce>(s).force); },
          [](PyConstantForce& s, const std::vector<double>& v) {
            const Vec3 force = ToVec3(v, "force");
            Change<ConstantForce>(s, [&](ConstantForce& e) { e.force = force; });
          },
          "N.")
      .def("__repr__", [](const PyConstantForce& s) {
        return "ConstantForce(force=" + Format(Get<ConstantForce>(s).force) + ")";
      });
  AddCommon(constant);
  RegisterMesh(m);
}

}  // namespace servo_binding
