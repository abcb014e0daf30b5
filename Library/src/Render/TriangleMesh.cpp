#include "Velkor/HardwareAPI/Render/TriangleMesh.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <unordered_map>

#include "Platform/FreedMemory.hpp"

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

namespace {

double Length(const Point& a) { return std::sqrt(Dot(a, a)); }

uint64_t CellKey(int64_t x, int64_t y, int64_t z) {
  return static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4Full ^
         static_cast<uint64_t>(z) * 0x165667B19E3779F9ull;
}

// Each vertex's representative: the first vertex within `tolerance` of it that
// is its own representative. Returns how many vertices were merged.
size_t WeldVertices(const float* v, size_t n, double tolerance, std::vector<uint32_t>& rep) {
  rep.assign(n, 0);
  std::unordered_map<uint64_t, uint32_t> head;
  head.reserve(n);
  std::vector<uint32_t> next(n, kNoTriangle);
  size_t merged = 0;
  const double limit = tolerance * tolerance;
  for (size_t i = 0; i < n; ++i) {
    const float* p = v + 3 * i;
    uint32_t found = kNoTriangle;
    int64_t c[3];
    if (tolerance > 0.0) {
      // Far-out coordinates share the outermost cells (still told apart by distance).
      for (int a = 0; a < 3; ++a) c[a] = static_cast<int64_t>(std::clamp(std::floor(p[a] / tolerance), -1e15, 1e15));
      for (int dx = -1; dx <= 1 && found == kNoTriangle; ++dx)
        for (int dy = -1; dy <= 1 && found == kNoTriangle; ++dy)
          for (int dz = -1; dz <= 1 && found == kNoTriangle; ++dz) {
            const auto it = head.find(CellKey(c[0] + dx, c[1] + dy, c[2] + dz));
            for (uint32_t j = it == head.end() ? kNoTriangle : it->second; j != kNoTriangle; j = next[j]) {
              const float* q = v + 3 * size_t{j};
              const double d0 = double{p[0]} - q[0], d1 = double{p[1]} - q[1], d2 = double{p[2]} - q[2];
              if (d0 * d0 + d1 * d1 + d2 * d2 <= limit) {
                found = j;
                break;
              }
            }
          }
    } else {
      // The very same place: +0 and -0 alike.
      for (int a = 0; a < 3; ++a) {
        const float x = p[a] + 0.0f;
        uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        c[a] = bits;
      }
      const auto it = head.find(CellKey(c[0], c[1], c[2]));
      for (uint32_t j = it == head.end() ? kNoTriangle : it->second; j != kNoTriangle; j = next[j]) {
        const float* q = v + 3 * size_t{j};
        if (p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) {
          found = j;
          break;
        }
      }
    }
    if (found != kNoTriangle) {
      rep[i] = found;
      ++merged;
      continue;
    }
    rep[i] = static_cast<uint32_t>(i);
    const uint64_t key = CellKey(c[0], c[1], c[2]);
    const auto it = head.find(key);
    if (it != head.end()) next[i] = it->second;
    head[key] = static_cast<uint32_t>(i);
  }
  return merged;
}

struct EdgeUse {
  uint32_t lo, hi;
  uint32_t triangle;  // kept index
  uint8_t corner;     // the edge runs from this corner to the next
  bool forward;       // lo -> hi in the triangle's winding
};

}  // namespace

std::shared_ptr<const TriangleMesh> TriangleMesh::Build(const float* vertices, size_t vertex_count,
                                                        const uint32_t* triangles, size_t triangle_count,
                                                        std::string& why) {
  return Build(vertices, vertex_count, triangles, triangle_count, BuildOptions{}, why, nullptr);
}

