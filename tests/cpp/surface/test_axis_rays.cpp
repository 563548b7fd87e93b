// The axis-ray grids against the hierarchy's posed cast, ray by ray: every
// field of the nearest hit (time of impact bit for bit, triangle, side) must
// agree, on real surfaces under several poses, for short and long rays along
// ±x, ±y, ±z from random points and from points aimed at corners, edge
// midpoints and centroids (shared edges, shared vertices, ties), and for the
// rays that the grids hand back to the hierarchy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quorin/parallel.hpp"
#include "quorin/surface/axis_rays.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "../data_surfaces.hpp"

namespace quorin {
namespace {

struct Ray {
    Vec3 origin;
    Vec3 dir;
    double max_toi;
};

struct Tally {
    std::size_t rays = 0;
    std::size_t hits = 0;
    std::size_t mismatches = 0;
};

Tally compare(const TriMesh& mesh, const RigidPose& pose, const AxisRayCaster& caster, const std::vector<Ray>& rays) {
    const auto per_ray = parallel::map(rays.size(), [&](std::size_t k) -> std::uint8_t {
        const Ray& r = rays[k];
        const auto fast = caster.cast(r.origin, r.dir, r.max_toi);
        const auto want = mesh.cast_ray_posed(r.origin, r.dir, r.max_toi, pose);
        if (fast.has_value() != want.has_value()) return 2;
        if (!want) return 0;
        const bool same = std::signbit(fast->toi) == std::signbit(want->toi) && fast->toi == want->toi &&
                          fast->triangle == want->triangle && fast->back_side == want->back_side;
        return same ? 1 : 2;
    });
    Tally t;
    t.rays = rays.size();
    for (std::uint8_t v : per_ray) {
        t.hits += v == 1;
        t.mismatches += v == 2;
    }
    return t;
}

constexpr Vec3 AXES[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

// Rays along ±axis through points of the placed surface (corners, edge
// midpoints, centroids) and through random points of its box, starting a
// random distance before the point; lengths from a hair to the box size.
std::vector<Ray> axis_rays(const IbmMesh& m, const RigidPose& pose, double size, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto& v = m.trimesh.vertices();
    const auto& tris = m.trimesh.triangles();
    Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    for (const Vec3& p : v)
        for (int a = 0; a < 3; ++a) {
            const double x = pose.transform_point(p)[a];
            lo[a] = std::min(lo[a], x);
            hi[a] = std::max(hi[a], x);
        }
    std::vector<Ray> rays;
    const auto add = [&](const Vec3& through) {
        const int a = static_cast<int>(rng() % 3);
        const double sign = (rng() & 1) ? 1.0 : -1.0;
        const Vec3 d{sign * AXES[a][0], sign * AXES[a][1], sign * AXES[a][2]};
        // Short rays, as the faces cast, and some across the whole surface.
        const double len = (rng() % 8 == 0) ? size : size * std::pow(2.0, -3.0 - 12.0 * unit(rng));
        const double before = len * unit(rng);
        Vec3 o = through;
        o[a] -= sign * before;
        rays.push_back({o, d, len});
    };
    for (std::size_t k = 0; k < 4000; ++k) {
        const Triangle& t = tris[rng() % tris.size()];
        const Vec3 a = pose.transform_point(v[t[0]]);
        const Vec3 b = pose.transform_point(v[t[1]]);
        const Vec3 c = pose.transform_point(v[t[2]]);
        add(a);
        add({0.5 * (a[0] + b[0]), 0.5 * (a[1] + b[1]), 0.5 * (a[2] + b[2])});
        add({(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3});
        add({lo[0] + (hi[0] - lo[0]) * unit(rng), lo[1] + (hi[1] - lo[1]) * unit(rng),
             lo[2] + (hi[2] - lo[2]) * unit(rng)});
    }
    return rays;
}

RigidPose random_pose(std::mt19937_64& rng, double size) {
    std::normal_distribution<double> n(0.0, 1.0);
    double q[4] = {n(rng), n(rng), n(rng), n(rng)};
    RigidPose p = RigidPose::identity();
    p.set_absolute(Vec3{0.1 * size * n(rng), 0.1 * size * n(rng), 0.1 * size * n(rng)},
                   std::array<double, 4>{q[0], q[1], q[2], q[3]});
    return p;
}

TEST(AxisRayCaster, MatchesPosedCastsOnRealSurfaces) {
    const char* files[] = {"bunny.stl", "scan_bunny_open.bin.stl", "gearwheel.ascii.stl",
                           "bunny_gear_multipart.obj", "cube_solid_header.bin.stl"};
    std::size_t surfaces = 0;
    for (const char* file : files) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        const IbmMesh& m = *loaded;
        ++surfaces;
        const double size = 2 * m.trimesh.coordinate_scale();
        std::mt19937_64 rng(17);
        std::vector<RigidPose> poses = {RigidPose::identity(),
                                        RigidPose{{0, 0, 0, 1}, {0.013 * size, -0.021 * size, 0.007 * size}}};
        for (int k = 0; k < 3; ++k) poses.push_back(random_pose(rng, size));
        for (std::size_t p = 0; p < poses.size(); ++p) {
            const RigidPose& pose = poses[p];
            const AxisRayCaster caster(m.trimesh, pose, 4 * size);
            EXPECT_TRUE(caster.has_grids()) << file;
            const Tally t = compare(m.trimesh, pose, caster, axis_rays(m, pose, size, 100 + p));
            EXPECT_EQ(t.mismatches, 0u) << file << " pose " << p;
            // Not vacuous: a good share of the rays hit.
            EXPECT_GT(t.hits, t.rays / 10) << file << " pose " << p;
        }
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

// Rays whose span ends right at a triangle: each hit of the rays above is
// cast again with its limit a hair below, at and above the time of impact,
// and from an origin a hair before and past the hit, so the triangle lies
// at either end of the span, where the grids' span filter must
// keep every triangle that the hierarchy reports.
TEST(AxisRayCaster, SpansEndingAtTheHitMatchTheHierarchy) {
    const char* files[] = {"bunny.stl", "gearwheel.ascii.stl", "bunny_gear_multipart.obj"};
    std::size_t surfaces = 0;
    for (const char* file : files) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        const IbmMesh& m = *loaded;
        ++surfaces;
        const double size = 2 * m.trimesh.coordinate_scale();
        std::mt19937_64 rng(29);
        std::vector<RigidPose> poses = {RigidPose::identity()};
        for (int k = 0; k < 2; ++k) poses.push_back(random_pose(rng, size));
        for (std::size_t p = 0; p < poses.size(); ++p) {
            const RigidPose& pose = poses[p];
            const AxisRayCaster caster(m.trimesh, pose, 4 * size);
            std::vector<Ray> rays;
            for (const Ray& r : axis_rays(m, pose, size, 200 + p)) {
                const auto hit = m.trimesh.cast_ray_posed(r.origin, r.dir, r.max_toi, pose);
                if (!hit || !(hit->toi > 0)) continue;
                const double t = hit->toi;
                for (double limit : {t, std::nextafter(t, 0.0), std::nextafter(t, 2 * t), t * (1 - 0x1p-40),
                                     t * (1 + 0x1p-40), t * (1 - 0x1p-24), t * (1 + 0x1p-24)})
                    rays.push_back({r.origin, r.dir, limit});
                for (double f : {1 - 0x1p-40, 1 + 0x1p-40, 1 - 0x1p-24, 1 + 0x1p-24}) {
                    Vec3 o = r.origin;
                    for (int a = 0; a < 3; ++a) o[a] += f * t * r.dir[a];
                    for (double len : {0.0, t * 0x1p-30, t * 0x1p-10}) rays.push_back({o, r.dir, len});
                }
            }
            ASSERT_GT(rays.size(), 1000u) << file;
            const Tally tally = compare(m.trimesh, pose, caster, rays);
            EXPECT_EQ(tally.mismatches, 0u) << file << " pose " << p;
            EXPECT_GT(tally.hits, rays.size() / 4) << file << " pose " << p;
        }
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

// Two copies of a box, one of them shifted by a hair, and a duplicate of one
// face: equal times of impact must resolve to the lowest triangle, and rays
// grazing edges and corners must agree with the hierarchy.
TEST(AxisRayCaster, TiesEdgesAndCornersOfCloseSheets) {
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    const auto add_box = [&](const Vec3& lo, const Vec3& hi) {
        const auto base = static_cast<std::uint32_t>(v.size());
        for (int k = 0; k < 8; ++k)
            v.push_back({(k & 1) ? hi[0] : lo[0], (k & 2) ? hi[1] : lo[1], (k & 4) ? hi[2] : lo[2]});
        const Triangle faces[12] = {{0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}, {0, 4, 5}, {0, 5, 1},
                                    {2, 3, 7}, {2, 7, 6}, {0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5}};
        for (const Triangle& f : faces) t.push_back({f[0] + base, f[1] + base, f[2] + base});
    };
    add_box({0, 0, 0}, {1, 1, 1});
    add_box({0, 0, 0}, {1 + 5e-8, 1, 1});
    t.push_back(t[3]);  // the same face twice
    const IbmMesh m(v, t, {"_default"}, std::vector<std::uint64_t>(t.size(), 0));

    std::vector<Ray> rays;
    const double grid[] = {0.0, 0.25, 0.5, 1.0, 1 + 5e-8};
    for (int a = 0; a < 3; ++a)
        for (double sign : {1.0, -1.0})
            for (double u : grid)
                for (double w : grid)
                    for (double len : {0.5, 1.0, 3.0, 1e-9}) {
                        Vec3 o{};
                        o[(a + 1) % 3] = u;
                        o[(a + 2) % 3] = w;
                        o[a] = sign > 0 ? -0.5 : 1.5;
                        Vec3 d{};
                        d[a] = sign;
                        rays.push_back({o, d, len});
                        o[a] = sign > 0 ? 1.0 - 1e-9 : 1e-9;  // starting right before a sheet
                        rays.push_back({o, d, len});
                    }
    for (const RigidPose& pose : {RigidPose::identity(), RigidPose{{0, 0, 0, 1}, {0.125, -0.25, 0.0}}}) {
        const AxisRayCaster caster(m.trimesh, pose, 10.0);
        const Tally tally = compare(m.trimesh, pose, caster, rays);
        EXPECT_EQ(tally.mismatches, 0u);
        EXPECT_GT(tally.hits, rays.size() / 4);
    }
}

// Rays the grids do not serve go to the hierarchy: other directions, origins
// or lengths beyond the reach, unbounded and invalid rays; and a caster
// without grids answers every ray the same way.
TEST(AxisRayCaster, RaysOutsideTheGridsGoToTheHierarchy) {
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    for (int k = 0; k < 6; ++k) {
        const double z = 0.1 * k;
        const auto base = static_cast<std::uint32_t>(v.size());
        v.insert(v.end(), {{-1, -1, z}, {1, -1, z}, {-1, 1, z + 0.05}});
        t.push_back({base, base + 1, base + 2});
    }
    const IbmMesh m(v, t, {"_default"}, std::vector<std::uint64_t>(t.size(), 0));
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Ray> rays = {
        {{0, 0, -1}, {0, 0, 1}, 2.0},        // served
        {{0, 0, -1}, {0.1, 0, 1}, 2.0},      // oblique
        {{0, 0, -1}, {0, 0, 2}, 2.0},        // along z, not unit
        {{0, 0, 5}, {0, 0, -1}, inf},        // unbounded
        {{0, 0, 5}, {0, 0, -1}, nan},        // NaN limit
        {{0, 0, 5}, {0, 0, -1}, -1.0},       // negative limit
        {{0, 0, -50}, {0, 0, 1}, 100.0},     // origin beyond the reach
        {{0, 0, 0}, {0, 0, 0}, 1.0},         // no direction
        {{nan, 0, 0}, {0, 0, 1}, 1.0},       // no origin
        {{0, 0, -1}, {0, 0, 1}, 0.0},        // zero length
        {{0, 0, 0.1}, {0, 0, 1}, 0.0},       // zero length, on a sheet
    };
    std::mt19937_64 rng(3);
    for (const RigidPose& pose : {RigidPose::identity(), random_pose(rng, 1.0)}) {
        for (double reach : {10.0, nan}) {
            const AxisRayCaster caster(m.trimesh, pose, reach);
            EXPECT_EQ(caster.has_grids(), !std::isnan(reach));
            EXPECT_EQ(compare(m.trimesh, pose, caster, rays).mismatches, 0u) << reach;
        }
    }
}

}  // namespace
}  // namespace quorin
