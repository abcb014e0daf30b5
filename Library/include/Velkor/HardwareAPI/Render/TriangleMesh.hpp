#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace Velkor::HardwareAPI::Render {

// Geometry is stored in float (memory) and computed in double (robustness): a
// float vertex converts to double exactly, so two triangles sharing an edge see
// the very same edge.
using Point = std::array<double, 3>;

constexpr uint32_t kNoTriangle = std::numeric_limits<uint32_t>::max();

// Where a segment first crosses a triangle's front face, moving from its front
// side to its back.
struct SegmentHit {
  bool hit = false;
  double t = 1.0;  // along the segment, 0 at its start
  uint32_t triangle = kNoTriangle;  // index as given to Build
  Point normal{};  // of the front face, unit length
  double offset = 0.0;  // the face's plane: normal . x == offset
  double end = 0.0;     // how far in front of that plane the segment ends (negative: behind)
};

struct ClosestHit {
  double distance_squared = std::numeric_limits<double>::infinity();
  Point point{};
  uint32_t triangle = kNoTriangle;
};

// An immutable triangle mesh with a bounding-volume hierarchy over its
// triangles. Built once, outside any servo cycle; its queries allocate nothing,
// take no lock and visit a bounded number of nodes, so many threads may query
// one mesh at once. A triangle's front is the side its winding (counter-clockwise
// seen from there) faces.
class TriangleMesh {
 public:
  static constexpr uint32_t kLeafSize = 4;
  // Deep enough for any tree Build makes: it halves the triangles at each level.
  static constexpr int kStackDepth = 64;

  // vertices: vertex_count x 3 floats (m); triangles: triangle_count x 3 vertex
  // indices. Triangles without area are left out (they have no front). Returns
  // nullptr and says why in `why` for input that cannot be rendered.
  static std::shared_ptr<const TriangleMesh> Build(const float* vertices, size_t vertex_count,
                                                   const uint32_t* triangles, size_t triangle_count,
                                                   std::string& why);

  size_t VertexCount() const { return vertex_count_; }
  size_t TriangleCount() const { return triangles_.size(); }  // kept, with area
  size_t DroppedTriangles() const { return dropped_; }
  // Bytes held for rendering (triangles and hierarchy).
  size_t MemoryBytes() const;
  Point BoundsMin() const;
  Point BoundsMax() const;

  // The first front face the segment from -> to crosses. A start up to
  // `tolerance` behind a face still counts as in front of it, and triangles are
  // widened by `tolerance` at their edges so that a segment through a shared
  // edge or vertex cannot slip between neighbours. Of faces crossed within
  // about `tolerance` of each other (at an edge), the one the end is least far
  // behind wins: the face the tool is really pressing on.
  SegmentHit FirstFrontHit(const Point& from, const Point& to, double tolerance) const;
  // The point of the mesh nearest to `query`.
  ClosestHit ClosestPoint(const Point& query) const;

  // The same answers by looking at every triangle: what the hierarchy is checked against.
  SegmentHit FirstFrontHitBruteForce(const Point& from, const Point& to, double tolerance) const;
  ClosestHit ClosestPointBruteForce(const Point& query) const;

  // The corners of a kept triangle (index as given to Build), for reporting.
  std::array<Point, 3> Corners(uint32_t triangle) const;

 private:
  struct Triangle {
    float v[3][3];
    uint32_t original;
  };
  // An inner node's children are the next node and node `first`; a leaf holds
  // triangles [first, first + count).
  struct Node {
    float lo[3];
    float hi[3];
    uint32_t first;
    uint32_t count;  // 0 for an inner node
  };

  TriangleMesh() = default;
  void BuildTree();
  bool TestTriangle(const Triangle& tri, const Point& from, const Point& to, double tolerance, double tie,
                    SegmentHit& best) const;

  size_t vertex_count_ = 0;
  size_t dropped_ = 0;
  std::vector<Triangle> triangles_;  // in leaf order
  std::vector<uint32_t> position_of_;  // index as given -> position in triangles_ (kNoTriangle if dropped)
  std::vector<Node> nodes_;
};

}  // namespace Velkor::HardwareAPI::Render
