// The text of an ASCII STL file turned into the arrays of a surface: read
// in blocks on the worker pool when it is large, token by token otherwise.
#pragma once

#include <cstddef>
#include <string_view>

#include "quorin/error.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/bvh.hpp"

namespace quorin::mesh::detail {

// What an STL file gives for a surface: the vertices, widened exactly from
// the file's 32-bit floats, and one index triple per facet, in file order.
// Vertices are not merged: facet i owns vertices 3i, 3i + 1 and 3i + 2.
struct StlSurface {
    Buffer<Vec3> vertices;
    Buffer<Triangle> faces;
};

// Vertex indices are 32-bit: at most 2^32 - 1 vertices.
inline constexpr std::size_t STL_MAX_VERTICES = 0xFFFFFFFFu;
inline constexpr std::string_view STL_TOO_MANY = "too many triangles for 32-bit vertex indices";

// Length of the blocks a large text is read in: long enough that a block's
// bookkeeping is negligible, short enough that every worker gets several.
// A text up to this length is read token by token on the calling thread.
inline constexpr std::size_t STL_ASCII_BLOCK_BYTES = std::size_t{1} << 20;

// The faces {3i, 3i + 1, 3i + 2} of `facets` facets, written on the pool.
Buffer<Triangle> own_corner_faces(std::size_t facets);

// Reads the whole text of an ASCII STL file: its first line ("solid" and a
// name) is skipped, then come facets
//   facet normal nx ny nz / outer loop / vertex x y z (three times) / endloop / endfacet
// with tokens separated by any whitespace, and "endsolid" (the rest of its
// line skipped) followed by the end of the text or by "solid" (the rest of
// its line skipped) and more facets. Normals must be numbers and are
// dropped. Messages name the line of the first offending token: "line {N}:
// expected {what}, found {token or the end of the file}", or "line {N}: too
// many triangles for 32-bit vertex indices" when a facet would take vertex
// `max_vertices` or beyond. The result and the message do not depend on
// `block_bytes` or on the thread count.
Expected<StlSurface> parse_ascii_stl(std::string_view text, std::size_t block_bytes = STL_ASCII_BLOCK_BYTES,
                                     std::size_t max_vertices = STL_MAX_VERTICES);

}  // namespace quorin::mesh::detail
