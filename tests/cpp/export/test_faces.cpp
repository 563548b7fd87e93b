// The face lists of the exports against a brute-force geometric enumeration
// on random forests: several chunks of cells, leaves of many levels across
// root borders, balanced and unbalanced, on 1 and several threads.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "quorin/export/chunks.hpp"
#include "quorin/export/faces.hpp"
#include "quorin/export/ghost_cell.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/parallel.hpp"
#include "../data_surfaces.hpp"
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

// Every face a walk lists, in order: (cell, neighbour, axis) for internal
// faces, (cell, dir, 3 + dir) for boundary ones.
struct Listed {
    U64 cell, other;
    U8 kind;
    bool operator==(const Listed&) const = default;
};

// The faces of all cells, walked in chunks of `chunk` cells that carry their
// hints from cell to cell as the exports do; chunk 0: every cell on its own,
// without hints, so every look-up is a plain search.
Listed walk_faces(const Forest& f, std::size_t chunk) {
    Listed out;
    const std::size_t n = f.leaves.size();
    const std::size_t step = chunk == 0 ? 1 : chunk;
    for (std::size_t b = 0; b < n; b += step) {
        cell_faces::Walk walk(b);
        for (std::size_t i = b; i < std::min(n, b + step); ++i) {
            auto internal = [&](std::uint64_t j, std::uint8_t axis) {
                out.cell.push_back(i);
                out.other.push_back(j);
                out.kind.push_back(axis);
            };
            auto boundary = [&](FaceDir dir) {
                out.cell.push_back(i);
                out.other.push_back(dir);
                out.kind.push_back(3 + dir);
            };
            if (chunk == 0) {
                cell_faces::enumerate(f, i, internal, boundary);
            } else {
                cell_faces::enumerate(f, i, walk, internal, boundary);
            }
        }
    }
    return out;
}

// Faces whose one leaf across, reached through carried digits, is the leaf
// found across from the last cell with the same axis and digits: the cases
// in which the walk's second guess answers.
std::size_t repeated_leaves_across(const Forest& f) {
    std::size_t repeats = 0;
    std::array<std::array<std::uint64_t, MAX_LEVEL + 1>, 3> last{};
    for (auto& a : last) a.fill(~std::uint64_t{0});
    for (std::uint64_t c = 0; c < f.leaves.size(); ++c) {
        const SfcKey key = f.leaves[c];
        for (int axis = 0; axis < 3; ++axis) {
            const auto pos = static_cast<FaceDir>(2 * axis + 1);
            const unsigned m = neighbour::carried_digits(key, pos);
            if (m == 0) continue;
            const neighbour::AcrossFace a = neighbour::leaf_across(f, key, pos, c);
            if (a.kind != neighbour::Across::Leaf) continue;
            repeats += last[axis][m] == a.id;
            last[axis][m] = a.id;
        }
    }
    return repeats;
}

// A forest refined around each data surface that is present, as the
// background mesh build makes it (balanced, leaves sampled).
std::vector<Forest> data_surface_forests() {
    std::vector<Forest> out;
    for (const char* file : {"bunny.stl", "gearwheel.ascii.stl", "bunny_gear_multipart.obj"}) {
        const std::optional<IbmMesh> surface = testing::data_surface(file);
        if (!surface) continue;
        const auto [lo, hi] = testing::vertex_box(*surface);
        Vec3 dlo, dhi;
        for (int a = 0; a < 3; ++a) {
            dlo[a] = lo[a] - 0.3 * (hi[a] - lo[a]);
            dhi[a] = hi[a] + 0.2 * (hi[a] - lo[a]);
        }
        const BuildSettings settings{{dlo, dhi}, {3, 4, 2}, 0};
        Forest f = build_amr_forest(settings, *surface, 5, {}, RigidPose::identity()).first;
        f.sample_leaves();
        out.push_back(std::move(f));
    }
    return out;
}

// The hints a walk carries (guessed cell ids, the last leaf found across,
// search starts) change only the search time: on unbalanced and balanced
// random forests over several roots, searched with and without samples,
// and on forests around the data surfaces, walks in chunks of any length
// list exactly the faces the plain searches do, in the same order.
TEST(FaceWalk, CarriedHintsListTheFacesOfPlainSearches) {
    struct Case {
        std::array<std::uint32_t, 3> grid;
        unsigned seed;
        bool balanced;
        bool sampled;
    };
    const Case cases[] = {
        {{3, 2, 2}, 11, false, false}, {{2, 3, 1}, 12, false, true}, {{1, 2, 3}, 13, true, false},
        {{2, 2, 2}, 14, true, true},   {{4, 1, 1}, 15, false, true},
    };
    std::vector<Forest> forests;
    for (const Case& c : cases) {
        Forest f = random_forest(c.grid[0], c.grid[1], c.grid[2], c.seed, c.balanced);
        if (c.sampled) f.sample_leaves();
        forests.push_back(std::move(f));
    }
    const std::size_t random_count = forests.size();
    for (Forest& f : data_surface_forests()) forests.push_back(std::move(f));
    std::size_t repeats = 0;
    for (std::size_t k = 0; k < forests.size(); ++k) {
        SCOPED_TRACE(k < random_count ? "random forest " + std::to_string(k)
                                      : "data surface forest " + std::to_string(k - random_count));
        const Forest& f = forests[k];
        const Listed plain = walk_faces(f, 0);
        for (const std::size_t chunk : {export_chunks::GRAIN, std::size_t{37}, f.leaves.size()}) {
            SCOPED_TRACE("chunk " + std::to_string(chunk));
            EXPECT_TRUE(walk_faces(f, chunk) == plain);
        }
        repeats += repeated_leaves_across(f);
    }
    EXPECT_GT(repeats, 1000u);  // else the second guess is never tried
}

}  // namespace
}  // namespace quorin
