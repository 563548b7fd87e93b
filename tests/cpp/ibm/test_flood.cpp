#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <vector>

#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"
#include "../forest/forest_checks.hpp"
#include "surfaces.hpp"

namespace quorin {
namespace {

using testing::box_mesh;
using testing::uniform_forest;

const Domain UNIT({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
const RigidPose IDENTITY = RigidPose::identity();

// Does the closed cell box meet the surface of the box [lo, hi]? It does when
// it meets the solid box without lying inside its open interior.
bool cuts_box_surface(const CellBox& c, const Vec3& lo, const Vec3& hi) {
    bool meets = true;
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
        meets = meets && c.min[a] <= hi[a] && lo[a] <= c.max[a];
        inside = inside && lo[a] < c.min[a] && c.max[a] < hi[a];
    }
    return meets && !inside;
}

TEST(Flood, MarksExactlyTheCellsABoxSurfaceCuts) {
    const Vec3 lo{0.3, 0.3, 0.3}, hi{0.7, 0.7, 0.7};
    const IbmMesh mesh = box_mesh(lo, hi);
    const Forest f = uniform_forest(1, 1, 1, 3);
    const auto status = flood::initial_cell_status(f, UNIT, mesh, IDENTITY);
    ASSERT_EQ(status.size(), f.leaves.size());
    int inner = 0;
    for (std::size_t i = 0; i < status.size(); ++i) {
        const CellBox c = UNIT.cell_box(f.leaves[i]);
        EXPECT_EQ(status[i], cuts_box_surface(c, lo, hi) ? STATUS_INTERSECTED : STATUS_DEFAULT)
            << i;
        // The 2 x 2 x 2 cells wholly inside the closed surface are not cut.
        if (c.min[0] > 0.3 && c.max[0] < 0.7 && c.min[1] > 0.3 && c.max[1] < 0.7 &&
            c.min[2] > 0.3 && c.max[2] < 0.7) {
            ++inner;
            EXPECT_EQ(status[i], STATUS_DEFAULT);
        }
    }
    EXPECT_EQ(inner, 8);
}

TEST(Flood, SmallTriangleInsideOneCellMarksThatCellOnly) {
    const IbmMesh tri =
        testing::triangle_mesh({0.52, 0.53, 0.51}, {0.56, 0.52, 0.54}, {0.53, 0.58, 0.57});
    const Forest f = uniform_forest(1, 1, 1, 3);
    const auto status = flood::initial_cell_status(f, UNIT, tri, IDENTITY);
    const auto holder = f.locate_point(UNIT, {0.54, 0.54, 0.54});
    ASSERT_TRUE(holder);
    for (std::size_t i = 0; i < status.size(); ++i) {
        EXPECT_EQ(status[i], i == *holder ? STATUS_INTERSECTED : STATUS_DEFAULT) << i;
    }
}

TEST(Flood, FlagIntersectCellNeverClearsAndMarkStaysInsideTheVector) {
    const IbmMesh mesh = box_mesh({0.3, 0.3, 0.3}, {0.7, 0.7, 0.7});
    const Forest f = uniform_forest(1, 1, 1, 2);
    // Cell 0 ([0, 0.25]^3) is not cut: whatever it held stays.
    for (const CellStatus s : {STATUS_FLUID, STATUS_DEFAULT, STATUS_INTERSECTED}) {
        CellStatus b = s;
        flood::flag_intersect_cell(UNIT, IDENTITY, mesh, f.leaves[0], b);
        EXPECT_EQ(b, s);
    }
    const auto full = flood::initial_cell_status(f, UNIT, mesh, IDENTITY);
    // A shorter vector is marked up to its length, a longer one keeps its tail.
    std::vector<CellStatus> shorter(f.leaves.size() - 9, STATUS_DEFAULT);
    flood::mark_intersected_cells(f, UNIT, IDENTITY, mesh, shorter);
    EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), full.begin()));
    std::vector<CellStatus> longer(f.leaves.size() + 3, 7);
    std::fill(longer.begin(), longer.begin() + f.leaves.size(), STATUS_DEFAULT);
    flood::mark_intersected_cells(f, UNIT, IDENTITY, mesh, longer);
    EXPECT_TRUE(std::equal(full.begin(), full.end(), longer.begin()));
    EXPECT_EQ(longer.back(), 7);
}

