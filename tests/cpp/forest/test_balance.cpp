#include <random>

#include <gtest/gtest.h>

#include "forest_checks.hpp"
#include "quorin/forest/balance.hpp"

namespace quorin {
namespace {

using testing::flag_and_refine_balance;
using testing::forest_invariants;

// Refines the leaf holding (x, y, z) of `tree` until it reaches `level`.
void refine_towards(Forest& f, std::uint32_t tree, std::uint32_t x, std::uint32_t y,
                    std::uint32_t z, unsigned level) {
    while (f.locate_leaf(tree, x, y, z)->level() < level) {
        std::vector<std::uint8_t> flags(f.num_cells(), 0);
        flags[*f.locate_leaf_index(tree, x, y, z)] = 1;
        f.refine_by_flags(flags);
    }
}

struct Example {
    const char* name;
    std::array<std::uint32_t, 3> grid;
    std::uint32_t tree;
    unsigned level;
    std::size_t leaves;
    int scans;
};

TEST(Balance, ExamplesMatchTheFlagAndRefinePasses) {
    const Example examples[] = {
        {"level 2 beside a root", {2, 1, 1}, 1, 2, 23, 2},
        {"edge neighbour across trees", {2, 2, 1}, 3, 2, 39, 2},
        {"level 3 corner", {2, 1, 1}, 1, 3, 37, 3},
    };
    for (const Example& e : examples) {
        Forest fast(e.grid[0], e.grid[1], e.grid[2]);
        refine_towards(fast, e.tree, 0, 0, 0, e.level);
        Forest slow = fast;
        fast.enforce_2_to_1_balance();
        EXPECT_EQ(flag_and_refine_balance(slow), e.scans) << e.name;
        EXPECT_EQ(fast.num_cells(), e.leaves) << e.name;
        EXPECT_EQ(fast.leaves, slow.leaves) << e.name;
        EXPECT_TRUE(forest_invariants(fast)) << e.name;
    }
}

TEST(Balance, ExampleDetails) {
    // Grid (2, 1, 1): tree 0 ends with leaves of levels 1 and 2 only.
    Forest f(2, 1, 1);
    refine_towards(f, 1, 0, 0, 0, 3);
    f.enforce_2_to_1_balance();
    for (const SfcKey k : f.leaves) {
        if (k.tree() == 0) {
            EXPECT_TRUE(k.level() == 1 || k.level() == 2);
        }
    }
    // Grid (2, 2, 1): tree 0 touches tree 3 only along an edge and is split.
    Forest g(2, 2, 1);
    refine_towards(g, 3, 0, 0, 0, 2);
    g.enforce_2_to_1_balance();
    for (std::uint32_t t = 0; t < 3; ++t) EXPECT_FALSE(g.leaf_index(SfcKey::root(t)).has_value());
}

TEST(Balance, CornerOnlyContactIsBalanced) {
    // Tree 0 of a 2x2x2 grid touches tree 7 at one corner only.
    Forest f(2, 2, 2);
    refine_towards(f, 7, 0, 0, 0, 3);
    Forest slow = f;
    f.enforce_2_to_1_balance();
    flag_and_refine_balance(slow);
    EXPECT_EQ(f.leaves, slow.leaves);
    EXPECT_FALSE(f.leaf_index(SfcKey::root(0)).has_value());
}

TEST(Balance, NothingToDo) {
    for (Forest f : {Forest(0, 4, 4), Forest(3, 2, 2)}) {
        const auto before = f.leaves;
        f.enforce_2_to_1_balance();
        EXPECT_EQ(f.leaves, before);
    }
    Forest uniform(2, 1, 2);
    for (int i = 0; i < 3; ++i) uniform.refine_by_flags(testing::all_flags(uniform));
    const auto before = uniform.leaves;
    uniform.enforce_2_to_1_balance();
    EXPECT_EQ(uniform.leaves, before);
    EXPECT_EQ(flag_and_refine_balance(uniform), 1);
}

TEST(Balance, CoarseNeighboursOfLeaf) {
    // Grid (2, 1, 1), level-2 leaves in tree 1 beside the root of tree 0:
    // the level-2 leaf at tree 1's origin probes the root across -x (face),
    // its -x edges and corners: every hit is cell 0, repeats kept.
    Forest f(2, 1, 1);
    refine_towards(f, 1, 0, 0, 0, 2);
    const std::uint64_t corner = *f.locate_leaf_index(1, 0, 0, 0);
    const auto hits = balance::coarse_neighbours_of_leaf(f, corner);
    // Offsets with dx = -1 whose y and z stay inside the grid: y, z in {s/2, s}.
    EXPECT_EQ(hits, (std::vector<std::uint64_t>{0, 0, 0, 0}));
    EXPECT_TRUE(balance::coarse_neighbours_of_leaf(f, 0).empty());  // level 0
    EXPECT_THROW(balance::coarse_neighbours_of_leaf(f, f.num_cells()), InternalError);

    const auto offsets = balance::balance_probe_offsets(2);
    const std::int64_t s = std::int64_t{1} << 30;
    EXPECT_EQ(offsets[0], (Probe{-1, -1, -1}));
    EXPECT_EQ(offsets[12], (Probe{s / 2, s / 2, -1}));
    EXPECT_EQ(offsets[13], (Probe{s / 2, s / 2, s}));  // the centre is skipped
    EXPECT_EQ(offsets[25], (Probe{s, s, s}));
    EXPECT_EQ(balance::balance_probe_offsets(32)[25], (Probe{1, 1, 1}));
    EXPECT_EQ(balance::balance_probe_offsets(32)[12], (Probe{0, 0, -1}));
}

TEST(Balance, RandomForestsMatchFlagAndRefine) {
    std::mt19937_64 rng(1234);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint32_t nx = 1 + trial % 3, ny = 1 + (trial / 3) % 2, nz = 1 + (trial / 6) % 2;
        const unsigned max_level = 3 + trial % 5;
        Forest fast = testing::random_forest(rng, nx, ny, nz, 4 + trial % 5, max_level,
                                             trial % 2 ? 0.15 : 0.35);
        Forest slow = fast;
        fast.enforce_2_to_1_balance();
        flag_and_refine_balance(slow);
        ASSERT_EQ(fast.leaves, slow.leaves) << "trial " << trial;
        ASSERT_TRUE(forest_invariants(fast)) << "trial " << trial;
        // Balancing again changes nothing.
        Forest again = fast;
        again.enforce_2_to_1_balance();
        ASSERT_EQ(again.leaves, fast.leaves);
    }
}

TEST(Balance, DeepSparseRefinementMatches) {
    // A single path to level 12 in one corner of a 3x1x2 grid, plus another
    // path into a neighbouring tree's far corner.
    Forest fast(3, 1, 2);
    refine_towards(fast, 1, 0, 0, 0, 12);
    refine_towards(fast, 4, 0xFFFFFFFFu, 0xFFFFFFFFu, 0, 9);
    Forest slow = fast;
    fast.enforce_2_to_1_balance();
    flag_and_refine_balance(slow);
    EXPECT_EQ(fast.leaves, slow.leaves);
}

TEST(Balance, SameResultForAnyThreadCount) {
    std::mt19937_64 rng(77);
    const Forest start = testing::random_forest(rng, 4, 4, 2, 6, 7, 0.25);
    auto balanced_with = [&](std::size_t threads) {
        return parallel::with_threads(threads, [&] {
            Forest f = start;
            f.enforce_2_to_1_balance();
            return f.leaves;
        });
    };
    const auto one = balanced_with(1);
    EXPECT_EQ(balanced_with(8), one);
    EXPECT_EQ(balanced_with(3), one);
    Forest slow = start;
    parallel::with_threads(8, [&] { flag_and_refine_balance(slow); });
    EXPECT_EQ(slow.leaves, one);
}

}  // namespace
}  // namespace quorin
