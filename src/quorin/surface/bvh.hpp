// The surface geometry engine: a triangle mesh in 64-bit floats with a
// bounding-volume hierarchy over its triangles. Read-only and thread-safe
// after construction; no query allocates.
//
// Conventions shared by the queries:
// - Triangles with a coordinate that is not finite take no part in any query
//   (no box meets them, no ray hits them, no point projects onto them).
// - Ties are broken by the lowest triangle index: two triangles hit at the
//   same time of impact, or equally near a point, report the lower index.
//   The answers are thus those of a plain loop over every triangle in index
//   order that keeps strictly better candidates, whatever the traversal order.
// - Box test, touching: boxes and triangles are closed sets, so a triangle
//   that only touches the box (shares boundary points only) intersects it.
//   Each separation decision is evaluated exactly on the given box corners,
//   so a box that shares a point with a triangle always answers true; on
//   the triangle-normal and edge-cross axes, which are formed in rounded
//   arithmetic, a triangle that misses the box by a gap of the order of the
//   rounding of its own coordinates may still answer true.
// - Rays: a triangle is hit from either side; the test is watertight (a ray
//   through the common edge or vertex of adjacent triangles hits at least one
//   of them) and a point on a triangle's edge counts as on the triangle.
//   Whether the ray meets the triangle is decided exactly wherever rounding
//   could change the answer, so a ray that misses the closed triangle is
//   never reported as a hit; the time of impact is the rounded one where its
//   error bound is small against the ray's scale, else it is recomputed from
//   the exact plane equation (a few roundings off). A zero-area triangle
//   (exactly collinear corners) is never hit: it has no inside for a ray to
//   cross; nor is a triangle whose plane holds the ray. Non-finite inputs, a
//   zero direction or a NaN or negative limit give no hit.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/pose.hpp"
#include "quorin/surface/triangle_box.hpp"

namespace quorin {

using Triangle = std::array<std::uint32_t, 3>;

struct RayHit {
    double toi;              // distance along the (unit) ray direction
    std::uint32_t triangle;  // index into the mesh's triangle vector
    // The ray met the triangle's back side: its direction points along the
    // normal (b − a) × (c − a). A face id that tells the sides apart is
    // triangle + (back_side ? triangle count : 0).
    bool back_side = false;
};

// Every hit of one ray, in no particular order, for callers that replay a
// sequence of nearest-hit casts from one traversal.
struct RayHitList {
    static constexpr int CAPACITY = 512;
    double toi[CAPACITY];
    double error[CAPACITY];  // bound on the error of toi
    int count = 0;
};

struct PointProjection {
    Vec3 point;              // closest point of the surface
    std::uint32_t triangle;  // the triangle that holds it
};

class TriMesh {
public:
    TriMesh() = default;
    // Takes the vertices and triangles as given (order, winding, duplicates and
    // degenerate triangles kept) and builds the hierarchy. Needs at least one
    // triangle and every index below the vertex count.
    TriMesh(Buffer<Vec3> vertices, Buffer<Triangle> triangles);
    // The same from plain vectors or lists (copied on the pool).
    TriMesh(const std::vector<Vec3>& vertices, const std::vector<Triangle>& triangles);
    TriMesh(std::initializer_list<Vec3> vertices, std::initializer_list<Triangle> triangles)
        : TriMesh(std::vector<Vec3>(vertices), std::vector<Triangle>(triangles)) {}

    const Buffer<Vec3>& vertices() const { return vertices_; }
    const Buffer<Triangle>& triangles() const { return triangles_; }

    // Does the closed axis-aligned box (domain frame) share a point with some
    // triangle of the surface placed at `pose`? The pose is applied to the
    // triangles (each vertex to R·v + t, see RigidPose::transform_point) before
    // the exact test, so the identity pose gives exactly the answer for the
    // stored coordinates. A box with a non-finite bound or min above max on
    // an axis meets nothing.
    bool intersects_box(const CellBox& box, const RigidPose& pose) const;

    // The same for the box centre ± half extents (rounded to its corners).
    bool intersects_box(const Vec3& centre, const Vec3& half_extents, const RigidPose& pose) const;

    // A triangle's three corners.
    using Corners = std::array<Vec3, 3>;

    // The triangles' corners placed at `pose` (R·v + t each), in the
    // hierarchy's leaf order: for callers that test many boxes under one
    // pose, so that each corner is placed once instead of once per test.
    Buffer<Corners> placed_corners(const RigidPose& pose) const;

    // intersects_box with the corners placed_corners(pose) gave; the answers
    // are the same.
    bool intersects_box(const CellBox& box, const RigidPose& pose, const Buffer<Corners>& placed) const;

    // Leaf positions of the triangles that may meet the closed box (domain
    // frame) at `pose`, appended to `out` in no particular order: every
    // triangle that intersects_box finds meeting the box is among them, so
    // the box meets the surface exactly when one of them passes
    // leaf_meets_box. Callers that test many boxes inside one box filter
    // this list instead of searching the hierarchy for each.
    void box_candidates(const CellBox& box, const RigidPose& pose, std::vector<std::uint32_t>& out) const;

    // The per-triangle test of intersects_box for the triangle at leaf
    // position k: with the corners placed_corners(pose) gave, or placed on
    // the way when `placed` is null.
    bool leaf_meets_box(std::uint32_t k, const CellBox& box, const RigidPose& pose, const Corners* placed) const;

    // The triangles in leaf order prepared at `pose` for many box tests: the
    // test of entry k answers as leaf_meets_box(k, ·, pose, ·) does.
    Buffer<TriangleBoxTest> box_tests(const RigidPose& pose) const;

