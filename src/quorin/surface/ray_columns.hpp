// The triangles of a surface binned by their shadow along one fixed ray
// direction, for the many parallel rays of the inside test. A ray along that
// direction can only meet a triangle whose shadow holds the ray's own shadow
// point, so the triangles to test are read from one column of a uniform grid
// in the plane of shadows instead of being found by a traversal of the
// hierarchy. Read-only and thread-safe after construction; no query
// allocates.
//
// Shadows are taken in the sheared frame of the ray test (the point p goes to
// (p[kx] - sx·p[kz], p[ky] - sy·p[kz]) with the frame of the direction), and
// each triangle's shadow box is widened by a margin of 2^-20 of the surface's
// scale before it is binned: far more than the rounding of the shadows and
// than the move of a restart origin off the ray's line, so every triangle a
// ray from near the line could meet lies in the column of the ray's shadow.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quorin/surface/bvh.hpp"

namespace quorin {

class RayColumns {
public:
    // Bins the triangles of `mesh` (its finite, non-zero-area ones, as the
    // hierarchy holds them) for rays along `dir` in the surface's frame. The
    // binning is left unusable when the direction is zero or not finite, the
    // surface has no such triangle, the shadows are not finite, or the
    // shadows would fill more grid entries than a budget of a few per
    // triangle (surfaces of huge triangles): callers then traverse the
    // hierarchy. `mesh` must outlive the columns.
    RayColumns(const TriMesh& mesh, const Vec3& dir);

    bool usable() const { return !start_.empty(); }

    // Whether binning pays for `rays` rays along one direction: binning
    // touches every triangle once, a ray through the hierarchy costs a few
    // dozen node visits more than one through its column, so the columns
    // of a large surface are only worth building for many more rays than
    // it has triangles (on a sphere of 2 M triangles, binning one direction
    // took 1 s on 8 threads, and 730,000 rays 0.13 s through the hierarchy,
    // 0.12 s through the columns). Either way the answers are the same.
    static bool pays_for(std::size_t rays, const TriMesh& mesh) {
        return rays >= RAYS_PER_TRIANGLE * mesh.leaf_corners().size();
    }
    static constexpr std::size_t RAYS_PER_TRIANGLE = 8;
    const Vec3& direction() const { return dir_; }

    // TriMesh::collect_stable_hits for the ray origin + t·direction(): tests
    // every triangle of the origin's column whose shadow comes within the
    // margin of the origin's shadow and that does not lie wholly behind the
    // origin, in leaf order, with the same per-triangle test; a triangle the test cannot
    // settle whose plane the line crosses clearly behind the origin counts as
    // missed (no cast from further on could reach it). None when the columns
    // cannot vouch for the answer (unusable, a non-finite origin, or a shift
    // too large for the margin): the caller traverses the hierarchy instead.
    std::optional<bool> collect_stable_hits(const Vec3& origin, double max_toi, double shift,
                                            RayHitList& out) const;

private:
    // A triangle's shadow: its corners, their box widened by the margin, the
    // largest depth of its corners along the ray, the sign of its area (0
    // when the area is too small to trust), and its leaf position.
    struct Shadow {
        double ulo, uhi, vlo, vhi;
        double depth_hi;
        double u[3], v[3];
        double orient;
        std::uint32_t k;
    };

    Shadow shadow_of(const TriMesh::Corners& corners) const;
    // The shadow point (u, v) lies outside the shadow by more than the
    // margin: no ray from near this ray's line meets the triangle.
    bool clearly_outside(const Shadow& sh, double u, double v) const;
    // The grid cell of a shadow coordinate; monotone in u (and in v), so a
    // shadow point inside a widened box lies in a cell the box was binned to.
    std::uint32_t cell_u(double u) const;
    std::uint32_t cell_v(double v) const;
    // Bins the shadows into the grid set up, on the pool; false, binning
    // nothing, when they would fill more than `budget` entries.
    bool bin(const std::vector<Shadow>& shadows, std::uint64_t budget);

    const TriMesh* mesh_ = nullptr;
    Vec3 dir_{0, 0, 0};
    int kx_ = 0, ky_ = 1, kz_ = 2;
    double sx_ = 0, sy_ = 0;
    double depth_sign_ = 1;  // sign of dir[kz]: depth along the ray is depth_sign·p[kz]
    double margin_ = 0;      // widening of each shadow box
    double u0_ = 0, v0_ = 0, inv_hu_ = 0, inv_hv_ = 0;
    std::uint32_t nu_ = 0, nv_ = 0;
    // A binned shadow as its column lists it: the widened box and the
    // depth, rounded outwards to single precision, and its position in
    // shadows_; the column is scanned from consecutive memory.
    struct Entry {
        float ulo, uhi, vlo, vhi;
        float depth_hi;
        std::uint32_t shadow;
    };
    static Entry entry_of(const Shadow& sh, std::uint32_t position);

    // The shadows of the tested triangles, in leaf order; those binned to
    // cell (i, j) are listed by entries_[start_[c] .. start_[c + 1]) with
    // c = i + nu·j, ascending.
    std::vector<Shadow> shadows_;
    Buffer<std::uint32_t> start_;
    Buffer<Entry> entries_;
};

}  // namespace quorin
