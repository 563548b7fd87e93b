#include "quorin/export/ghost_cell.hpp"

#include <utility>

#include "quorin/error.hpp"
#include "quorin/export/chunks.hpp"
#include "quorin/export/faces.hpp"
#include "quorin/parallel.hpp"

namespace quorin::ghost_cell {

namespace {

// Appends the faces that `cell` lists to the face vectors of `sink`.
void append_faces(const Forest& forest, std::uint64_t cell, GhostCellMeshCell& sink) {
    cell_faces::enumerate(
        forest, cell,
        [&](std::uint64_t j, std::uint8_t axis) { cell_faces::push_internal(sink, cell, j, axis); },
        [&](FaceDir dir) { cell_faces::push_boundary(sink, cell, dir); });
}

const SfcKey& leaf_at(const Forest& forest, std::uint64_t cell) {
    if (cell >= forest.leaves.size()) index_out_of_bounds(cell, forest.leaves.size());
    return forest.leaves[cell];
}

}  // namespace

GhostCellMeshCell cell_record(const Forest& forest, const Domain& domain,
                              const GhostCellData& data, std::uint64_t cell) {
    const CellGeometry g = domain.cell_geometry(leaf_at(forest, cell).decode());
    if (cell >= data.is_fluid.size()) index_out_of_bounds(cell, data.is_fluid.size());
    GhostCellMeshCell rec;
    rec.cell_center = g.centre;
    rec.cell_size = g.size;
    rec.is_fluid = data.is_fluid[cell] != 0;
    append_faces(forest, cell, rec);
    return rec;
}

CfdGhostCellMesh build_ghost_cell_mesh(const Forest& forest, const Domain& domain,
                                       const IbmMesh& mesh, GhostCellData data) {
    const std::size_t n = forest.leaves.size();
    // Flags of another forest: stop before any work, as the first cell
    // without a flag would.
    if (data.is_fluid.size() < n) index_out_of_bounds(data.is_fluid.size(), data.is_fluid.size());

    CfdGhostCellMesh out;
    const export_chunks::FaceLayout layout = export_chunks::count_faces(forest);
    export_chunks::fill_cells(forest, domain, layout, out,
                              [](std::size_t, std::size_t, std::uint64_t, std::uint64_t, std::uint8_t) {});
    out.patch_names = mesh.patch_names;

    // The flags already have the layout of gc_is_fluid: move them in, cut to
    // one per cell.
    out.gc_is_fluid = std::move(data.is_fluid);
    out.gc_is_fluid.resize(n);
    out.gc_cell_ids = std::move(data.cell_ids);
    out.gc_bnd_anchor_ids = std::move(data.anchor_ids);
    out.gc_bnd_patch_ids = std::move(data.patch_ids);
    out.gc_bnd_intercepts = std::move(data.intercepts);
    out.gc_image_points = std::move(data.image_points);
    out.gc_interp_stencil_indices = std::move(data.stencil_indices);
    out.gc_interp_stencil_weights = std::move(data.stencil_weights);

    out.n_cells = n;
    out.coordinate_type = 0;
    return out;
}

}  // namespace quorin::ghost_cell
