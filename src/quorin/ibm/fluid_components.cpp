#include "quorin/ibm/fluid_components.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "quorin/parallel.hpp"

namespace quorin::flood {

namespace {

// Cells per chunk of the passes over every cell: a few bytes each.
constexpr std::size_t CELL_GRAIN = 16384;

std::uint32_t load(std::uint32_t& slot) {
    return std::atomic_ref<std::uint32_t>(slot).load(std::memory_order_relaxed);
}

}  // namespace

CellUnion::CellUnion(std::size_t cells) {
    if (cells > MAX_CELLS) internal_error("Too many cells for a union of cell ids: " + std::to_string(cells));
    parent_ = Buffer<std::uint32_t>(cells);
    std::uint32_t* parent = parent_.data();
    parallel::for_each_index(
        cells, [&](std::size_t i) { parent[i] = static_cast<std::uint32_t>(i); }, CELL_GRAIN);
}

std::uint32_t CellUnion::root(std::uint64_t a) {
    std::uint32_t x = static_cast<std::uint32_t>(a);
    for (;;) {
        const std::uint32_t p = load(parent_[x]);
        if (p == x) return x;
        const std::uint32_t g = load(parent_[p]);
        if (g != p) {
            // Path halving: x skips to its grandparent, still one of its
            // ancestors whatever other threads did meanwhile.
            std::uint32_t expected = p;
            std::atomic_ref<std::uint32_t>(parent_[x]).compare_exchange_weak(expected, g, std::memory_order_relaxed);
        }
        x = g;
    }
}

void CellUnion::join(std::uint64_t a, std::uint64_t b) {
    std::uint32_t ra = root(a);
    std::uint32_t rb = root(b);
    while (ra != rb) {
        // The larger root goes under the smaller, only while it is a root.
        if (ra > rb) std::swap(ra, rb);
        std::uint32_t expected = rb;
        if (std::atomic_ref<std::uint32_t>(parent_[rb])
                .compare_exchange_strong(expected, ra, std::memory_order_relaxed))
            return;
        ra = root(ra);
        rb = root(rb);
    }
}

Expected<std::uint64_t> seed_cell(const Forest& forest, const Domain& domain,
                                  std::span<const CellStatus> status, const Vec3& fluid_seed_point) {
    const auto seed = forest.locate_point(domain, fluid_seed_point);
    if (!seed) return Failure{SEED_OUTSIDE_MESSAGE};
    if (*seed >= status.size()) index_out_of_bounds(*seed, status.size());
    if (status[*seed] == STATUS_INTERSECTED) return Failure{SEED_ON_WALL_MESSAGE};
    return *seed;
}

void fill_from_components(std::span<CellStatus> status, CellUnion& joined, std::uint64_t seed) {
    if (status.size() != joined.size()) assert_eq_failed("One status per joined cell", joined.size(), status.size());
    const std::uint32_t fluid = joined.root(seed);
    CellStatus* out = status.data();
    parallel::for_each_index(
        status.size(),
        [&](std::size_t i) {
            if (out[i] == STATUS_INTERSECTED) return;
            out[i] = joined.root(i) == fluid ? STATUS_FLUID : STATUS_DEFAULT;
        },
        CELL_GRAIN);
}

}  // namespace quorin::flood
