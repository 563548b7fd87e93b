#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "quorin/export/faces.hpp"
#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/apibm.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"
#include "surfaces.hpp"
#include "../data_surfaces.hpp"

namespace quorin {
namespace {

const RigidPose IDENTITY = RigidPose::identity();
constexpr double F = apibm::APIBM_EPS_FACTOR;
constexpr double TOL = 1e-12;

// A square plane perpendicular to `axis` at coordinate `at`, spanning
// [-2, 2] on the other two axes: two triangles whose normal points along
// +axis (or -axis when flipped).
struct Plane {
    int axis;
    double at;
    std::uint64_t patch;
    bool flip = false;
};

// Planes appended in order (plane k holds triangles 2k and 2k + 1) under
// the patches "p0", "p1", "p2".
IbmMesh planes_mesh(const std::vector<Plane>& planes) {
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    std::vector<std::uint64_t> patches;
    for (const Plane& p : planes) {
        const int u = (p.axis + 1) % 3, w = (p.axis + 2) % 3;
        const auto base = static_cast<std::uint32_t>(v.size());
        for (int k = 0; k < 4; ++k) {
            Vec3 x{};
            x[p.axis] = p.at;
            x[u] = (k & 1) ? 2.0 : -2.0;
            x[w] = (k & 2) ? 2.0 : -2.0;
            v.push_back(x);
        }
        // Corners 0 (-,-), 1 (+,-), 2 (-,+), 3 (+,+); e_u × e_w = e_axis.
        if (!p.flip) {
            t.push_back({base + 0, base + 1, base + 2});
            t.push_back({base + 1, base + 3, base + 2});
        } else {
            t.push_back({base + 0, base + 2, base + 1});
            t.push_back({base + 1, base + 2, base + 3});
        }
        patches.push_back(p.patch);
        patches.push_back(p.patch);
    }
    return IbmMesh(v, t, {"p0", "p1", "p2"}, std::move(patches));
}

// The unit box over 10 x 10 x 10 root cells: edge 0.1, largest extent 1.
struct UnitGrid {
    Domain domain{{0, 0, 0}, {1, 1, 1}, 10, 10, 10};
    Forest forest{10, 10, 10};

    std::uint64_t cell_at(const Vec3& p) const { return *forest.locate_point(domain, p); }

    // Owner at (0.05, 0.05, 0.05), neighbour one cell further along `axis`.
    std::pair<std::uint64_t, std::uint64_t> face(int axis) const {
        Vec3 n{0.05, 0.05, 0.05};
        n[axis] = 0.15;
        return {cell_at({0.05, 0.05, 0.05}), cell_at(n)};
    }
};

TEST(Apibm, SinglePlaneAlongEachAxis) {
    struct Case {
        double at;
        bool present;
        double dist_o, dist_n;
        bool near_o, near_n;
    };
    // Near rule: distance at most h² / L = 0.01.
    const Case cases[] = {
        {0.12, true, 0.07, 0.03, false, false},
        {0.149, true, 0.099, 0.001, false, true},
        {0.05, true, 0.0, 0.1, true, false},   // through the owner's centre
        {0.15, true, 0.1, 0.0, false, true},   // through the neighbour's centre
        {0.059, true, 0.009, 0.091, true, false},
        {0.061, true, 0.011, 0.089, false, false},
        {0.141, true, 0.091, 0.009, false, true},
        {0.16, false, 0, 0, false, false},  // beyond the neighbour
        {0.04, false, 0, 0, false, false},  // behind the owner
    };
    const UnitGrid g;
    for (int axis = 0; axis < 3; ++axis) {
        const auto [o, n] = g.face(axis);
        for (const Case& c : cases) {
            for (bool flip : {false, true}) {
                SCOPED_TRACE("axis " + std::to_string(axis) + " at " + std::to_string(c.at) +
                             (flip ? " flipped" : ""));
                // A far plane first, so that the plane hit is not triangle 0.
                const IbmMesh mesh =
                    planes_mesh({{axis, 0.9, 0}, {axis, c.at, 2, flip}});
                const auto r = apibm::immersed_face(g.forest, g.domain, mesh, o, n,
                                                    static_cast<std::uint8_t>(axis), IDENTITY);
                ASSERT_EQ(r.has_value(), c.present);
                if (!r) continue;
                EXPECT_NEAR(r->dist_owner_to_bnd, c.dist_o, TOL);
                EXPECT_NEAR(r->dist_neighbour_to_bnd, c.dist_n, TOL);
                EXPECT_EQ(r->owner_near_boundary, c.near_o);
                EXPECT_EQ(r->neighbour_near_boundary, c.near_n);
                // The rays run through (0.05, 0.05) on the other axes: the
                // plane's second triangle, from the front on one side and
                // the back on the other; never an id at or above the count.
                EXPECT_EQ(r->owner_bnd_anchor_id, 3u);
                EXPECT_EQ(r->neighbour_bnd_anchor_id, 3u);
                EXPECT_EQ(r->owner_bnd_patch_id, 2u);
                EXPECT_EQ(r->neighbour_bnd_patch_id, 2u);
                EXPECT_GE(r->dist_owner_to_bnd, 0.0);
                EXPECT_GE(r->dist_neighbour_to_bnd, 0.0);
            }
        }
    }
}

TEST(Apibm, EachSideReportsTheFirstSurfaceFromItsOwnCentre) {
    const UnitGrid g;
    const auto [o, n] = g.face(0);
    // A thin body between the centres: two planes with different patches.
    const IbmMesh planes = planes_mesh({{0, 0.08, 2}, {0, 0.12, 1}});
    const auto r = apibm::immersed_face(g.forest, g.domain, planes, o, n, 0, IDENTITY);
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->dist_owner_to_bnd, 0.03, TOL);
    EXPECT_NEAR(r->dist_neighbour_to_bnd, 0.03, TOL);
    EXPECT_EQ(r->owner_bnd_anchor_id, 1u);
    EXPECT_EQ(r->owner_bnd_patch_id, 2u);
    EXPECT_EQ(r->neighbour_bnd_anchor_id, 3u);
    EXPECT_EQ(r->neighbour_bnd_patch_id, 1u);

