#include "Velkor/HardwareAPI/Render/TriangleMesh.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace Velkor::HardwareAPI::Render {

namespace {

Point Sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Point Add(const Point& a, const Point& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Point Mul(const Point& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const Point& a, const Point& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Point Cross(const Point& a, const Point& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Point ToPoint(const float* v) { return {v[0], v[1], v[2]}; }

// Ericson, Real-Time Collision Detection, 5.1.5: by the Voronoi regions of the triangle.
Point ClosestOnTriangle(const Point& p, const Point& a, const Point& b, const Point& c) {
  const Point ab = Sub(b, a), ac = Sub(c, a), ap = Sub(p, a);
  const double d1 = Dot(ab, ap), d2 = Dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return a;
  const Point bp = Sub(p, b);
  const double d3 = Dot(ab, bp), d4 = Dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return b;
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return Add(a, Mul(ab, d1 / (d1 - d3)));
  const Point cp = Sub(p, c);
  const double d5 = Dot(ab, cp), d6 = Dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return c;
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return Add(a, Mul(ac, d2 / (d2 - d6)));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0)
    return Add(b, Mul(Sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6))));
  const double denom = 1.0 / (va + vb + vc);
  return Add(a, Add(Mul(ab, vb * denom), Mul(ac, vc * denom)));
}

// The part of the segment's parameter range [t_min, t_max] inside the box
// widened by `margin`; false when there is none.
bool SegmentMeetsBox(const float* lo, const float* hi, const Point& from, const Point& delta, double margin,
                     double t_max) {
  double t_min = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double low = lo[i] - margin, high = hi[i] + margin;
    if (std::fabs(delta[i]) < 1e-300) {
      if (from[i] < low || from[i] > high) return false;
      continue;
    }
    const double inverse = 1.0 / delta[i];
    double t0 = (low - from[i]) * inverse, t1 = (high - from[i]) * inverse;
    if (t0 > t1) std::swap(t0, t1);
    t_min = std::max(t_min, t0);
    t_max = std::min(t_max, t1);
    if (t_min > t_max) return false;
  }
  return true;
}

double BoxDistanceSquared(const float* lo, const float* hi, const Point& p) {
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double d = p[i] < lo[i] ? lo[i] - p[i] : (p[i] > hi[i] ? p[i] - hi[i] : 0.0);
    sum += d * d;
  }
  return sum;
}

}  // namespace

std::shared_ptr<const TriangleMesh> TriangleMesh::Build(const float* vertices, size_t vertex_count,
                                                        const uint32_t* triangles, size_t triangle_count,
                                                        std::string& why) {
  if (vertex_count == 0 || vertices == nullptr) {
    why = "a mesh needs vertices";
    return nullptr;
  }
  if (triangle_count == 0 || triangles == nullptr) {
    why = "a mesh needs triangles";
    return nullptr;
  }
  if (triangle_count >= kNoTriangle || vertex_count >= kNoTriangle) {
    why = "a mesh may have at most 4294967294 vertices and triangles";
    return nullptr;
  }
  for (size_t i = 0; i < vertex_count * 3; ++i)
    if (!std::isfinite(vertices[i])) {
      why = "vertex " + std::to_string(i / 3) + " is not finite";
      return nullptr;
    }
  std::shared_ptr<TriangleMesh> mesh(new TriangleMesh);
  mesh->vertex_count_ = vertex_count;
  mesh->triangles_.reserve(triangle_count);
  mesh->position_of_.assign(triangle_count, kNoTriangle);
  for (size_t t = 0; t < triangle_count; ++t) {
    Triangle tri{};
    for (int k = 0; k < 3; ++k) {
      const uint32_t index = triangles[3 * t + k];
      if (index >= vertex_count) {
        why = "triangle " + std::to_string(t) + " refers to vertex " + std::to_string(index) + " of " +
              std::to_string(vertex_count);
        return nullptr;
      }
      std::copy(vertices + 3 * size_t{index}, vertices + 3 * size_t{index} + 3, tri.v[k]);
    }
    tri.original = static_cast<uint32_t>(t);
    const Point a = ToPoint(tri.v[0]);
    const Point e1 = Sub(ToPoint(tri.v[1]), a), e2 = Sub(ToPoint(tri.v[2]), a);
    const Point n = Cross(e1, e2);
    const double scale = Dot(e1, e1) + Dot(e2, e2);
    if (!(Dot(n, n) > 1e-24 * scale * scale)) {
      ++mesh->dropped_;
      continue;
    }
    mesh->triangles_.push_back(tri);
  }
  if (mesh->triangles_.empty()) {
    why = "every triangle of the mesh is degenerate (no area)";
    return nullptr;
  }
  mesh->BuildTree();
  for (size_t i = 0; i < mesh->triangles_.size(); ++i)
    mesh->position_of_[mesh->triangles_[i].original] = static_cast<uint32_t>(i);
  return mesh;
}

