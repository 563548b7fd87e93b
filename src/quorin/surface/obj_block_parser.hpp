// The second pass of the OBJ block parser: the statements of one block
// parsed and checked from the state the blocks before it leave, their
// vertices and triangles written straight to their final places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorin/surface/bvh.hpp"
#include "quorin/surface/obj_stitch.hpp"

namespace quorin::mesh::detail {

// Vertex indices are 32-bit: at most 2^32 - 1 vertices.
inline constexpr std::size_t OBJ_MAX_VERTICES = 0xFFFFFFFFu;

// The final arrays, sized by the first pass: vertex i goes to vertices[i]
// (i < OBJ_MAX_VERTICES), triangle t to triangles[t] with its patch in
// patch_ids[t].
struct ObjSink {
    Vec3* vertices;
    Triangle* triangles;
    std::uint64_t* patch_ids;
};

// Parses `block` as the serial reading would after the lines before it.
// Stops at its first failing line and gives "parse error (L{}): {}" for it;
// none when every line parses.
std::optional<std::string> parse_block(std::string_view block, const BlockStart& start,
                                       const ObjSink& sink);

}  // namespace quorin::mesh::detail
