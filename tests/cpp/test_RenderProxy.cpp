#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Render/Proxy.hpp"
#include "Velkor/HardwareAPI/Servo/Effects.hpp"

using namespace Velkor::HardwareAPI::Render;

namespace {

double Dot(const Point& a, const Point& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Distance(const Point& a, const Point& b) {
  const Point d{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
  return std::sqrt(Dot(d, d));
}
Point Unit(Point p) {
  const double n = std::sqrt(Dot(p, p));
  return {p[0] / n, p[1] / n, p[2] / n};
}

std::shared_ptr<const TriangleMesh> Make(const std::vector<float>& v, const std::vector<uint32_t>& t) {
  std::string why;
  auto mesh = TriangleMesh::Build(v.data(), v.size() / 3, t.data(), t.size() / 3, why);
  EXPECT_TRUE(mesh) << why;
  return mesh;
}

// A closed box, faces wound outwards.
std::shared_ptr<const TriangleMesh> Slab(float x0, float y0, float z0, float x1, float y1, float z1) {
  const std::vector<float> v{x0, y0, z0, x1, y0, z0, x1, y1, z0, x0, y1, z0,
                             x0, y0, z1, x1, y0, z1, x1, y1, z1, x0, y1, z1};
  return Make(v, {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                  1, 2, 6, 1, 6, 5, 2, 3, 7, 2, 7, 6, 3, 0, 4, 3, 4, 7});
}

// A 10 cm square of the plane z = 0 facing +z, as a grid of n x n quads.
std::shared_ptr<const TriangleMesh> Floor(int n) {
  std::vector<float> v;
  std::vector<uint32_t> t;
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j) v.insert(v.end(), {-0.05f + 0.1f * i / n, -0.05f + 0.1f * j / n, 0.0f});
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const uint32_t a = i * (n + 1) + j, b = a + 1, c = a + n + 1, d = c + 1;
      t.insert(t.end(), {a, c, b, b, c, d});
    }
  return Make(v, t);
}

constexpr double kStiffness = 800.0;

ProxyMaterial Material(double mu = 0.0) { return ProxyMaterial{kStiffness, 0.0, mu, mu}; }

Point Render(const TriangleMesh& mesh, ProxyState& proxy, const ProxyMaterial& m, const Point& tool) {
  return RenderMesh(mesh, proxy, m, RigidTransform{}, tool, {0, 0, 0});
}

}  // namespace

TEST(RenderProxy, NearestFreePointSolvesOneTwoAndThreeConstraints) {
  const Constraint floor{{0, 0, 1}, 0.0}, wall{{1, 0, 0}, 0.0}, side{{0, 1, 0}, 0.0};
  const Constraint slope{Unit({1, 0, 1}), 0.0};
  struct Case {
    const char* what;
    std::vector<Constraint> planes;
    Point goal, expected;
  };
  const Case cases[] = {
      {"free goal stays", {floor, wall}, {0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}},
      {"one plane: straight up onto it", {floor}, {0.1, 0.2, -0.3}, {0.1, 0.2, 0.0}},
      {"two planes, goal under one only", {floor, wall}, {0.1, 0.2, -0.3}, {0.1, 0.2, 0.0}},
      {"two planes, goal in the corner's reach: onto the edge", {floor, wall}, {-0.1, 0.2, -0.3}, {0.0, 0.2, 0.0}},
      {"two planes at 45 degrees, goal under both: onto the slope", {floor, slope}, {-0.2, 0.0, -0.1}, {-0.05, 0.0, 0.05}},
      {"two planes at 45 degrees, goal in the edge's reach", {floor, slope}, {-0.1, 0.0, -0.2}, {0.0, 0.0, 0.0}},
      {"three planes: into the corner", {floor, wall, side}, {-0.1, -0.2, -0.3}, {0.0, 0.0, 0.0}},
      {"three planes, goal under two", {floor, wall, side}, {-0.1, 0.2, -0.3}, {0.0, 0.2, 0.0}},
      {"three planes, goal under one", {floor, wall, side}, {0.1, 0.2, -0.3}, {0.1, 0.2, 0.0}},
  };
  for (const Case& c : cases) {
    const Point q = NearestFreePoint(c.goal, c.planes.data(), static_cast<int>(c.planes.size()), {9, 9, 9});
    EXPECT_LT(Distance(q, c.expected), 1e-12) << c.what << ": " << q[0] << " " << q[1] << " " << q[2];
  }

  // Random constraint sets: the answer is free, and nothing free nearby is nearer the goal.
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    const int count = 1 + trial % 3;
    Constraint planes[3];
    for (int i = 0; i < count; ++i) {
      planes[i].normal = Unit({g(rng), g(rng), g(rng)});
      planes[i].offset = 0.01 * g(rng);
    }
    const Point goal{0.1 * g(rng), 0.1 * g(rng), 0.1 * g(rng)};
    const Point q = NearestFreePoint(goal, planes, count, {1e9, 1e9, 1e9});
    ASSERT_LT(q[0], 1e8) << "a free point exists for up to three half-spaces through nearby points";
    for (int i = 0; i < count; ++i) ASSERT_GE(Dot(planes[i].normal, q), planes[i].offset - 1e-9);
    for (int k = 0; k < 200; ++k) {
      const Point near{q[0] + 1e-3 * g(rng), q[1] + 1e-3 * g(rng), q[2] + 1e-3 * g(rng)};
      bool free = true;
      for (int i = 0; i < count; ++i) free = free && Dot(planes[i].normal, near) >= planes[i].offset;
      if (free) {
        ASSERT_GE(Distance(near, goal), Distance(q, goal) - 1e-12) << "trial " << trial;
      }
    }
  }
}