void TriangleMesh::BuildTree() {
  const size_t n = triangles_.size();
  std::vector<float> centroid(3 * n);
  for (size_t i = 0; i < n; ++i)
    for (int a = 0; a < 3; ++a)
      centroid[3 * i + a] = (triangles_[i].v[0][a] + triangles_[i].v[1][a] + triangles_[i].v[2][a]) / 3.0f;
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  nodes_.clear();
  nodes_.reserve(2 * (n / kLeafSize + 1) * 2);

  // Median splits along the centroids' longest extent: balanced, so the depth
  // stays within log2 of the count, and quick to build.
  struct Build {
    TriangleMesh& mesh;
    std::vector<float>& centroid;
    std::vector<uint32_t>& order;
    void Bounds(Node& node, size_t begin, size_t end) {
      for (int a = 0; a < 3; ++a) {
        node.lo[a] = std::numeric_limits<float>::infinity();
        node.hi[a] = -std::numeric_limits<float>::infinity();
      }
      for (size_t i = begin; i < end; ++i)
        for (const float* v : mesh.triangles_[order[i]].v)
          for (int a = 0; a < 3; ++a) {
            node.lo[a] = std::min(node.lo[a], v[a]);
            node.hi[a] = std::max(node.hi[a], v[a]);
          }
    }
    void Split(size_t begin, size_t end) {
      const size_t index = mesh.nodes_.size();
      mesh.nodes_.push_back(Node{});
      Bounds(mesh.nodes_[index], begin, end);
      if (end - begin <= kLeafSize) {
        mesh.nodes_[index].first = static_cast<uint32_t>(begin);
        mesh.nodes_[index].count = static_cast<uint32_t>(end - begin);
        return;
      }
      float lo[3], hi[3];
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<float>::infinity();
        hi[a] = -std::numeric_limits<float>::infinity();
      }
      for (size_t i = begin; i < end; ++i)
        for (int a = 0; a < 3; ++a) {
          lo[a] = std::min(lo[a], centroid[3 * order[i] + a]);
          hi[a] = std::max(hi[a], centroid[3 * order[i] + a]);
        }
      int axis = 0;
      for (int a = 1; a < 3; ++a)
        if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
      const size_t middle = begin + (end - begin) / 2;
      const auto first = order.begin() + static_cast<std::ptrdiff_t>(begin);
      std::nth_element(first, order.begin() + static_cast<std::ptrdiff_t>(middle),
                       order.begin() + static_cast<std::ptrdiff_t>(end),
                       [&](uint32_t x, uint32_t y) { return centroid[3 * x + axis] < centroid[3 * y + axis]; });
      Split(begin, middle);
      mesh.nodes_[index].first = static_cast<uint32_t>(mesh.nodes_.size());
      mesh.nodes_[index].count = 0;
      Split(middle, end);
    }
  } build{*this, centroid, order};
  build.Split(0, n);

  std::vector<Triangle> sorted(n);
  for (size_t i = 0; i < n; ++i) sorted[i] = triangles_[order[i]];
  triangles_.swap(sorted);
  nodes_.shrink_to_fit();
}

size_t TriangleMesh::MemoryBytes() const {
  return sizeof(*this) + triangles_.capacity() * sizeof(Triangle) + nodes_.capacity() * sizeof(Node) +
         position_of_.capacity() * sizeof(uint32_t);
}

Point TriangleMesh::BoundsMin() const { return {nodes_[0].lo[0], nodes_[0].lo[1], nodes_[0].lo[2]}; }
Point TriangleMesh::BoundsMax() const { return {nodes_[0].hi[0], nodes_[0].hi[1], nodes_[0].hi[2]}; }

std::array<Point, 3> TriangleMesh::Corners(uint32_t triangle) const {
  if (triangle >= position_of_.size() || position_of_[triangle] == kNoTriangle) return {};
  const Triangle& tri = triangles_[position_of_[triangle]];
  return {ToPoint(tri.v[0]), ToPoint(tri.v[1]), ToPoint(tri.v[2])};
}

