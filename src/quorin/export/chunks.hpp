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

}  // namespace quorin::export_chunks