TEST(RenderProxy, PushingThroughAThinPlateRestsOnItsFrontFace) {
  // 1 mm thick, 10 cm wide; the tool comes from above and is driven 6 mm below
  // the top, past the bottom: a penalty force would have flipped by then.
  const auto plate = Slab(-0.05f, -0.05f, -0.001f, 0.05f, 0.05f, 0.0f);
  const auto open = Floor(4);  // one-sided: nothing but its front
  for (const auto* mesh : {plate.get(), open.get()}) {
    ProxyState proxy;
    for (int i = 0; i <= 120; ++i) {
      const double z = 0.003 - 0.0001 * i;  // 3 mm above down to 9 mm below
      const Point f = Render(*mesh, proxy, Material(), {0.01, 0.02, z});
      if (z >= 0.0) {
        EXPECT_EQ(f, (Point{0, 0, 0})) << "above the plate, z = " << z;
        continue;
      }
      EXPECT_NEAR(proxy.position[2], kSkin, 1e-9) << "the proxy stays on top, z = " << z;
      EXPECT_NEAR(f[0], 0.0, 1e-9);
      EXPECT_NEAR(f[1], 0.0, 1e-9);
      EXPECT_NEAR(f[2], kStiffness * (kSkin - z), 1e-6) << "pushing up, z = " << z;
    }
  }
  // From behind an open surface, nothing: it has no back.
  ProxyState proxy;
  for (int i = 0; i <= 60; ++i)
    EXPECT_EQ(Render(*open, proxy, Material(), {0.01, 0.02, -0.003 + 0.0001 * i}), (Point{0, 0, 0}));
}

