// The first pass of the OBJ block parser: the text cut into line-aligned
// blocks, and what each block holds, read without parsing any number.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace quorin::mesh::detail {

// The text in consecutive blocks of about `block_bytes` bytes, each but the
// last ending just after a line feed (a block grows to the end of its last
// line). Their concatenation is the text; an empty text gives none.
std::vector<std::string_view> cut_blocks(std::string_view text, std::size_t block_bytes);

// An "o" or "g" statement: it ends the stretch of the block before it.
struct ObjEvent {
    bool object = false;          // an "o" statement, else a "g"
    bool named = false;           // an "o" with a name, or a "g" with a group name
    std::string_view name;        // the object's name, or the group's first name
    std::size_t vertices_before;  // "v" statements of the block before it
    bool shapes_after = false;    // a point, line or face follows in its stretch
};

// A block as the first pass sees it. The counts take every statement by its
// keyword and token count alone: each "v" is one vertex and each "f" or "l"
// with n >= 3 corners n - 2 triangles, whether or not its values parse. Up
// to a block's first failing line they are therefore exact, and the second
// pass never writes more than they make room for.
struct BlockScan {
    bool valid_utf8 = true;
    std::size_t lines = 0;
    std::size_t vertices = 0;
    std::size_t triangles = 0;
    bool shapes_first = false;  // a point, line or face before the first event
    std::vector<ObjEvent> events;
};

BlockScan scan_block(std::string_view block);

}  // namespace quorin::mesh::detail
