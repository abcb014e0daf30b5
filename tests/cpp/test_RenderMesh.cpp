#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "Velkor/HardwareAPI/Render/TriangleMesh.hpp"

using namespace Velkor::HardwareAPI::Render;

namespace {

std::shared_ptr<const TriangleMesh> Make(const std::vector<float>& v, const std::vector<uint32_t>& t) {
  std::string why;
  auto mesh = TriangleMesh::Build(v.data(), v.size() / 3, t.data(), t.size() / 3, why);
  EXPECT_TRUE(mesh) << why;
  return mesh;
}

// Triangles scattered at random in a 10 cm cube (they cross and overlap), or a
// bumpy height field (neighbours share edges): both with a lopsided size spread.
std::shared_ptr<const TriangleMesh> RandomMesh(std::mt19937& rng, bool field) {
  std::uniform_real_distribution<float> u(-0.05f, 0.05f);
  std::vector<float> v;
  std::vector<uint32_t> t;
  if (field) {
    const int n = 24;
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= n; ++j) {
        v.push_back(-0.05f + 0.1f * i / n);
        v.push_back(-0.05f + 0.1f * j / n);
        v.push_back(0.2f * u(rng) * u(rng) * 10.0f);
      }
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const uint32_t a = i * (n + 1) + j, b = a + 1, c = a + n + 1, d = c + 1;
        t.insert(t.end(), {a, c, b, b, c, d});
      }
  } else {
    std::uniform_real_distribution<float> size(0.001f, 0.03f);
    for (uint32_t k = 0; k < 700; ++k) {
      const float cx = u(rng), cy = u(rng), cz = u(rng), s = size(rng);
      for (int c = 0; c < 3; ++c) {
        v.push_back(cx + s * u(rng) * 20.0f);
        v.push_back(cy + s * u(rng) * 20.0f);
        v.push_back(cz + s * u(rng) * 20.0f);
      }
      t.insert(t.end(), {3 * k, 3 * k + 1, 3 * k + 2});
    }
  }
  return Make(v, t);
}

}  // namespace

TEST(RenderMesh, HierarchyAgreesWithBruteForceOnRandomMeshesAndQueries) {
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> u(-0.07, 0.07);
  std::uniform_real_distribution<double> step(-0.01, 0.01);
  for (int trial = 0; trial < 8; ++trial) {
    const bool field = trial % 2 == 1;
    const auto mesh = RandomMesh(rng, field);
    ASSERT_TRUE(mesh);
    int hits = 0;
    for (int q = 0; q < 1500; ++q) {
      const Point from{u(rng), u(rng), u(rng)};
      // Long segments cross much of the mesh; short ones are what the proxy asks.
      const Point to = q % 2 == 0 ? Point{u(rng), u(rng), u(rng)}
                                  : Point{from[0] + step(rng), from[1] + step(rng), from[2] + step(rng)};
      const SegmentHit fast = mesh->FirstFrontHit(from, to, 1e-6);
      const SegmentHit slow = mesh->FirstFrontHitBruteForce(from, to, 1e-6);
      ASSERT_EQ(fast.hit, slow.hit) << "trial " << trial << " query " << q;
      if (fast.hit) {
        ++hits;
        EXPECT_NEAR(fast.t, slow.t, 1e-6) << "trial " << trial << " query " << q;
      }
      const ClosestHit near = mesh->ClosestPoint(from);
      const ClosestHit all = mesh->ClosestPointBruteForce(from);
      ASSERT_NEAR(near.distance_squared, all.distance_squared, 1e-15) << "trial " << trial << " query " << q;
      if (near.triangle != all.triangle) {
        // Equally near (a shared edge or vertex): the points must coincide.
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(near.point[i], all.point[i], 1e-9);
      }
    }
    EXPECT_GT(hits, 50) << "the queries must exercise hits, trial " << trial;
  }
}

