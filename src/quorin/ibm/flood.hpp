// Cell classification against the immersed surface: the cells whose box the
// posed surface cuts (intersected, wall cells) and the flood fill from the
// fluid seed point that marks every cell reachable through faces as fluid.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/key.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

// One byte per cell, in cell order.
using CellStatus = std::uint8_t;

inline constexpr CellStatus STATUS_FLUID = 0;        // reached by the flood fill
inline constexpr CellStatus STATUS_DEFAULT = 1;      // not reached, or not yet classified
inline constexpr CellStatus STATUS_INTERSECTED = 2;  // the cell's box cuts the surface

namespace flood {

inline constexpr const char* SEED_OUTSIDE_MESSAGE =
    "The fluid seed point `fluid_seed_point` lies outside the computational domain (bounding "
    "box).";
inline constexpr const char* SEED_ON_WALL_MESSAGE =
    "The fluid seed point `fluid_seed_point` lies on an intersect (wall) cell; specify a seed "
    "clearly inside the fluid region.";

// Sets `status` to STATUS_INTERSECTED when the solid box of the cell `key`
// shares a point with the surface placed at `pose`; otherwise leaves it as is.
void flag_intersect_cell(const Domain& domain, const RigidPose& pose, const IbmMesh& mesh,
                         SfcKey key, CellStatus& status);

// The surface at a pose, its triangles placed and prepared for the box test
// once, for passes that test many cells under one pose. Its answers are
// those of flag_intersect_cell.
struct PlacedSurface {
    // A prepared triangle takes some 700 bytes; a surface whose prepared
    // triangles would take more than this is tested on its placed corners
    // instead (same answers, slower), so that a scan of millions of
    // triangles does not cost gigabytes per pass.
    static constexpr std::size_t PREPARED_BYTES_LIMIT = std::size_t{256} << 20;

    const IbmMesh& mesh;
    const RigidPose& pose;
    // The triangles in leaf order, placed and prepared for the box tests;
    // empty past the limit above.
    Buffer<TriangleBoxTest> tests;
    // Past the limit: the corners placed at the pose (none for the identity).
    Buffer<TriMesh::Corners> corners;

    PlacedSurface(const IbmMesh& m, const RigidPose& p, std::size_t prepared_bytes_limit = PREPARED_BYTES_LIMIT);
    bool cuts(const CellBox& box) const;
    // The triangles (leaf positions) that may meet the box, appended to
    // `out`; the box is cut exactly when one of them meets it.
    void candidates(const CellBox& box, std::vector<std::uint32_t>& out) const;
    bool meets(std::uint32_t k, const CellBox& box) const;
    // The children of [lo, hi] split at `mid` (bit d: child_bounds(lo, mid,
    // hi, d)) among `wanted` that triangle k meets.
    unsigned meets_children(std::uint32_t k, const Vec3& lo, const Vec3& mid, const Vec3& hi, unsigned wanted) const;
};

void flag_intersect_cell(const Domain& domain, const PlacedSurface& surface, SfcKey key, CellStatus& status);

// Marks STATUS_INTERSECTED those of the leaves keys[0, n) (in key order, all
// inside `node`) whose closed boxes the surface meets; the others keep
// their status. The answers are flag_intersect_cell's, found top down from
// `node` with each cell testing only the triangles that meet its parent's
// box. `scratch` is working memory.
void mark_leaves_in(const Domain& domain, const PlacedSurface& surface, SfcKey node, const SfcKey* keys,
                    std::size_t n, CellStatus* out, std::vector<std::uint32_t>& scratch);

// flag_intersect_cell for every cell i below min(status.size(), cells), in
// parallel; each cell writes only its own byte.
void mark_intersected_cells(const Forest& forest, const Domain& domain, const RigidPose& pose,
                            const IbmMesh& mesh, std::span<CellStatus> status);

// A fresh vector of STATUS_DEFAULT, one per cell, marked by the posed
// surface; each tree's statuses are written (and first touched) by the
// worker that marks the tree.
Buffer<CellStatus> initial_cell_status(const Forest& forest, const Domain& domain,
                                       const IbmMesh& mesh, const RigidPose& pose);

// Breadth-first fill over face neighbours from the cell holding the seed:
// reached cells become STATUS_FLUID, intersected cells stay, every other cell
// becomes STATUS_DEFAULT. Returns the user-facing message when the seed lies
// outside the domain or in an intersected cell; `status` is then unchanged.
// The search runs frontier by frontier on the pool; the set of cells it
// reaches does not depend on the order of the search, so the result is that
// of the plain one-cell-at-a-time search for any thread count.
std::optional<std::string> flood_fill(const Forest& forest, const Domain& domain,
                                      std::span<CellStatus> status, const Vec3& fluid_seed_point);

}  // namespace flood
}  // namespace quorin