    // A ray that starts inside a closed body reports where it leaves it, not 0.
    const IbmMesh box = testing::box_mesh({-1, -1, -1}, {0.12, 2, 2});
    const auto b = apibm::immersed_face(g.forest, g.domain, box, o, n, 0, IDENTITY);
    ASSERT_TRUE(b);
    EXPECT_NEAR(b->dist_owner_to_bnd, 0.07, TOL);
    EXPECT_NEAR(b->dist_neighbour_to_bnd, 0.03, TOL);
    // Both rays cross the +x face (triangles 2 and 3).
    EXPECT_TRUE(b->owner_bnd_anchor_id == 2 || b->owner_bnd_anchor_id == 3);
    EXPECT_EQ(b->neighbour_bnd_anchor_id, b->owner_bnd_anchor_id);
}

TEST(Apibm, BackOffMarginsBehindEachCentre) {
    const UnitGrid g;
    const auto [o, n] = g.face(0);
    const CellGeometry go = g.domain.cell_geometry(g.forest.leaves[o].decode());
    const CellGeometry gn = g.domain.cell_geometry(g.forest.leaves[n].decode());
    const double d = gn.centre[0] - go.centre[0];
    const double eps_o = F * std::fmax(d, go.centre[0]);
    const double eps_n = F * gn.centre[0];
    const auto at = [&](double x) {
        return apibm::immersed_face(g.forest, g.domain, planes_mesh({{0, x, 0}}), o, n, 0,
                                    IDENTITY);
    };

    // Inside the owner's margin: distance 0 on that side, exactly |d| on the other.
    const auto behind_owner = at(go.centre[0] - 0.5 * eps_o);
    ASSERT_TRUE(behind_owner);
    EXPECT_EQ(behind_owner->dist_owner_to_bnd, 0.0);
    EXPECT_EQ(behind_owner->dist_neighbour_to_bnd, std::fabs(d));
    EXPECT_TRUE(behind_owner->owner_near_boundary);

    const auto behind_neighbour = at(gn.centre[0] + 0.5 * eps_n);
    ASSERT_TRUE(behind_neighbour);
    EXPECT_EQ(behind_neighbour->dist_neighbour_to_bnd, 0.0);
    EXPECT_EQ(behind_neighbour->dist_owner_to_bnd, std::fabs(d));

    // The margin is a few ulps, not a tolerance.
    EXPECT_FALSE(at(go.centre[0] - 1e-12));
    EXPECT_FALSE(at(gn.centre[0] + 1e-12));

    // Far from the origin the margin grows with the centres' magnitude, so a
    // surface just behind the centre is still met.
    const Domain far({1e6, 0, 0}, {1e6 + 1, 1, 1}, 10, 10, 10);
    const std::uint64_t fo = *g.forest.locate_point(far, {1e6 + 0.05, 0.05, 0.05});
    const std::uint64_t fn = *g.forest.locate_point(far, {1e6 + 0.15, 0.05, 0.05});
    const double fc = far.cell_geometry(g.forest.leaves[fo].decode()).centre[0];
    const double feps = F * fc;
    const auto r = apibm::immersed_face(g.forest, far, planes_mesh({{0, fc - 0.5 * feps, 0}}),
                                        fo, fn, 0, IDENTITY);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->dist_owner_to_bnd, 0.0);
    EXPECT_NEAR(r->dist_neighbour_to_bnd, 0.1, 1e-9);
}

