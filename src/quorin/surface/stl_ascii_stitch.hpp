// The serial step between the two passes of the ASCII STL block reader:
// the text followed in file order, taking each block's run where the
// reading arrives at its first token and reading token by token elsewhere.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorin/surface/stl_ascii_blocks.hpp"
#include "quorin/surface/stl_ascii_serial.hpp"

namespace quorin::mesh::detail {

// Consecutive facets of the surface, from one source.
struct FacetSpan {
    bool serial = false;  // read token by token, else a block's run
    // A run: the offset of its first token; token by token: the index of its
    // first facet among those read token by token.
    std::size_t source = 0;
    std::size_t first = 0;  // index of its first facet in the surface
    std::size_t facets = 0;
    std::size_t line = 0;  // a run: the line of its first token
};

struct StitchedRuns {
    std::vector<FacetSpan> spans;  // in file order
    std::size_t facets = 0;        // in all spans
    // The corners of the facets read token by token.
    std::vector<StlVertex32> serial_corners;
    // The message of the token-by-token reading where it stopped; none when
    // it reached the end. The runs' numbers are not checked yet.
    std::optional<std::string> error;
};

// `runs` by block, in file order.
StitchedRuns stitch_runs(std::string_view text, const std::vector<FacetRun>& runs, std::size_t max_vertices);

}  // namespace quorin::mesh::detail
