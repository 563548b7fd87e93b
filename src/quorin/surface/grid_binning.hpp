// Items binned into a uniform 2D grid by the rectangle of cells each one
// covers, on the pool: the grids of the ray columns and of the axis rays.
// Every cell lists the items covering it in ascending item order, whatever
// the number of threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "quorin/memory.hpp"
#include "quorin/parallel.hpp"

namespace quorin::grid_binning {

// The cells [x0, x1] × [y0, y1] of a grid of nx × ny cells, cell c = x + nx·y.
struct CellRect {
    std::uint32_t x0, x1, y0, y1;
};

inline std::uint64_t cells_of(const CellRect& r) {
    return std::uint64_t{r.x1 - r.x0 + 1} * (r.y1 - r.y0 + 1);
}

// Stripes of grid rows, each counted and filled by one job.
inline constexpr std::size_t STRIPES = 64;

// The offsets of the cells' listings (nx·ny + 1 of them; `total` the sum of
// cells_of over the rects, below 2^32) after calling write(position, item)
// for every cell each item covers, positions of a cell ascending with the
// item. Each stripe job reads the items reaching its rows in item order and
// writes only its own rows' cells.
template <class Write>
Buffer<std::uint32_t> bin(const Buffer<CellRect>& rects, std::uint32_t nx, std::uint32_t ny,
                          std::uint64_t total, Write&& write) {
    const std::size_t n = rects.size();
    const std::size_t cells = std::size_t{nx} * ny;
    const std::size_t stripes = std::min<std::size_t>(ny, STRIPES);
    const auto first_row = [&](std::size_t k) { return static_cast<std::uint32_t>(k * ny / stripes); };
    // The items of each stripe, in item order.
    std::vector<std::uint32_t> stripe_of_row(ny);
    for (std::size_t k = 0; k < stripes; ++k)
        std::fill(stripe_of_row.begin() + first_row(k), stripe_of_row.begin() + first_row(k + 1),
                  static_cast<std::uint32_t>(k));
    std::vector<std::size_t> listed(stripes + 1, 0);
    for (const CellRect& r : rects)
        for (std::uint32_t k = stripe_of_row[r.y0]; k <= stripe_of_row[r.y1]; ++k) ++listed[k + 1];
    for (std::size_t k = 0; k < stripes; ++k) listed[k + 1] += listed[k];
    std::vector<std::uint32_t> in_stripe(listed[stripes]);
    {
        std::vector<std::size_t> at(listed.begin(), listed.end() - 1);
        for (std::size_t s = 0; s < n; ++s)
            for (std::uint32_t k = stripe_of_row[rects[s].y0]; k <= stripe_of_row[rects[s].y1]; ++k)
                in_stripe[at[k]++] = static_cast<std::uint32_t>(s);
    }
    const auto each_in_stripe = [&](std::size_t k, auto&& visit) {
        const std::uint32_t lo = first_row(k), hi = first_row(k + 1);
        for (std::size_t e = listed[k]; e != listed[k + 1]; ++e) {
            const std::uint32_t s = in_stripe[e];
            const CellRect& r = rects[s];
            const std::uint32_t y_end = std::min(r.y1 + 1, hi);
            for (std::uint32_t y = std::max(r.y0, lo); y < y_end; ++y)
                for (std::uint32_t x = r.x0; x <= r.x1; ++x) visit(s, x + std::size_t{nx} * y);
        }
    };
    const auto stripe_cells = [&](std::size_t k) {
        return std::pair{std::size_t{first_row(k)} * nx, std::size_t{first_row(k + 1)} * nx};
    };

    // Counts per cell and per stripe.
    Buffer<std::uint32_t> start;
    start.resize(cells + 1);
    std::vector<std::uint64_t> stripe_start(stripes + 1, 0);
    parallel::for_each_index(
        stripes,
        [&](std::size_t k) {
            const auto [c0, c1] = stripe_cells(k);
            std::fill(start.begin() + c0, start.begin() + c1, 0u);
            each_in_stripe(k, [&](std::uint32_t, std::size_t c) { ++start[c]; });
            std::uint64_t sum = 0;
            for (std::size_t c = c0; c != c1; ++c) sum += start[c];
            stripe_start[k + 1] = sum;
        },
        1);
    for (std::size_t k = 0; k < stripes; ++k) stripe_start[k + 1] += stripe_start[k];
    start[cells] = static_cast<std::uint32_t>(total);

    // Counts to offsets; the offsets serve as fill positions and are set
    // back once the stripe is filled.
    parallel::for_each_index(
        stripes,
        [&](std::size_t k) {
            const auto [c0, c1] = stripe_cells(k);
            std::uint32_t at = static_cast<std::uint32_t>(stripe_start[k]);
            for (std::size_t c = c0; c != c1; ++c) {
                const std::uint32_t count = start[c];
                start[c] = at;
                at += count;
            }
            each_in_stripe(k, [&](std::uint32_t s, std::size_t c) { write(start[c]++, s); });
            std::uint32_t back = static_cast<std::uint32_t>(stripe_start[k]);
            for (std::size_t c = c0; c != c1; ++c) {
                const std::uint32_t end = start[c];
                start[c] = back;
                back = end;
            }
        },
        1);
    return start;
}

}  // namespace quorin::grid_binning