std::shared_ptr<const TriangleMesh> TriangleMesh::Build(const float* vertices, size_t vertex_count,
                                                        const uint32_t* triangles, size_t triangle_count,
                                                        const BuildOptions& options, std::string& why,
                                                        BuildReport* report) {
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
  if (!(std::isfinite(options.weld) && options.weld >= 0.0)) {
    why = "weld must be finite and not negative";
    return nullptr;
  }
  if (!(std::isfinite(options.gap) && options.gap >= 0.0)) {
    why = "gap must be finite and not negative";
    return nullptr;
  }
  if (!(options.smoothing_angle >= 0.0 && options.smoothing_angle <= std::acos(-1.0))) {
    why = "smoothing_angle must be between 0 and 180 degrees";
    return nullptr;
  }
  for (size_t i = 0; i < vertex_count * 3; ++i)
    if (!std::isfinite(vertices[i])) {
      why = "vertex " + std::to_string(i / 3) + " is not finite";
      return nullptr;
    }
  if (options.vertex_normals != nullptr)
    for (size_t i = 0; i < vertex_count; ++i) {
      const float* n = options.vertex_normals + 3 * i;
      const double length = std::sqrt(double{n[0]} * n[0] + double{n[1]} * n[1] + double{n[2]} * n[2]);
      if (!std::isfinite(length) || !(length > 0.0)) {
        why = "the normal of vertex " + std::to_string(i) + " is not a finite, non-zero vector";
        return nullptr;
      }
    }
  for (size_t t = 0; t < triangle_count * 3; ++t)
    if (triangles[t] >= vertex_count) {
      why = "triangle " + std::to_string(t / 3) + " refers to vertex " + std::to_string(triangles[t]) + " of " +
            std::to_string(vertex_count);
      return nullptr;
    }

  std::shared_ptr<TriangleMesh> mesh(new TriangleMesh);
  BuildReport& said = mesh->report_;
  mesh->vertex_count_ = vertex_count;
  mesh->gap_ = options.gap;
  {
    std::vector<uint32_t> rep;
    said.welded = WeldVertices(vertices, vertex_count, options.weld, rep);
    // Per kept triangle: its corners' welded vertices and the vertices as given.
    std::vector<std::array<uint32_t, 3>> welded, given;
    welded.reserve(triangle_count);
    given.reserve(triangle_count);
    mesh->triangles_.reserve(triangle_count);
    mesh->position_of_.assign(triangle_count, kNoTriangle);
    for (size_t t = 0; t < triangle_count; ++t) {
      Triangle tri{};
      std::array<uint32_t, 3> w{}, g{};
      for (int k = 0; k < 3; ++k) {
        g[k] = triangles[3 * t + k];
        w[k] = rep[g[k]];
        std::copy(vertices + 3 * size_t{w[k]}, vertices + 3 * size_t{w[k]} + 3, tri.v[k]);
      }
      tri.original = static_cast<uint32_t>(t);
      const Point a = ToPoint(tri.v[0]);
      const Point e1 = Sub(ToPoint(tri.v[1]), a), e2 = Sub(ToPoint(tri.v[2]), a);
      const Point n = Cross(e1, e2);
      const double scale = Dot(e1, e1) + Dot(e2, e2);
      if (w[0] == w[1] || w[1] == w[2] || w[0] == w[2] || !(Dot(n, n) > 1e-24 * scale * scale)) {
        ++mesh->dropped_;
        continue;
      }
      mesh->triangles_.push_back(tri);
      welded.push_back(w);
      given.push_back(g);
    }
    if (mesh->triangles_.empty()) {
      why = "every triangle of the mesh is degenerate (no area)";
      return nullptr;
    }
    const size_t m = mesh->triangles_.size();

    // Edges and the faces across them.
    std::vector<uint32_t> across(3 * m, kNoTriangle);  // kept index of the face across each edge
    std::vector<uint8_t> same(3 * m, 0);               // it runs the edge the same way: one of them is flipped
    std::vector<uint8_t> open(m, 0);                   // the face touches an open or non-manifold edge
    {
      std::vector<EdgeUse> edges;
      edges.reserve(3 * m);
      for (size_t t = 0; t < m; ++t)
        for (uint8_t k = 0; k < 3; ++k) {
          const uint32_t a = welded[t][k], b = welded[t][(k + 1) % 3];
          edges.push_back(EdgeUse{std::min(a, b), std::max(a, b), static_cast<uint32_t>(t), k, a < b});
        }
      std::sort(edges.begin(), edges.end(), [](const EdgeUse& x, const EdgeUse& y) {
        return x.lo != y.lo ? x.lo < y.lo : x.hi < y.hi;
      });
      for (size_t i = 0; i < edges.size();) {
        size_t j = i + 1;
        while (j < edges.size() && edges[j].lo == edges[i].lo && edges[j].hi == edges[i].hi) ++j;
        if (j - i == 2) {
          const EdgeUse& x = edges[i];
          const EdgeUse& y = edges[i + 1];
          across[3 * x.triangle + x.corner] = y.triangle;
          across[3 * y.triangle + y.corner] = x.triangle;
          same[3 * x.triangle + x.corner] = same[3 * y.triangle + y.corner] = x.forward == y.forward;
        } else {
          if (j - i == 1) ++said.open_edges; else ++said.non_manifold_edges;
          for (size_t e = i; e < j; ++e) open[edges[e].triangle] = 1;
        }
        i = j;
      }
    }

    // Each connected part: wind its faces as its first face is, then, if it is
    // closed, all of them outwards (positive volume).
    if (options.orient) {
      std::vector<uint8_t> flip(m, 0), seen(m, 0);
      std::vector<uint32_t> part;
      for (size_t s = 0; s < m; ++s) {
        if (seen[s]) continue;
        part.clear();
        part.push_back(static_cast<uint32_t>(s));
        seen[s] = 1;
        bool closed = true;
        for (size_t i = 0; i < part.size(); ++i) {
          const uint32_t t = part[i];
          closed = closed && !open[t];
          for (int k = 0; k < 3; ++k) {
            const uint32_t u = across[3 * t + k];
            if (u == kNoTriangle) continue;
            const uint8_t want = flip[t] ^ same[3 * t + k];
            if (!seen[u]) {
              seen[u] = 1;
              flip[u] = want;
              part.push_back(u);
            } else if (flip[u] != want) {
              closed = false;  // one-sided (a Moebius strip, a Klein bottle): no consistent winding
            }
          }
        }
        if (!closed) continue;
        ++said.closed_parts;
        double volume = 0.0;
        for (uint32_t t : part) {
          const Triangle& tri = mesh->triangles_[t];
          const double v6 = Dot(ToPoint(tri.v[0]), Cross(ToPoint(tri.v[1]), ToPoint(tri.v[2])));
          volume += flip[t] ? -v6 : v6;
        }
        for (uint32_t t : part) {
          if (!(flip[t] ^ (volume < 0.0))) continue;
          Triangle& tri = mesh->triangles_[t];
          std::swap(tri.v[1], tri.v[2]);
          std::swap(across[3 * t], across[3 * t + 2]);  // edges 0 and 2 trade places; edge 1 runs backwards
          std::swap(welded[t][1], welded[t][2]);
          std::swap(given[t][1], given[t][2]);
          ++said.flipped;
        }
      }
    }

    // Which edges are open (a boundary, or shared by more than two faces): only
    // across those is a face widened by gap, so a closed surface has no widened
    // parts to catch on.
    for (size_t t = 0; t < m; ++t)
      for (int k = 0; k < 3; ++k)
        if (across[3 * t + k] == kNoTriangle) mesh->triangles_[t].open |= static_cast<uint8_t>(1u << k);

    // Corner normals for force shading, per kept triangle.
    std::vector<std::array<float, 9>> corner_normals;
    if (options.vertex_normals != nullptr || options.smoothing_angle > 0.0) {
      corner_normals.resize(m);
      std::vector<Point> face(m);
      for (size_t t = 0; t < m; ++t) {
        const Triangle& tri = mesh->triangles_[t];
        const Point n = Cross(Sub(ToPoint(tri.v[1]), ToPoint(tri.v[0])), Sub(ToPoint(tri.v[2]), ToPoint(tri.v[0])));
        face[t] = Mul(n, 1.0 / Length(n));
      }
      if (options.vertex_normals != nullptr) {
        for (size_t t = 0; t < m; ++t)
          for (int k = 0; k < 3; ++k) {
            const float* g = options.vertex_normals + 3 * size_t{given[t][k]};
            Point n{g[0], g[1], g[2]};
            n = Mul(n, 1.0 / Length(n));
            for (int a = 0; a < 3; ++a) corner_normals[t][3 * k + a] = static_cast<float>(n[a]);
          }
      } else {
        // The faces around each vertex, in compressed rows.
        std::vector<uint32_t> start(vertex_count + 1, 0), around(3 * m);
        for (size_t t = 0; t < m; ++t)
          for (int k = 0; k < 3; ++k) ++start[welded[t][k] + 1];
        for (size_t i = 0; i < vertex_count; ++i) start[i + 1] += start[i];
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        std::vector<double> angle(3 * m);
        for (size_t t = 0; t < m; ++t) {
          const Triangle& tri = mesh->triangles_[t];
          for (int k = 0; k < 3; ++k) {
            around[fill[welded[t][k]]++] = static_cast<uint32_t>(t);
            const Point p = ToPoint(tri.v[k]);
            const Point u = Sub(ToPoint(tri.v[(k + 1) % 3]), p), w = Sub(ToPoint(tri.v[(k + 2) % 3]), p);
            angle[3 * t + k] = std::atan2(Length(Cross(u, w)), Dot(u, w));
          }
        }
        const double cosine = std::cos(options.smoothing_angle) - 1e-12;
        for (size_t t = 0; t < m; ++t)
          for (int k = 0; k < 3; ++k) {
            const uint32_t vertex = welded[t][k];
            Point sum{};
            for (uint32_t i = start[vertex]; i < start[vertex + 1]; ++i) {
              const uint32_t g = around[i];
              if (Dot(face[g], face[t]) < cosine) continue;
              int corner = 0;
              while (welded[g][corner] != vertex) ++corner;
              sum = Add(sum, Mul(face[g], angle[3 * g + corner]));
            }
            const double length = Length(sum);
            const Point n = length > 0.0 ? Mul(sum, 1.0 / length) : face[t];
            for (int a = 0; a < 3; ++a) corner_normals[t][3 * k + a] = static_cast<float>(n[a]);
          }
      }
    }

    const std::vector<uint32_t> order = mesh->BuildTree();
    if (!corner_normals.empty()) {
      mesh->normals_.resize(m);
      for (size_t i = 0; i < m; ++i) mesh->normals_[i] = corner_normals[order[i]];
    }
  }
  for (size_t i = 0; i < mesh->triangles_.size(); ++i)
    mesh->position_of_[mesh->triangles_[i].original] = static_cast<uint32_t>(i);
  if (report != nullptr) *report = said;
  return mesh;
}