TEST(RenderMesh, OnlyFrontFacesStopASegmentAndSharedEdgesLeaveNoGap) {
  // A 2 cm square of two triangles facing +z, split along its diagonal.
  const auto mesh = Make({-0.01f, -0.01f, 0, 0.01f, -0.01f, 0, 0.01f, 0.01f, 0, -0.01f, 0.01f, 0}, {0, 1, 2, 0, 2, 3});
  struct Case {
    const char* what;
    Point from, to;
    bool hit;
  };
  const Case cases[] = {
      {"down through the middle of a face", {0.005, -0.002, 0.01}, {0.005, -0.002, -0.01}, true},
      {"down exactly through the shared diagonal", {0.003, 0.003, 0.01}, {0.003, 0.003, -0.01}, true},
      {"down exactly through a shared corner", {0.01, 0.01, 0.01}, {0.01, 0.01, -0.01}, true},
      {"up from behind: the back is open", {0.0, 0.0, -0.01}, {0.0, 0.0, 0.01}, false},
      {"beside the square", {0.02, 0.0, 0.01}, {0.02, 0.0, -0.01}, false},
      {"ending in front", {0.0, 0.0, 0.01}, {0.0, 0.0, 0.001}, false},
      {"starting a hair behind still counts", {0.0, 0.0, -5e-7}, {0.0, 0.0, -0.01}, true},
      {"starting well behind does not", {0.0, 0.0, -1e-4}, {0.0, 0.0, -0.01}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mesh->FirstFrontHit(c.from, c.to, 1e-6).hit, c.hit) << c.what;
    EXPECT_EQ(mesh->FirstFrontHitBruteForce(c.from, c.to, 1e-6).hit, c.hit) << c.what;
  }
  // Sweeping across the diagonal in fine steps, never a gap.
  for (int i = 0; i <= 2000; ++i) {
    const double x = -0.009 + 0.018 * i / 2000.0;
    ASSERT_TRUE(mesh->FirstFrontHit({x, x + 1e-12, 0.001}, {x, x + 1e-12, -0.001}, 1e-6).hit) << x;
  }
}

