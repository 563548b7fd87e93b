// The cell and face arrays both mesh exports share, written straight into
// their final buffers: a first pass counts the faces each fixed chunk of
// consecutive cells lists, a prefix sum over the chunks gives every chunk
// its offsets, and a second pass writes each chunk's cells and faces there.
// The buffers are sized without zero filling, so each page is first touched
// by the worker that fills it. The result is that of a sequential loop for
// any thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/export/faces.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/memory.hpp"
#include "quorin/parallel.hpp"

namespace quorin::export_chunks {

// Cells per chunk of the export loops: small enough that the ray-casting
// work of the axis-projected export spreads over the pool on modest meshes.
inline constexpr std::size_t GRAIN = 1024;

// Where each chunk's faces go: internal[c] and boundary[c] are the numbers
// of faces listed by the cells before chunk c.
struct FaceLayout {
    std::vector<std::size_t> internal;
    std::vector<std::size_t> boundary;
    std::size_t n_internal = 0;
    std::size_t n_boundary = 0;
};

// The counting pass; calls on_internal(owner, neighbour) for every internal
// face, from the worker counting its chunk.
template <class OnInternal>
FaceLayout count_faces(const Forest& forest, OnInternal&& on_internal) {
    const std::size_t n = forest.leaves.size();
    const std::size_t chunks = (n + GRAIN - 1) / GRAIN;
    FaceLayout layout;
    layout.internal.resize(chunks);
    layout.boundary.resize(chunks);
    parallel::for_chunks(n, GRAIN, [&](std::size_t b, std::size_t e) {
        std::size_t internal = 0, boundary = 0;
        cell_faces::Walk walk(b);
        for (std::size_t i = b; i != e; ++i) {
            cell_faces::enumerate(
                forest, i, walk,
                [&](std::uint64_t j, std::uint8_t) {
                    on_internal(i, j);
                    ++internal;
                },
                [&](FaceDir) { ++boundary; });
        }
        layout.internal[b / GRAIN] = internal;
        layout.boundary[b / GRAIN] = boundary;
    });
    layout.n_internal = parallel::exclusive_scan(layout.internal);
    layout.n_boundary = parallel::exclusive_scan(layout.boundary);
    return layout;
}

inline FaceLayout count_faces(const Forest& forest) {
    return count_faces(forest, [](std::uint64_t, std::uint64_t) {});
}

// Fills the cell and face fields of `out` (any mesh record with the two
// cell and five face Buffers) for the forest, sized by `layout`; calls
// on_internal(chunk, face, owner, neighbour, axis) for every internal face
// with its index in the face arrays, from the worker filling that chunk; a
// callback that also takes the owner's CellGeometry as a sixth argument gets
// the one computed for its centre and size, and one that takes its
// DecodedKey as a seventh too gets the key that geometry was computed from.
// With `face_counts` (one entry per cell), entry i gets the number of
// internal faces cell i lists, 255 for 255 or more.
template <class Mesh, class OnInternal>
void fill_cells(const Forest& forest, const Domain& domain, const FaceLayout& layout, Mesh& out,
                OnInternal&& on_internal, std::uint8_t* face_counts = nullptr) {
    const std::size_t n = forest.leaves.size();
    out.cell_centers.resize(n);
    out.cell_sizes.resize(n);
    out.internal_faces_owner.resize(layout.n_internal);
    out.internal_faces_neighbour.resize(layout.n_internal);
    out.internal_faces_axis.resize(layout.n_internal);
    out.domain_bnd_faces_owner.resize(layout.n_boundary);
    out.domain_bnd_faces_dir.resize(layout.n_boundary);
    Vec3* centres = out.cell_centers.data();
    Vec3* sizes = out.cell_sizes.data();
    std::uint64_t* owner = out.internal_faces_owner.data();
    std::uint64_t* neighbour = out.internal_faces_neighbour.data();
    std::uint8_t* axes = out.internal_faces_axis.data();
    std::uint64_t* bnd_owner = out.domain_bnd_faces_owner.data();
    std::uint8_t* bnd_dir = out.domain_bnd_faces_dir.data();
    const std::size_t chunks = layout.internal.size();
    parallel::for_chunks(n, GRAIN, [&](std::size_t b, std::size_t e) {
        const std::size_t c = b / GRAIN;
        std::size_t k = layout.internal[c];
        std::size_t m = layout.boundary[c];
        cell_faces::Walk walk(b);
        for (std::size_t i = b; i != e; ++i) {
            const std::size_t first = k;
            const DecodedKey d = forest.leaves[i].decode();
            const CellGeometry g = domain.cell_geometry(d);
            centres[i] = g.centre;
            sizes[i] = g.size;
            cell_faces::enumerate(
                forest, i, walk,
                [&](std::uint64_t j, std::uint8_t axis) {
                    owner[k] = i;
                    neighbour[k] = j;
                    axes[k] = axis;
                    if constexpr (std::is_invocable_v<OnInternal&, std::size_t, std::size_t, std::uint64_t,
                                                      std::uint64_t, std::uint8_t, const CellGeometry&,
                                                      const DecodedKey&>)
                        on_internal(c, k, i, j, axis, g, d);
                    else if constexpr (std::is_invocable_v<OnInternal&, std::size_t, std::size_t, std::uint64_t,
                                                           std::uint64_t, std::uint8_t, const CellGeometry&>)
                        on_internal(c, k, i, j, axis, g);
                    else
                        on_internal(c, k, i, j, axis);
                    ++k;
                },
                [&](FaceDir dir) {
                    bnd_owner[m] = i;
                    bnd_dir[m] = dir;
                    ++m;
                });
            if (face_counts != nullptr) face_counts[i] = static_cast<std::uint8_t>(std::min<std::size_t>(k - first, 255));
        }
        const std::size_t k_end = c + 1 < chunks ? layout.internal[c + 1] : layout.n_internal;
        const std::size_t m_end = c + 1 < chunks ? layout.boundary[c + 1] : layout.n_boundary;
        if (k != k_end) assert_eq_failed("Internal faces of a chunk", k_end, k);
        if (m != m_end) assert_eq_failed("Boundary faces of a chunk", m_end, m);
    });
}

}  // namespace quorin::export_chunks