void TriangleMesh::ReturnFreedMemory() { Platform::ReturnFreedMemory(); }

std::vector<uint32_t> TriangleMesh::BuildTree() {
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
  return order;
}

size_t TriangleMesh::MemoryBytes() const {
  return sizeof(*this) + triangles_.capacity() * sizeof(Triangle) + nodes_.capacity() * sizeof(Node) +
         position_of_.capacity() * sizeof(uint32_t) + normals_.capacity() * sizeof(normals_[0]);
}

Point TriangleMesh::BoundsMin() const { return {nodes_[0].lo[0], nodes_[0].lo[1], nodes_[0].lo[2]}; }
Point TriangleMesh::BoundsMax() const { return {nodes_[0].hi[0], nodes_[0].hi[1], nodes_[0].hi[2]}; }

std::array<Point, 3> TriangleMesh::Corners(uint32_t triangle) const {
  if (triangle >= position_of_.size() || position_of_[triangle] == kNoTriangle) return {};
  const Triangle& tri = triangles_[position_of_[triangle]];
  return {ToPoint(tri.v[0]), ToPoint(tri.v[1]), ToPoint(tri.v[2])};
}

Point TriangleMesh::ShadedNormal(uint32_t triangle, const Point& point) const {
  if (triangle >= position_of_.size() || position_of_[triangle] == kNoTriangle) return {};
  const uint32_t at = position_of_[triangle];
  const Triangle& tri = triangles_[at];
  const Point a = ToPoint(tri.v[0]), b = ToPoint(tri.v[1]), c = ToPoint(tri.v[2]);
  const Point n = Cross(Sub(b, a), Sub(c, a));
  const double area2 = Dot(n, n);
  const Point face = Mul(n, 1.0 / std::sqrt(area2));
  if (normals_.empty()) return face;
  // Barycentric weights of the point's projection, clipped to the triangle (the
  // proxy may rest a little beyond an edge, on a widened face).
  const Point q = Sub(point, Mul(face, Dot(face, Sub(point, a))));
  double w[3] = {Dot(Cross(Sub(c, b), Sub(q, b)), n) / area2, Dot(Cross(Sub(a, c), Sub(q, c)), n) / area2, 0.0};
  w[2] = 1.0 - w[0] - w[1];
  double total = 0.0;
  for (double& x : w) total += (x = std::max(0.0, x));
  const auto& corner = normals_[at];
  Point sum{};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) sum[i] += w[k] / total * corner[3 * k + i];
  const double length = std::sqrt(Dot(sum, sum));
  return length > 1e-9 ? Mul(sum, 1.0 / length) : face;
}

