#include <random>

#include <gtest/gtest.h>

#include "forest_checks.hpp"
#include "quorin/forest/neighbour.hpp"

namespace quorin {
namespace {

using Ids = std::vector<std::uint64_t>;

Ids fast(const Forest& f, std::uint64_t cell, FaceDir dir) {
    const auto r = neighbour::face_neighbour_ids(f, cell, dir);
    return Ids(r.begin(), r.end());
}

TEST(FaceNeighbours, SingleRootHasNone) {
    const Forest f(1, 1, 1);
    for (FaceDir d = 0; d < 6; ++d) {
        EXPECT_TRUE(neighbour::face_neighbours(f, 0, d).empty());
        EXPECT_TRUE(fast(f, 0, d).empty());
    }
}

TEST(FaceNeighbours, AcrossRootCells) {
    Forest f(2, 1, 1);
    struct Case {
        std::uint64_t cell;
        FaceDir dir;
        Ids want;
    };
    const Case roots[] = {{0, 1, {1}}, {1, 0, {0}}, {0, 0, {}}, {1, 1, {}}, {0, 2, {}},
                          {0, 3, {}},  {0, 4, {}},  {0, 5, {}}, {1, 3, {}}};
    for (const Case& c : roots) {
        EXPECT_EQ(neighbour::face_neighbours(f, c.cell, c.dir), c.want);
        EXPECT_EQ(fast(f, c.cell, c.dir), c.want);
    }
    f.refine_by_flags(std::vector<std::uint8_t>{0, 1});
    const Case refined[] = {
        {0, 1, {1, 3, 5, 7}}, {1, 0, {0}}, {2, 0, {1}}, {2, 1, {}}, {1, 1, {2}},
        {1, 3, {3}},          {1, 5, {5}}, {8, 4, {4}}, {8, 2, {6}}, {0, 0, {}},
    };
    for (const Case& c : refined) {
        EXPECT_EQ(neighbour::face_neighbours(f, c.cell, c.dir), c.want) << c.cell << "/" << int(c.dir);
        EXPECT_EQ(fast(f, c.cell, c.dir), c.want) << c.cell << "/" << int(c.dir);
    }
    EXPECT_EQ(neighbour::face_neighbour_keys(f, f.leaves[0], 1),
              (std::vector<SfcKey>{SfcKey::root(1).child(0), SfcKey::root(1).child(2),
                                   SfcKey::root(1).child(4), SfcKey::root(1).child(6)}));
}

TEST(FaceNeighbours, TwoLevelsFinerGivesOnlyTheProbedLeaves) {
    Forest f(2, 1, 1);
    f.refine_by_flags(std::vector<std::uint8_t>{0, 1});
    f.refine_by_flags(testing::all_flags(f, 1));  // tree 0 at level 1, tree 1 at level 2
    // Cell 1 (tree 0, child 1, level 1) faces the level-2 children of tree
    // 1's child 0 across +x.
    const Ids got = neighbour::face_neighbours(f, 1, 1);
    ASSERT_EQ(got.size(), 4u);
    for (const auto id : got) EXPECT_EQ(f.leaves[id].level(), 2);
    EXPECT_EQ(fast(f, 1, 1), got);

    // Level 0 cell with a level-2 region across a face: 16 leaves share the
    // face, 4 are returned.
    Forest g(2, 1, 1);
    g.refine_by_flags(std::vector<std::uint8_t>{0, 1});
    std::vector<std::uint8_t> all(g.num_cells(), 1);
    all[0] = 0;
    g.refine_by_flags(all);
    const Ids four = neighbour::face_neighbours(g, 0, 1);
    EXPECT_EQ(four.size(), 4u);
    EXPECT_EQ(fast(g, 0, 1), four);
    EXPECT_TRUE(std::is_sorted(four.begin(), four.end()));
}

TEST(FaceNeighbours, DeepestLevels) {
    // A chain of refinements down to level 32 at one corner of tree 1,
    // beside tree 0.
    Forest f(2, 1, 1);
    for (int l = 0; l < 32; ++l) {
        std::vector<std::uint8_t> flags(f.num_cells(), 0);
        flags[*f.locate_leaf_index(1, 0, 0, 0)] = 1;
        f.refine_by_flags(flags);
    }
    const std::uint64_t finest = *f.locate_leaf_index(1, 0, 0, 0);
    ASSERT_EQ(f.leaves[finest].level(), 32);
    for (FaceDir d = 0; d < 6; ++d) {
        const Ids ids = neighbour::face_neighbours(f, finest, d);
        EXPECT_LE(ids.size(), 1u);
        EXPECT_EQ(fast(f, finest, d), ids);
    }
    // The level-31 parent's region: the level-31 leaf beside the finest group
    // sees the four level-32 cells across its face.
    const std::uint64_t side = *f.locate_leaf_index(1, 2, 0, 0);
    ASSERT_EQ(f.leaves[side].level(), 31);
    EXPECT_EQ(neighbour::face_neighbours(f, side, 0).size(), 4u);
    EXPECT_EQ(fast(f, side, 0), neighbour::face_neighbours(f, side, 0));
}

TEST(FaceNeighbours, BadArgumentsStop) {
    const Forest f(2, 1, 1);
    EXPECT_THROW(neighbour::face_neighbours(f, 2, 0), InternalError);
    EXPECT_THROW(neighbour::face_neighbour_ids(f, 99, 0), InternalError);
    EXPECT_THROW(neighbour::face_neighbours(f, 0, 6), InternalError);
    EXPECT_THROW(neighbour::face_neighbour_ids(f, 0, 255), InternalError);
}

TEST(FaceNeighbours, FastPathMatchesProbingOnRandomForests) {
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 12; ++trial) {
        Forest f = testing::random_forest(rng, 1 + trial % 3, 2, 1 + trial % 2, 5, 7, 0.35);
        if (trial % 2 == 0) f.enforce_2_to_1_balance();
        for (std::uint64_t c = 0; c < f.num_cells(); ++c) {
            for (FaceDir d = 0; d < 6; ++d) {
                ASSERT_EQ(fast(f, c, d), neighbour::face_neighbours(f, c, d))
                    << "trial " << trial << " cell " << c << " dir " << int(d);
            }
        }
    }
}

TEST(FaceNeighbours, BalancedForestNeighboursAreSymmetric) {
    std::mt19937_64 rng(9);
    Forest f = testing::random_forest(rng, 2, 2, 2, 5, 6, 0.3);
    f.enforce_2_to_1_balance();
    for (std::uint64_t c = 0; c < f.num_cells(); ++c) {
        for (FaceDir d = 0; d < 6; ++d) {
            for (const auto n : neighbour::face_neighbours(f, c, d)) {
                const Ids back = neighbour::face_neighbours(f, n, d ^ 1);
                EXPECT_NE(std::find(back.begin(), back.end(), c), back.end());
            }
        }
    }
}

}  // namespace
}  // namespace quorin