TEST(RenderProxy, SlidingAcrossEdgesGivesNoForceStep) {
  // Pressed 2 mm into each surface, the tool slides 0.1 mm per cycle across it.
  constexpr double kStep = 1e-4;
  struct Case {
    const char* what;
    std::shared_ptr<const TriangleMesh> mesh;
    double max_step;  // N between two cycles
  };
  // A shallow roof: two faces meeting at a ridge along y, 10 degrees apart.
  const float rise = static_cast<float>(0.05 * std::tan(5.0 * 3.14159265358979 / 180.0));
  const auto roof = Make({-0.05f, -0.05f, 0, 0, -0.05f, rise, 0, 0.05f, rise, -0.05f, 0.05f, 0, 0.05f, -0.05f, 0,
                          0.05f, 0.05f, 0},
                         {0, 1, 2, 0, 2, 3, 1, 4, 5, 1, 5, 2});
  // A shallow valley: the same, upside down.
  const auto valley = Make({-0.05f, -0.05f, 0, 0, -0.05f, -rise, 0, 0.05f, -rise, -0.05f, 0.05f, 0, 0.05f, -0.05f,
                            0, 0.05f, 0.05f, 0},
                           {0, 1, 2, 0, 2, 3, 1, 4, 5, 1, 5, 2});
  const Case cases[] = {
      {"flat grid: crossing many shared edges", Floor(8), 1e-9},
      // Inside a convex edge the force must turn from one face's normal to the
      // other's: at 2 mm deep that is 800 N/m x 2 mm x 10 degrees, once.
      {"over a convex ridge", roof, kStiffness * (0.002 * 10.0 * 3.14159265358979 / 180.0 + kStep * 1.5)},
      {"through a concave valley", valley, kStiffness * kStep * 1.5},
  };
  for (const Case& c : cases) {
    ProxyState proxy;
    auto surface = [&](double x) { return c.mesh == roof ? rise * (1 - std::fabs(x) / 0.05) : (c.mesh == valley ? -rise * (1 - std::fabs(x) / 0.05) : 0.0); };
    Render(*c.mesh, proxy, Material(), {-0.04, 0.003, 0.01});
    Point previous{};
    bool first = true;
    double largest = 0.0;
    for (int i = 0; i <= 800; ++i) {
      const double x = -0.04 + kStep * i;
      // Straight down to 2 mm under the surface, then across.
      const Point tool{x, 0.003, surface(x) - 0.002};
      if (first) {
        for (int k = 0; k < 30; ++k) Render(*c.mesh, proxy, Material(), {x, 0.003, surface(x) + 0.001 - 0.0001 * k});
      }
      const Point f = Render(*c.mesh, proxy, Material(), tool);
      ASSERT_GT(f[2], 1.0) << c.what << ": pushed up at x = " << x;
      if (!first) largest = std::max(largest, Distance(f, previous));
      previous = f;
      first = false;
    }
    EXPECT_LE(largest, c.max_step) << c.what;
  }
}

TEST(RenderProxy, FrictionHoldsInsideItsConeAndSlidesOutside) {
  const auto floor = Floor(4);
  struct Case {
    const char* what;
    double mu;
    double tangential_share;  // of the normal push
    bool holds;
  };
  const Case cases[] = {
      {"mu 0.5, pulled at 0.4: holds", 0.5, 0.4, true},
      {"mu 0.5, pulled at 0.6: slides", 0.5, 0.6, false},
      {"no friction, pulled at 0.4: slides", 0.0, 0.4, false},
  };
  for (const Case& c : cases) {
    ProxyState proxy;
    const double depth = 0.002;
    Render(*floor, proxy, Material(c.mu), {0.0, 0.0, 0.001});
    for (int k = 0; k <= 30; ++k) Render(*floor, proxy, Material(c.mu), {0.0, 0.0, 0.001 - 0.0001 * k});
    const Point touch = proxy.position;
    // The tool drifts sideways in small steps to its offset, and stays there.
    const double offset = c.tangential_share * depth;
    Point f{};
    for (int k = 1; k <= 100; ++k)
      f = Render(*floor, proxy, Material(c.mu), {offset * std::min(1.0, k / 50.0), 0.0, -depth});
    const double normal = f[2], tangential = -f[0];
    EXPECT_NEAR(normal, kStiffness * (depth + kSkin), 1e-6) << c.what;
    if (c.holds) {
      EXPECT_LT(Distance(proxy.position, touch), 1e-12) << c.what << ": the proxy stayed put";
      EXPECT_NEAR(tangential / normal, c.tangential_share, 1e-3) << c.what << ": the surface pulls back";
    } else {
      EXPECT_GT(proxy.position[0], touch[0] + 0.1 * offset) << c.what << ": the proxy was dragged along";
      EXPECT_NEAR(tangential / normal, c.mu, 1e-3) << c.what << ": held back by mu times the push";
    }
  }
}

