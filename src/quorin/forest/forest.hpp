// The forest of octrees: every leaf of every root cell of the base grid, held
// as one vector of keys in ascending order. A cell is named by its position in
// that vector (its cell id); refinement, coarsening and balance renumber cells.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "quorin/forest/key.hpp"
#include "quorin/memory.hpp"

namespace quorin {

using KeyVector = Buffer<SfcKey>;

class Domain;

// Why a base grid cannot be used, or none: more than 2^26 root cells would
// overflow the tree index of the keys.
std::optional<std::string> base_grid_error(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz);

// The unwritten leaf vector of a refined forest of `count` cells, the finest
// of them at `level`. When the memory cannot be had it throws OutOfMemory
// naming both, before anything is touched.
KeyVector allocate_refined_leaves(std::size_t count, unsigned level);

// Cell-id search helpers over a sorted key array: the number of keys not
// above `p` (an upper bound), plain and galloping outward from `hint`.
// Inline: the per-cell loops of the exports and the flood fill call them
// several times per cell.
inline std::size_t count_not_above(const SfcKey* keys, std::size_t n, SfcKey p) {
    if (n == 0) return 0;
    const SfcKey* base = keys;
    while (n > 1) {
        const std::size_t half = n / 2;
        // A mask instead of a branch: the comparison goes either way at
        // random, and a mispredicted branch costs more than the step.
        const auto le = static_cast<std::size_t>(base[half].value <= p.value);
        base += half & (std::size_t{0} - le);
        n -= half;
    }
    return static_cast<std::size_t>(base - keys) + (*base <= p ? 1 : 0);
}

inline std::size_t count_not_above_near(const SfcKey* keys, std::size_t n, SfcKey p,
                                        std::size_t hint) {
    if (n == 0) return 0;
    if (hint >= n) hint = n - 1;
    if (keys[hint] <= p) {
        // keys[lo - 1] <= p throughout; widen the step until a key above p.
        std::size_t lo = hint + 1;
        std::size_t step = 1;
        while (lo + step - 1 < n && keys[lo + step - 1] <= p) {
            lo += step;
            step <<= 1;
        }
        const std::size_t hi = std::min(lo + step - 1, n);
        return lo + count_not_above(keys + lo, hi - lo, p);
    }
    // keys[hi] > p throughout.
    std::size_t hi = hint;
    std::size_t step = 1;
    while (hi >= step && keys[hi - step] > p) {
        hi -= step;
        step <<= 1;
    }
    const std::size_t lo = hi >= step ? hi - step + 1 : 0;
    return lo + count_not_above(keys + lo, hi - lo, p);
}

// Every LEAF_SAMPLE_STRIDE-th key of a sorted key array: a searched key is
// first placed among the samples, which fit in cache where the keys do not,
// and then among the few keys between two samples. `base` and `count` name
// the array sampled.
inline constexpr std::size_t LEAF_SAMPLE_STRIDE = 32;

struct LeafSamples {
    const SfcKey* base = nullptr;
    std::size_t count = 0;
    Buffer<SfcKey> keys;  // keys[i] = base[i * LEAF_SAMPLE_STRIDE], written by the pool
};

// count_not_above_near through the samples of `keys`; the same answer.
inline std::size_t count_not_above_sampled(const SfcKey* keys, std::size_t n, const LeafSamples& samples,
                                           SfcKey p, std::size_t hint) {
    const std::size_t s =
        count_not_above_near(samples.keys.data(), samples.keys.size(), p, hint / LEAF_SAMPLE_STRIDE);
    if (s == 0) return 0;
    // keys[lo] <= p, and keys[hi] > p unless hi is the end.
    const std::size_t lo = (s - 1) * LEAF_SAMPLE_STRIDE;
    const std::size_t hi = std::min(n, s * LEAF_SAMPLE_STRIDE);
    // The binary search below reads one key per step, each load waiting for
    // the one before; fetching the whole block at once overlaps the misses.
    for (std::size_t i = lo; i < hi; i += 64 / sizeof(SfcKey)) __builtin_prefetch(keys + i);
    return lo + count_not_above(keys + lo, hi - lo, p);
}

// (i, j, k) of a tree index in a base grid nx x ny (k is not reduced mod nz).
// Inline, with two divisions: the face look-ups and the cell geometry call
// it for every cell on a tree's side. (floor(floor(t / nx) / ny) is
// t / (nx ny) while nx ny does not wrap, as in every grid that has trees.)
inline std::array<std::uint32_t, 3> tree_coords(std::uint32_t tree, std::uint32_t nx, std::uint32_t ny) {
    const std::uint32_t nxy = nx * ny;
    if (nx == 0 || ny == 0 || nxy == 0) remainder_by_zero();
    const std::uint32_t row = tree / nx;  // j + ny * k
    const std::uint32_t k = row / ny;
    return {tree - row * nx, row - k * ny, k};
}

struct Forest {
    KeyVector leaves;
    std::uint32_t nx = 0;
    std::uint32_t ny = 0;
    std::uint32_t nz = 0;

