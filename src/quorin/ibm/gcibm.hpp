// Ghost-cell immersed-boundary data: the final fluid flag of every cell and,
// for every ghost cell (a non-fluid cell with a fluid face neighbour), the
// closest surface point (boundary intercept) with its triangle and patch, the
// image point (the cell centre mirrored through the intercept) and a stencil
// of up to 8 fluid cells with the weights that interpolate a field at the
// image point.
//
// Everything here works in the surface's own frame (identity pose): the
// ghost-cell road builds and classifies without moving the surface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/key.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"

namespace quorin {

// Probe offset from the image point, as a fraction of the ghost cell's size on each axis.
inline constexpr double STENCIL_PROBE_FRACTION = 0.1;
// Probes per ghost cell and slots per stencil.
inline constexpr std::size_t STENCIL_SIZE = 8;
// Floor of the normalising length of the member offsets.
inline constexpr double STENCIL_MIN_LENGTH = 1e-12;
// Normalised distance below which a member gets the near weight.
inline constexpr double STENCIL_NEAR_DISTANCE = 1e-9;
// Inverse-distance weight of such a near member.
inline constexpr double STENCIL_NEAR_WEIGHT = 1e9;
// The least-squares weights are used only when |sum| exceeds this.
inline constexpr double STENCIL_WEIGHT_SUM_MIN = 1e-12;

// One ghost cell. Stencil slots beyond the members hold index 0 and weight 0.0.
struct GhostCell {
    std::uint64_t cell_id;
    std::uint64_t anchor_id;  // triangle that holds the intercept
    std::uint64_t patch_id;   // patch id of that triangle
    Vec3 intercept;           // surface point closest to the cell centre
    Vec3 image_point;         // 2 · intercept − centre
    std::array<std::uint64_t, STENCIL_SIZE> stencil_indices;
    std::array<double, STENCIL_SIZE> stencil_weights;

    friend bool operator==(const GhostCell&, const GhostCell&) = default;
};

// The ghost-cell result. Entry g of the seven per-ghost-cell vectors belongs
// to the same ghost cell; cell_ids is strictly ascending.
struct GhostCellData {
    // One flag per cell in cell order, 1 = fluid, 0 = not. A byte per cell
    // (not a packed bit vector) so that parallel workers write their own
    // entries and the buffer can be handed on as an array of booleans.
    Buffer<std::uint8_t> is_fluid;
    Buffer<std::uint64_t> cell_ids;
    Buffer<std::uint64_t> anchor_ids;
    Buffer<std::uint64_t> patch_ids;
    Buffer<Vec3> intercepts;
    Buffer<Vec3> image_points;
    Buffer<std::array<std::uint64_t, STENCIL_SIZE>> stencil_indices;
    Buffer<std::array<double, STENCIL_SIZE>> stencil_weights;
};

namespace gcibm {

// The whole computation on a forest classified by the flood fill: fluid flags
// from `status` (entries 0), intersected cells (entries 2) re-decided by the
// side of the surface their centre lies on relative to `fluid_seed_point`,
// then the ghost-cell records in cell order. Cells at or beyond the end of a
// short `status` stay non-fluid. Read-only inputs; cannot fail on inputs that
// belong together.
GhostCellData compute_ghost_cell_data(const Forest& forest, const Domain& domain,
                                      const IbmMesh& mesh, std::span<const CellStatus> status,
                                      const Vec3& fluid_seed_point);

// compute_ghost_cell_data in steps. The fluid flags, one per cell:
Buffer<std::uint8_t> fluid_flags(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                 std::span<const CellStatus> status, const Vec3& fluid_seed_point);

// Then, `data.is_fluid` holding them, the records of the ghost cells `ids`
// (ascending), which become data.cell_ids.
void add_ghost_records(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                       GhostCellData& data, Buffer<std::uint64_t> ids);

// is_fluid[i] = 1 where status[i] is STATUS_FLUID, for every i below the
// shorter length, in parallel; other entries are left as they are.
void mark_fluid_cells(std::span<std::uint8_t> is_fluid, std::span<const CellStatus> status);

// For an intersected cell only: is_fluid = (its centre is inside the surface
// placed at `pose`) == seed_inside. Other statuses leave the flag unchanged.
void reclassify_wall_cell(std::uint8_t& is_fluid, SfcKey key, CellStatus status,
                          const Domain& domain, const IbmMesh& mesh, const RigidPose& pose,
                          bool seed_inside);

// The ghost-cell record of cell `cell`, or none when the cell is fluid or has
// no fluid face neighbour. Reads the final flags of any cell; allocates
// nothing. A cell id, neighbour or triangle beyond its vector stops with an
// index-out-of-bounds internal error.
std::optional<GhostCell> ghost_cell_for_leaf(const Forest& forest, const Domain& domain,
                                             const IbmMesh& mesh,
                                             std::span<const std::uint8_t> is_fluid,
                                             std::uint64_t cell);

}  // namespace gcibm
}  // namespace quorin
