// The text of an OBJ file turned into the arrays of a surface, parsed in
// line-aligned blocks on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/memory.hpp"
#include "quorin/surface/bvh.hpp"

namespace quorin::mesh::detail {

// What an OBJ file gives for a surface: vertices in file order, the fans of
// its faces and lines, the patch names by id and one patch id per triangle.
struct ObjSurface {
    Buffer<Vec3> vertices;
    Buffer<Triangle> triangles;
    std::vector<std::string> patch_names;
    Buffer<std::uint64_t> patch_ids;
};

// Length of the blocks the text is parsed in: long enough that a block's
// bookkeeping is negligible, short enough that a large file gives every
// worker several. A text up to this length is one block, parsed serially.
inline constexpr std::size_t OBJ_BLOCK_BYTES = std::size_t{1} << 20;

// Parses the whole text of an OBJ file (the model is described at load_obj).
// Blocks are about `block_bytes` long, each cut after a line feed; the result
// and the message do not depend on the block length or the thread count.
// Messages are load_obj's: "Failed to read OBJ file: stream did not contain
// valid UTF-8" or "Failed to parse OBJ file: parse error (L{}): {}" for the
// first failing line.
Expected<ObjSurface> parse_obj(std::string_view text, std::size_t block_bytes = OBJ_BLOCK_BYTES);

}  // namespace quorin::mesh::detail