    // intersects_box with the tests box_tests(pose) gave; the answers are
    // the same.
    bool intersects_box(const CellBox& box, const RigidPose& pose, const Buffer<TriangleBoxTest>& tests) const;

    // Nearest hit of the ray origin + t·dir, 0 <= t <= max_toi, with any
    // triangle from either side, in the surface's own frame.
    std::optional<RayHit> cast_ray(const Vec3& origin, const Vec3& dir, double max_toi) const;

    // The same for a ray given in the domain's frame against the surface placed
    // at `pose`: the ray is moved into the surface's frame first (origin to
    // R⁻¹·(o − t), direction to R⁻¹·d), so times of impact stay distances.
    std::optional<RayHit> cast_ray_posed(const Vec3& origin, const Vec3& dir, double max_toi,
                                         const RigidPose& pose) const;

    // Every hit of the ray origin + t·dir, 0 <= t <= max_toi (surface frame),
    // each one stable: the same triangles are hit, and no other, from any
    // origin within `shift` of this one on each axis. Returns false, with the
    // list incomplete, when some triangle's answer could change under such a
    // move or the hits overflow the list. A hit's time is the one cast_ray
    // computes for that triangle.
    bool collect_stable_hits(const Vec3& origin, const Vec3& dir, double max_toi, double shift,
                             RayHitList& out) const;

    // The closest point of the surface to p (surface frame) and its triangle.
    // A non-finite p, or a surface without a finite triangle, gives a NaN
    // point and triangle 0.
    PointProjection project_point(const Vec3& p) const;

    // The same answer, searched first within squared distance `bound2` of p
    // (far fewer nodes where the surface is known to pass near p, such as
    // inside a cut cell); when nothing lies within it, the whole surface.
    PointProjection project_point(const Vec3& p, double bound2) const;

    // Largest |coordinate| of a finite triangle's corner (0 without one): every
    // point of the surface lies within this distance of the origin on each axis.
    double coordinate_scale() const { return scale_; }

    // Number of nodes of the hierarchy (0 without a finite triangle).
    std::size_t node_count() const { return nodes_.size(); }

    // Deepest root-to-leaf path of the hierarchy (root alone = 1).
    std::size_t depth() const { return depth_; }

    // One node of the hierarchy. An inner node's first child follows it
    // directly; `index` is its second child. A leaf holds `count` triangles,
    // entries index .. index + count - 1 of the leaf order.
    // Bounds are single precision, rounded outwards, so that a node (32 bytes)
    // still holds its triangles while two of them share a cache line.
    struct Node {
        std::array<float, 3> lo;
        std::array<float, 3> hi;
        std::uint32_t index;
        std::uint32_t count;  // 0 for an inner node
    };

    // Relative safety margin of the traversals' node tests. A triangle test
    // works on coordinates of magnitude up to (query magnitude + the node's
    // own magnitude), and a ray's time of impact is kept while its error is
    // below 2^-30 of that scale; node boxes are widened by this fraction of
    // the same magnitude so that a node is never skipped while one of its
    // triangles would still pass its own test. It only costs work, and being
    // sized per node, a far-away corner elsewhere in the surface does not
    // widen every node. The node boxes hold their own share; a query adds
    // this fraction of its own magnitude.
    static constexpr double NODE_MARGIN = 0x1p-28;

    // The hierarchy itself (tests compare builds on different thread counts).
    const Buffer<Node>& nodes() const { return nodes_; }
    const Buffer<std::uint32_t>& leaf_order() const { return order_; }
    // The corners of the triangles in leaf order (entry k belongs to triangle
    // leaf_order()[k]), and per leaf position 1 for a zero-area triangle: for
    // ray kernels that bin the triangles beside the hierarchy.
    const Buffer<Corners>& leaf_corners() const { return corners_; }
    const Buffer<std::uint8_t>& leaf_zero_area() const { return flat_; }

private:
    // The box test; `placed` holds the corners at `pose`, or is null to place
    // each tested corner on the way.
    bool intersects_box_placed(const CellBox& box, const RigidPose& pose, const Corners* placed) const;
    template <class Visit>
    bool visit_box_leaves(const CellBox& box, const RigidPose& pose, Visit&& visit) const;
    bool project_point_within(const Vec3& p, double bound2, PointProjection& out) const;

    // Buffers throughout: a surface of millions of triangles is written once
    // by the pool, never zero-filled first by one thread.
    Buffer<Vec3> vertices_;
    Buffer<Triangle> triangles_;

    Buffer<Node> nodes_;               // depth-first, root at 0
    Buffer<std::uint32_t> order_;      // triangle indices in leaf order
    // The corners of each triangle in leaf order, so that a leaf's triangles
    // are read from consecutive memory.
    Buffer<Corners> corners_;
    Buffer<std::uint8_t> flat_;        // per leaf position: 1 for a zero-area triangle
    double scale_ = 0;                 // largest finite |coordinate| of a triangle vertex
    std::size_t depth_ = 0;
};

// The per-triangle tests that the queries run at the leaves, for callers and
// tests that need one triangle alone.
namespace trimesh {

// The closed triangle (a, b, c) and the closed box [lo, hi] share a point.
bool triangle_meets_bounds(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& lo, const Vec3& hi);

// The same for the box centre ± half extents (rounded to its corners).
bool triangle_meets_box(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& centre, const Vec3& half_extents);

// Hit of origin + t·dir, 0 <= t <= max_toi, with the triangle (either side);
// the result's triangle field is 0.
std::optional<RayHit> ray_triangle(const Vec3& origin, const Vec3& dir, double max_toi, const Vec3& a,
                                   const Vec3& b, const Vec3& c);

// The point of the closed triangle nearest to p.
Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c);

}  // namespace trimesh

}  // namespace quorin
