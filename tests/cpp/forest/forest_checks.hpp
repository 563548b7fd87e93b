// Shared helpers of the forest tests: invariant checks, the flag-and-refine
// balance used as the reference, and random forests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "quorin/forest/balance.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/parallel.hpp"

namespace quorin::testing {

// Strictly ascending, well-formed keys of existing trees that tile every root
// cell exactly once.
inline ::testing::AssertionResult forest_invariants(const Forest& f) {
    const auto& leaves = f.leaves;
    const std::uint64_t trees = f.num_trees();
    std::vector<u128> volume(trees, 0);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const SfcKey k = leaves[i];
        const unsigned l = k.level();
        if (l > MAX_LEVEL) return ::testing::AssertionFailure() << "bad level at " << i;
        if (k.tree() >= trees) return ::testing::AssertionFailure() << "bad tree at " << i;
        const u128 below = (u128(1) << (6 + 3 * (MAX_LEVEL - l))) - 1;
        if (((k.value & below) >> 6) != 0) return ::testing::AssertionFailure() << "stray digits at " << i;
        if (i > 0) {
            if (!(leaves[i - 1] < k)) return ::testing::AssertionFailure() << "not ascending at " << i;
            if (leaves[i - 1].contains(k)) return ::testing::AssertionFailure() << "nested at " << i;
        }
        volume[k.tree()] += u128(1) << (3 * (MAX_LEVEL - l));
    }
    for (std::uint64_t t = 0; t < trees; ++t) {
        if (volume[t] != u128(1) << 96) return ::testing::AssertionFailure() << "tree " << t << " not tiled";
    }
    return ::testing::AssertionSuccess();
}

// The balance as repeated passes: flag every leaf that some probe finds two
// or more levels coarser, refine, until a scan finds nothing. Returns the
// number of scans.
inline int flag_and_refine_balance(Forest& f) {
    int scans = 0;
    for (;;) {
        ++scans;
        const std::size_t n = f.leaves.size();
        const auto lists = parallel::map(n, [&](std::size_t i) {
            return balance::coarse_neighbours_of_leaf(f, i);
        });
        std::vector<std::uint8_t> flags(n, 0);
        bool any = false;
        for (const auto& list : lists) {
            for (const std::uint64_t j : list) {
                if (flags.at(j) == 0) {
                    flags[j] = 1;
                    any = true;
                }
            }
        }
        if (!any) return scans;
        f.refine_by_flags(flags);
    }
}

inline std::vector<std::uint8_t> all_flags(const Forest& f, std::uint8_t v = 1) {
    return std::vector<std::uint8_t>(f.num_cells(), v);
}

// Refines a random fraction of the leaves `rounds` times (capped at max_level)
// and coarsens a random fraction now and then: typically unbalanced.
inline Forest random_forest(std::mt19937_64& rng, std::uint32_t nx, std::uint32_t ny,
                            std::uint32_t nz, int rounds, unsigned max_level, double p_refine) {
    Forest f(nx, ny, nz);
    std::bernoulli_distribution refine(p_refine), coarsen(0.5), do_coarsen(0.3);
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::uint8_t> flags(f.num_cells());
        for (std::size_t i = 0; i < flags.size(); ++i)
            flags[i] = refine(rng) && f.leaves[i].level() < max_level;
        f.refine_by_flags(flags);
        if (do_coarsen(rng)) {
            std::vector<std::uint8_t> c(f.num_cells());
            for (auto& v : c) v = coarsen(rng);
            f.coarsen_by_flags(c);
        }
    }
    return f;
}

}  // namespace quorin::testing
