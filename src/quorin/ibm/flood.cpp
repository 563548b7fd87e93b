#include "quorin/ibm/flood.hpp"

#include <algorithm>
#include <atomic>
#include <bit>

#include "quorin/forest/neighbour.hpp"
#include "quorin/memory.hpp"
#include "quorin/parallel.hpp"

namespace quorin::flood {

namespace {

// Frontier cells per chunk of the parallel fill, and the frontier size
// below which one thread expands it (the pool would only add overhead).
constexpr std::size_t FILL_GRAIN = 256;
constexpr std::size_t FILL_SERIAL_BELOW = 2 * FILL_GRAIN;

// Fill marks: barrier (an intersected cell, never entered) and reached.
constexpr std::uint8_t MARK_BARRIER = 1;
constexpr std::uint8_t MARK_REACHED = 2;

// Calls visit(m) for every face neighbour m of cell `cell`, in any order
// and possibly more than once. Frontier cells near one another in a chunk
// often find their neighbours at the same relative cell id, which `lookup`
// checks before any search.
template <class Visit>
void for_face_neighbours(const Forest& forest, std::uint64_t cell, neighbour::GuessedLookup& lookup,
                         Visit&& visit) {
    for (FaceDir dir = 0; dir < FACE_DIR_COUNT; ++dir) {
        for (const std::uint64_t n : lookup.ids(forest, cell, dir)) visit(n);
    }
}

}  // namespace

std::optional<std::string> flood_fill(const Forest& forest, const Domain& domain,
                                      std::span<CellStatus> status, const Vec3& fluid_seed_point) {
    const std::size_t cells = forest.leaves.size();
    const std::size_t n = std::min(status.size(), cells);
    const auto at = [&](std::uint64_t i) -> CellStatus& {
        if (i >= status.size()) index_out_of_bounds(i, status.size());
        return status[i];
    };

    const auto seed = forest.locate_point(domain, fluid_seed_point);
    if (!seed) return std::string(SEED_OUTSIDE_MESSAGE);
    if (at(*seed) == STATUS_INTERSECTED) return std::string(SEED_ON_WALL_MESSAGE);

    // Intersected cells are barriers, never entered. The marks are written
    // (and their pages first touched) by the pool.
    Buffer<std::uint8_t> mark(cells);
    std::uint8_t* marks = mark.data();
    parallel::for_chunks(cells, parallel::COPY_GRAIN<std::uint8_t>, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i)
            marks[i] = i < n && status[i] == STATUS_INTERSECTED ? MARK_BARRIER : 0;
    });

    // The cells reachable from the seed through faces form one set whatever
    // the order of the search, so the fill goes breadth first, frontier by
    // frontier, each expanded in parallel: a cell joins the next frontier
    // through the one worker that claims its mark.
    const auto claim = [&](std::uint64_t m) {
        std::atomic_ref<std::uint8_t> slot(marks[m]);
        if (slot.load(std::memory_order_relaxed) != 0) return false;
        if (slot.exchange(MARK_REACHED, std::memory_order_relaxed) != 0) return false;
        if (m >= status.size()) index_out_of_bounds(m, status.size());
        return true;
    };
    Buffer<std::uint64_t> frontier{*seed};
    marks[*seed] = MARK_REACHED;
    std::vector<std::vector<std::uint64_t>> parts;
    while (!frontier.empty()) {
        if (frontier.size() < FILL_SERIAL_BELOW) {
            Buffer<std::uint64_t> next;
            neighbour::GuessedLookup lookup;
            for (const std::uint64_t c : frontier) {
                for_face_neighbours(forest, c, lookup, [&](std::uint64_t m) {
                    if (claim(m)) next.push_back(m);
                });
            }
            frontier.swap(next);
            continue;
        }
        const std::size_t chunks = (frontier.size() + FILL_GRAIN - 1) / FILL_GRAIN;
        parts.resize(chunks);
        parallel::for_chunks(frontier.size(), FILL_GRAIN, [&](std::size_t b, std::size_t e) {
            std::vector<std::uint64_t>& sink = parts[b / FILL_GRAIN];
            sink.clear();
            neighbour::GuessedLookup lookup;
            for (std::size_t k = b; k != e; ++k) {
                for_face_neighbours(forest, frontier[k], lookup, [&](std::uint64_t m) {
                    if (claim(m)) sink.push_back(m);
                });
            }
        });
        frontier = parallel::concat<Buffer<std::uint64_t>>(parts);
    }

    parallel::for_chunks(n, parallel::COPY_GRAIN<std::uint8_t>, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) {
            if (marks[i] == MARK_REACHED) {
                status[i] = STATUS_FLUID;
            } else if (status[i] != STATUS_INTERSECTED) {
                status[i] = STATUS_DEFAULT;
            }
        }
    });
    return std::nullopt;
}

}  // namespace quorin::flood
