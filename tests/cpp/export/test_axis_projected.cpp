#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/export/axis_projected.hpp"
#include "quorin/export/ghost_cell.hpp"
#include "quorin/ibm/apibm.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"
#include "../data_surfaces.hpp"
#include "mesh_checks.hpp"

namespace quorin {
namespace {

using testing::uniform_forest;
using U64 = std::vector<std::uint64_t>;
using U8 = std::vector<std::uint8_t>;

const RigidPose IDENTITY = RigidPose::identity();

void expect_same_ap(const ApIbmFaceData& a, const ApIbmFaceData& b) {
    EXPECT_EQ(a.is_immersed_face, b.is_immersed_face);
    EXPECT_EQ(a.dist_owner_to_bnd, b.dist_owner_to_bnd);
    EXPECT_EQ(a.dist_neighbour_to_bnd, b.dist_neighbour_to_bnd);
    EXPECT_EQ(a.owner_near_boundary, b.owner_near_boundary);
    EXPECT_EQ(a.neighbour_near_boundary, b.neighbour_near_boundary);
    EXPECT_EQ(a.owner_bnd_anchor_id, b.owner_bnd_anchor_id);
    EXPECT_EQ(a.owner_bnd_patch_id, b.owner_bnd_patch_id);
    EXPECT_EQ(a.neighbour_bnd_anchor_id, b.neighbour_bnd_anchor_id);
    EXPECT_EQ(a.neighbour_bnd_patch_id, b.neighbour_bnd_patch_id);
}

using testing::expect_same_cells_and_faces;

// The payload written out face by face: computed where the owner or the
// neighbour is intersected, packed in face order.
ApIbmFaceData plain_payload(const Forest& f, const Domain& d, const IbmMesh& m,
                            std::span<const CellStatus> s, const CfdAxisProjectedMesh& mesh,
                            const RigidPose& pose) {
    ApIbmFaceData ap;
    for (std::size_t k = 0; k < mesh.internal_faces_owner.size(); ++k) {
        const auto o = mesh.internal_faces_owner[k], n = mesh.internal_faces_neighbour[k];
        std::optional<ImmersedFace> r;
        if (s[o] == STATUS_INTERSECTED || s[n] == STATUS_INTERSECTED)
            r = apibm::immersed_face(f, d, m, o, n, mesh.internal_faces_axis[k], pose);
        ap.is_immersed_face.push_back(r.has_value());
        if (!r) continue;
        ap.dist_owner_to_bnd.push_back(r->dist_owner_to_bnd);
        ap.dist_neighbour_to_bnd.push_back(r->dist_neighbour_to_bnd);
        ap.owner_near_boundary.push_back(r->owner_near_boundary);
        ap.neighbour_near_boundary.push_back(r->neighbour_near_boundary);
        ap.owner_bnd_anchor_id.push_back(r->owner_bnd_anchor_id);
        ap.owner_bnd_patch_id.push_back(r->owner_bnd_patch_id);
        ap.neighbour_bnd_anchor_id.push_back(r->neighbour_bnd_anchor_id);
        ap.neighbour_bnd_patch_id.push_back(r->neighbour_bnd_patch_id);
    }
    return ap;
}

template <class V>
std::size_t count_true(const V& v) { return std::count(v.begin(), v.end(), 1); }

// A sphere in the unit box, the cells it cuts refined twice and balanced:
// several chunks of cells, coarse cells away from the sphere.
struct SphereCase {
    Domain domain{{0, 0, 0}, {1, 1, 1}, 2, 2, 2};
    IbmMesh sphere = testing::sphere_mesh({0.45, 0.5, 0.52}, 0.2, 12, 24);
    Forest forest = uniform_forest(2, 2, 2, 2);