    // The base grid of root cells; none when an axis is 0. A grid of more than
    // 2^26 root cells cannot be keyed and stops with an internal error.
    Forest(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz);

    std::uint64_t num_cells() const { return leaves.size(); }

    // Samples the leaves for faster searches (see LeafSamples): for a forest
    // that many searches will read before it changes. The methods below that
    // change the leaves drop the samples; code that writes `leaves` directly
    // must not sample before it.
    void sample_leaves();
    // The number of leaves not above `p`, searching outward from cell id
    // `hint` (through the samples when they are those of the leaves).
    std::size_t count_not_above(SfcKey p, std::size_t hint) const {
        const SfcKey* keys = leaves.data();
        if (samples && samples->base == keys && samples->count == leaves.size())
            return count_not_above_sampled(keys, leaves.size(), *samples, p, hint);
        return count_not_above_near(keys, leaves.size(), p, hint);
    }
    // The same without a hint: a binary search.
    std::size_t count_not_above(SfcKey p) const {
        const SfcKey* keys = leaves.data();
        if (!samples || samples->base != keys || samples->count != leaves.size())
            return quorin::count_not_above(keys, leaves.size(), p);
        const std::size_t s = quorin::count_not_above(samples->keys.data(), samples->keys.size(), p);
        if (s == 0) return 0;
        const std::size_t lo = (s - 1) * LEAF_SAMPLE_STRIDE;
        const std::size_t hi = std::min(leaves.size(), s * LEAF_SAMPLE_STRIDE);
        return lo + quorin::count_not_above(keys + lo, hi - lo, p);
    }
    std::uint64_t num_trees() const { return std::uint64_t{nx} * ny * nz; }

    // The leaf of `tree` that holds the integer position (x, y, z).
    std::optional<SfcKey> locate_leaf(std::uint32_t tree, std::uint32_t x, std::uint32_t y,
                                      std::uint32_t z) const;
    // The same search, giving the leaf's cell id.
    std::optional<std::uint64_t> locate_leaf_index(std::uint32_t tree, std::uint32_t x,
                                                   std::uint32_t y, std::uint32_t z) const;
    // As locate_leaf_index, searching outward from cell id `hint` first: cheap
    // when the answer lies near the hint, as face neighbours usually do.
    std::optional<std::uint64_t> locate_leaf_index_near(std::uint32_t tree, std::uint32_t x,
                                                        std::uint32_t y, std::uint32_t z,
                                                        std::uint64_t hint) const;

    // Cell id of a key that is a leaf.
    std::optional<std::uint64_t> leaf_index(SfcKey key) const;

    // One flag per cell (non-zero = refine / merge); the wrong count stops
    // with an internal error before anything changes. A refinement whose new
    // leaves cannot be allocated throws OutOfMemory, the forest unchanged.
    void refine_by_flags(std::span<const std::uint8_t> flags);
    void coarsen_by_flags(std::span<const std::uint8_t> flags);

    // Refines until no two touching leaves differ by more than one level.
    void enforce_2_to_1_balance();

    // The cell holding a physical point of `domain`, if any.
    std::optional<std::uint64_t> locate_point(const Domain& domain,
                                              const std::array<double, 3>& p) const;
    // The same, searching outward from cell id `hint` first: cheap for points
    // near that cell.
    std::optional<std::uint64_t> locate_point_near(const Domain& domain, const std::array<double, 3>& p,
                                                   std::uint64_t hint) const;
    // The cells holding the eight corners centre ± offset (x sign fastest,
    // minus before plus; corner coordinates rounded as centre[a] - offset[a]
    // and centre[a] + offset[a]), each as locate_point_near(domain, corner,
    // hint) gives it, NO_CELL for none. Each corner coordinate is converted
    // once, and a corner in the hint's cell or in a cell found for an earlier
    // corner is answered without a search.
    static constexpr std::uint64_t NO_CELL = ~std::uint64_t{0};
    std::array<std::uint64_t, 8> locate_corners_near(const Domain& domain,
                                                     const std::array<double, 3>& centre,
                                                     const std::array<double, 3>& offset,
                                                     std::uint64_t hint) const;

    std::shared_ptr<const LeafSamples> samples;  // none, or those of sample_leaves()
};

}  // namespace quorin