TEST(Flood, PosedSurfaceMarksTheCellsOfItsPlacedCopy) {
    const IbmMesh cube = box_mesh({0.05, 0.05, 0.05}, {0.3, 0.3, 0.3});
    const IbmMesh sphere = testing::sphere_mesh({0.0, 0.0, 0.0}, 0.22, 12, 16);
    const RigidPose poses[] = {
        {{0, 0, 0, 1}, {0.41, 0.2, 0.33}},
        testing::pose_of({1, 2, 3}, 0.7, {0.5, 0.5, 0.5}),
        testing::pose_of({0, 0, 1}, 2.5, {0.61, 0.37, 0.45}),
    };
    const Forest f = uniform_forest(1, 1, 1, 4);
    for (const IbmMesh* mesh : {&cube, &sphere}) {
        const auto at_rest = flood::initial_cell_status(f, UNIT, *mesh, IDENTITY);
        for (const RigidPose& p : poses) {
            const auto posed = flood::initial_cell_status(f, UNIT, *mesh, p);
            const IbmMesh moved = testing::placed_copy(*mesh, p);
            EXPECT_EQ(posed, flood::initial_cell_status(f, UNIT, moved, IDENTITY));
            EXPECT_NE(posed, at_rest);
        }
    }
}

TEST(Flood, MarkingIsTheSameOnOneAndEightThreads) {
    const IbmMesh sphere = testing::sphere_mesh({0.5, 0.45, 0.52}, 0.3, 24, 32);
    const Forest f = uniform_forest(2, 1, 1, 5);
    const Domain d({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    const RigidPose p = testing::pose_of({1, 1, 0}, 0.3, {0.4, 0.02, -0.01});
    const auto one =
        parallel::with_threads(1, [&] { return flood::initial_cell_status(f, d, sphere, p); });
    const auto eight =
        parallel::with_threads(8, [&] { return flood::initial_cell_status(f, d, sphere, p); });
    EXPECT_EQ(one, eight);
    EXPECT_GT(std::count(one.begin(), one.end(), STATUS_INTERSECTED), 100);
}

// The pass settles whole subtrees by one box test; its answers must be those
// of testing every leaf, on unbalanced forests over several roots, decimal
// domains and posed surfaces, also for a status vector shorter than the forest.
TEST(Flood, TopDownMarkingEqualsTestingEveryLeaf) {
    const IbmMesh sphere = testing::sphere_mesh({0.61, 0.43, 0.52}, 0.27, 24, 32);
    const IbmMesh box = box_mesh({0.3, 0.13, 0.2}, {0.9, 0.7, 0.65});
    const Domain d({-0.13, 0.1, 0.03}, {1.17, 0.9, 1.03}, 3, 2, 2);
    std::mt19937_64 rng(4);
    const Forest f = testing::random_forest(rng, 3, 2, 2, 6, 8, 0.3);
    const RigidPose poses[] = {IDENTITY, testing::pose_of({1, 1, 0}, 0.3, {0.04, 0.02, -0.01})};
    for (const IbmMesh* m : {&sphere, &box}) {
        for (const RigidPose& p : poses) {
            std::vector<CellStatus> want(f.num_cells(), STATUS_DEFAULT);
            for (std::size_t i = 0; i < want.size(); ++i) flood::flag_intersect_cell(d, p, *m, f.leaves[i], want[i]);
            EXPECT_EQ(flood::initial_cell_status(f, d, *m, p), want);
            std::vector<CellStatus> part(want.size() / 3, STATUS_DEFAULT);
            flood::mark_intersected_cells(f, d, p, *m, part);
            EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin()));
            EXPECT_GT(std::count(want.begin(), want.end(), STATUS_INTERSECTED), 100);
            // A surface too large to prepare is tested on its placed corners.
            const flood::PlacedSurface plain(*m, p, 0);
            ASSERT_TRUE(plain.tests.empty());
            std::vector<CellStatus> by_corners(want.size(), STATUS_DEFAULT);
            std::vector<std::uint32_t> scratch;
            for (std::size_t b = 0; b < f.leaves.size();) {
                const std::uint32_t tree = f.leaves[b].tree();
                std::size_t e = b;
                while (e < f.leaves.size() && f.leaves[e].tree() == tree) ++e;
                flood::mark_leaves_in(d, plain, SfcKey::root(tree), f.leaves.data() + b, e - b, by_corners.data() + b,
                                      scratch);
                b = e;
            }
            EXPECT_EQ(by_corners, want);
        }
    }
}