    SphereCase() {
        for (int pass = 0; pass < 2; ++pass) {
            const auto s = status_at(IDENTITY);
            U8 flags(s.size());
            for (std::size_t i = 0; i < s.size(); ++i) flags[i] = s[i] == STATUS_INTERSECTED;
            forest.refine_by_flags(flags);
        }
        forest.enforce_2_to_1_balance();
    }
    Buffer<CellStatus> status_at(const RigidPose& pose) const {
        return flood::initial_cell_status(forest, domain, sphere, pose);
    }
    CfdAxisProjectedMesh build(const RigidPose& pose) const {
        return axis_projected::build_axis_projected_mesh(forest, domain, sphere, status_at(pose),
                                                         pose);
    }
};

TEST(AxisProjectedMesh, SphereMeshMatchesFaceByFaceComputation) {
    const SphereCase c;
    ASSERT_GT(c.forest.leaves.size(), 2 * 1024u);
    const auto status = c.status_at(IDENTITY);
    const CfdAxisProjectedMesh m = c.build(IDENTITY);
    EXPECT_EQ(m.coordinate_type, 0);
    EXPECT_EQ(m.n_cells, c.forest.leaves.size());
    EXPECT_EQ(m.patch_names, c.sphere.patch_names);
    // Cells and faces are those of the ghost-cell mesh.
    GhostCellData flags;
    flags.is_fluid.assign(c.forest.leaves.size(), 0);
    const CfdGhostCellMesh g =
        ghost_cell::build_ghost_cell_mesh(c.forest, c.domain, c.sphere, std::move(flags));
    EXPECT_EQ(m.cell_centers, g.cell_centers);
    EXPECT_EQ(m.cell_sizes, g.cell_sizes);
    EXPECT_EQ(m.internal_faces_owner, g.internal_faces_owner);
    EXPECT_EQ(m.internal_faces_neighbour, g.internal_faces_neighbour);
    EXPECT_EQ(m.internal_faces_axis, g.internal_faces_axis);
    EXPECT_EQ(m.domain_bnd_faces_owner, g.domain_bnd_faces_owner);
    EXPECT_EQ(m.domain_bnd_faces_dir, g.domain_bnd_faces_dir);
    testing::expect_faces_cover_cells(c.forest, c.domain, m);

    const ApIbmFaceData want = plain_payload(c.forest, c.domain, c.sphere, status, m, IDENTITY);
    expect_same_ap(m.ap, want);
    ASSERT_EQ(m.ap.is_immersed_face.size(), m.internal_faces_owner.size());
    const std::size_t imm = count_true(m.ap.is_immersed_face);
    EXPECT_GT(imm, 100u);
    for (const auto* v : {&m.ap.owner_bnd_anchor_id, &m.ap.owner_bnd_patch_id,
                          &m.ap.neighbour_bnd_anchor_id, &m.ap.neighbour_bnd_patch_id})
        EXPECT_EQ(v->size(), imm);
    EXPECT_EQ(m.ap.dist_owner_to_bnd.size(), imm);
    EXPECT_EQ(m.ap.owner_near_boundary.size(), imm);
    for (std::size_t k = 0; k < m.ap.is_immersed_face.size(); ++k) {
        const auto o = m.internal_faces_owner[k], n = m.internal_faces_neighbour[k];
        if (status[o] != STATUS_INTERSECTED && status[n] != STATUS_INTERSECTED) {
            EXPECT_EQ(m.ap.is_immersed_face[k], 0) << k;
        }
    }
}

TEST(AxisProjectedMesh, CellRecordsCarryTheirFacesPayload) {
    const SphereCase c;
    const auto status = c.status_at(IDENTITY);
    const CfdAxisProjectedMesh m = c.build(IDENTITY);
    std::size_t face = 0, imm = 0;
    for (std::uint64_t i = 0; i < c.forest.leaves.size(); ++i) {
        const AxisProjectedMeshCell r =
            axis_projected::cell_record(c.forest, c.domain, c.sphere, status, IDENTITY, i);
        ASSERT_EQ(r.is_immersed_face.size(), r.internal_faces_owner.size());
        EXPECT_EQ(r.cell_center, m.cell_centers[i]);
        EXPECT_EQ(r.cell_size, m.cell_sizes[i]);
        for (std::size_t k = 0; k < r.internal_faces_owner.size(); ++k, ++face) {
            ASSERT_EQ(r.internal_faces_neighbour[k], m.internal_faces_neighbour[face]);
            ASSERT_EQ(r.is_immersed_face[k], m.ap.is_immersed_face[face]);
        }
        ASSERT_EQ(r.dist_owner_to_bnd.size(), count_true(r.is_immersed_face));
        for (std::size_t k = 0; k < r.dist_owner_to_bnd.size(); ++k, ++imm) {
            EXPECT_EQ(r.dist_owner_to_bnd[k], m.ap.dist_owner_to_bnd[imm]);
            EXPECT_EQ(r.neighbour_bnd_anchor_id[k], m.ap.neighbour_bnd_anchor_id[imm]);
        }
    }
    EXPECT_EQ(face, m.internal_faces_owner.size());
    EXPECT_EQ(imm, m.ap.dist_owner_to_bnd.size());
}

// A plane x = 0.3 through a uniform 4 x 4 x 4 grid (cell edge 0.25): only the
// statuses decide which faces are asked.
TEST(AxisProjectedMesh, StatusesChooseTheFacesComputed) {
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const Forest f = uniform_forest(1, 1, 1, 2);
    const IbmMesh plane = testing::make_mesh(
        {{0.3, -1, -1}, {0.3, 2, -1}, {0.3, -1, 2}, {0.3, 2, 2}}, {{0, 1, 2}, {1, 3, 2}});
    const std::uint64_t low = *f.locate_point(d, {0.125, 0.375, 0.625});
    const std::uint64_t high = *f.locate_point(d, {0.375, 0.375, 0.625});
    const std::size_t n = f.leaves.size();
    auto build = [&](std::span<const CellStatus> s, const IbmMesh& surf) {
        return axis_projected::build_axis_projected_mesh(f, d, surf, s, IDENTITY);
    };
    {
        // Only the high-side cell is intersected: the face whose neighbour it
        // is, is computed; its own y and z faces miss the plane.
        std::vector<CellStatus> s(n, STATUS_DEFAULT);
        s[high] = STATUS_INTERSECTED;
        const CfdAxisProjectedMesh m = build(s, plane);
        ASSERT_EQ(count_true(m.ap.is_immersed_face), 1u);
        const auto k = std::find(m.ap.is_immersed_face.begin(), m.ap.is_immersed_face.end(), 1) -
                       m.ap.is_immersed_face.begin();
        EXPECT_EQ(m.internal_faces_owner[k], low);
        EXPECT_EQ(m.internal_faces_neighbour[k], high);
        EXPECT_EQ(m.internal_faces_axis[k], 0);
        EXPECT_NEAR(m.ap.dist_owner_to_bnd[0], 0.175, 1e-12);
        EXPECT_NEAR(m.ap.dist_neighbour_to_bnd[0], 0.075, 1e-12);
        EXPECT_EQ(m.ap.owner_near_boundary, U8{0});
        EXPECT_EQ(m.ap.neighbour_near_boundary, U8{0});
        EXPECT_EQ(m.ap.owner_bnd_patch_id, U64{0});
        EXPECT_LT(m.ap.owner_bnd_anchor_id[0], 2u);
        EXPECT_LT(m.ap.neighbour_bnd_anchor_id[0], 2u);
    }
    {
        // The same with the owner intersected.
        std::vector<CellStatus> s(n, STATUS_DEFAULT);
        s[low] = STATUS_INTERSECTED;
        EXPECT_EQ(count_true(build(s, plane).ap.is_immersed_face), 1u);
    }
    for (const CellStatus other : {STATUS_FLUID, STATUS_DEFAULT}) {
        // The plane crosses 16 x-faces, but no cell is intersected.
        const CfdAxisProjectedMesh m = build(std::vector<CellStatus>(n, other), plane);
        EXPECT_EQ(m.ap.is_immersed_face, U8(m.internal_faces_owner.size(), 0));
        EXPECT_TRUE(m.ap.dist_owner_to_bnd.empty() && m.ap.neighbour_bnd_patch_id.empty());
    }
    {
        // Every cell intersected: exactly the 16 x-faces the plane crosses.
        const CfdAxisProjectedMesh m = build(std::vector<CellStatus>(n, STATUS_INTERSECTED), plane);
        EXPECT_EQ(count_true(m.ap.is_immersed_face), 16u);
        // Every cell intersected but the surface far away: both rays miss.
        const CfdAxisProjectedMesh far = build(std::vector<CellStatus>(n, STATUS_INTERSECTED),
                                               mesh::placeholder_surface());
        EXPECT_EQ(far.ap.is_immersed_face, U8(far.internal_faces_owner.size(), 0));
        EXPECT_TRUE(far.ap.dist_owner_to_bnd.empty() && far.ap.owner_near_boundary.empty() &&
                    far.ap.owner_bnd_anchor_id.empty());
        EXPECT_EQ(far.patch_names, (std::vector<std::string>{"empty"}));
    }
}

TEST(AxisProjectedMesh, PoseChangesOnlyThePayload) {
    const SphereCase c;
    const RigidPose moved = testing::pose_of({0, 0, 1}, 0.3, {0.013, -0.02, 0.007});
    const CfdAxisProjectedMesh a = c.build(IDENTITY);
    const CfdAxisProjectedMesh b = c.build(moved);
    expect_same_cells_and_faces(a, b);
    EXPECT_NE(a.ap.dist_owner_to_bnd, b.ap.dist_owner_to_bnd);
    expect_same_ap(b.ap, plain_payload(c.forest, c.domain, c.sphere, c.status_at(moved), b, moved));
    // Repeated builds are identical, and so are builds on 1 and 8 threads.
    const CfdAxisProjectedMesh one = parallel::with_threads(1, [&] { return c.build(moved); });
    const CfdAxisProjectedMesh eight = parallel::with_threads(8, [&] { return c.build(moved); });
    expect_same_cells_and_faces(one, b);
    expect_same_cells_and_faces(eight, b);
    expect_same_ap(one.ap, b.ap);
    expect_same_ap(eight.ap, b.ap);
}

TEST(AxisProjectedMesh, EmptyForest) {
    const Forest f(1, 0, 1);
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 0, 1);
    const CfdAxisProjectedMesh m =
        axis_projected::build_axis_projected_mesh(f, d, mesh::placeholder_surface(), {}, IDENTITY);
    EXPECT_EQ(m.n_cells, 0u);
    EXPECT_TRUE(m.cell_centers.empty() && m.internal_faces_owner.empty() &&
                m.domain_bnd_faces_owner.empty() && m.ap.is_immersed_face.empty());
}

TEST(AxisProjectedMesh, StatusesOfAnotherForestStop) {
    const Forest f = uniform_forest(1, 1, 1, 1);
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const std::vector<CellStatus> short_status(7, STATUS_INTERSECTED);
    try {
        axis_projected::build_axis_projected_mesh(f, d, mesh::placeholder_surface(), short_status,
                                                  IDENTITY);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 7 but the index is 7");
    }
    // Cell 6 reads the status of its +x neighbour, cell 7.
    EXPECT_THROW(axis_projected::cell_record(f, d, mesh::placeholder_surface(),
                                             std::vector<CellStatus>(7, STATUS_DEFAULT), IDENTITY,
                                             6),
                 InternalError);
}

// Real surfaces, each on a background mesh refined around it, under poses
// with and without rotation: the whole-mesh build and the refresh cast their
// rays through the axis grids, the face-by-face payload straight through the
// hierarchy; every value must agree.
TEST(AxisProjectedMesh, RealSurfacesMatchFaceByFaceCastsUnderPoses) {
    const char* files[] = {"bunny.stl", "gearwheel.ascii.stl", "bunny_gear_multipart.obj"};
    std::size_t surfaces = 0;
    for (const char* file : files) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        const IbmMesh& surface = *loaded;
        ++surfaces;
        const auto [dlo, dhi, centre, size] = testing::box_around(surface, 0.8, 0.8);
        const BuildSettings settings{{dlo, dhi}, {4, 4, 4}, 0};
        const RigidPose build_pose = testing::pose_of({0.2, 1, 0.4}, 0.3, {0.01 * size, 0, 0});
        const auto [forest, domain] = build_amr_forest(settings, surface, 4, {}, build_pose);
        for (const RigidPose& pose :
             {IDENTITY, build_pose, testing::pose_of({1, 0, 0}, 0.0, {0.02 * size, -0.01 * size, 0.0}),
              testing::pose_of({0.3, 0.5, 0.8}, 0.2, {0.05 * size, 0.0, 0.0})}) {
            const auto status = flood::initial_cell_status(forest, domain, surface, pose);
            const CfdAxisProjectedMesh m =
                axis_projected::build_axis_projected_mesh(forest, domain, surface, status, pose);
            const ApIbmFaceData want = plain_payload(forest, domain, surface, status, m, pose);
            expect_same_ap(m.ap, want);
            EXPECT_GT(count_true(want.is_immersed_face), 100u) << file;
            axis_projected::FaceRuns runs;
            CfdAxisProjectedMesh moved = axis_projected::build_axis_projected_mesh(
                forest, domain, surface, flood::initial_cell_status(forest, domain, surface, IDENTITY),
                IDENTITY, axis_projected::RecordPages::Ordinary, &runs);
            expect_same_cells_and_faces(moved, m);
            CfdAxisProjectedMesh walked = moved;
            axis_projected::refresh_immersed_faces(forest, domain, surface, moved, pose);
            expect_same_ap(moved.ap, want);
            // Walked cell by cell, the refresh gives the same payload.
            ASSERT_EQ(runs.count.size(), forest.leaves.size()) << file;
            axis_projected::refresh_immersed_faces(forest, domain, surface, walked, pose,
                                                   axis_projected::RecordPages::Ordinary, nullptr, &runs);
            expect_same_ap(walked.ap, want);
        }
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

TEST(FaceDataRefresh, SamePoseKeepsThePayload) {
    const SphereCase c;
    CfdAxisProjectedMesh m = c.build(IDENTITY);
    const CfdAxisProjectedMesh before = m;
    m.patch_names = {"stale"};
    const Buffer<CellStatus> s =
        axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, IDENTITY);
    EXPECT_EQ(s, c.status_at(IDENTITY));
    expect_same_cells_and_faces(m, before);
    expect_same_ap(m.ap, before.ap);
    EXPECT_EQ(m.patch_names, c.sphere.patch_names);
}

TEST(FaceDataRefresh, NewPoseEqualsAFreshBuildThere) {
    const SphereCase c;
    // Moved by a quarter of the box, the sphere reaches coarse cells.
    const RigidPose moved = testing::pose_of({1, 1, 0}, 0.7, {0.25, 0.0, -0.1});
    const CfdAxisProjectedMesh fresh = c.build(moved);
    CfdAxisProjectedMesh m = c.build(IDENTITY);
    const CfdAxisProjectedMesh before = m;
    const Buffer<CellStatus> s = parallel::with_threads(
        8, [&] { return axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, moved); });
    ASSERT_EQ(s.size(), c.forest.leaves.size());
    EXPECT_EQ(s, c.status_at(moved));
    EXPECT_TRUE(std::all_of(s.begin(), s.end(),
                            [](CellStatus x) { return x == STATUS_DEFAULT || x == STATUS_INTERSECTED; }));
    expect_same_cells_and_faces(m, before);
    expect_same_ap(m.ap, fresh.ap);
    // The coarse cells the surface now cuts carry immersed faces.
    std::uint8_t coarsest = MAX_LEVEL;
    for (const SfcKey k : c.forest.leaves) coarsest = std::min(coarsest, k.level());
    bool coarse_immersed = false;
    for (std::size_t k = 0; k < m.ap.is_immersed_face.size(); ++k) {
        const auto o = m.internal_faces_owner[k];
        coarse_immersed = coarse_immersed ||
                          (m.ap.is_immersed_face[k] && s[o] == STATUS_INTERSECTED &&
                           c.forest.leaves[o].level() == coarsest);
    }
    EXPECT_TRUE(coarse_immersed);
    // And one thread gives the same; the old payload, when asked for, is
    // handed back as it was.
    CfdAxisProjectedMesh m1 = c.build(IDENTITY);
    ApIbmFaceData previous;
    parallel::with_threads(1, [&] {
        return axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m1, moved,
                                                      axis_projected::RecordPages::Ordinary, &previous);
    });
    expect_same_ap(m1.ap, m.ap);
    expect_same_ap(previous, before.ap);
}