TEST(RenderProxy, AMovingMeshCarriesItsProxyAndPushesTheToolBack) {
  const auto plate = Slab(-0.05f, -0.05f, -0.001f, 0.05f, 0.05f, 0.0f);
  ProxyState proxy;
  const Point tool{0.0, 0.0, 0.002};
  RigidTransform at;
  EXPECT_EQ(RenderMesh(*plate, proxy, Material(), at, tool, {0, 0, 0}), (Point{0, 0, 0}));
  // The plate rises 0.1 mm a cycle through the resting tool: 2 mm up, it is 0.5 mm into it.
  Point f{};
  for (int i = 1; i <= 25; ++i) {
    at.translation[2] = 0.0001 * i;
    f = RenderMesh(*plate, proxy, Material(), at, tool, {0, 0, 0});
  }
  EXPECT_NEAR(f[2], kStiffness * (0.0005 + kSkin), 1e-6);

  // Turned upside down and over the tool, its top faces down: the force follows the rotation.
  const double flip[16] = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0.0025, 0, 0, 0, 1};
  ASSERT_EQ(RigidFromMatrix(flip, at), nullptr);
  ProxyState fresh;
  RenderMesh(*plate, fresh, Material(), at, {0.0, 0.0, 0.0}, {0, 0, 0});
  f = RenderMesh(*plate, fresh, Material(), at, {0.0, 0.0, 0.0030}, {0, 0, 0});
  EXPECT_NEAR(f[2], -kStiffness * (0.0005 + kSkin), 1e-6);
}

