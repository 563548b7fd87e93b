// Variable-length per-cell output gathered chunk by chunk: each chunk of
// consecutive cells appends to its own buffers (so the per-cell loop never
// allocates once a buffer has grown), and the buffers are then copied, in
// chunk order, into one vector per field at offsets fixed by the chunk
// sizes. The result is that of a sequential loop for any thread count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/memory.hpp"
#include "quorin/parallel.hpp"

namespace quorin::export_chunks {

// Cells per chunk of the export loops: small enough that the ray-casting
// work of the axis-projected export spreads over the pool on modest meshes.
inline constexpr std::size_t GRAIN = 1024;

// out = the concatenation of (chunk.*field) over `chunks`, in order; each
// chunk's buffer is released once copied.
template <class Chunk, class T>
void concat(std::vector<T>& out, std::vector<Chunk>& chunks, std::vector<T> Chunk::*field) {
    std::vector<std::size_t> offset(chunks.size() + 1, 0);
    for (std::size_t c = 0; c < chunks.size(); ++c)
        offset[c + 1] = offset[c] + (chunks[c].*field).size();
    std::vector<T> joined;
    reserve_huge(joined, offset.back());
    joined.resize(offset.back());
    parallel::for_chunks(chunks.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c != e; ++c) {
            std::vector<T>& part = chunks[c].*field;
            std::copy(part.begin(), part.end(), joined.begin() + static_cast<std::ptrdiff_t>(offset[c]));
            std::vector<T>().swap(part);
        }
    });
    out = std::move(joined);
}

// The part both mesh exports share: the centre and size of every cell go
// straight to their slots of `out`, and per_cell(i, chunk) appends what cell
// i lists to the buffers of its chunk (each chunk's face buffers sized for
// three faces a cell first). Returns the chunks, in cell order.
template <class Chunk, class Mesh, class PerCell>
std::vector<Chunk> fill_cells(const Forest& forest, const Domain& domain, Mesh& out,
                              PerCell&& per_cell) {
    const std::size_t n = forest.leaves.size();
    reserve_huge(out.cell_centers, n);
    out.cell_centers.resize(n);
    reserve_huge(out.cell_sizes, n);
    out.cell_sizes.resize(n);
    std::vector<Chunk> chunks((n + GRAIN - 1) / GRAIN);
    parallel::for_chunks(n, GRAIN, [&](std::size_t b, std::size_t e) {
        Chunk& sink = chunks[b / GRAIN];
        const std::size_t cells = e - b;
        sink.internal_faces_owner.reserve(3 * cells);
        sink.internal_faces_neighbour.reserve(3 * cells);
        sink.internal_faces_axis.reserve(3 * cells);
        for (std::size_t i = b; i != e; ++i) {
            const CellGeometry g = domain.cell_geometry(forest.leaves[i].decode());
            out.cell_centers[i] = g.centre;
            out.cell_sizes[i] = g.size;
            per_cell(i, sink);
        }
    });
    return chunks;
}

// Moves the five face vectors of every chunk into `out`, in order.
template <class Chunk, class Mesh>
void concat_faces(Mesh& out, std::vector<Chunk>& chunks) {
    concat(out.internal_faces_owner, chunks, &Chunk::internal_faces_owner);
    concat(out.internal_faces_neighbour, chunks, &Chunk::internal_faces_neighbour);
    concat(out.internal_faces_axis, chunks, &Chunk::internal_faces_axis);
    concat(out.domain_bnd_faces_owner, chunks, &Chunk::domain_bnd_faces_owner);
    concat(out.domain_bnd_faces_dir, chunks, &Chunk::domain_bnd_faces_dir);
}

}  // namespace quorin::export_chunks
