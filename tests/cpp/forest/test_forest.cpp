#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "forest_checks.hpp"
#include "quorin/forest/forest.hpp"

namespace quorin {
namespace {

using testing::all_flags;
using testing::forest_invariants;

// tree_coords inverts i + nx (j + ny k) on grids thin and wide, up to the
// 2^26 root cells of the tree index, and leaves k unreduced past nz.
TEST(Forest, TreeCoordsInvertTheTreeIndex) {
    const std::array<std::uint32_t, 3> grids[] = {
        {1, 1, 7}, {7, 1, 1}, {1, 7, 1}, {16, 16, 13}, {3, 5, 2}, {8192, 8192, 1}, {1, 65536, 1024}};
    for (const auto& g : grids) {
        const std::uint64_t stride[3] = {1, g[0], std::uint64_t{g[0]} * g[1]};
        for (const std::uint32_t k : {0u, g[2] - 1, g[2] + 3}) {
            for (const std::uint32_t j : {0u, g[1] / 2, g[1] - 1}) {
                for (const std::uint32_t i : {0u, g[0] / 3, g[0] - 1}) {
                    const std::uint64_t tree = i * stride[0] + j * stride[1] + k * stride[2];
                    if (tree >= MAX_TREES) continue;
                    EXPECT_EQ(tree_coords(static_cast<std::uint32_t>(tree), g[0], g[1]),
                              (std::array<std::uint32_t, 3>{i, j, k}))
                        << g[0] << "x" << g[1] << " tree " << tree;
                }
            }
        }
    }
}

TEST(Forest, BaseGridCreation) {
    const Forest f(2, 3, 4);
    ASSERT_EQ(f.num_cells(), 24u);
    for (std::uint32_t t = 0; t < 24; ++t) EXPECT_EQ(f.leaves[t], SfcKey::root(t));
    EXPECT_EQ(tree_coords(f.leaves[5].tree(), 2, 3), (std::array<std::uint32_t, 3>{1, 2, 0}));
    EXPECT_EQ(tree_coords(23, 2, 3), (std::array<std::uint32_t, 3>{1, 2, 3}));
    EXPECT_TRUE(forest_invariants(f));

    for (const auto& grid : {std::array<std::uint32_t, 3>{0, 3, 4}, {2, 0, 4}, {2, 3, 0}}) {
        const Forest empty(grid[0], grid[1], grid[2]);
        EXPECT_EQ(empty.num_cells(), 0u);
        EXPECT_FALSE(empty.locate_leaf(0, 0, 0, 0).has_value());
        EXPECT_FALSE(empty.leaf_index(SfcKey::root(0)).has_value());
    }
}

TEST(Forest, RefusesMoreTreesThanTheKeyHolds) {
    EXPECT_FALSE(base_grid_error(1 << 13, 1 << 13, 1).has_value());  // exactly 2^26
    EXPECT_NO_THROW(base_grid_error(1u << 31, 1u << 31, 1u << 31));
    for (const auto& grid : {std::array<std::uint32_t, 3>{(1 << 13) + 1, 1 << 13, 1},
                             {4294967295u, 4294967295u, 4294967295u},
                             {65536, 65536, 1}}) {  // u32 product would wrap to 0
        EXPECT_THROW(Forest(grid[0], grid[1], grid[2]), InternalError);
        ASSERT_TRUE(base_grid_error(grid[0], grid[1], grid[2]).has_value());
    }
    EXPECT_NE(base_grid_error(65536, 65536, 1)->find("4294967296"), std::string::npos);
    EXPECT_NE(base_grid_error(65536, 65536, 1)->find("67108864"), std::string::npos);
    // The count is the full product, past 2^64 too.
    EXPECT_EQ(*base_grid_error(1u << 22, 1u << 21, 1u << 21),
              "Base grid 4194304 x 2097152 x 2097152 has 18446744073709551616 root cells; "
              "at most 67108864 (2^26) are supported");
    EXPECT_NE(base_grid_error(4294967295u, 4294967295u, 4294967295u)
                  ->find(" has 79228162458924105385300197375 root cells;"),
              std::string::npos);
}

TEST(Forest, RefinedLeavesThatCannotBeHadNameLevelAndCount) {
    // 2^58 keys of 16 bytes exceed any address space; SIZE_MAX keys exceed max_size().
    for (const std::size_t count : {std::size_t{1} << 58, SIZE_MAX}) {
        try {
            allocate_refined_leaves(count, 9);
            FAIL() << "allocated " << count;
        } catch (const std::bad_alloc& e) {
            EXPECT_NE(dynamic_cast<const OutOfMemory*>(&e), nullptr);
            EXPECT_EQ(std::string(e.what()), "Out of memory refining to level 9: " +
                                                 std::to_string(count) + " cells were being made");
        }
    }
    EXPECT_EQ(allocate_refined_leaves(5, 1).size(), 5u);
}

TEST(Forest, TreeCoordsWithZeroDivisorStops) {
    EXPECT_THROW(tree_coords(0, 0, 1), InternalError);
    EXPECT_THROW(tree_coords(0, 1, 0), InternalError);
    EXPECT_THROW(tree_coords(0, 65536, 65536), InternalError);  // product wraps to 0
}

TEST(Forest, LocateLeaf) {
    Forest one(1, 1, 1);
    EXPECT_EQ(one.locate_leaf(0, 0, 0, 0), SfcKey::root(0));
    EXPECT_EQ(one.locate_leaf(0, 0xFFFFFFFFu, 7, 0x80000000u), SfcKey::root(0));
    EXPECT_FALSE(one.locate_leaf(1, 0, 0, 0).has_value());

    // Drive one corner down to level 32 and find exactly that leaf.
    Forest f(2, 1, 1);
    for (int l = 0; l < 32; ++l) {
        std::vector<std::uint8_t> flags(f.num_cells(), 0);
        flags[*f.leaf_index(*f.locate_leaf(1, 5, 9, 3))] = 1;
        f.refine_by_flags(flags);
    }
    const SfcKey finest = SfcKey::encode(1, 5, 9, 3);
    EXPECT_EQ(f.locate_leaf(1, 5, 9, 3), finest);
    EXPECT_EQ(f.leaves[*f.locate_leaf_index(1, 5, 9, 3)], finest);
    EXPECT_EQ(f.locate_leaf(1, 4, 9, 3)->level(), 32);
    EXPECT_EQ(f.locate_leaf(0, 5, 9, 3), SfcKey::root(0));
    EXPECT_TRUE(forest_invariants(f));

    // The galloping search agrees with the plain one from any hint.
    for (std::uint64_t hint : {std::uint64_t{0}, std::uint64_t{100}, f.num_cells() - 1, f.num_cells() + 5}) {
        for (std::uint32_t x : {0u, 4u, 5u, 6u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            EXPECT_EQ(f.locate_leaf_index_near(1, x, 9, 3, hint), f.locate_leaf_index(1, x, 9, 3));
        }
    }
}

TEST(Forest, LeafIndex) {
    Forest f(2, 1, 1);
    f.refine_by_flags(std::vector<std::uint8_t>{0, 1});
    EXPECT_EQ(f.leaf_index(SfcKey::root(0)), 0u);
    EXPECT_EQ(f.leaf_index(SfcKey::root(1).child(3)), 4u);
    EXPECT_FALSE(f.leaf_index(SfcKey::root(1)).has_value());
    EXPECT_FALSE(f.leaf_index(SfcKey::root(0).child(0)).has_value());
}

TEST(Forest, RefineByFlags) {
    Forest f(2, 1, 1);
    f.refine_by_flags(all_flags(f));
    ASSERT_EQ(f.num_cells(), 16u);
    for (unsigned t = 0; t < 2; ++t)
        for (unsigned d = 0; d < 8; ++d) EXPECT_EQ(f.leaves[8 * t + d], SfcKey::root(t).child(d));
    EXPECT_TRUE(forest_invariants(f));

    // A flagged level-32 leaf stays as it is, silently.
    Forest deep(1, 1, 1);
    deep.leaves[0] = SfcKey::root(0);
    for (int l = 0; l < 32; ++l) {
        std::vector<std::uint8_t> flags(deep.num_cells(), 0);
        flags[0] = 1;
        deep.refine_by_flags(flags);
    }
    const auto before = deep.leaves;
    ASSERT_EQ(before[0].level(), 32);
    std::vector<std::uint8_t> flags(deep.num_cells(), 0);
    flags[0] = 1;
    deep.refine_by_flags(flags);
    EXPECT_EQ(deep.leaves, before);
}

TEST(Forest, WrongFlagCountStopsBeforeAnyChange) {
    Forest f(2, 1, 1);
    const auto before = f.leaves;
    for (std::size_t n : {1u, 3u}) {
        std::vector<std::uint8_t> flags(n, 1);
        for (int op = 0; op < 2; ++op) {
            try {
                op == 0 ? f.refine_by_flags(flags) : f.coarsen_by_flags(flags);
                FAIL() << "accepted " << n << " flags";
            } catch (const InternalError& e) {
                const std::string want = "assertion `left == right` failed: Flags length must match "
                                         "the number of cells\n  left: 2\n right: " +
                                         std::to_string(n);
                EXPECT_EQ(e.what(), want);
            }
            EXPECT_EQ(f.leaves, before);
        }
    }
    Forest empty(0, 1, 1);
    EXPECT_NO_THROW(empty.refine_by_flags({}));
    EXPECT_NO_THROW(empty.coarsen_by_flags({}));
    EXPECT_THROW(empty.refine_by_flags(std::vector<std::uint8_t>{1}), InternalError);
}

TEST(Forest, CoarsenByFlags) {
    // Refine all, coarsen all: back to the start.
    Forest f(2, 2, 1);
    const auto start = f.leaves;
    f.refine_by_flags(all_flags(f));
    f.coarsen_by_flags(all_flags(f));
    EXPECT_EQ(f.leaves, start);

    // One level per call: uniform level 2 becomes uniform level 1.
    Forest g(1, 1, 1);
    g.refine_by_flags(all_flags(g));
    g.refine_by_flags(all_flags(g));
    g.coarsen_by_flags(all_flags(g));
    ASSERT_EQ(g.num_cells(), 8u);
    for (const SfcKey k : g.leaves) EXPECT_EQ(k.level(), 1);

    // Roots never merge.
    Forest roots(2, 2, 2);
    roots.coarsen_by_flags(all_flags(roots));
    EXPECT_EQ(roots.num_cells(), 8u);

    // 7 of 8 sibling flags: nothing changes.
    Forest h(1, 1, 1);
    h.refine_by_flags(all_flags(h));
    auto seven = all_flags(h);
    seven[6] = 0;
    h.coarsen_by_flags(seven);
    EXPECT_EQ(h.num_cells(), 8u);

    // A subdivided sibling blocks the merge of its group.
    std::vector<std::uint8_t> one(8, 0);
    one[3] = 1;
    h.refine_by_flags(one);
    ASSERT_EQ(h.num_cells(), 15u);
    h.coarsen_by_flags(all_flags(h));
    // The 8 children of child 3 merge; the other 7 siblings cannot.
    EXPECT_EQ(h.num_cells(), 8u);
    EXPECT_TRUE(forest_invariants(h));
}

TEST(Forest, RandomRefineCoarsenKeepsInvariants) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 30; ++trial) {
        const Forest f = testing::random_forest(rng, 1 + trial % 3, 1 + trial % 2, 2, 5, 6, 0.3);
        ASSERT_TRUE(forest_invariants(f)) << "trial " << trial;
    }
}

// Searches through the samples give the plain search's count for keys
// below, between, on and above the leaves, from any hint, on forests shorter
// than one stride, of whole strides and between; a refinement drops the
// samples, a copy (on other memory) does not use them, and both still count
// right.
TEST(Forest, SampledSearchCountsAsThePlainSearch) {
    std::mt19937_64 rng(11);
    const auto expect_plain_counts = [&](const Forest& f, const char* what) {
        const SfcKey* keys = f.leaves.data();
        const std::size_t n = f.leaves.size();
        std::uniform_int_distribution<std::size_t> any(0, n + 3);
        for (int q = 0; q < 2000; ++q) {
            const std::size_t at = any(rng) % (n + 1);
            SfcKey p = at < n ? keys[at] : SfcKey::from_raw(~u128(0));
            if (q % 3 == 1 && at < n) p = SfcKey::from_raw(p.value + 1);  // just past a leaf
            if (q % 5 == 2) p = SfcKey::from_raw(q % 2 ? u128(0) : keys[0].value - (keys[0].value > 0));
            const std::size_t hint = any(rng);
            const std::size_t want = count_not_above(keys, n, p);
            ASSERT_EQ(f.count_not_above(p, hint), want) << what << " n=" << n;
            ASSERT_EQ(f.count_not_above(p), want) << what << " n=" << n;
        }
    };
    for (int trial = 0; trial < 12; ++trial) {
        Forest f = testing::random_forest(rng, 1 + trial % 3, 1 + trial % 2, 1 + trial % 2, 4, 4 + trial % 3, 0.4);
        if (trial == 0) f = Forest(5, 1, 1);                   // fewer leaves than one stride
        if (trial == 1) f = Forest(4, 4, 2 * LEAF_SAMPLE_STRIDE / 16);  // whole strides
        f.sample_leaves();
        ASSERT_TRUE(f.samples);
        expect_plain_counts(f, "sampled");
        const Forest copy = f;
        expect_plain_counts(copy, "copy");
        f.refine_by_flags(all_flags(f));
        EXPECT_FALSE(f.samples);
        expect_plain_counts(f, "refined");
    }
}

// The key searches against std::upper_bound on every length up to a few
// powers of two past a stride (odd halvings and even ones), for keys
// below, on, between and above the keys, from hints before, inside and past
// the array.
TEST(KeySearch, CountsAsUpperBound) {
    for (std::size_t n = 0; n <= 2 * LEAF_SAMPLE_STRIDE + 5; ++n) {
        std::vector<SfcKey> keys(n);
        for (std::size_t i = 0; i < n; ++i) keys[i] = SfcKey::from_raw((u128(i) << 100) + 2 * i + 2);
        for (std::size_t i = 0; i <= 2 * n + 3; ++i) {
            const std::size_t below = i / 2;  // keys[below] when i is even and below < n
            const SfcKey p = SfcKey::from_raw((u128(below) << 100) + i + 1);
            const auto want = static_cast<std::size_t>(std::upper_bound(keys.begin(), keys.end(), p) - keys.begin());
            ASSERT_EQ(count_not_above(keys.data(), n, p), want) << "n=" << n << " i=" << i;
            for (const std::size_t hint : {std::size_t{0}, n / 2, n - (n > 0), n, n + 7})
                ASSERT_EQ(count_not_above_near(keys.data(), n, p, hint), want)
                    << "n=" << n << " i=" << i << " hint=" << hint;
        }
    }
}

}  // namespace
}  // namespace quorin