TEST(Flood, FillReachesTheOutsideAndLeavesTheEnclosedPocketAtDefault) {
    const Vec3 lo{0.3, 0.3, 0.3}, hi{0.7, 0.7, 0.7};
    const IbmMesh mesh = box_mesh(lo, hi);
    const Forest f = uniform_forest(1, 1, 1, 3);
    Buffer<CellStatus> status = flood::initial_cell_status(f, UNIT, mesh, IDENTITY);
    // Entries left at 0 by an earlier fill, inside the pocket, are reset.
    for (std::size_t i = 0; i < status.size(); ++i) {
        const CellBox c = UNIT.cell_box(f.leaves[i]);
        if (status[i] != STATUS_INTERSECTED && c.min[0] > 0.3 && c.max[0] < 0.7)
            status[i] = STATUS_FLUID;
    }
    ASSERT_FALSE(flood::flood_fill(f, UNIT, status, {0.05, 0.05, 0.05}));
    for (std::size_t i = 0; i < status.size(); ++i) {
        const CellBox c = UNIT.cell_box(f.leaves[i]);
        const bool cut = cuts_box_surface(c, lo, hi);
        bool pocket = !cut;
        for (int a = 0; a < 3; ++a) pocket = pocket && c.min[a] > 0.3 && c.max[a] < 0.7;
        EXPECT_EQ(status[i], cut      ? STATUS_INTERSECTED
                             : pocket ? STATUS_DEFAULT
                                      : STATUS_FLUID)
            << i;
    }
}

TEST(Flood, SeedErrorsLeaveTheStatusesUnchanged) {
    EXPECT_EQ(std::strlen(flood::SEED_OUTSIDE_MESSAGE), 93u);
    EXPECT_EQ(std::strlen(flood::SEED_ON_WALL_MESSAGE), 121u);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A wall at x = 0.36 cuts the cell [0.25, 0.375] near its upper side.
    const IbmMesh mesh = box_mesh({0.36, 0.3, 0.3}, {0.7, 0.7, 0.7});
    const Forest f = uniform_forest(1, 1, 1, 3);
    const auto marked = flood::initial_cell_status(f, UNIT, mesh, IDENTITY);
    struct Case {
        Vec3 seed;
        const char* message;  // nullptr: the fill succeeds
    };
    const Case cases[] = {
        {{-1e-12, 0.5, 0.5}, flood::SEED_OUTSIDE_MESSAGE},
        {{0.5, -0.1, 0.5}, flood::SEED_OUTSIDE_MESSAGE},
        {{0.5, 0.5, -3}, flood::SEED_OUTSIDE_MESSAGE},
        {{1, 1, 1}, flood::SEED_OUTSIDE_MESSAGE},      // the max corner
        {{0.2, 1, 0.2}, flood::SEED_OUTSIDE_MESSAGE},  // a max face
        {{0.2, 0.2, 1.5}, flood::SEED_OUTSIDE_MESSAGE},
        {{0.26, 0.5, 0.5}, flood::SEED_ON_WALL_MESSAGE},  // mostly fluid, still a wall cell
        {{0, 0, 0}, nullptr},                             // the min corner is inside
        {{nan, 0.1, 0.1}, nullptr},                       // NaN is located on the min face
    };
    for (const Case& c : cases) {
        Buffer<CellStatus> status = marked;
        const auto err = flood::flood_fill(f, UNIT, status, c.seed);
        if (c.message) {
            ASSERT_TRUE(err) << c.seed[0] << " " << c.seed[1] << " " << c.seed[2];
            EXPECT_EQ(*err, c.message);
            EXPECT_EQ(status, marked);
        } else {
            EXPECT_FALSE(err) << *err;
            EXPECT_EQ(status[0], STATUS_FLUID);
        }
    }
    // A base grid with a zero has no cells: every seed lies outside.
    const Forest empty(0, 3, 3);
    const Domain flat({0, 0, 0}, {1, 1, 1}, 0, 3, 3);
    std::vector<CellStatus> none;
    EXPECT_EQ(flood::flood_fill(empty, flat, none, {0.5, 0.5, 0.5}),
              std::string(flood::SEED_OUTSIDE_MESSAGE));
}

