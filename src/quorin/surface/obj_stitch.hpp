// The serial step between the two passes of the OBJ block parser: the state
// each block starts in, carried over the blocks before it, and the patch
// table in order of first appearance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quorin/surface/obj_blocks.hpp"

namespace quorin::mesh::detail {

// The patch of a stretch without points, lines or faces: never read.
inline constexpr std::uint64_t NO_PATCH = ~std::uint64_t{0};

// What the lines before a block leave behind when read in order.
struct BlockStart {
    std::size_t line = 0;          // lines before the block
    std::size_t vertex = 0;        // vertices before the block
    std::size_t triangle = 0;      // triangles before the block
    std::size_t object_first = 0;  // the first vertex of the object in force
    // The patch of each stretch of the block: the first before its first
    // event, then one after each event.
    std::vector<std::uint64_t> stretch_patches;
};

struct StitchedBlocks {
    std::vector<BlockStart> starts;  // by block
    std::size_t vertices = 0;
    std::size_t triangles = 0;
    std::vector<std::string> patch_names;  // by id
};

StitchedBlocks stitch_blocks(const std::vector<BlockScan>& scans);

}  // namespace quorin::mesh::detail
