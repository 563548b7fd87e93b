// Nearest hits of many short rays along the domain's axes against one posed
// surface. All rays cast along ±axis a share one direction in the surface's
// frame (R⁻¹·e_a), so each axis gets a grid over the plane across that
// direction: a triangle is listed in every grid cell that its projection
// (widened by a margin far above rounding) overlaps, and a ray tests only the
// triangles of the cell its origin projects into, after a cheap check of
// their extent along the ray.
//
// The answers are those of TriMesh::cast_ray_posed, bit for bit: the same
// ray set-up and the same per-triangle test decide each hit, and the nearest
// hit is the lexicographic minimum of (time of impact, triangle index) over
// the triangles hit, whatever order they are tested in. A triangle is hit
// only where the exact ray line meets it, so its projection contains the
// projected origin up to rounding; and its time of impact is within 2^-30 of
// the ray's scale of the exact one, so its extent along the ray overlaps the
// ray's own span widened by more than that. Rays that these bounds do not
// cover (a direction other than ±R⁻¹·e_a, an origin or length beyond the
// reach given at construction, non-finite input) go to the hierarchy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "quorin/surface/bvh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

class AxisRayCaster {
public:
    // Grids for the three axes of the domain frame under `pose`. `reach`
    // bounds, for the rays served by the grids, the largest |component| of
    // the origin in the surface's frame and the ray length; it sizes the
    // margins. The grids are built only when `expected_rays`, the number of
    // casts the caller foresees, pays for them (see pays_for). The mesh must
    // outlive the caster.
    AxisRayCaster(const TriMesh& mesh, const RigidPose& pose, double reach,
                  std::size_t expected_rays = std::numeric_limits<std::size_t>::max());

    // Whether grids pay for `rays` casts: building them touches every
    // triangle three times and takes some 400 bytes per triangle, while a
    // short ray saves only part of a hierarchy descent. On a sphere of 2 M
    // triangles the grids cost about 1.5 us per triangle and saved 0.1 us
    // per ray (8 threads): a surface needs a dozen or more rays per triangle
    // before its grids are worth their time and memory.
    static bool pays_for(std::size_t rays, const TriMesh& mesh) {
        return rays / RAYS_PER_TRIANGLE >= mesh.leaf_corners().size();
    }
    static constexpr std::size_t RAYS_PER_TRIANGLE = 16;

    // Equal to mesh.cast_ray_posed(origin, dir, max_toi, pose) for every
    // input. Thread-safe; allocates nothing.
    std::optional<RayHit> cast(const Vec3& origin, const Vec3& dir, double max_toi) const;

    // True when the grids were built (a finite surface and reach); else every
    // cast goes to the hierarchy.
    bool has_grids() const { return usable_; }

private:
    // One triangle of a grid: its projected box and edge lines, widened by
    // the margin, and its position in the hierarchy's leaf order. A point p
    // can lie on the triangle only if ex·p_y − ey·p_x − c ≥ −tol for each
    // edge (tol infinite where the projection is too thin to orient).
    struct Shape {
        double xlo, xhi, ylo, yhi;
        double ex[3], ey[3], c[3], tol[3];
        std::uint32_t k;
    };

    // One listing in a grid cell: the shape's extent along the grid's
    // dominant axis, rounded outwards to single precision, and the shape. A
    // cell's listings are sorted by zlo.
    struct Entry {
        float zlo, zhi;
        std::uint32_t shape;
    };

    // The grid of the rays along ±dir. A point p projects to
    // (p[kx] − px·p[kz], p[ky] − py·p[kz]), kz the dominant axis of dir.
    struct Grid {
        Vec3 dir;
        int kx = 0, ky = 1, kz = 2;
        double px = 0, py = 0;
        double gx = 0, gy = 0;    // projected corner of cell (0, 0)
        double ix = 1, iy = 1;    // cells per unit length
        std::int64_t nx = 0, ny = 0;
        Buffer<std::uint32_t> start;  // per cell, nx·ny + 1 offsets into entries
        Buffer<Entry> entries;
        Buffer<Shape> shapes;
    };

    void build_grid(Grid& g, const Vec3& dir) const;
    std::optional<RayHit> cast_grid(const Grid& g, const Vec3& o, const Vec3& d, double max_toi) const;

    const TriMesh* mesh_;
    RigidPose pose_;
    bool identity_;
    bool usable_ = false;
    double reach_ = 0;
    double margin_ = 0;  // absolute widening of projections and extents
    Grid grids_[3];
};

}  // namespace quorin
