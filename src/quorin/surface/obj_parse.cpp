#include "quorin/surface/obj_parse.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <utility>

#include "quorin/parallel.hpp"
#include "quorin/surface/obj_block_parser.hpp"
#include "quorin/surface/obj_blocks.hpp"
#include "quorin/surface/obj_stitch.hpp"

namespace quorin::mesh::detail {

namespace {

// A text is valid UTF-8 when each block is: blocks are cut after a line
// feed, which no multi-byte sequence contains.
bool all_valid_utf8(const std::vector<BlockScan>& scans) {
    return std::all_of(scans.begin(), scans.end(), [](const BlockScan& s) { return s.valid_utf8; });
}

// Final arrays of the sizes the first pass counted, unwritten.
ObjSurface sized_surface(const StitchedBlocks& stitched) {
    ObjSurface out;
    // Past the limit the block holding vertex OBJ_MAX_VERTICES fails first.
    out.vertices.resize(std::min(stitched.vertices, OBJ_MAX_VERTICES));
    out.triangles.resize(stitched.triangles);
    out.patch_ids.resize(stitched.triangles);
    return out;
}

// The second pass over all blocks; the message of the first failing line in
// file order, or none. A block after one that has failed is not parsed:
// the serial reading never gets there.
std::optional<std::string> parse_blocks(const std::vector<std::string_view>& blocks,
                                        const StitchedBlocks& stitched, ObjSurface& out) {
    const ObjSink sink{out.vertices.data(), out.triangles.data(), out.patch_ids.data()};
    std::vector<std::optional<std::string>> errors(blocks.size());
    std::atomic<std::size_t> first_failed{std::numeric_limits<std::size_t>::max()};
    parallel::for_chunks(blocks.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k != e; ++k) {
            if (k > first_failed.load(std::memory_order_relaxed)) continue;
            errors[k] = parse_block(blocks[k], stitched.starts[k], sink);
            if (errors[k]) parallel::lower_to(first_failed, k);
        }
    });
    for (std::optional<std::string>& error : errors) {
        if (error) return std::move(error);
    }
    return std::nullopt;
}

}  // namespace

Expected<ObjSurface> parse_obj(std::string_view text, std::size_t block_bytes) {
    const std::vector<std::string_view> blocks = cut_blocks(text, block_bytes);
    std::vector<BlockScan> scans =
        parallel::map(blocks.size(), [&](std::size_t k) { return scan_block(blocks[k]); }, 1);
    if (!all_valid_utf8(scans)) {
        return Failure{"Failed to read OBJ file: stream did not contain valid UTF-8"};
    }
    StitchedBlocks stitched = stitch_blocks(scans);
    std::vector<BlockScan>().swap(scans);
    ObjSurface out = sized_surface(stitched);
    if (std::optional<std::string> error = parse_blocks(blocks, stitched, out)) {
        return Failure{"Failed to parse OBJ file: " + *error};
    }
    out.patch_names = std::move(stitched.patch_names);
    return out;
}

}  // namespace quorin::mesh::detail
