// The closed cell boxes of the surface-cut test: on domains whose origin and
// root size are not exact binary fractions, cells that share a face share its
// coordinate bit for bit, and the boxes reach the domain's own corners, so
// the cut cells around any surface point leave no gap.
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "forest_checks.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"

namespace quorin {
namespace {

TEST(ClosedCellBox, SharedFacesAgreeBitForBit) {
    struct Case {
        Vec3 min, max;
        std::uint32_t n[3];
    };
    const Case cases[] = {
        {{-0.3, 0.13, 1.1}, {-0.3 + 0.1 * 3, 0.13 + 0.3 * 4, 1.1 + 1.1 * 5}, {3, 4, 5}},
        {{-2.1, -1.95, -2.05}, {2.3, 2.2, 2.15}, {4, 4, 4}},
        {{0.13, 1e3 + 0.1, -7.7}, {0.13 + 0.13 * 6, 1e3 + 0.1 + 0.7 * 3, -7.7 + 0.3 * 2}, {6, 3, 2}},
    };
    std::mt19937_64 rng(11);
    for (const Case& k : cases) {
        const Domain domain(k.min, k.max, k.n[0], k.n[1], k.n[2]);
        const Forest forest = testing::random_forest(rng, k.n[0], k.n[1], k.n[2], 5, 8, 0.4);
        std::size_t shared = 0;
        for (std::uint64_t i = 0; i < forest.num_cells(); ++i) {
            const CellBox box = domain.closed_cell_box(forest.leaves[i]);
            const CellBox rounded = domain.cell_box(forest.leaves[i]);
            for (int a = 0; a < 3; ++a) {
                ASSERT_LE(box.min[a], box.max[a]);
                // Within rounding of the centre ± half box.
                EXPECT_NEAR(box.min[a], rounded.min[a], 1e-12 * (1 + std::fabs(rounded.min[a])));
                EXPECT_NEAR(box.max[a], rounded.max[a], 1e-12 * (1 + std::fabs(rounded.max[a])));
            }
            for (int dir = 0; dir < 6; ++dir) {
                const int a = dir / 2;
                const bool upper = dir % 2 == 1;
                const auto ids = neighbour::face_neighbours(forest, i, static_cast<FaceDir>(dir));
                if (ids.empty()) {
                    // On the domain boundary the box reaches the domain's corner.
                    EXPECT_EQ(upper ? box.max[a] : box.min[a], upper ? k.max[a] : k.min[a]);
                    continue;
                }
                for (std::uint64_t j : ids) {
                    const CellBox other = domain.closed_cell_box(forest.leaves[j]);
                    ASSERT_EQ(upper ? box.max[a] : box.min[a], upper ? other.min[a] : other.max[a])
                        << "cell " << i << " dir " << dir << " neighbour " << j;
                    ++shared;
                }
            }
        }
        EXPECT_GT(shared, 1000u);
    }
}

}  // namespace
}  // namespace quorin
