#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "quorin/error.hpp"
#include "quorin/export/ghost_cell.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/ibm/gcibm.hpp"
#include "quorin/parallel.hpp"
#include "../data_surfaces.hpp"
#include "mesh_checks.hpp"

namespace quorin {
namespace {

using testing::uniform_forest;
using U64 = std::vector<std::uint64_t>;
using U8 = std::vector<std::uint8_t>;

GhostCellData all_fluid(std::size_t n) {
    GhostCellData d;
    d.is_fluid.assign(n, 1);
    return d;
}

CfdGhostCellMesh build(const Forest& f, const Domain& d, const IbmMesh& m) {
    return ghost_cell::build_ghost_cell_mesh(f, d, m, all_fluid(f.leaves.size()));
}

Forest refined_root(std::uint32_t which) {
    Forest f(2, 1, 1);
    U8 flags(2, 0);
    flags[which] = 1;
    f.refine_by_flags(flags);
    return f;
}

// Small grids whose face lists are known exactly.
TEST(GhostCellMesh, FaceListsOfSmallGrids) {
    struct Case {
        const char* name;
        Forest forest;
        U64 owner, neighbour;
        U8 axis;
        U64 bnd_owner;
        U8 bnd_dir;
    };
    const Case cases[] = {
        {"one root", Forest(1, 1, 1), {}, {}, {}, {0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5}},
        {"two roots", Forest(2, 1, 1), {0}, {1}, {0}, {0, 0, 0, 0, 0, 1, 1, 1, 1, 1},
         {0, 2, 3, 4, 5, 1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Domain d({0, 0, 0}, {2, 1, 1}, c.forest.nx, c.forest.ny, c.forest.nz);
        const CfdGhostCellMesh m = build(c.forest, d, mesh::placeholder_surface());
        EXPECT_EQ(m.n_cells, c.forest.leaves.size());
        EXPECT_EQ(m.internal_faces_owner, c.owner);
        EXPECT_EQ(m.internal_faces_neighbour, c.neighbour);
        EXPECT_EQ(m.internal_faces_axis, c.axis);
        EXPECT_EQ(m.domain_bnd_faces_owner, c.bnd_owner);
        EXPECT_EQ(m.domain_bnd_faces_dir, c.bnd_dir);
    }
}

TEST(GhostCellMesh, CoarseFineFacesAcrossRootBorder) {
    const Domain d({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    const IbmMesh surf = mesh::placeholder_surface();
    {
        // Coarse owner (cell 0), fine neighbours 1..8: four faces in probe
        // order, the children on the -x side of the second root.
        const Forest f = refined_root(1);
        const CfdGhostCellMesh m = build(f, d, surf);
        const U64 from0(m.internal_faces_neighbour.begin(), m.internal_faces_neighbour.begin() + 4);
        EXPECT_EQ(from0, (U64{1, 3, 5, 7}));
        EXPECT_EQ(U8(m.internal_faces_axis.begin(), m.internal_faces_axis.begin() + 4),
                  (U8{0, 0, 0, 0}));
        EXPECT_EQ(std::count(m.internal_faces_owner.begin(), m.internal_faces_owner.end(), 0), 4);
        // Cells 1, 3, 5, 7 have no -x boundary face and own nothing on x to cell 0.
        for (std::size_t k = 0; k < m.domain_bnd_faces_owner.size(); ++k) {
            const auto o = m.domain_bnd_faces_owner[k];
            if (o == 1 || o == 3 || o == 5 || o == 7) {
                EXPECT_NE(m.domain_bnd_faces_dir[k], 0) << o;
            }
        }
        for (std::size_t k = 0; k < m.internal_faces_owner.size(); ++k)
            EXPECT_NE(m.internal_faces_neighbour[k], 0u);
        testing::expect_faces_cover_cells(f, d, m);
    }
    {
        // Fine owners 1, 3, 5, 7 each own one face to the coarse cell 8.
        const Forest f = refined_root(0);
        const CfdGhostCellMesh m = build(f, d, surf);
        U64 owners_of_8;
        for (std::size_t k = 0; k < m.internal_faces_owner.size(); ++k) {
            if (m.internal_faces_neighbour[k] == 8) {
                owners_of_8.push_back(m.internal_faces_owner[k]);
                EXPECT_EQ(m.internal_faces_axis[k], 0);
            }
        }
        EXPECT_EQ(owners_of_8, (U64{1, 3, 5, 7}));
        // Cell 8 owns no internal face and has five boundary faces, +x among them.
        EXPECT_EQ(std::count(m.internal_faces_owner.begin(), m.internal_faces_owner.end(), 8), 0);
        U8 dirs8;
        for (std::size_t k = 0; k < m.domain_bnd_faces_owner.size(); ++k)
            if (m.domain_bnd_faces_owner[k] == 8) dirs8.push_back(m.domain_bnd_faces_dir[k]);
        EXPECT_EQ(dirs8, (U8{1, 2, 3, 4, 5}));
        testing::expect_faces_cover_cells(f, d, m);
    }
}

// Leaves two and three levels finer across a coarse cell's +x face: four
// probes reach only four of them, yet every face must be listed once.
TEST(GhostCellMesh, UnbalancedForestLosesNoFace) {
    const Domain d({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    Forest f = refined_root(1);  // cell 0 coarse, 1..8 the second root's children
    // Refine the second root's -x children (1, 3, 5, 7) once more, then one
    // grandchild on the -x side again.
    U8 flags(f.leaves.size(), 0);
    flags[1] = flags[3] = flags[5] = flags[7] = 1;
    f.refine_by_flags(flags);
    flags.assign(f.leaves.size(), 0);
    flags[*f.locate_point(d, {1.05, 0.3, 0.55})] = 1;
    f.refine_by_flags(flags);
    const CfdGhostCellMesh m = build(f, d, mesh::placeholder_surface());
    testing::expect_faces_cover_cells(f, d, m);
    U64 from0;
    for (std::size_t k = 0; k < m.internal_faces_owner.size(); ++k)
        if (m.internal_faces_owner[k] == 0) from0.push_back(m.internal_faces_neighbour[k]);
    // 15 leaves of level 2 and 4 of level 3 touch the face.
    EXPECT_EQ(from0.size(), 19u);
    std::vector<std::uint64_t> sorted = from0;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
    // Everywhere else the faces are those of the plain probe enumeration.
    const testing::PlainFaces p = testing::plain_faces(f);
    EXPECT_EQ(U64(m.internal_faces_owner.begin() + 19, m.internal_faces_owner.end()),
              U64(p.owner.begin() + 4, p.owner.end()));
    EXPECT_EQ(m.domain_bnd_faces_owner, p.bnd_owner);
    EXPECT_EQ(m.domain_bnd_faces_dir, p.bnd_dir);
}

TEST(GhostCellMesh, GradedForestMatchesPlainEnumerationAndCoversEveryCell) {
    const Domain d({-1, 0, 0.5}, {2, 1, 1.5}, 3, 2, 2);  // anisotropic root cells
    const Forest f = testing::graded_forest(3, 2, 2, 1, d, {0.49, 0.51, 1.01}, 4);
    const CfdGhostCellMesh m = build(f, d, mesh::placeholder_surface());
    const testing::PlainFaces p = testing::plain_faces(f);
    EXPECT_EQ(m.internal_faces_owner, p.owner);
    EXPECT_EQ(m.internal_faces_neighbour, p.neighbour);
    EXPECT_EQ(m.internal_faces_axis, p.axis);
    EXPECT_EQ(m.domain_bnd_faces_owner, p.bnd_owner);
    EXPECT_EQ(m.domain_bnd_faces_dir, p.bnd_dir);
    ASSERT_EQ(m.cell_centers.size(), f.leaves.size());
    ASSERT_EQ(m.cell_sizes.size(), f.leaves.size());
    for (std::size_t i = 0; i < f.leaves.size(); ++i) {
        const CellGeometry g = d.cell_geometry(f.leaves[i].decode());
        EXPECT_EQ(m.cell_centers[i], g.centre) << i;
        EXPECT_EQ(m.cell_sizes[i], g.size) << i;
    }
    testing::expect_faces_cover_cells(f, d, m);
}

TEST(GhostCellMesh, CellRecordsConcatenateToTheMesh) {
    const Domain d({0, 0, 0}, {1, 1, 1}, 2, 1, 1);
    const Forest f = testing::graded_forest(2, 1, 1, 1, d, {0.3, 0.6, 0.2}, 2);
    GhostCellData data = all_fluid(f.leaves.size());
    for (std::size_t i = 0; i < data.is_fluid.size(); i += 3) data.is_fluid[i] = 0;
    const U8 flags(data.is_fluid.begin(), data.is_fluid.end());
    CfdGhostCellMesh joined;
    for (std::uint64_t i = 0; i < f.leaves.size(); ++i) {
        const GhostCellMeshCell r = ghost_cell::cell_record(f, d, data, i);
        EXPECT_EQ(r.is_fluid, flags[i] != 0);
        EXPECT_EQ(r.internal_faces_owner, U64(r.internal_faces_owner.size(), i));
        EXPECT_EQ(r.domain_bnd_faces_owner, U64(r.domain_bnd_faces_owner.size(), i));
        joined.cell_centers.push_back(r.cell_center);
        joined.cell_sizes.push_back(r.cell_size);
        auto app = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
        app(joined.internal_faces_owner, r.internal_faces_owner);
        app(joined.internal_faces_neighbour, r.internal_faces_neighbour);
        app(joined.internal_faces_axis, r.internal_faces_axis);
        app(joined.domain_bnd_faces_owner, r.domain_bnd_faces_owner);
        app(joined.domain_bnd_faces_dir, r.domain_bnd_faces_dir);
    }
    const CfdGhostCellMesh m =
        ghost_cell::build_ghost_cell_mesh(f, d, mesh::placeholder_surface(), std::move(data));
    EXPECT_EQ(m.cell_centers, joined.cell_centers);
    EXPECT_EQ(m.cell_sizes, joined.cell_sizes);
    EXPECT_EQ(m.internal_faces_owner, joined.internal_faces_owner);
    EXPECT_EQ(m.internal_faces_neighbour, joined.internal_faces_neighbour);
    EXPECT_EQ(m.internal_faces_axis, joined.internal_faces_axis);
    EXPECT_EQ(m.domain_bnd_faces_owner, joined.domain_bnd_faces_owner);
    EXPECT_EQ(m.domain_bnd_faces_dir, joined.domain_bnd_faces_dir);
    EXPECT_EQ(m.gc_is_fluid, flags);
}

TEST(GhostCellMesh, GhostDataIsTakenOverUnchanged) {
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const Forest f = uniform_forest(1, 1, 1, 1);
    GhostCellData data = all_fluid(8);
    data.is_fluid[2] = data.is_fluid[5] = 0;
    data.cell_ids = {2, 5};
    data.anchor_ids = {7, 1};
    data.patch_ids = {1, 0};
    data.intercepts = {{0.1, 0.2, 0.3}, {0.4, 0.5, 0.6}};
    data.image_points = {{1, 2, 3}, {4, 5, 6}};
    data.stencil_indices = {{0, 1, 3, 0, 0, 0, 0, 0}, {4, 0, 0, 0, 0, 0, 0, 0}};
    data.stencil_weights = {{0.25, 0.5, 0.25, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0}};
    const GhostCellData copy = data;
    const std::uint64_t* ids_buffer = data.cell_ids.data();
    const IbmMesh surf = testing::make_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
    IbmMesh two_patches({surf.trimesh.vertices()}, {surf.trimesh.triangles()}, {"wall", "inlet"},
                        {1});
    const CfdGhostCellMesh m = ghost_cell::build_ghost_cell_mesh(f, d, two_patches, std::move(data));
    EXPECT_EQ(m.n_cells, 8u);
    EXPECT_EQ(m.coordinate_type, 0);
    EXPECT_EQ(m.patch_names, (std::vector<std::string>{"wall", "inlet"}));
    EXPECT_EQ(m.gc_is_fluid, copy.is_fluid);
    EXPECT_EQ(m.gc_cell_ids, copy.cell_ids);
    EXPECT_EQ(m.gc_cell_ids.data(), ids_buffer);  // moved, not copied
    EXPECT_EQ(m.gc_bnd_anchor_ids, copy.anchor_ids);
    EXPECT_EQ(m.gc_bnd_patch_ids, copy.patch_ids);
    EXPECT_EQ(m.gc_bnd_intercepts, copy.intercepts);
    EXPECT_EQ(m.gc_image_points, copy.image_points);
    EXPECT_EQ(m.gc_interp_stencil_indices, copy.stencil_indices);
    EXPECT_EQ(m.gc_interp_stencil_weights, copy.stencil_weights);
}

TEST(GhostCellMesh, EmptyForestAndNoGhostCells) {
    {
        const Forest f(0, 1, 1);
        const Domain d({0, 0, 0}, {1, 1, 1}, 0, 1, 1);
        const CfdGhostCellMesh m = build(f, d, mesh::placeholder_surface());
        EXPECT_EQ(m.n_cells, 0u);
        EXPECT_EQ(m.coordinate_type, 0);
        EXPECT_TRUE(m.cell_centers.empty() && m.cell_sizes.empty() && m.gc_is_fluid.empty());
        EXPECT_TRUE(m.internal_faces_owner.empty() && m.domain_bnd_faces_owner.empty());
        EXPECT_EQ(m.patch_names, (std::vector<std::string>{"empty"}));
    }
    {
        const Forest f = uniform_forest(1, 1, 1, 2);
        const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
        const CfdGhostCellMesh m = build(f, d, mesh::placeholder_surface());
        EXPECT_EQ(m.gc_is_fluid, U8(64, 1));
        EXPECT_TRUE(m.gc_cell_ids.empty() && m.gc_bnd_anchor_ids.empty() &&
                    m.gc_bnd_patch_ids.empty() && m.gc_bnd_intercepts.empty() &&
                    m.gc_image_points.empty() && m.gc_interp_stencil_indices.empty() &&
                    m.gc_interp_stencil_weights.empty());
        // 4 x 4 x 4: 3 · 48 internal faces, 6 · 16 boundary faces.
        EXPECT_EQ(m.internal_faces_owner.size(), 144u);
        EXPECT_EQ(m.domain_bnd_faces_owner.size(), 96u);
    }
}

TEST(GhostCellMesh, FlagsOfAnotherForestStop) {
    const Forest f(2, 1, 1);
    const Domain d({0, 0, 0}, {1, 1, 1}, 2, 1, 1);
    try {
        ghost_cell::build_ghost_cell_mesh(f, d, mesh::placeholder_surface(), all_fluid(1));
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
    }
    EXPECT_THROW(ghost_cell::cell_record(f, d, all_fluid(1), 1), InternalError);
    EXPECT_THROW(ghost_cell::cell_record(f, d, all_fluid(2), 2), InternalError);
    // Longer flags are cut to one per cell.
    const CfdGhostCellMesh m =
        ghost_cell::build_ghost_cell_mesh(f, d, mesh::placeholder_surface(), all_fluid(5));
    EXPECT_EQ(m.gc_is_fluid.size(), 2u);
}

// A sphere in a graded box: the full ghost-cell road, on 1 and 8 threads,
// with several chunks of cells.
TEST(GhostCellMesh, SphereRoadIsIdenticalForAnyThreadCount) {
    const Domain d({0, 0, 0}, {1, 1, 1}, 2, 2, 2);
    const IbmMesh sphere = testing::sphere_mesh({0.5, 0.5, 0.5}, 0.23, 12, 24);
    Forest f = uniform_forest(2, 2, 2, 3);
    {
        Buffer<CellStatus> s = flood::initial_cell_status(f, d, sphere, RigidPose::identity());
        U8 flags(s.begin(), s.end());
        for (auto& x : flags) x = x == STATUS_INTERSECTED;
        f.refine_by_flags(flags);
        f.enforce_2_to_1_balance();
    }
    ASSERT_GT(f.leaves.size(), 3 * 1024u);
    Buffer<CellStatus> status = flood::initial_cell_status(f, d, sphere, RigidPose::identity());
    ASSERT_FALSE(flood::flood_fill(f, d, status, {0.05, 0.05, 0.05}).has_value());
    auto run = [&](std::size_t threads) {
        return parallel::with_threads(threads, [&] {
            return ghost_cell::build_ghost_cell_mesh(
                f, d, sphere, gcibm::compute_ghost_cell_data(f, d, sphere, status, {0.05, 0.05, 0.05}));
        });
    };
    const CfdGhostCellMesh a = run(1);
    const CfdGhostCellMesh b = run(8);
    ASSERT_FALSE(a.gc_cell_ids.empty());
    testing::expect_same_cells_and_faces(a, b);
    EXPECT_EQ(a.gc_is_fluid, b.gc_is_fluid);
    EXPECT_EQ(a.gc_cell_ids, b.gc_cell_ids);
    EXPECT_EQ(a.gc_interp_stencil_indices, b.gc_interp_stencil_indices);
    EXPECT_EQ(a.gc_interp_stencil_weights, b.gc_interp_stencil_weights);
    const testing::PlainFaces p = testing::plain_faces(f);
    EXPECT_EQ(a.internal_faces_owner, p.owner);
    EXPECT_EQ(a.internal_faces_neighbour, p.neighbour);
    EXPECT_EQ(a.domain_bnd_faces_dir, p.bnd_dir);
    testing::expect_faces_cover_cells(f, d, a);
}


// The ghost-cell road as the builds run it (the fill riding on the face
// count, the ghost cells read off the exported faces) against the same road
// step by step (search-based flood fill, ghost test of every cell), on
// balanced forests around real surfaces, a closed one and an open scan, with
// seeds outside and inside, on 1 and 8 threads. Seeds outside the domain or
// on a wall cell give flood_fill's messages and leave the statuses alone.
TEST(GhostCellMesh, OnePassRoadEqualsTheStepwiseRoad) {
    const char* files[] = {"bunny.stl", "gearwheel.ascii.stl", "scan_bunny_open.bin.stl",
                           "bunny_gear_multipart.obj"};
    std::size_t surfaces = 0;
    for (const char* file : files) {
        const std::optional<IbmMesh> loaded = testing::data_surface(file);
        if (!loaded) continue;
        const IbmMesh& surface = *loaded;
        ++surfaces;
        const auto [dlo, dhi, centre, size] = testing::box_around(surface, 0.8, 0.8);
        const BuildSettings settings{{dlo, dhi}, {3, 4, 3}, 0};
        const auto [forest, domain] = build_amr_forest(settings, surface, 4, {}, RigidPose::identity());
        const Buffer<CellStatus> marked = flood::initial_cell_status(forest, domain, surface, RigidPose::identity());
        const Vec3 outside = {dlo[0] + 1e-3 * size, dlo[1] + 1e-3 * size, dlo[2] + 1e-3 * size};
        for (const Vec3& seed : {outside, centre}) {
            Buffer<CellStatus> stepwise = marked;
            const auto err = flood::flood_fill(forest, domain, stepwise, seed);
            for (const std::size_t threads : {1, 8}) {
                Buffer<CellStatus> status = marked;
                const auto layout = parallel::with_threads(
                    threads, [&] { return ghost_cell::fill_and_count_faces(forest, domain, status, seed); });
                ASSERT_EQ(layout.ok(), !err) << file;
                if (!layout.ok()) {
                    EXPECT_EQ(layout.error(), *err);
                    EXPECT_EQ(status, marked);
                    continue;
                }
                EXPECT_EQ(status, stepwise) << file << " threads " << threads;
                const CfdGhostCellMesh want = ghost_cell::build_ghost_cell_mesh(
                    forest, domain, surface, gcibm::compute_ghost_cell_data(forest, domain, surface, stepwise, seed));
                const CfdGhostCellMesh got = parallel::with_threads(threads, [&] {
                    return ghost_cell::build_ghost_cell_mesh(
                        forest, domain, surface, gcibm::fluid_flags(forest, domain, surface, status, seed), *layout);
                });
                testing::expect_same_cells_and_faces(got, want);
                EXPECT_EQ(got.gc_is_fluid, want.gc_is_fluid);
                EXPECT_EQ(got.gc_cell_ids, want.gc_cell_ids) << file;
                EXPECT_EQ(got.gc_bnd_anchor_ids, want.gc_bnd_anchor_ids);
                EXPECT_EQ(got.gc_bnd_patch_ids, want.gc_bnd_patch_ids);
                EXPECT_EQ(got.gc_bnd_intercepts, want.gc_bnd_intercepts);
                EXPECT_EQ(got.gc_image_points, want.gc_image_points);
                EXPECT_EQ(got.gc_interp_stencil_indices, want.gc_interp_stencil_indices);
                EXPECT_EQ(got.gc_interp_stencil_weights, want.gc_interp_stencil_weights);
                EXPECT_GT(got.gc_cell_ids.size(), 100u) << file;
            }
        }
        // A seed beyond the domain, and one on a wall cell.
        std::size_t wall = 0;
        while (marked[wall] != STATUS_INTERSECTED) ++wall;
        const Vec3 on_wall = domain.cell_geometry(forest.leaves[wall].decode()).centre;
        for (const Vec3& seed : {Vec3{dhi[0] + size, centre[1], centre[2]}, on_wall}) {
            Buffer<CellStatus> stepwise = marked;
            const auto err = flood::flood_fill(forest, domain, stepwise, seed);
            ASSERT_TRUE(err.has_value());
            Buffer<CellStatus> status = marked;
            const auto layout = ghost_cell::fill_and_count_faces(forest, domain, status, seed);
            ASSERT_FALSE(layout.ok());
            EXPECT_EQ(layout.error(), *err);
            EXPECT_EQ(status, marked);
        }
    }
    if (surfaces == 0) GTEST_SKIP() << "no surfaces in " << QUORIN_DATA_DIR;
}

}  // namespace
}  // namespace quorin