TEST(Apibm, NearFlagsUseEachSidesWidthAndTheLargestDomainExtent) {
    // Neighbour refined once: owner h = 0.1 (threshold 0.01), neighbour
    // h = 0.05 (threshold 0.0025); centres at x = 0.05 and 0.125.
    UnitGrid g;
    {
        std::vector<std::uint8_t> flags(g.forest.leaves.size(), 0);
        flags[g.cell_at({0.15, 0.05, 0.05})] = 1;
        g.forest.refine_by_flags(flags);
    }
    const std::uint64_t o = g.cell_at({0.05, 0.05, 0.05});
    const std::uint64_t n = g.cell_at({0.125, 0.025, 0.025});
    struct Case {
        double at;
        double dist_o, dist_n;
        bool near_o, near_n;
    };
    const Case cases[] = {
        {0.12, 0.07, 0.005, false, false},
        {0.123, 0.073, 0.002, false, true},
        {0.055, 0.005, 0.07, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        const auto r = apibm::immersed_face(g.forest, g.domain, planes_mesh({{0, c.at, 0}}), o,
                                            n, 0, IDENTITY);
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->dist_owner_to_bnd, c.dist_o, TOL);
        EXPECT_NEAR(r->dist_neighbour_to_bnd, c.dist_n, TOL);
        EXPECT_EQ(r->owner_near_boundary, c.near_o);
        EXPECT_EQ(r->neighbour_near_boundary, c.near_n);
    }

    // A domain 4 long in y: L = 4 for faces along x too (threshold 0.0025).
    const Domain tall({0, 0, 0}, {1, 4, 1}, 10, 10, 10);
    const Forest f(10, 10, 10);
    const std::uint64_t to = *f.locate_point(tall, {0.05, 0.2, 0.05});
    const std::uint64_t tn = *f.locate_point(tall, {0.15, 0.2, 0.05});
    for (const auto& [at, near] : {std::pair{0.145, false}, std::pair{0.148, true}}) {
        const auto r =
            apibm::immersed_face(f, tall, planes_mesh({{0, at, 0}}), to, tn, 0, IDENTITY);
        ASSERT_TRUE(r) << at;
        EXPECT_EQ(r->neighbour_near_boundary, near) << at;
    }

    // The rule includes its bound: with binary-exact geometry (h = 0.25,
    // L = 1) a distance of exactly h² / L = 0.0625 is near.
    const Domain unit({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const Forest q = testing::uniform_forest(1, 1, 1, 2);
    const std::uint64_t qo = *q.locate_point(unit, {0.125, 0.125, 0.125});
    const std::uint64_t qn = *q.locate_point(unit, {0.375, 0.125, 0.125});
    const auto r = apibm::immersed_face(q, unit, planes_mesh({{0, 0.1875, 0}}), qo, qn, 0, IDENTITY);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->dist_owner_to_bnd, 0.0625);
    EXPECT_TRUE(r->owner_near_boundary);
}

TEST(Apibm, RaysMeetTheSurfaceWhereThePosePutsIt) {
    const UnitGrid g;
    const auto [o, n] = g.face(0);

    // Translation by +0.01 along x moves the plane x = 0.12 to 0.13.
    const RigidPose shifted{{0, 0, 0, 1}, {0.01, 0, 0}};
    const auto t = apibm::immersed_face(g.forest, g.domain, planes_mesh({{0, 0.12, 1}}), o, n, 0,
                                        shifted);
    ASSERT_TRUE(t);
    EXPECT_NEAR(t->dist_owner_to_bnd, 0.08, TOL);
    EXPECT_NEAR(t->dist_neighbour_to_bnd, 0.02, TOL);

    // A quarter turn about z takes the plane y = -0.12 to x = 0.12, then the
    // translation to 0.13. Applying the pose the wrong way round misses it.
    const RigidPose turned = testing::pose_of({0, 0, 1}, std::numbers::pi / 2, {0.01, 0, 0});
    const IbmMesh y_plane = planes_mesh({{1, -0.12, 1}});
    const auto r = apibm::immersed_face(g.forest, g.domain, y_plane, o, n, 0, turned);
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->dist_owner_to_bnd, 0.08, TOL);
    EXPECT_NEAR(r->dist_neighbour_to_bnd, 0.02, TOL);
    EXPECT_EQ(r->owner_bnd_patch_id, 1u);
    // Unposed, the same surface crosses no face along x.
    EXPECT_FALSE(apibm::immersed_face(g.forest, g.domain, y_plane, o, n, 0, IDENTITY));
}