TEST(RenderProxy, OnlyRigidTransformsAreTaken) {
  struct Case {
    const char* what;
    double m[16];
    bool rigid;
  };
  const double c = std::cos(0.3), s = std::sin(0.3);
  const Case cases[] = {
      {"identity", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, true},
      {"turn and shift", {c, -s, 0, 0.1, s, c, 0, -0.2, 0, 0, 1, 0.3, 0, 0, 0, 1}, true},
      {"scaled", {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}, false},
      {"sheared", {1, 0.2, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, false},
      {"mirrored", {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, false},
      {"projective last row", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1}, false},
      {"not finite", {1, 0, 0, NAN, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, false},
  };
  for (const Case& k : cases) {
    RigidTransform t;
    EXPECT_EQ(RigidFromMatrix(k.m, t) == nullptr, k.rigid) << k.what;
  }
}

TEST(RenderProxy, AProxySurvivesARepublishByItsKeyAndOnlyByIt) {
  using namespace Velkor::HardwareAPI::Servo;
  const auto plate = Slab(-0.05f, -0.05f, -0.001f, 0.05f, 0.05f, 0.0f);
  Mesh mesh;
  mesh.shape = plate;
  mesh.material = Material();
  mesh.key = 7;
  std::vector<Effect> active{Damper{}, mesh};
  StepEffect(active[1], {0, 0, 0.001f}, {});
  const Vec3 pressed = StepEffect(active[1], {0, 0, -0.002f}, {});
  ASSERT_GT(pressed[2], 1.0f);

  // The same mesh with new parameters in a new set: the proxy carries over, so
  // the tool stays pushed out rather than being taken for inside nothing.
  Mesh stiffer = mesh;
  stiffer.material.stiffness = 2 * kStiffness;
  stiffer.proxy = {};
  std::vector<Effect> fresh{stiffer, Spring{}};
  CarryState(fresh, &active);
  EXPECT_NEAR(StepEffect(fresh[0], {0, 0, -0.002f}, {})[2], 2 * pressed[2], 1e-3);

  // Another mesh (another key) starts afresh at the tool: it is not felt from inside.
  Mesh other = stiffer;
  other.key = 8;
  std::vector<Effect> unrelated{other};
  CarryState(unrelated, &fresh);
  EXPECT_EQ(StepEffect(unrelated[0], {0, 0, -0.002f}, {})[2], 0.0f);
}

TEST(RenderProxy, InAnInsideCornerTheProxyRestsOnOneTwoOrThreeFaces) {
  // A floor and two walls meeting at the origin, facing into the corner's free space.
  const float s = 0.05f;
  const auto corner = Make({0, 0, 0, s, 0, 0, s, s, 0, 0, s, 0,   // floor z = 0
                            0, 0, s, 0, s, s,                     // wall x = 0 (with 0, 3)
                            s, 0, s},                             // wall y = 0 (with 0, 1, 4)
                           {0, 1, 2, 0, 2, 3, 0, 3, 5, 0, 5, 4, 0, 4, 6, 0, 6, 1});
  struct Case {
    const char* what;
    Point tool;
    Point proxy;
    int contacts;
  };
  const Case cases[] = {
      {"into the floor", {0.02, 0.02, -0.002}, {0.02, 0.02, kSkin}, 1},
      {"into the edge of floor and wall", {-0.002, 0.02, -0.002}, {kSkin, 0.02, kSkin}, 2},
      {"into the corner", {-0.002, -0.003, -0.001}, {kSkin, kSkin, kSkin}, 3},
  };
  for (const Case& c : cases) {
    ProxyState proxy;
    Render(*corner, proxy, Material(), {0.01, 0.01, 0.01});
    Point f{};
    for (int k = 1; k <= 20; ++k) {
      const double share = k / 20.0;
      f = Render(*corner, proxy, Material(),
                 {0.01 + share * (c.tool[0] - 0.01), 0.01 + share * (c.tool[1] - 0.01), 0.01 + share * (c.tool[2] - 0.01)});
    }
    EXPECT_LT(Distance(proxy.position, c.proxy), 1e-8) << c.what;
    EXPECT_EQ(proxy.contacts, c.contacts) << c.what;
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(f[i], kStiffness * (c.proxy[i] - c.tool[i]), 1e-5) << c.what << " [" << i << "]";
  }
}

namespace {

// An icosphere of radius r: 20 * 4^levels faces wound outwards, shared vertices.
void Icosphere(int levels, float r, std::vector<float>& v, std::vector<uint32_t>& t) {
  const double p = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Point> points{{-1, p, 0}, {1, p, 0}, {-1, -p, 0}, {1, -p, 0}, {0, -1, p}, {0, 1, p},
                            {0, -1, -p}, {0, 1, -p}, {p, 0, -1}, {p, 0, 1}, {-p, 0, -1}, {-p, 0, 1}};
  for (Point& q : points) q = Unit(q);
  std::vector<uint32_t> faces{0, 11, 5, 0, 5, 1, 0, 1, 7, 0, 7, 10, 0, 10, 11, 1, 5, 9, 5, 11, 4, 11, 10, 2,
                              10, 7, 6, 7, 1, 8, 3, 9, 4, 3, 4, 2, 3, 2, 6, 3, 6, 8, 3, 8, 9, 4, 9, 5,
                              2, 4, 11, 6, 2, 10, 8, 6, 7, 9, 8, 1};
  for (int level = 0; level < levels; ++level) {
    std::vector<uint32_t> finer;
    std::vector<std::pair<uint64_t, uint32_t>> middles;
    auto middle = [&](uint32_t a, uint32_t b) {
      const uint64_t key = (uint64_t{std::min(a, b)} << 32) | std::max(a, b);
      for (const auto& m : middles)
        if (m.first == key) return m.second;
      const Point& x = points[a];
      const Point& y = points[b];
      points.push_back(Unit({x[0] + y[0], x[1] + y[1], x[2] + y[2]}));
      middles.emplace_back(key, static_cast<uint32_t>(points.size() - 1));
      return static_cast<uint32_t>(points.size() - 1);
    };
    for (size_t i = 0; i < faces.size(); i += 3) {
      const uint32_t a = faces[i], b = faces[i + 1], c = faces[i + 2];
      const uint32_t ab = middle(a, b), bc = middle(b, c), ca = middle(c, a);
      finer.insert(finer.end(), {a, ab, ca, b, bc, ab, c, ca, bc, ab, bc, ca});
    }
    faces.swap(finer);
  }
  v.clear();
  for (const Point& q : points)
    for (double x : q) v.push_back(static_cast<float>(r * x));
  t = faces;
}

std::shared_ptr<const TriangleMesh> MakeWith(const std::vector<float>& v, const std::vector<uint32_t>& t,
                                             const BuildOptions& options) {
  std::string why;
  auto mesh = TriangleMesh::Build(v.data(), v.size() / 3, t.data(), t.size() / 3, options, why);
  EXPECT_TRUE(mesh) << why;
  return mesh;
}

double AngleDegrees(const Point& a, const Point& b) {
  const double c = Dot(a, b) / std::sqrt(Dot(a, a) * Dot(b, b));
  return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / std::acos(-1.0);
}

}  // namespace

TEST(RenderProxy, SwitchingAMeshOnOrRaisingItsGainNeverStepsTheForce) {
  using namespace Velkor::HardwareAPI::Servo;
  const auto plate = Slab(-0.05f, -0.05f, -0.001f, 0.05f, 0.05f, 0.0f);
  // The tool comes down onto the plate and on to 30 mm behind its surface
  // (24 N deep), while the mesh is switched off or at zero gain; then it is
  // switched on, or its gain raised, with the tool held there.
  struct Case {
    const char* what;
    bool enabled_before;
    float gain_before;
    float gain_after;
    float largest_first_force;  // N, on the cycle it is switched
  };
  const Case cases[] = {
      {"disabled, then enabled", false, 1.0f, 1.0f, 0.0f},
      {"at zero gain, then gain 1", true, 0.0f, 1.0f, 0.0f},
      {"at gain 0.5, then gain 1: slewed", true, 0.5f, 1.0f, 12.0f + 24.0f * kMeshGainStep + 0.01f},
  };
  for (const Case& c : cases) {
    Mesh mesh;
    mesh.shape = plate;
    mesh.material = Material();
    mesh.enabled = c.enabled_before;
    mesh.gain = c.gain_before;
    Effect effect = mesh;
    for (int i = 0; i <= 100; ++i) StepEffect(effect, {0.0f, 0.0f, 0.005f - 0.00035f * i}, {});
    std::get<Mesh>(effect).enabled = true;
    std::get<Mesh>(effect).gain = c.gain_after;
    float previous = std::fabs(StepEffect(effect, {0.0f, 0.0f, -0.030f}, {})[2]);
    EXPECT_LE(previous, c.largest_first_force) << c.what;
    for (int i = 0; i < 100; ++i) {
      const float f = std::fabs(StepEffect(effect, {0.0f, 0.0f, -0.030f}, {})[2]);
      EXPECT_LE(std::fabs(f - previous), 24.0f * kMeshGainStep + 0.01f) << c.what << ", cycle " << i;
      previous = f;
    }
    // Out round the plate's side and back onto it: the surface is felt as when first touched.
    for (const Vec3& p : {Vec3{0.08f, 0.0f, -0.03f}, Vec3{0.08f, 0.0f, 0.01f}, Vec3{0.0f, 0.0f, 0.01f}})
      for (int i = 0; i < 20; ++i) StepEffect(effect, p, {});
    EXPECT_NEAR(StepEffect(effect, {0.0f, 0.0f, -0.001f}, {})[2], kStiffness * 0.001, 0.01) << c.what;
  }
}

TEST(RenderProxy, AClosedSphereWithFacesWoundInwardsIsFixedAndHoldsEveryPush) {
  std::vector<float> v;
  std::vector<uint32_t> t;
  Icosphere(3, 0.05f, v, t);  // 1280 faces
  std::mt19937 rng(11);
  size_t turned = 0;
  for (size_t i = 0; i < t.size(); i += 3)
    if (rng() % 20 == 0) {  // 5 %
      std::swap(t[i + 1], t[i + 2]);
      ++turned;
    }
  BuildReport report;
  std::string why;
  const auto sphere = TriangleMesh::Build(v.data(), v.size() / 3, t.data(), t.size() / 3, BuildOptions{}, why, &report);
  ASSERT_TRUE(sphere) << why;
  EXPECT_EQ(report.flipped, turned);
  EXPECT_EQ(report.open_edges, 0u);
  EXPECT_EQ(report.closed_parts, 1u);

  // 60 pushes from all round, each from 1 cm outside to 3 cm inside: none gets in.
  int pop_throughs = 0;
  std::normal_distribution<double> g(0.0, 1.0);
  for (int push = 0; push < 60; ++push) {
    const Point d = Unit({g(rng), g(rng), g(rng)});
    ProxyState proxy;
    for (int i = 0; i <= 80; ++i) {
      const double r = 0.06 - 0.0005 * i;
      Render(*sphere, proxy, Material(), {d[0] * r, d[1] * r, d[2] * r});
    }
    if (std::sqrt(Dot(proxy.position, proxy.position)) < 0.049) ++pop_throughs;
  }
  EXPECT_EQ(pop_throughs, 0);
}

TEST(RenderProxy, CracksBetweenFacesHoldTheProxyUpToTwiceTheGap) {
  // Two floors side by side with a crack between them along x = 0; the tool,
  // pressed 2 mm in, slides slowly across the crack, 40 times at different y.
  struct Case {
    float crack;  // m
    double gap;   // m
    bool holds;
  };
  const Case cases[] = {
      {1e-5f, 0.0, false}, {1e-4f, 0.0, false},
      {3e-6f, 1e-4, true}, {1e-5f, 1e-4, true}, {1e-4f, 1e-4, true}, {1.9e-4f, 1e-4, true},
  };
  for (const Case& c : cases) {
    const float h = c.crack / 2;
    const std::vector<float> v{-0.05f, -0.05f, 0, -h, -0.05f, 0, -h, 0.05f, 0, -0.05f, 0.05f, 0,
                               h, -0.05f, 0, 0.05f, -0.05f, 0, 0.05f, 0.05f, 0, h, 0.05f, 0};
    BuildOptions options;
    options.gap = c.gap;
    const auto floor = MakeWith(v, {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7}, options);
    int pop_throughs = 0;
    for (int slide = 0; slide < 40; ++slide) {
      const double y = -0.04 + 0.002 * slide;
      ProxyState proxy;
      Render(*floor, proxy, Material(), {-0.002, y, 0.001});
      for (int i = 0; i <= 20; ++i) Render(*floor, proxy, Material(), {-0.002, y, 0.001 - 0.00015 * i});
      for (int i = 0; i <= 400; ++i) Render(*floor, proxy, Material(), {-0.002 + 1e-5 * i, y, -0.002});
      if (proxy.contacts == 0) ++pop_throughs;
    }
    EXPECT_EQ(pop_throughs == 0, c.holds) << "crack " << c.crack << " m, gap " << c.gap << " m: " << pop_throughs
                                          << " pop-throughs";
  }
}

TEST(RenderProxy, ForceShadingOnAnIcosphereFollowsTheTrueNormalSmoothly) {
  std::vector<float> v;
  std::vector<uint32_t> t;
  Icosphere(3, 0.05f, v, t);  // 1280 faces
  struct Case {
    double smoothing_angle;  // radians
    double p50_limit, step_limit;  // degrees
    bool shaded;
  };
  const Case cases[] = {{0.0, 10.0, 20.0, false}, {30.0 * std::acos(-1.0) / 180.0, 0.5, 1.0, true}};
  for (const Case& c : cases) {
    BuildOptions options;
    options.smoothing_angle = c.smoothing_angle;
    const auto sphere = MakeWith(v, t, options);
    ASSERT_EQ(sphere->Shaded(), c.shaded);
    // Pressed 2 mm in, the tool slides 0.1 mm a cycle round a tilted great circle.
    ProxyState proxy;
    std::vector<double> errors;
    double largest_step = 0.0;
    Point last{};
    for (int i = 0; i <= 1600; ++i) {
      const double a = i * 1e-4 / 0.048, depth = i < 50 ? 0.052 - 0.004 * i / 50.0 : 0.048;
      const Point radial = Unit({std::cos(a), std::sin(a) * 0.8, std::sin(a) * 0.6});
      const Point f = Render(*sphere, proxy, Material(), {radial[0] * depth, radial[1] * depth, radial[2] * depth});
      if (i < 60) continue;
      errors.push_back(AngleDegrees(f, radial));
      if (i > 60) largest_step = std::max(largest_step, AngleDegrees(f, last));
      last = f;
    }
    std::sort(errors.begin(), errors.end());
    const double p50 = errors[errors.size() / 2];
    if (c.shaded) {
      EXPECT_LE(p50, c.p50_limit);
      EXPECT_LE(largest_step, c.step_limit);
    } else {
      // Without shading the facets are felt: what shading is for.
      EXPECT_GT(largest_step, 3.0);
    }
  }
}