bool TriangleMesh::TestTriangle(const Triangle& tri, const Point& from, const Point& to, double tolerance,
                                double tie, SegmentHit& best) const {
  const Point a = ToPoint(tri.v[0]), b = ToPoint(tri.v[1]), c = ToPoint(tri.v[2]);
  Point n = Cross(Sub(b, a), Sub(c, a));
  n = Mul(n, 1.0 / std::sqrt(Dot(n, n)));
  const double offset = Dot(n, a);
  const double s0 = Dot(n, from) - offset, s1 = Dot(n, to) - offset;
  // Only a move from the front towards the back, ending behind the face. Near an
  // open edge the start may be up to gap behind the face: the neighbour across
  // a crack may lie a little lower (see below).
  const double behind = std::max(tolerance, gap_);
  if (!(s1 < 0.0 && s0 >= -behind && s0 > s1)) return false;
  const double t = s0 > 0.0 ? s0 / (s0 - s1) : 0.0;
  const bool lifted = s0 < -tolerance;
  // Of hits as near as each other, one that lifts the proxy across a step comes
  // first, then the one the segment ends least far behind.
  if (best.hit && !(t < best.t - tie) &&
      !(t <= best.t + tie && (lifted != best.lifted ? lifted : s1 > best.end)))
    return false;
  const Point q = Add(from, Mul(Sub(to, from), t));
  const Point* corners[3] = {&a, &b, &c};
  bool near_open_edge = false;
  for (int k = 0; k < 3; ++k) {
    const Point& p0 = *corners[k];
    const Point edge = Sub(*corners[(k + 1) % 3], p0);
    const double side = Dot(Cross(edge, Sub(q, p0)), n);  // |edge| times the distance inside
    const bool open = (tri.open >> k) & 1u;
    const double widen = open ? behind : tolerance;
    if (side < 0.0 && side * side > widen * widen * Dot(edge, edge)) return false;
    near_open_edge = near_open_edge || (open && side * side <= behind * behind * Dot(edge, edge));
  }
  // Across a crack whose sides differ in height by a few micrometres (CAD
  // exports), the proxy leaving the lower side's widened edge is just behind the
  // higher side: within gap of that side's open edge it is taken up onto it.
  if (lifted && !near_open_edge) return false;
  best.hit = true;
  best.lifted = lifted;
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
  const double margin = std::max(tolerance, gap_);
  uint32_t stack[kStackDepth];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node& node = nodes_[stack[--top]];
    if (!SegmentMeetsBox(node.lo, node.hi, from, delta, margin, best.hit ? best.t + tie : 1.0)) continue;
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
