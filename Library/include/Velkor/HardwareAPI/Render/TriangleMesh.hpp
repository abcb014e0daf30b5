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
  bool lifted = false;  // the segment starts behind the face, near its open edge (a step across a crack)
};

// How Build treats its input beyond taking the triangles as given.
struct BuildOptions {
  // Vertices closer than this (m) become one, so that faces which should share an
  // edge do (0: only vertices at the very same place).
  double weld = 0.0;
  // Faces are widened by this much (m) at their edges for the proxy, so that it
  // cannot slip through a crack up to twice as wide between neighbouring faces.
  double gap = 0.0;
  // Turn the faces of each closed part so that they agree with each other and
  // face outwards.
  bool orient = true;
  // Force shading: the normal the force takes at a point of a face is
  // interpolated from normals at its corners, each the angle-weighted mean of the
  // normals of the faces around that vertex that differ from this face's by at
  // most this angle (radians; 0: no shading, the force follows face normals).
  double smoothing_angle = 0.0;
  // Or the normals at the vertices, vertex_count x 3 (their length does not
  // matter), used as they are instead.
  const float* vertex_normals = nullptr;
};

// What Build did to its input, for reporting.
struct BuildReport {
  size_t welded = 0;        // vertices merged into another
  size_t flipped = 0;       // faces turned round to agree with their closed part
  size_t open_edges = 0;    // edges with one face: the mesh is open there
  size_t non_manifold_edges = 0;  // edges shared by more than two faces
  size_t closed_parts = 0;
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
  static std::shared_ptr<const TriangleMesh> Build(const float* vertices, size_t vertex_count,
                                                   const uint32_t* triangles, size_t triangle_count,
                                                   const BuildOptions& options, std::string& why,
                                                   BuildReport* report = nullptr);

  // Hands what the allocator keeps of freed blocks (a large build's
  // temporaries, the caller's input copies) back to the system.
  static void ReturnFreedMemory();

  size_t VertexCount() const { return vertex_count_; }
  size_t TriangleCount() const { return triangles_.size(); }  // kept, with area
  size_t DroppedTriangles() const { return dropped_; }
  const BuildReport& Report() const { return report_; }
  double Gap() const { return gap_; }
  bool Shaded() const { return !normals_.empty(); }
  // Bytes held for rendering (triangles and hierarchy).
  size_t MemoryBytes() const;
  Point BoundsMin() const;
  Point BoundsMax() const;

  // The first front face the segment from -> to crosses. A start up to
  // `tolerance` behind a face still counts as in front of it, and triangles are
  // widened by `tolerance` (or the mesh's gap, if larger) at their edges so that a segment through a shared
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
  // The shading normal (unit length) at the point of a kept triangle nearest
  // `point`: interpolated from its corners' normals, or the face's own normal
  // when the mesh is not shaded. No allocation; bounded work.
  Point ShadedNormal(uint32_t triangle, const Point& point) const;

 private:
  struct Triangle {
    float v[3][3];
    uint32_t original;
    uint8_t open;  // bit k: the edge from corner k to the next has no single face across it
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
  std::vector<uint32_t> BuildTree();  // returns the leaf order: kept index at each position
  bool TestTriangle(const Triangle& tri, const Point& from, const Point& to, double tolerance, double tie,
                    SegmentHit& best) const;

  size_t vertex_count_ = 0;
  size_t dropped_ = 0;
  double gap_ = 0.0;
  BuildReport report_;
  std::vector<std::array<float, 9>> normals_;  // per triangle in leaf order: its corners' normals; empty: unshaded
  std::vector<Triangle> triangles_;  // in leaf order
  std::vector<uint32_t> position_of_;  // index as given -> position in triangles_ (kNoTriangle if dropped)
  std::vector<Node> nodes_;
};

}  // namespace Velkor::HardwareAPI::Render