bool TriangleMesh::TestTriangle(const Triangle& tri, const Point& from, const Point& to, double tolerance,
                                double tie, SegmentHit& best) const {
  const Point a = ToPoint(tri.v[0]), b = ToPoint(tri.v[1]), c = ToPoint(tri.v[2]);
  Point n = Cross(Sub(b, a), Sub(c, a));
  n = Mul(n, 1.0 / std::sqrt(Dot(n, n)));
  const double offset = Dot(n, a);
  const double s0 = Dot(n, from) - offset, s1 = Dot(n, to) - offset;
  // Only a move from the front towards the back, ending behind the face.
  if (!(s1 < 0.0 && s0 >= -tolerance && s0 > s1)) return false;
  const double t = s0 > 0.0 ? s0 / (s0 - s1) : 0.0;
  if (best.hit && !(t < best.t - tie) && !(t <= best.t + tie && s1 > best.end)) return false;
  const Point q = Add(from, Mul(Sub(to, from), t));
  const Point* corners[3] = {&a, &b, &c};
  for (int k = 0; k < 3; ++k) {
    const Point& p0 = *corners[k];
    const Point edge = Sub(*corners[(k + 1) % 3], p0);
    const double side = Dot(Cross(edge, Sub(q, p0)), n);  // |edge| times the distance inside
    if (side < 0.0 && side * side > tolerance * tolerance * Dot(edge, edge)) return false;
  }
  best.hit = true;
  best.t = t;
  best.triangle = tri.original;
  best.normal = n;
  best.offset = offset;
  best.end = s1;
  return true;
}

SegmentHit TriangleMesh::FirstFrontHit(const Point& from, const Point& to, double tolerance) const {
  SegmentHit best;
  const Point delta = Sub(to, from);
  const double length = std::sqrt(Dot(delta, delta));
  const double tie = length > 0.0 ? 2.0 * tolerance / length : 0.0;
  uint32_t stack[kStackDepth];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node& node = nodes_[stack[--top]];
    if (!SegmentMeetsBox(node.lo, node.hi, from, delta, tolerance, best.hit ? best.t + tie : 1.0)) continue;
    if (node.count > 0) {
      for (uint32_t i = node.first; i < node.first + node.count; ++i)
        TestTriangle(triangles_[i], from, to, tolerance, tie, best);
      continue;
    }
    const uint32_t left = static_cast<uint32_t>(&node - nodes_.data()) + 1;
    stack[top++] = node.first;
    stack[top++] = left;
  }
  return best;
}

SegmentHit TriangleMesh::FirstFrontHitBruteForce(const Point& from, const Point& to, double tolerance) const {
  SegmentHit best;
  const Point delta = Sub(to, from);
  const double length = std::sqrt(Dot(delta, delta));
  const double tie = length > 0.0 ? 2.0 * tolerance / length : 0.0;
  for (const Triangle& tri : triangles_) TestTriangle(tri, from, to, tolerance, tie, best);
  return best;
}

ClosestHit TriangleMesh::ClosestPoint(const Point& query) const {
  ClosestHit best;
  uint32_t stack[kStackDepth];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node& node = nodes_[stack[--top]];
    if (BoxDistanceSquared(node.lo, node.hi, query) >= best.distance_squared) continue;
    if (node.count > 0) {
      for (uint32_t i = node.first; i < node.first + node.count; ++i) {
        const Triangle& tri = triangles_[i];
        const Point p = ClosestOnTriangle(query, ToPoint(tri.v[0]), ToPoint(tri.v[1]), ToPoint(tri.v[2]));
        const Point d = Sub(p, query);
        if (Dot(d, d) < best.distance_squared) best = ClosestHit{Dot(d, d), p, tri.original};
      }
      continue;
    }
    // The nearer child is looked at first, so the farther one is more often cut off.
    const uint32_t left = static_cast<uint32_t>(&node - nodes_.data()) + 1;
    const Node& l = nodes_[left];
    const Node& r = nodes_[node.first];
    const bool left_first = BoxDistanceSquared(l.lo, l.hi, query) <= BoxDistanceSquared(r.lo, r.hi, query);
    stack[top++] = left_first ? node.first : left;
    stack[top++] = left_first ? left : node.first;
  }
  return best;
}

ClosestHit TriangleMesh::ClosestPointBruteForce(const Point& query) const {
  ClosestHit best;
  for (const Triangle& tri : triangles_) {
    const Point p = ClosestOnTriangle(query, ToPoint(tri.v[0]), ToPoint(tri.v[1]), ToPoint(tri.v[2]));
    const Point d = Sub(p, query);
    if (Dot(d, d) < best.distance_squared) best = ClosestHit{Dot(d, d), p, tri.original};
  }
  return best;
}

}  // namespace Velkor::HardwareAPI::Render
