#include "quorin/surface/stl_ascii.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "quorin/parallel.hpp"
#include "quorin/surface/obj_blocks.hpp"
#include "quorin/surface/stl_ascii_blocks.hpp"
#include "quorin/surface/stl_ascii_serial.hpp"
#include "quorin/surface/stl_ascii_stitch.hpp"

namespace quorin::mesh::detail {

namespace {

// Facets of a token-by-token span widened per task of the second pass.
constexpr std::size_t SERIAL_PIECE_FACETS = 16384;

// A task of the second pass: a whole run, or part of a token-by-token span.
struct Piece {
    const FacetSpan* span;
    std::size_t skip;  // facets of the span before the piece
    std::size_t facets;
};

std::vector<Piece> pieces_of(const std::vector<FacetSpan>& spans) {
    std::vector<Piece> pieces;
    for (const FacetSpan& span : spans) {
        const std::size_t step = span.serial ? SERIAL_PIECE_FACETS : span.facets;
        for (std::size_t skip = 0; skip < span.facets; skip += step) {
            pieces.push_back({&span, skip, std::min(step, span.facets - skip)});
        }
    }
    return pieces;
}

// The runs of all blocks, the first pass.
std::vector<FacetRun> scan_runs(std::string_view text, std::size_t block_bytes) {
    const std::vector<std::string_view> blocks = cut_blocks(text, block_bytes);
    // The first line is the name, never facets.
    const std::size_t first_line_end = std::min(text.find('\n'), text.size());
    return parallel::map(
        blocks.size(),
        [&](std::size_t k) {
            const auto begin = static_cast<std::size_t>(blocks[k].data() - text.data());
            return scan_run(text, std::max(begin, first_line_end), begin + blocks[k].size());
        },
        1);
}

// Corners of facets read token by token, widened.
void widen(const StlVertex32* in, std::size_t count, Vec3* out) {
    for (std::size_t c = 0; c < count; ++c) out[c] = {double(in[c][0]), double(in[c][1]), double(in[c][2])};
}

// The message for `token` of the run `span`, which is not a number.
std::string not_a_number(std::string_view text, const FacetSpan& span, std::string_view token) {
    const char* const first = text.data() + span.source;
    const auto line_feeds = static_cast<std::size_t>(std::count(first, token.data(), '\n'));
    return stl_expected_message(span.line + line_feeds, "a number", token);
}

// The second pass: every facet's corners to their final places. The message
// for the first token of a run, in file order, that is not a number; none
// when all are. A run after one that has failed is not read: the serial
// reading never gets there.
std::optional<std::string> write_corners(std::string_view text, const StitchedRuns& stitched, Vec3* corners) {
    const std::vector<Piece> pieces = pieces_of(stitched.spans);
    std::vector<std::optional<std::string_view>> failures(pieces.size());
    std::atomic<std::size_t> first_failed{std::numeric_limits<std::size_t>::max()};
    parallel::for_chunks(pieces.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) {
            const Piece& piece = pieces[i];
            const FacetSpan& span = *piece.span;
            Vec3* out = corners + 3 * (span.first + piece.skip);
            if (span.serial) {
                widen(stitched.serial_corners.data() + 3 * (span.source + piece.skip), 3 * piece.facets, out);
            } else if (i < first_failed.load(std::memory_order_relaxed)) {
                failures[i] = read_run(text, span.source, span.facets, out);
                if (failures[i]) parallel::lower_to(first_failed, i);
            }
        }
    });
    const std::size_t first = first_failed.load();
    if (first == std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return not_a_number(text, *pieces[first].span, *failures[first]);
}

}  // namespace

Buffer<Triangle> own_corner_faces(std::size_t facets) {
    return parallel::map_buffer(
        facets,
        [](std::size_t i) {
            const auto corner = static_cast<std::uint32_t>(3 * i);
            return Triangle{corner, corner + 1, corner + 2};
        },
        16384);
}

Expected<StlSurface> parse_ascii_stl(std::string_view text, std::size_t block_bytes,
                                     std::size_t max_vertices) {
    if (text.size() <= block_bytes) return read_ascii_stl_serial(text, max_vertices);
    StitchedRuns stitched = stitch_runs(text, scan_runs(text, block_bytes), max_vertices);
    StlSurface out;
    out.vertices.resize(3 * stitched.facets);
    // Every run lies before where the token-by-token reading stopped: a bad
    // number in one is the first error.
    if (std::optional<std::string> error = write_corners(text, stitched, out.vertices.data())) {
        return Failure{std::move(*error)};
    }
    if (stitched.error) return Failure{std::move(*stitched.error)};
    std::vector<StlVertex32>().swap(stitched.serial_corners);
    out.faces = own_corner_faces(stitched.facets);
    return out;
}

}  // namespace quorin::mesh::detail