TEST(FaceDataRefresh, SurfaceMovedAwayLeavesNoImmersedFace) {
    const SphereCase c;
    CfdAxisProjectedMesh m = c.build(IDENTITY);
    const CfdAxisProjectedMesh before = m;
    const RigidPose away{{0, 0, 0, 1}, {10, 10, 10}};
    const Buffer<CellStatus> s =
        axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, away);
    EXPECT_EQ(s, std::vector<CellStatus>(c.forest.leaves.size(), STATUS_DEFAULT));
    EXPECT_EQ(m.ap.is_immersed_face, U8(m.internal_faces_owner.size(), 0));
    EXPECT_TRUE(m.ap.dist_owner_to_bnd.empty() && m.ap.dist_neighbour_to_bnd.empty() &&
                m.ap.owner_near_boundary.empty() && m.ap.neighbour_near_boundary.empty() &&
                m.ap.owner_bnd_anchor_id.empty() && m.ap.owner_bnd_patch_id.empty() &&
                m.ap.neighbour_bnd_anchor_id.empty() && m.ap.neighbour_bnd_patch_id.empty());
    expect_same_cells_and_faces(m, before);
    EXPECT_EQ(m.patch_names, before.patch_names);
}

TEST(FaceDataRefresh, RecordOfAnotherForestStopsUnchanged) {
    const SphereCase c;
    CfdAxisProjectedMesh m = c.build(IDENTITY);
    m.internal_faces_neighbour.back() = c.forest.leaves.size();  // names no cell
    m.patch_names = {"kept"};
    const CfdAxisProjectedMesh before = m;
    EXPECT_THROW(axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, IDENTITY),
                 InternalError);
    expect_same_cells_and_faces(m, before);
    expect_same_ap(m.ap, before.ap);
    EXPECT_EQ(m.patch_names, before.patch_names);

    const Buffer<CellStatus> s = c.status_at(IDENTITY);
    const U64 owner = {0, 1}, neighbour = {1};
    const U8 axis = {0, 0};
    try {
        axis_projected::build_face_data(c.forest, c.domain, c.sphere, s, owner, neighbour, axis,
                                        IDENTITY);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
    }
    EXPECT_THROW(axis_projected::face_record(c.forest, c.domain, c.sphere, s, owner, neighbour,
                                             axis, IDENTITY, 1),
                 InternalError);
    EXPECT_FALSE(axis_projected::face_record(c.forest, c.domain, c.sphere,
                                             std::vector<CellStatus>(s.size(), STATUS_DEFAULT),
                                             owner, neighbour, axis, IDENTITY, 0));
}

