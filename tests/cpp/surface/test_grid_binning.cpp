// Grid binning against a plain serial counting sort: every cell lists the
// items covering it in item order, on any grid shape and thread count.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "quorin/parallel.hpp"
#include "quorin/surface/grid_binning.hpp"

namespace quorin {
namespace {

using grid_binning::CellRect;

struct Binned {
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> items;
};

Binned reference(const Buffer<CellRect>& rects, std::uint32_t nx, std::uint32_t ny) {
    std::vector<std::vector<std::uint32_t>> per_cell(std::size_t{nx} * ny);
    for (std::uint32_t s = 0; s < rects.size(); ++s)
        for (std::uint32_t y = rects[s].y0; y <= rects[s].y1; ++y)
            for (std::uint32_t x = rects[s].x0; x <= rects[s].x1; ++x) per_cell[x + std::size_t{nx} * y].push_back(s);
    Binned b;
    b.start.push_back(0);
    for (const auto& c : per_cell) {
        b.items.insert(b.items.end(), c.begin(), c.end());
        b.start.push_back(static_cast<std::uint32_t>(b.items.size()));
    }
    return b;
}

Binned binned(const Buffer<CellRect>& rects, std::uint32_t nx, std::uint32_t ny) {
    std::uint64_t total = 0;
    for (const CellRect& r : rects) total += grid_binning::cells_of(r);
    Binned b;
    b.items.assign(total, ~0u);
    const Buffer<std::uint32_t> start =
        grid_binning::bin(rects, nx, ny, total, [&](std::uint32_t at, std::uint32_t s) { b.items[at] = s; });
    b.start.assign(start.begin(), start.end());
    return b;
}

TEST(GridBinning, MatchesSerialCountingSortOnAnyGridAndThreadCount) {
    struct Grid {
        std::uint32_t nx, ny, items, max_side;
    };
    // Fewer rows than stripes, exactly as many, many more, a single row or
    // column, rectangles spanning the whole grid, and no items at all.
    const Grid grids[] = {{7, 5, 300, 3}, {9, 64, 500, 5}, {40, 301, 4000, 12}, {1, 1, 20, 1},
                          {200, 1, 300, 30}, {1, 150, 300, 40}, {13, 90, 50, 90}, {5, 5, 0, 1}};
    std::mt19937 rng(11);
    for (const Grid& g : grids) {
        Buffer<CellRect> rects;
        for (std::uint32_t k = 0; k < g.items; ++k) {
            std::uniform_int_distribution<std::uint32_t> x0(0, g.nx - 1), y0(0, g.ny - 1), side(0, g.max_side);
            const std::uint32_t x = x0(rng), y = y0(rng);
            rects.push_back({x, std::min(g.nx - 1, x + side(rng)), y, std::min(g.ny - 1, y + side(rng))});
        }
        const Binned want = reference(rects, g.nx, g.ny);
        for (const std::size_t threads : {1, 3, 8}) {
            const Binned got = parallel::with_threads(threads, [&] { return binned(rects, g.nx, g.ny); });
            EXPECT_EQ(got.start, want.start) << g.nx << "x" << g.ny << " on " << threads;
            EXPECT_EQ(got.items, want.items) << g.nx << "x" << g.ny << " on " << threads;
        }
    }
}

}  // namespace
}  // namespace quorin
