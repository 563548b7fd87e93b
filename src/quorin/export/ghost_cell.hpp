// The ghost-cell CFD mesh: every leaf of the forest as a cell (centre and
// full edge lengths), the internal faces between neighbouring cells, the
// faces on the outer surface of the domain, and the ghost-cell IBM data.
//
// Layout: cells in cell order; internal faces by ascending owner (the
// low-side cell), then axis x, y, z, then probe order; domain-boundary faces
// by ascending owner, then ascending direction code; the ghost-cell vectors
// in the order of the GhostCellData (ascending ghost-cell id).
//
// Booleans are one byte each (0 or 1), never a packed bit vector, so that
// every per-cell vector can be handed on as a plain array buffer.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorin/export/chunks.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/gcibm.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/ibm_mesh.hpp"

namespace quorin {

// What one cell contributes to the mesh. The three internal-face vectors
// have equal length, and so have the two boundary vectors; every owner is
// the cell itself.
struct GhostCellMeshCell {
    std::vector<std::uint64_t> internal_faces_owner;
    std::vector<std::uint64_t> internal_faces_neighbour;
    std::vector<std::uint8_t> internal_faces_axis;  // 0 = x, 1 = y, 2 = z
    std::vector<std::uint64_t> domain_bnd_faces_owner;
    std::vector<std::uint8_t> domain_bnd_faces_dir;  // outward FaceDir 0..5
    Vec3 cell_center;
    Vec3 cell_size;  // full edge lengths
    bool is_fluid;
};

// The ghost-cell mesh, fields in the order the Python class presents them.
struct CfdGhostCellMesh {
    std::uint64_t n_cells = 0;
    std::uint8_t coordinate_type = 0;  // always 0
    std::vector<std::string> patch_names;  // position = patch id
    Buffer<Vec3> cell_centers;        // n_cells
    Buffer<Vec3> cell_sizes;          // n_cells
    Buffer<std::uint64_t> internal_faces_owner;      // low-side cell
    Buffer<std::uint64_t> internal_faces_neighbour;  // high-side cell
    Buffer<std::uint8_t> internal_faces_axis;        // 0, 1, 2
    Buffer<std::uint64_t> domain_bnd_faces_owner;
    Buffer<std::uint8_t> domain_bnd_faces_dir;  // outward FaceDir 0..5
    Buffer<std::uint8_t> gc_is_fluid;           // n_cells, 1 = fluid
    Buffer<std::uint64_t> gc_cell_ids;          // per ghost cell from here on
    Buffer<std::uint64_t> gc_bnd_anchor_ids;
    Buffer<std::uint64_t> gc_bnd_patch_ids;
    Buffer<Vec3> gc_bnd_intercepts;
    Buffer<Vec3> gc_image_points;
    Buffer<std::array<std::uint64_t, STENCIL_SIZE>> gc_interp_stencil_indices;
    Buffer<std::array<double, STENCIL_SIZE>> gc_interp_stencil_weights;
};

namespace ghost_cell {

// The record of cell `cell`: geometry, fluid flag and the faces it lists.
// A cell id beyond the forest, or an `is_fluid` of `data` without an entry
// for it, stops with an index-out-of-bounds internal error.
GhostCellMeshCell cell_record(const Forest& forest, const Domain& domain,
                              const GhostCellData& data, std::uint64_t cell);

// The whole mesh, built on the worker pool and laid out in cell order.
// Reads only the patch names of `mesh`; takes `data` over (its per-ghost-cell
// vectors are moved in). `data` must belong to this forest: an `is_fluid`
// shorter than the number of cells stops with an index-out-of-bounds
// internal error before anything is built. Identical for any thread count.
CfdGhostCellMesh build_ghost_cell_mesh(const Forest& forest, const Domain& domain,
                                       const IbmMesh& mesh, GhostCellData data);

// The fluid fill of `status` (as flood::flood_fill leaves it) and the face
// layout of the export, from one pass over the faces of a 2:1 balanced
// forest (see fluid_components.hpp); the message of flood_fill, with
// `status` unchanged, when the seed lies outside the domain or on a wall
// cell. One status per cell.
Expected<export_chunks::FaceLayout> fill_and_count_faces(const Forest& forest, const Domain& domain,
                                                         std::span<CellStatus> status,
                                                         const Vec3& fluid_seed_point);

// build_ghost_cell_mesh from the fluid flags alone (gcibm::fluid_flags: 0
// or 1 per cell), with the face layout of this forest already counted: the
// ghost cells are found from the faces the export writes (a non-fluid cell
// on a face whose other cell is fluid), then their records are made. The
// same mesh as compute_ghost_cell_data and build_ghost_cell_mesh give
// wherever cells list each other as face neighbours both ways, as in every
// 2:1 balanced forest.
CfdGhostCellMesh build_ghost_cell_mesh(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                       Buffer<std::uint8_t> is_fluid,
                                       const export_chunks::FaceLayout& layout);

}  // namespace ghost_cell
}  // namespace quorin