// The refresh walked cell by cell (with the face runs of the build) on 1
// and 8 threads equals the face-by-face refresh; runs that do not lay out
// the record's faces are not used, and a face naming no cell stops the
// walk as it stops the face-by-face refresh.
TEST(FaceDataRefresh, WalkedCellByCellEqualsFaceByFace) {
    const SphereCase c;
    const RigidPose moved = testing::pose_of({1, 1, 0}, 0.7, {0.25, 0.0, -0.1});
    axis_projected::FaceRuns runs;
    const CfdAxisProjectedMesh built = axis_projected::build_axis_projected_mesh(
        c.forest, c.domain, c.sphere, c.status_at(IDENTITY), IDENTITY, axis_projected::RecordPages::Ordinary,
        &runs);
    ASSERT_EQ(runs.count.size(), c.forest.leaves.size());
    std::vector<std::uint64_t> listed(c.forest.leaves.size(), 0);
    for (const std::uint64_t o : built.internal_faces_owner) ++listed[o];
    for (std::size_t i = 0; i < listed.size(); ++i) ASSERT_EQ(runs.count[i], listed[i]) << "cell " << i;

    CfdAxisProjectedMesh want = built;
    axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, want, moved);
    ASSERT_GT(count_true(want.ap.is_immersed_face), 0u);
    for (const std::size_t threads : {1u, 8u}) {
        // The walk takes each face's owner from the runs, never from the
        // record: owners overwritten here change nothing.
        CfdAxisProjectedMesh m = built;
        std::fill(m.internal_faces_owner.begin(), m.internal_faces_owner.end(), 0);
        const Buffer<CellStatus> s = parallel::with_threads(threads, [&] {
            return axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, moved,
                                                          axis_projected::RecordPages::Ordinary, nullptr,
                                                          &runs);
        });
        EXPECT_EQ(s, c.status_at(moved));
        expect_same_ap(m.ap, want.ap);
    }

    // Runs that do not fit: one count off, or runs of another forest.
    axis_projected::FaceRuns off{runs.count, runs.offset};
    off.count[3] += 1;
    axis_projected::FaceRuns short_runs{Buffer<std::uint8_t>(runs.count.begin(), runs.count.end() - 1),
                                        runs.offset};
    for (const axis_projected::FaceRuns* bad : {&off, &short_runs}) {
        CfdAxisProjectedMesh m = built;
        axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, m, moved,
                                               axis_projected::RecordPages::Ordinary, nullptr, bad);
        expect_same_ap(m.ap, want.ap);
    }

    CfdAxisProjectedMesh broken = built;
    broken.internal_faces_neighbour.back() = c.forest.leaves.size();  // names no cell
    const CfdAxisProjectedMesh before = broken;
    EXPECT_THROW(axis_projected::refresh_immersed_faces(c.forest, c.domain, c.sphere, broken, IDENTITY,
                                                        axis_projected::RecordPages::Ordinary, nullptr, &runs),
                 InternalError);
    expect_same_ap(broken.ap, before.ap);
}

