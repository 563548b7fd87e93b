// The surface geometry engine: a triangle mesh in 64-bit floats with a
// bounding-volume hierarchy over its triangles. Read-only and thread-safe
// after construction; no query allocates.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

using Triangle = std::array<std::uint32_t, 3>;

struct RayHit {
    double toi;              // distance along the (unit) ray direction
    std::uint32_t triangle;  // index into the mesh's triangle vector
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
    TriMesh(std::vector<Vec3> vertices, std::vector<Triangle> triangles);

    const std::vector<Vec3>& vertices() const { return vertices_; }
    const std::vector<Triangle>& triangles() const { return triangles_; }

    // Does the solid axis-aligned box (centre, half extents, domain frame)
    // share a point with some triangle of the surface placed at `pose`?
    bool intersects_box(const Vec3& centre, const Vec3& half_extents, const RigidPose& pose) const;

    // Nearest hit of the ray origin + t·dir, 0 <= t <= max_toi, with any
    // triangle from either side, in the surface's own frame.
    std::optional<RayHit> cast_ray(const Vec3& origin, const Vec3& dir, double max_toi) const;

    // The closest point of the surface to p (surface frame) and its triangle.
    PointProjection project_point(const Vec3& p) const;

private:
    std::vector<Vec3> vertices_;
    std::vector<Triangle> triangles_;
    // The hierarchy's own storage follows here (defined with bvh.cpp).
};

}  // namespace quorin
