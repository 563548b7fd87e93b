// The face lists of the exports against a brute-force geometric enumeration
// on random forests: several chunks of cells, leaves of many levels across
// root borders, balanced and unbalanced, on 1 and several threads.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "quorin/export/ghost_cell.hpp"
#include "quorin/parallel.hpp"
#include "mesh_checks.hpp"

namespace quorin {
namespace {

using U64 = std::vector<std::uint64_t>;
using U8 = std::vector<std::uint8_t>;

// Leaves refined at random, round after round, up to level 5.
Forest random_forest(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, unsigned seed,
                     bool balanced) {
    std::mt19937 rng(seed);
    Forest f(nx, ny, nz);
    for (unsigned round = 0; round < 5; ++round) {
        std::bernoulli_distribution split(round == 0 ? 0.9 : 0.3);
        U8 flags(f.leaves.size());
        for (auto& x : flags) x = split(rng) ? 1 : 0;
        f.refine_by_flags(flags);
    }
    if (balanced) f.enforce_2_to_1_balance();
    return f;
}

// Faces found by comparing every pair of cells on global integer
// coordinates: cell j is listed by cell i along axis a when j's low side
// lies on i's high side and the two sides overlap with positive area; in
// ascending j. Boundary faces: the cell sides on the grid's outer surface.
testing::PlainFaces brute_force_faces(const Forest& f) {
    struct Box {
        std::array<std::int64_t, 3> lo, hi;
    };
    const std::size_t n = f.leaves.size();
    const std::int64_t grid[3] = {f.nx, f.ny, f.nz};
    std::vector<Box> box(n);
    for (std::size_t i = 0; i < n; ++i) {
        const DecodedKey k = f.leaves[i].decode();
        const auto t = tree_coords(k.tree, f.nx, f.ny);
        const std::int64_t local[3] = {k.x, k.y, k.z};
        for (int a = 0; a < 3; ++a) {
            box[i].lo[a] = (std::int64_t{t[a]} << 32) + local[a];
            box[i].hi[a] = box[i].lo[a] + static_cast<std::int64_t>(f.leaves[i].width());
        }
    }
    testing::PlainFaces out;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::uint8_t a = 0; a < 3; ++a) {
            if (box[i].lo[a] == 0) {
                out.bnd_owner.push_back(i);
                out.bnd_dir.push_back(2 * a);
            }
            if (box[i].hi[a] == grid[a] << 32) {
                out.bnd_owner.push_back(i);
                out.bnd_dir.push_back(2 * a + 1);
            }
            for (std::size_t j = 0; j < n; ++j) {
                if (box[j].lo[a] != box[i].hi[a]) continue;
                bool overlap = true;
                for (int b = 0; b < 3; ++b) {
                    if (b == a) continue;
                    overlap = overlap && box[j].lo[b] < box[i].hi[b] && box[i].lo[b] < box[j].hi[b];
                }
                if (!overlap) continue;
                out.owner.push_back(i);
                out.neighbour.push_back(j);
                out.axis.push_back(a);
            }
        }
    }
    return out;
}

TEST(FaceEnumeration, RandomForestsMatchBruteForceOnAnyThreadCount) {
    struct Case {
        std::array<std::uint32_t, 3> grid;
        unsigned seed;
        bool balanced;
    };
    const Case cases[] = {
        {{3, 2, 2}, 1, true},
        {{2, 3, 2}, 2, true},
        {{2, 2, 3}, 3, false},
        {{3, 1, 2}, 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("seed " + std::to_string(c.seed));
        const Forest f = random_forest(c.grid[0], c.grid[1], c.grid[2], c.seed, c.balanced);
        const Domain d({0, 0, 0}, {1.0 * c.grid[0], 1.0 * c.grid[1], 1.0 * c.grid[2]}, c.grid[0],
                       c.grid[1], c.grid[2]);
        ASSERT_GT(f.leaves.size(), 3 * 1024u);  // several chunks
        const testing::PlainFaces want = brute_force_faces(f);
        for (const std::size_t threads : {1, 3, 8}) {
            SCOPED_TRACE("threads " + std::to_string(threads));
            const CfdGhostCellMesh m = parallel::with_threads(threads, [&] {
                GhostCellData data;
                data.is_fluid.assign(f.leaves.size(), 1);
                return ghost_cell::build_ghost_cell_mesh(f, d, mesh::placeholder_surface(),
                                                         std::move(data));
            });
            EXPECT_EQ(m.internal_faces_owner, want.owner);
            EXPECT_EQ(m.internal_faces_neighbour, want.neighbour);
            EXPECT_EQ(m.internal_faces_axis, want.axis);
            EXPECT_EQ(m.domain_bnd_faces_owner, want.bnd_owner);
            EXPECT_EQ(m.domain_bnd_faces_dir, want.bnd_dir);
        }
        if (c.balanced) {
            // Graded: the plain probe enumeration lists the same faces.
            const testing::PlainFaces plain = testing::plain_faces(f);
            EXPECT_EQ(plain.owner, want.owner);
            EXPECT_EQ(plain.neighbour, want.neighbour);
        }
    }
}

}  // namespace
}  // namespace quorin