// Rᵀ·(p − t), written independently of the code under test.
Vec3 unplace(const RigidPose& p, const Vec3& v, bool is_direction) {
    const double x = p.rotation[0], y = p.rotation[1], z = p.rotation[2], w = p.rotation[3];
    const double m[3][3] = {
        {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
        {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
        {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)},
    };
    Vec3 q = v;
    if (!is_direction)
        for (int a = 0; a < 3; ++a) q[a] -= p.translation[a];
    Vec3 r;
    for (int a = 0; a < 3; ++a) r[a] = m[0][a] * q[0] + m[1][a] * q[1] + m[2][a] * q[2];
    return r;
}

// First crossing of every triangle in index order (lowest index on ties).
std::optional<RayHit> brute_force_ray(const IbmMesh& mesh, const Vec3& o, const Vec3& dir,
                                      double max_toi) {
    std::optional<RayHit> best;
    const auto& v = mesh.trimesh.vertices();
    const auto& tris = mesh.trimesh.triangles();
    for (std::uint32_t i = 0; i < tris.size(); ++i) {
        const auto h =
            trimesh::ray_triangle(o, dir, max_toi, v[tris[i][0]], v[tris[i][1]], v[tris[i][2]]);
        if (h && (!best || h->toi < best->toi)) best = RayHit{h->toi, i, h->back_side};
    }
    return best;
}

TEST(Apibm, PosedSphereMatchesBruteForceOnEveryFaceInParallel) {
    const testing::TriangleSoup s = testing::uv_sphere({0.5, 0.5, 0.5}, 0.3, 12, 24);
    std::vector<std::uint64_t> patch_ids(s.triangles.size());
    for (std::size_t i = 0; i < patch_ids.size(); ++i) patch_ids[i] = i % 3;
    const IbmMesh mesh(s.vertices, s.triangles, {"a", "b", "c"}, patch_ids);
    const RigidPose pose = testing::pose_of({1, 2, 3}, 0.7, {0.02, -0.01, 0.03});

    const Domain domain({0, 0, 0}, {1, 1, 1}, 2, 2, 2);
    Forest forest = testing::uniform_forest(2, 2, 2, 3);
    {
        // Mixed sizes: refine the cells of one octant once more.
        std::vector<std::uint8_t> flags(forest.leaves.size(), 0);
        for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = forest.leaves[i].tree() == 0;
        forest.refine_by_flags(flags);
        forest.enforce_2_to_1_balance();
    }
    const auto status = flood::initial_cell_status(forest, domain, mesh, pose);

    struct Face {
        std::uint64_t o, n;
        std::uint8_t axis;
    };
    std::vector<Face> faces;
    for (std::uint64_t i = 0; i < forest.leaves.size(); ++i)
        for (std::uint8_t a = 0; a < 3; ++a)
            for (std::uint64_t j : neighbour::face_neighbours(forest, i, FaceDir(2 * a + 1)))
                if (status[i] == STATUS_INTERSECTED || status[j] == STATUS_INTERSECTED)
                    faces.push_back({i, j, a});
    ASSERT_GT(faces.size(), 1000u);

    const auto got = parallel::map(
        faces.size(),
        [&](std::size_t k) {
            return apibm::immersed_face(forest, domain, mesh, faces[k].o, faces[k].n,
                                        faces[k].axis, pose);
        },
        16);

    // The grid caster of the whole-mesh passes, with the owner's geometry
    // given or computed, answers every face as the hierarchy does.
    const AxisRayCaster rays(mesh.trimesh, pose, apibm::face_ray_reach(domain, pose));
    for (std::size_t k = 0; k < faces.size(); ++k) {
        const Face& f = faces[k];
        const CellGeometry go = domain.cell_geometry(forest.leaves[f.o].decode());
        EXPECT_EQ(apibm::immersed_face(forest, domain, mesh, rays, f.o, f.n, f.axis), got[k]) << k;
        EXPECT_EQ(apibm::immersed_face(forest, domain, mesh, rays, f.o, go, f.n, f.axis), got[k]) << k;
        EXPECT_EQ(apibm::immersed_listed_face(forest, domain, mesh, rays, f.o, forest.leaves[f.o].decode(), go,
                                              f.n, f.axis),
                  got[k])
            << k;
    }

    const double n_tri = static_cast<double>(s.triangles.size());
    std::size_t present = 0;
    for (std::size_t k = 0; k < faces.size(); ++k) {
        const Face& f = faces[k];
        SCOPED_TRACE("face " + std::to_string(k));
        const CellGeometry go = domain.cell_geometry(forest.leaves[f.o].decode());
        const CellGeometry gn = domain.cell_geometry(forest.leaves[f.n].decode());
        const double d = std::fabs(gn.centre[f.axis] - go.centre[f.axis]);
        Vec3 e{0, 0, 0};
        e[f.axis] = 1;
        const Vec3 back{-e[0], -e[1], -e[2]};
        // Reference rays start a little behind each centre and run 2·d; a
        // hit within rounding of either end of the segment is not judged.
        constexpr double back_off = 1e-9;
        const auto side = [&](const Vec3& c, const Vec3& dir) -> std::optional<RayHit> {
            const Vec3 start{c[0] - back_off * dir[0], c[1] - back_off * dir[1],
                             c[2] - back_off * dir[2]};
            auto h = brute_force_ray(mesh, unplace(pose, start, false), unplace(pose, dir, true),
                                     2 * d);
            if (h) h->toi -= back_off;
            return h;
        };
        const auto ho = side(go.centre, e);
        const auto hn = side(gn.centre, back);
        const auto near_end = [&](const std::optional<RayHit>& h) {
            return h && (std::fabs(h->toi) < back_off || std::fabs(h->toi - d) < back_off);
        };
        if (near_end(ho) || near_end(hn)) continue;
        const bool expect = ho && ho->toi <= d && hn && hn->toi <= d;
        ASSERT_EQ(got[k].has_value(), expect);
        if (!expect) continue;
        ++present;
        const ImmersedFace& r = *got[k];
        EXPECT_NEAR(r.dist_owner_to_bnd, ho->toi, 1e-12);
        EXPECT_NEAR(r.dist_neighbour_to_bnd, hn->toi, 1e-12);
        EXPECT_EQ(r.owner_bnd_anchor_id, ho->triangle);
        EXPECT_EQ(r.neighbour_bnd_anchor_id, hn->triangle);
        EXPECT_LT(static_cast<double>(r.owner_bnd_anchor_id), n_tri);
        EXPECT_EQ(r.owner_bnd_patch_id, ho->triangle % 3);
        EXPECT_EQ(r.neighbour_bnd_patch_id, hn->triangle % 3);
        const double ho_w = go.size[f.axis], hn_w = gn.size[f.axis];
        EXPECT_EQ(r.owner_near_boundary, ho_w / 1.0 >= r.dist_owner_to_bnd / ho_w);
        EXPECT_EQ(r.neighbour_near_boundary, hn_w / 1.0 >= r.dist_neighbour_to_bnd / hn_w);
    }
    EXPECT_GT(present, 500u);
}

// Every face that the cells of a background mesh refined around a real
// surface list (same-level, coarser and finer neighbours, across roots): the
// neighbour geometry derived from the owner's must be that of the
// neighbour's decoded key, bit for bit.
TEST(Apibm, AcrossGeometryIsTheDecodedNeighboursOnRealSurfaces) {
    std::size_t surfaces = 0;
    for (const char* file : {"bunny.stl", "gearwheel.ascii.stl", "bunny_gear_multipart.obj"}) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        ++surfaces;
        const testing::BoxAround around = testing::box_around(*loaded, 0.8, 0.7);
        const BuildSettings settings{{around.lo, around.hi}, {3, 4, 5}, 0};
        const auto [forest, domain] = build_amr_forest(settings, *loaded, 4, {}, IDENTITY);
        std::size_t same = 0, other = 0;
        for (std::uint64_t i = 0; i < forest.leaves.size(); ++i) {
            const DecodedKey key = forest.leaves[i].decode();
            const CellGeometry g = domain.cell_geometry(key);
            cell_faces::enumerate(
                forest, i,
                [&](std::uint64_t j, std::uint8_t axis) {
                    const CellGeometry want = domain.cell_geometry(forest.leaves[j].decode());
                    const CellGeometry got = apibm::across_geometry(forest, domain, key, g, j, axis);
                    EXPECT_EQ(got.centre, want.centre) << file << " face " << i << "-" << j;
                    EXPECT_EQ(got.size, want.size) << file << " face " << i << "-" << j;
                    (forest.leaves[j].level() == key.level ? same : other) += 1;
                },
                [](FaceDir) {});
        }
        EXPECT_GT(same, 1000u) << file;
        EXPECT_GT(other, 100u) << file;
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

TEST(Apibm, ViolatedPreconditionsStopWithInternalErrors) {
    const UnitGrid g;
    const auto [o, n] = g.face(0);
    const IbmMesh plane = planes_mesh({{0, 0.12, 0}});
    const auto message = [&](auto&& call) -> std::string {
        try {
            call();
        } catch (const InternalError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] {
                  apibm::immersed_face(g.forest, g.domain, plane, 1000, n, 0, IDENTITY);
              }),
              "index out of bounds: the len is 1000 but the index is 1000");
    EXPECT_EQ(message([&] {
                  apibm::immersed_face(g.forest, g.domain, plane, o, 1005, 0, IDENTITY);
              }),
              "index out of bounds: the len is 1000 but the index is 1005");
    EXPECT_EQ(message([&] {
                  apibm::immersed_face(g.forest, g.domain, plane, o, n, 3, IDENTITY);
              }),
              "index out of bounds: the len is 3 but the index is 3");
    // The same stops where the caller gives the owner's key and geometry.
    const AxisRayCaster rays(plane.trimesh, IDENTITY, apibm::face_ray_reach(g.domain, IDENTITY));
    const DecodedKey ko = g.forest.leaves[o].decode();
    const CellGeometry go = g.domain.cell_geometry(ko);
    EXPECT_EQ(message([&] { apibm::immersed_listed_face(g.forest, g.domain, plane, rays, o, ko, go, 1005, 0); }),
              "index out of bounds: the len is 1000 but the index is 1005");
    EXPECT_EQ(message([&] { apibm::immersed_listed_face(g.forest, g.domain, plane, rays, o, ko, go, n, 3); }),
              "index out of bounds: the len is 3 but the index is 3");
    EXPECT_EQ(message([&] { apibm::across_geometry(g.forest, g.domain, ko, go, 1000, 0); }),
              "index out of bounds: the len is 1000 but the index is 1000");

    // A hit triangle without a patch id.
    const IbmMesh short_patches(plane.trimesh.vertices(), plane.trimesh.triangles(), {"p0"}, {0});
    EXPECT_EQ(message([&] {
                  apibm::immersed_face(g.forest, g.domain, short_patches, o, n, 0, IDENTITY);
              }),
              "index out of bounds: the len is 1 but the index is 1");
}

TEST(Apibm, NonFiniteGeometryNeverYieldsANaNRecord) {
    // An infinite domain makes every centre NaN: the call either finds no
    // surface or stops with an internal error, but never reports NaN distances.
    const double inf = std::numeric_limits<double>::infinity();
    const Domain domain({-inf, 0, 0}, {1, 1, 1}, 10, 10, 10);
    const Forest forest(10, 10, 10);
    const IbmMesh plane = planes_mesh({{0, 0.12, 0}});
    for (std::uint8_t axis = 0; axis < 3; ++axis) {
        try {
            const auto r = apibm::immersed_face(forest, domain, plane, 0, 1, axis, IDENTITY);
            if (r) {
                EXPECT_FALSE(std::isnan(r->dist_owner_to_bnd));
                EXPECT_FALSE(std::isnan(r->dist_neighbour_to_bnd));
            }
        } catch (const InternalError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("min > max, or either was NaN.", 0), 0u);
        }
    }
}

}  // namespace
}  // namespace quorin