TEST(RenderMesh, BadInputIsRefusedWithAReasonAndFlatTrianglesAreLeftOut) {
  std::string why;
  const float nan = std::nanf("");
  const std::vector<float> square{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
  EXPECT_FALSE(TriangleMesh::Build(square.data(), 4, nullptr, 0, why));
  EXPECT_EQ(why, "a mesh needs triangles");
  const std::vector<uint32_t> out_of_range{0, 1, 4};
  EXPECT_FALSE(TriangleMesh::Build(square.data(), 4, out_of_range.data(), 1, why));
  EXPECT_EQ(why, "triangle 0 refers to vertex 4 of 4");
  const std::vector<float> with_nan{0, 0, 0, 1, 0, 0, 1, nan, 0};
  const std::vector<uint32_t> one{0, 1, 2};
  EXPECT_FALSE(TriangleMesh::Build(with_nan.data(), 3, one.data(), 1, why));
  EXPECT_EQ(why, "vertex 2 is not finite");
  const std::vector<uint32_t> only_flat{0, 1, 1};
  EXPECT_FALSE(TriangleMesh::Build(square.data(), 4, only_flat.data(), 1, why));

  const std::vector<uint32_t> mixed{0, 1, 2, 0, 0, 3, 0, 2, 3};
  const auto mesh = TriangleMesh::Build(square.data(), 4, mixed.data(), 3, why);
  ASSERT_TRUE(mesh);
  EXPECT_EQ(mesh->TriangleCount(), 2u);
  EXPECT_EQ(mesh->DroppedTriangles(), 1u);
  // Triangles keep the indices they were given.
  EXPECT_EQ(mesh->FirstFrontHit({0.2, 0.7, 1}, {0.2, 0.7, -1}, 1e-6).triangle, 2u);
}

TEST(RenderMesh, BuildWeldsOrientsAndReportsWhatItFound) {
  // A unit-ish cube given as in an STL file: every face with vertices of its
  // own, some a hair apart; and variants of it.
  const float s = 0.02f;
  const float corner[8][3] = {{0, 0, 0}, {s, 0, 0}, {s, s, 0}, {0, s, 0}, {0, 0, s}, {s, 0, s}, {s, s, s}, {0, s, s}};
  const uint32_t outward[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                                   {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
  constexpr size_t kAny = SIZE_MAX;  // not checked
  struct Case {
    const char* what;
    float jitter;     // m, added to every other copy of a vertex
    double weld;      // m
    int faces;        // of the 12, in order
    bool inward;      // all wound inwards
    int flip_every;   // turn every n-th face round (0: none)
    size_t welded, flipped, open_edges, closed_parts;
  };
  const Case cases[] = {
      {"separate copies at the same places", 0.0f, 0.0, 12, false, 0, 36 - 8, 0, 0, 1},
      {"copies 3 um apart, welded at 10 um", 3e-6f, 1e-5, 12, false, 0, 36 - 8, 0, 0, 1},
      {"copies 3 um apart, not welded: open", 3e-6f, 0.0, 12, false, 0, kAny, 0, kAny, 0},
      {"wound inwards throughout", 0.0f, 0.0, 12, true, 0, 36 - 8, 12, 0, 1},
      {"every fifth face turned", 0.0f, 0.0, 12, false, 5, 36 - 8, 3, 0, 1},
      {"one face missing: open, left as given", 0.0f, 0.0, 11, false, 5, 33 - 8, 0, 3, 0},
  };
  for (const Case& c : cases) {
    std::vector<float> v;
    std::vector<uint32_t> t;
    for (int f = 0; f < c.faces; ++f) {
      for (int k = 0; k < 3; ++k) {
        const float* p = corner[outward[f][c.inward ? 2 - k : k]];
        const float d = (v.size() / 3) % 2 == 1 ? c.jitter : 0.0f;
        v.insert(v.end(), {p[0] + d, p[1], p[2]});
      }
      const uint32_t base = static_cast<uint32_t>(3 * f);
      if (c.flip_every > 0 && f % c.flip_every == 0) t.insert(t.end(), {base, base + 2, base + 1});
      else t.insert(t.end(), {base, base + 1, base + 2});
    }
    BuildOptions options;
    options.weld = c.weld;
    BuildReport report;
    std::string why;
    const auto mesh = TriangleMesh::Build(v.data(), v.size() / 3, t.data(), t.size() / 3, options, why, &report);
    ASSERT_TRUE(mesh) << c.what << ": " << why;
    if (c.welded != kAny) {
      EXPECT_EQ(report.welded, c.welded) << c.what;
    }
    if (c.open_edges == kAny) {
      EXPECT_GT(report.open_edges, 0u) << c.what;
    } else {
      EXPECT_EQ(report.open_edges, c.open_edges) << c.what;
    }
    EXPECT_EQ(report.flipped, c.flipped) << c.what;
    EXPECT_EQ(report.closed_parts, c.closed_parts) << c.what;
    if (c.closed_parts == 1) {
      // Every face of the cube now faces out: a segment from outside each face's centre stops on it.
      for (size_t f = 0; f < 12; ++f) {
        const auto p = mesh->Corners(static_cast<uint32_t>(f));
        const Point centre{(p[0][0] + p[1][0] + p[2][0]) / 3, (p[0][1] + p[1][1] + p[2][1]) / 3,
                           (p[0][2] + p[1][2] + p[2][2]) / 3};
        const Point out{2 * centre[0] - s / 2, 2 * centre[1] - s / 2, 2 * centre[2] - s / 2};
        EXPECT_TRUE(mesh->FirstFrontHit(out, {s / 2, s / 2, s / 2}, 1e-6).hit) << c.what << ", face " << f;
      }
    }
  }
  // Far-out coordinates weld by distance too, without overflowing the grid.
  const std::vector<float> far{3e38f, 0, 0, 3e38f, 1e37f, 0, 3e38f, 0, 1e37f, 3e38f, 0, 0};
  const std::vector<uint32_t> two{0, 1, 2, 3, 2, 1};
  BuildOptions options;
  options.weld = 1e-5;
  BuildReport report;
  std::string why;
  ASSERT_TRUE(TriangleMesh::Build(far.data(), 4, two.data(), 2, options, why, &report)) << why;
  EXPECT_EQ(report.welded, 1u);
}