TEST(Flood, ConnectsThroughFacesOnlyAndAcrossLevels) {
    // 2 x 2 x 1 root cells: the walls at (1, 0) and (0, 1) leave (0, 0) and
    // (1, 1) touching along an edge only.
    const Forest f(2, 2, 1);
    const Domain d({0, 0, 0}, {2, 2, 1}, 2, 2, 1);
    std::vector<CellStatus> status = {STATUS_DEFAULT, STATUS_INTERSECTED, STATUS_INTERSECTED,
                                      STATUS_DEFAULT};
    ASSERT_FALSE(flood::flood_fill(f, d, status, {0.5, 0.5, 0.5}));
    EXPECT_EQ(status, (std::vector<CellStatus>{STATUS_FLUID, STATUS_INTERSECTED, STATUS_INTERSECTED,
                                               STATUS_DEFAULT}));

    // Without walls, a balanced forest of mixed levels is all fluid.
    Forest g(2, 1, 1);
    for (int k = 0; k < 4; ++k) {
        std::vector<std::uint8_t> flags(g.leaves.size(), 0);
        flags[0] = 1;
        g.refine_by_flags(flags);
    }
    g.enforce_2_to_1_balance();
    const Domain dg({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    std::vector<CellStatus> all(g.leaves.size(), STATUS_DEFAULT);
    ASSERT_FALSE(flood::flood_fill(g, dg, all, {1.9, 0.9, 0.9}));
    EXPECT_EQ(std::count(all.begin(), all.end(), STATUS_FLUID), static_cast<long>(g.leaves.size()));
}

// The fill written as the plain one-cell-at-a-time search.
std::vector<CellStatus> reference_fill(const Forest& f, const Domain& d,
                                       std::vector<CellStatus> status, const Vec3& seed) {
    std::vector<std::uint8_t> visited(status.size());
    for (std::size_t i = 0; i < status.size(); ++i) visited[i] = status[i] == STATUS_INTERSECTED;
    const auto s = f.locate_point(d, seed);
    std::deque<std::uint64_t> queue{*s};
    visited[*s] = 1;
    status[*s] = STATUS_FLUID;
    while (!queue.empty()) {
        const std::uint64_t c = queue.front();
        queue.pop_front();
        for (FaceDir dir = 0; dir < FACE_DIR_COUNT; ++dir) {
            for (const std::uint64_t m : neighbour::face_neighbours(f, c, dir)) {
                if (visited[m]) continue;
                visited[m] = 1;
                status[m] = STATUS_FLUID;
                queue.push_back(m);
            }
        }
    }
    for (std::size_t i = 0; i < status.size(); ++i) {
        if (!visited[i] && status[i] != STATUS_INTERSECTED) status[i] = STATUS_DEFAULT;
    }
    return status;
}

TEST(Flood, LargeFillMatchesThePlainSearchOnAnyThreadCount) {
    // Enough cells that the queue is worked through in many batches: two
    // nested closed boxes (a pocket inside a shell) and a sphere, on a
    // balanced forest of mixed levels.
    const IbmMesh outer = box_mesh({0.11, 0.13, 0.09}, {0.83, 0.87, 0.91});
    const IbmMesh inner = box_mesh({0.31, 0.33, 0.29}, {0.63, 0.67, 0.71});
    const IbmMesh ball = testing::sphere_mesh({1.5, 0.5, 0.5}, 0.3, 16, 24);
    const IbmMesh all = testing::merge({&outer, &inner, &ball});
    const Domain d({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    const BuildSettings s{{{0, 0, 0}, {2, 1, 1}}, {2, 1, 1}, 1};
    const auto [f, dom] = build_amr_forest(s, all, 5, {}, IDENTITY);
    ASSERT_GT(f.leaves.size(), 100000u);
    const auto marked = flood::initial_cell_status(f, d, all, IDENTITY);
    for (const Vec3& seed : {Vec3{0.02, 0.02, 0.02}, Vec3{0.2, 0.2, 0.2}, Vec3{0.47, 0.5, 0.5}}) {
        const auto expect = reference_fill(f, d, {marked.begin(), marked.end()}, seed);
        for (const std::size_t threads : {1, 8}) {
            Buffer<CellStatus> status = marked;
            const auto err = parallel::with_threads(
                threads, [&] { return flood::flood_fill(f, d, status, seed); });
            ASSERT_FALSE(err) << *err;
            EXPECT_EQ(status, expect) << threads;
        }
    }
}

}  // namespace
}  // namespace quorin
