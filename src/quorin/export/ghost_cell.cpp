#include "quorin/export/ghost_cell.hpp"

#include <atomic>
#include <utility>

#include "quorin/error.hpp"
#include "quorin/export/chunks.hpp"
#include "quorin/export/faces.hpp"
#include "quorin/ibm/fluid_components.hpp"
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

Expected<export_chunks::FaceLayout> fill_and_count_faces(const Forest& forest, const Domain& domain,
                                                         std::span<CellStatus> status,
                                                         const Vec3& fluid_seed_point) {
    const std::size_t n = forest.leaves.size();
    if (status.size() != n) assert_eq_failed("One status per cell", n, status.size());
    if (n > flood::CellUnion::MAX_CELLS) {
        // Too many cells for 32-bit set links: the search-based fill.
        if (auto err = flood::flood_fill(forest, domain, status, fluid_seed_point)) return Failure{*err};
        return export_chunks::count_faces(forest);
    }
    const Expected<std::uint64_t> seed = flood::seed_cell(forest, domain, status, fluid_seed_point);
    if (!seed) return Failure{seed.error()};
    flood::CellUnion joined(n);
    export_chunks::FaceLayout layout = export_chunks::count_faces(forest, [&](std::uint64_t a, std::uint64_t b) {
        if (flood::joins(status, a, b)) joined.join(a, b);
    });
    flood::fill_from_components(status, joined, *seed);
    return layout;
}

namespace {

// The mesh record around the cell and face fields already filled into `out`.
CfdGhostCellMesh finish(CfdGhostCellMesh out, const Forest& forest, const IbmMesh& mesh, GhostCellData data) {
    const std::size_t n = forest.leaves.size();
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

// Cells per chunk of the pass that gathers the marked ghost cells.
constexpr std::size_t GATHER_GRAIN = 16384;

// The bits of a cell's flag while the ghost cells are found: the flag
// itself (0 or 1) and the mark of a ghost cell.
constexpr std::uint8_t FLUID_FLAG = 1;
constexpr std::uint8_t GHOST_MARK = 2;

}  // namespace

CfdGhostCellMesh build_ghost_cell_mesh(const Forest& forest, const Domain& domain,
                                       const IbmMesh& mesh, GhostCellData data) {
    // Flags of another forest: stop before any work, as the first cell
    // without a flag would.
    if (data.is_fluid.size() < forest.leaves.size())
        index_out_of_bounds(data.is_fluid.size(), data.is_fluid.size());
    const export_chunks::FaceLayout layout = export_chunks::count_faces(forest);
    CfdGhostCellMesh out;
    export_chunks::fill_cells(forest, domain, layout, out,
                              [](std::size_t, std::size_t, std::uint64_t, std::uint64_t, std::uint8_t) {});
    return finish(std::move(out), forest, mesh, std::move(data));
}

CfdGhostCellMesh build_ghost_cell_mesh(const Forest& forest, const Domain& domain, const IbmMesh& mesh,
                                       Buffer<std::uint8_t> is_fluid,
                                       const export_chunks::FaceLayout& layout) {
    const std::size_t n = forest.leaves.size();
    if (is_fluid.size() < n) index_out_of_bounds(is_fluid.size(), is_fluid.size());
    const std::size_t chunks = (n + export_chunks::GRAIN - 1) / export_chunks::GRAIN;
    if (layout.internal.size() != chunks) assert_eq_failed("Face layout chunks", chunks, layout.internal.size());

    // A face between a fluid and a non-fluid cell makes the latter a ghost
    // cell. The mark is a second bit of the cell's flag, taken off again as
    // the ghost cells are gathered: a separate buffer of marks would be
    // allocated just as the inside test's buffers are unmapped, and wait for
    // that (6-13 ms at level 7). Cells of different chunks may mark one cell
    // at once, and other chunks read its flag meanwhile: every access to a
    // flag during the fill is atomic. Marking only ever adds the same bit.
    std::uint8_t* flags = is_fluid.data();
    const auto flag = [flags](std::uint64_t i) {
        return std::atomic_ref<std::uint8_t>(flags[i]).load(std::memory_order_relaxed);
    };
    CfdGhostCellMesh out;
    export_chunks::fill_cells(forest, domain, layout, out,
                              [&](std::size_t, std::size_t, std::uint64_t a, std::uint64_t b, std::uint8_t) {
                                  const bool fluid_a = (flag(a) & FLUID_FLAG) != 0;
                                  if (fluid_a == ((flag(b) & FLUID_FLAG) != 0)) return;
                                  const std::uint64_t solid = fluid_a ? b : a;
                                  const std::uint8_t now = flag(solid);
                                  if ((now & GHOST_MARK) == 0)
                                      std::atomic_ref<std::uint8_t>(flags[solid])
                                          .store(static_cast<std::uint8_t>(now | GHOST_MARK), std::memory_order_relaxed);
                              });
    Buffer<std::uint64_t> ids = parallel::collect<std::uint64_t, Buffer<std::uint64_t>>(
        n,
        [&](std::size_t i, std::vector<std::uint64_t>& sink) {
            if ((flags[i] & GHOST_MARK) == 0) return;
            sink.push_back(i);
            flags[i] = static_cast<std::uint8_t>(flags[i] & ~GHOST_MARK);
        },
        GATHER_GRAIN);

    GhostCellData data;
    data.is_fluid = std::move(is_fluid);
    gcibm::add_ghost_records(forest, domain, mesh, data, std::move(ids));
    return finish(std::move(out), forest, mesh, std::move(data));
}

}  // namespace quorin::ghost_cell
