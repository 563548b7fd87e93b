// The inside test counts each ray's crossings from one traversal and replays
// the restart rule; where that replay could differ from fresh casts it falls
// back to them. Here the replay is compared with the literal casts, ray by
// ray, on real surfaces: every cut cell centre of a background mesh, points
// near and on the surface, under three poses; both with the hits collected
// by a traversal of the hierarchy and with those read off the triangles
// binned along each ray direction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/ibm/inside.hpp"
#include "quorin/parallel.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/ray_columns.hpp"
#include "../data_surfaces.hpp"
#include "surfaces.hpp"

namespace quorin {
namespace {

struct RayTally {
    std::size_t rays = 0;
    std::size_t replayed = 0;         // by the traversal's hits
    std::size_t replayed_binned = 0;  // by the binned triangles' hits
    std::size_t mismatches = 0;       // either replay against the literal casts
    std::size_t columns_usable = 0;   // directions whose binning could be used
};

// Both replays against literal casts for every direction from every point.
RayTally compare_rays(const std::vector<Vec3>& points, const IbmMesh& mesh, const RigidPose& pose) {
    constexpr std::size_t DIRS = gcibm::INSIDE_TEST_DIRECTIONS.size();
    std::vector<RayColumns> columns;
    for (const Vec3& d : gcibm::INSIDE_TEST_DIRECTIONS) columns.emplace_back(mesh.trimesh, pose.inverse_rotate(d));
    // Bit 0: the traversal's replay answered, bit 1: the binned one did,
    // bit 2: an answer differs from the literal casts.
    const auto per_ray = parallel::map(points.size() * DIRS, [&](std::size_t k) -> std::uint8_t {
        const Vec3& p = points[k / DIRS];
        const Vec3& d = gcibm::INSIDE_TEST_DIRECTIONS[k % DIRS];
        const auto fast = gcibm::ray_crossings_replayed(p, d, mesh, pose);
        const auto binned = gcibm::ray_crossings_replayed(p, d, mesh, pose, &columns[k % DIRS]);
        if (!fast && !binned) return 0;
        const unsigned literal = gcibm::ray_crossings_literal(p, d, mesh, pose);
        const bool wrong = (fast && *fast != literal) || (binned && *binned != literal);
        return static_cast<std::uint8_t>((fast ? 1 : 0) | (binned ? 2 : 0) | (wrong ? 4 : 0));
    });
    RayTally t;
    t.rays = per_ray.size();
    for (std::uint8_t r : per_ray) {
        t.replayed += (r & 1) != 0;
        t.replayed_binned += (r & 2) != 0;
        t.mismatches += (r & 4) != 0;
    }
    for (const RayColumns& c : columns) t.columns_usable += c.usable() ? 1 : 0;
    return t;
}

// Cut cell centres of a background mesh, vertices nudged off the surface and
// triangle centroids (on it), in the surface's placed frame.
std::vector<Vec3> probe_points(const IbmMesh& mesh, const RigidPose& pose, const Vec3& lo, const Vec3& hi,
                               std::uint8_t level) {
    BuildSettings settings{{lo, hi}, {4, 4, 4}, 0};
    const auto [forest, domain] = build_amr_forest(settings, mesh, level, {}, pose);
    const auto status = flood::initial_cell_status(forest, domain, mesh, pose);
    std::vector<Vec3> pts;
    for (std::size_t i = 0; i < forest.num_cells(); ++i)
        if (status[i] == STATUS_INTERSECTED) pts.push_back(domain.cell_geometry(forest.leaves[i].decode()).centre);
    std::mt19937_64 rng(5);
    const auto& v = mesh.trimesh.vertices();
    const auto& tris = mesh.trimesh.triangles();
    const double size = hi[0] - lo[0];
    std::uniform_real_distribution<double> jitter(-1e-3 * size, 1e-3 * size);
    for (std::size_t k = 0; k < 3000; ++k) {
        const Triangle& t = tris[rng() % tris.size()];
        const Vec3& a = v[t[0]];
        const Vec3& b = v[t[1]];
        const Vec3& c = v[t[2]];
        pts.push_back(pose.transform_point({(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3}));
        pts.push_back(pose.transform_point({a[0] + jitter(rng), a[1] + jitter(rng), a[2] + jitter(rng)}));
    }
    return pts;
}

TEST(InsideReplay, MatchesLiteralCastsOnRealSurfaces) {
    struct Case {
        const char* file;
        std::uint8_t level;
    };
    const Case cases[] = {
        {"bunny.stl", 5},
        {"scan_bunny_open.bin.stl", 5},
        {"gearwheel.ascii.stl", 5},
        {"bunny_gear_multipart.obj", 4},
        {"cube_solid_header.bin.stl", 4},
    };
    std::size_t surfaces = 0;
    for (const Case& k : cases) {
        const std::optional<IbmMesh> loaded = testing::data_surface(k.file);
        if (!loaded) continue;
        const IbmMesh& mesh = *loaded;
        ++surfaces;
        // The surface's box, with a margin, around the placed surface.
        const auto [lo, hi] = testing::vertex_box(mesh);
        const double size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
        const RigidPose poses[] = {
            RigidPose::identity(),
            testing::pose_of({0, 0, 1}, 0, {0.013 * size, -0.021 * size, 0.007 * size}),
            testing::pose_of({0.3, 0.5, 0.8}, 0.4, {0.05 * size, 0.0, -0.03 * size}),
        };
        for (const RigidPose& pose : poses) {
            Vec3 plo, phi;
            for (int a = 0; a < 3; ++a) {
                const double c = 0.5 * (lo[a] + hi[a]) + pose.translation[a];
                plo[a] = c - 0.75 * size;
                phi[a] = c + 0.75 * size;
            }
            const auto pts = probe_points(mesh, pose, plo, phi, k.level);
            const RayTally t = compare_rays(pts, mesh, pose);
            EXPECT_EQ(t.mismatches, 0u) << k.file;
            // The replay settles nearly every ray; the rest fall back.
            EXPECT_GT(t.replayed, t.rays * 95 / 100) << k.file << ": " << t.replayed << " of " << t.rays;
            EXPECT_EQ(t.columns_usable, gcibm::INSIDE_TEST_DIRECTIONS.size()) << k.file;
            EXPECT_GT(t.replayed_binned, t.rays * 95 / 100)
                << k.file << ": " << t.replayed_binned << " of " << t.rays;
        }
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

// Sheets closer than the restart offset, and a ray grazing a shared edge: the
// replay must agree with the literal casts or step aside.
TEST(InsideReplay, CloseSheetsAndSharedEdges) {
    const Vec3 lo{0, 0, 0}, hi{1, 1, 1};
    const IbmMesh box = testing::box_mesh(lo, hi);
    const IbmMesh near_copy = testing::box_mesh({0, 0, 0}, {1 + 5e-8, 1, 1});
    std::vector<Vec3> v(box.trimesh.vertices().begin(), box.trimesh.vertices().end());
    std::vector<Triangle> t(box.trimesh.triangles().begin(), box.trimesh.triangles().end());
    const auto off = static_cast<std::uint32_t>(v.size());
    for (const Vec3& p : near_copy.trimesh.vertices()) v.push_back(p);
    for (const Triangle& tri : near_copy.trimesh.triangles()) t.push_back({tri[0] + off, tri[1] + off, tri[2] + off});
    const IbmMesh doubled(v, t, {"_default"}, std::vector<std::uint64_t>(t.size(), 0));
    std::vector<Vec3> pts;
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> u(-0.5, 1.5);
    for (int k = 0; k < 4000; ++k) pts.push_back({u(rng), u(rng), u(rng)});
    // Points on the cube's diagonals: rays along body diagonals run through
    // edges and corners.
    for (int k = 0; k < 200; ++k) {
        const double s = (k + 0.5) / 200 * 2 - 0.5;
        pts.push_back({s, s, s});
        pts.push_back({s, 1 - s, s});
    }
    for (const IbmMesh* m : {&box, &doubled}) {
        const RayTally tally = compare_rays(pts, *m, RigidPose::identity());
        EXPECT_EQ(tally.mismatches, 0u);
        EXPECT_GT(tally.replayed, 0u);
        EXPECT_GT(tally.replayed_binned, 0u);
    }
}

// Sorted times of impact of a hit list.
std::vector<double> sorted_tois(const RayHitList& h) {
    std::vector<double> t(h.toi, h.toi + h.count);
    std::sort(t.begin(), t.end());
    return t;
}

// Where both answer, the binned triangles give the traversal's hits, from
// origins inside, outside and far from the surface.
TEST(RayColumns, HitsMatchTheHierarchyTraversal) {
    std::size_t surfaces = 0;
    for (const char* file : {"bunny.stl", "gearwheel.ascii.stl"}) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        const TriMesh& tm = loaded->trimesh;
        ++surfaces;
        const double s = tm.coordinate_scale();
        std::mt19937_64 rng(21);
        std::uniform_real_distribution<double> u(-1.5 * s, 1.5 * s);
        std::size_t compared = 0;
        for (const Vec3& d : gcibm::INSIDE_TEST_DIRECTIONS) {
            const RayColumns columns(tm, d);
            ASSERT_TRUE(columns.usable()) << file;
            for (int k = 0; k < 2000; ++k) {
                const Vec3 o{u(rng), u(rng), u(rng)};
                const double shift = 1e-12 * s;
                RayHitList a, b;
                const bool ta = tm.collect_stable_hits(o, d, 1e6, shift, a);
                const auto tb = columns.collect_stable_hits(o, 1e6, shift, b);
                ASSERT_TRUE(tb.has_value());
                if (!ta || !*tb) continue;
                ++compared;
                ASSERT_EQ(sorted_tois(a), sorted_tois(b)) << file;
            }
        }
        EXPECT_GT(compared, 13u * 1900);
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

// The binning steps aside where it cannot vouch for an answer, and the
// crossings stay those of the literal casts.
TEST(RayColumns, StepsAsideWhereItCannotVouch) {
    const IbmMesh box = testing::box_mesh({0, 0, 0}, {1, 1, 1});
    const Vec3 d = gcibm::INSIDE_TEST_DIRECTIONS[0];
    RayHitList hits;
    EXPECT_FALSE(RayColumns(box.trimesh, {0, 0, 0}).usable());
    EXPECT_FALSE(RayColumns(box.trimesh, {NAN, 1, 0}).usable());
    const RayColumns columns(box.trimesh, d);
    ASSERT_TRUE(columns.usable());
    EXPECT_FALSE(columns.collect_stable_hits({NAN, 0.5, 0.5}, 1e6, 0, hits).has_value());
    EXPECT_FALSE(columns.collect_stable_hits({0.5, 0.5, 0.5}, 1e6, 1e-3, hits).has_value());
    EXPECT_FALSE(columns.collect_stable_hits({0.5, 0.5, 0.5}, NAN, 0, hits).has_value());
    ASSERT_EQ(columns.collect_stable_hits({0.5, 0.5, 0.5}, 1e6, 0, hits), std::optional<bool>(true));
    EXPECT_EQ(hits.count, 1);

    // A thousand triangles spanning the whole surface over as many small
    // ones: they would fill every cell of any grid fine enough to help, so
    // the binning is refused.
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    const auto tri = [&](const Vec3& a, const Vec3& b, const Vec3& c) {
        const auto i = static_cast<std::uint32_t>(v.size());
        v.insert(v.end(), {a, b, c});
        t.push_back({i, i + 1, i + 2});
    };
    for (int k = 0; k < 1000; ++k) tri({-1, -1, 0.0003 * k}, {2, -1, 0.0003 * k}, {-1, 2, 0.0003 * k + 0.5});
    for (int k = 0; k < 1024; ++k) {
        const double x = (k % 32) / 32.0, y = (k / 32) / 32.0;
        tri({x, y, 0.7}, {x + 0.01, y, 0.7}, {x, y + 0.01, 0.7});
    }
    const IbmMesh crowded(v, t, {"_default"}, std::vector<std::uint64_t>(t.size(), 0));
    const RayColumns refused(crowded.trimesh, d);
    EXPECT_FALSE(refused.usable());
    for (const Vec3& p : {Vec3{0.5, 0.5, -1}, Vec3{0.2, 0.3, 0.25}}) {
        EXPECT_EQ(gcibm::ray_crossings(p, d, crowded, RigidPose::identity(), &refused),
                  gcibm::ray_crossings_literal(p, d, crowded, RigidPose::identity()));
    }
}

}  // namespace
}  // namespace quorin