// A coarse cell next to a tree refined four levels further lists 256 faces
// across its positive x face, more than a run count holds: the build then
// gives no runs, and the refresh goes face by face.
TEST(FaceDataRefresh, CellWithMoreFacesThanACountHoldsGivesNoRuns) {
    const Domain domain{{0, 0, 0}, {2, 1, 1}, 2, 1, 1};
    Forest forest(2, 1, 1);
    for (int pass = 0; pass < 4; ++pass) {
        U8 flags(forest.leaves.size(), 0);
        for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = forest.leaves[i].tree() == 1;
        forest.refine_by_flags(flags);
    }
    const IbmMesh surface = testing::sphere_mesh({1.5, 0.5, 0.5}, 0.3, 8, 16);
    const Buffer<CellStatus> status = flood::initial_cell_status(forest, domain, surface, IDENTITY);
    axis_projected::FaceRuns runs;
    runs.count = Buffer<std::uint8_t>(3, 1);  // stale: must be replaced
    const CfdAxisProjectedMesh built = axis_projected::build_axis_projected_mesh(
        forest, domain, surface, status, IDENTITY, axis_projected::RecordPages::Ordinary, &runs);
    ASSERT_EQ(std::count(built.internal_faces_owner.begin(), built.internal_faces_owner.end(), 0u), 256);
    EXPECT_TRUE(runs.count.empty() && runs.offset.empty());
    CfdAxisProjectedMesh m = built;
    axis_projected::refresh_immersed_faces(forest, domain, surface, m, IDENTITY,
                                           axis_projected::RecordPages::Ordinary, nullptr, &runs);
    expect_same_ap(m.ap, built.ap);
}

}  // namespace
}  // namespace quorin
