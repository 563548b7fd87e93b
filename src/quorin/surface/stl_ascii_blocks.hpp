// The two parallel passes of the ASCII STL block reader over one block.
//
// A block is cut after a line feed, so it starts at a token, but not
// knowing what came before, it cannot tell where the grammar stands there.
// It guesses that its first "facet" token starts a facet, and reads the
// plain facets from there: a run, which the serial stitch takes exactly when
// the reading of the blocks before it arrives at the run's first token
// between facets. From such a start the run's facets are the ones the
// token-by-token reading finds, and it is between facets again at the
// run's end.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

#include "quorin/surface/bvh.hpp"

namespace quorin::mesh::detail {

// The facets of a block read on the guess. The first pass checks only the
// keywords and that each number's place holds a token; the second pass
// parses the numbers.
struct FacetRun {
    static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
    std::size_t begin = NONE;  // offset of its first "facet" token
    // Offset of the token where its reading stops, or the text's size when
    // no token follows: the first token after its last facet that is not a
    // "facet" starting before the block's end, or the "facet" of a facet
    // whose keywords do not match.
    std::size_t end = NONE;
    std::size_t facets = 0;
    std::size_t line_feeds = 0;  // in [begin, end)
};

// The run of the block [from, block_end) of `text`: its facets start before
// block_end and may end after it. None (no facets) when the block has no
// "facet" token or the first one does not start a facet.
FacetRun scan_run(std::string_view text, std::size_t from, std::size_t block_end);

// Parses the numbers of the `facets` facets from offset `begin` of `text`,
// which scan_run has seen, writing their corners to `corners` (3 per
// facet). The first token that is not a number, or none.
std::optional<std::string_view> read_run(std::string_view text, std::size_t begin, std::size_t facets,
                                         Vec3* corners);

}  // namespace quorin::mesh::detail
