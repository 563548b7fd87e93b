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

// Forests for the look-ups across faces: unbalanced and balanced random
// ones, a uniform one (every sibling a leaf) and chains refined to level 32
// at a tree's corner and at its centre, where coordinates end in up to 31
// odd or even digits.
std::vector<Forest> across_forests() {
    std::vector<Forest> out;
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 6; ++trial) {
        Forest f = testing::random_forest(rng, 1 + trial % 3, 2, 1 + trial % 2, 5, 7, 0.35);
        if (trial % 3 == 2) f.enforce_2_to_1_balance();
        out.push_back(std::move(f));
    }
    Forest uniform(2, 2, 1);
    for (int l = 0; l < 3; ++l) uniform.refine_by_flags(testing::all_flags(uniform));
    out.push_back(std::move(uniform));
    for (const std::uint32_t at : {0u, (1u << 31) - 1}) {
        Forest chain(2, 1, 2);
        for (int l = 0; l < 32; ++l) {
            std::vector<std::uint8_t> flags(chain.num_cells(), 0);
            flags[*chain.locate_leaf_index(1, at, at, at)] = 1;
            chain.refine_by_flags(flags);
        }
        out.push_back(std::move(chain));
    }
    return out;
}

// The in-place checks (siblings, guessed cell ids, the children of a split
// cell) against the plain search and the four probes, for guesses right,
// near, far, off the end and at random; and they must actually fire, or
// the test proves nothing.
TEST(FaceNeighbours, InPlaceChecksMatchTheSearch) {
    std::mt19937_64 rng(23);
    std::size_t sibling_hits = 0, children_hits = 0;
    for (const Forest& f : across_forests()) {
        const std::uint64_t n = f.num_cells();
        std::uniform_int_distribution<std::uint64_t> any(0, n - 1);
        for (std::uint64_t c = 0; c < n; ++c) {
            const SfcKey key = f.leaves[c];
            for (FaceDir d = 0; d < 6; ++d) {
                const neighbour::AcrossFace want = neighbour::leaf_across(f, key, d, c);
                const std::uint64_t guesses[] = {want.id, want.id + 1, want.id - 1, c, 0,
                                                 n - 1, n, any(rng), ~std::uint64_t{0}};
                const Ids probed = neighbour::face_neighbours(f, c, d);
                for (const std::uint64_t g : guesses) {
                    const neighbour::AcrossFace got = neighbour::leaf_across_at(f, c, key, d, g, any(rng));
                    ASSERT_EQ(got.kind, want.kind) << "cell " << c << " dir " << int(d) << " guess " << g;
                    ASSERT_EQ(got.id, want.id) << "cell " << c << " dir " << int(d) << " guess " << g;
                    const FaceNeighbourIds ids = neighbour::face_neighbour_ids_guessed(f, c, d, g);
                    ASSERT_EQ(Ids(ids.begin(), ids.end()), probed) << "cell " << c << " dir " << int(d);
                }
                const auto same = neighbour::same_level_across(f, key, d);
                ASSERT_EQ(same.has_value(), want.kind != neighbour::Across::Outside);
                if (want.kind == neighbour::Across::Outside) continue;
                const std::uint64_t sibling = (d & 1) ? c + (1u << (d / 2)) : c - (1u << (d / 2));
                sibling_hits += want.kind == neighbour::Across::Leaf && want.id == sibling;
                if (want.kind != neighbour::Across::Finer) continue;
                const FaceNeighbourIds children = neighbour::children_across(f, *same, d, want.id);
                if (children.empty()) continue;
                ++children_hits;
                EXPECT_EQ(Ids(children.begin(), children.end()), fast(f, c, d)) << c << "/" << int(d);
            }
        }
    }
    EXPECT_GT(sibling_hits, 1000u);
    EXPECT_GT(children_hits, 100u);
}

}  // namespace
}  // namespace quorin
