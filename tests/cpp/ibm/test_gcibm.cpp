#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "quorin/forest/neighbour.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/gcibm.hpp"
#include "quorin/ibm/inside.hpp"
#include "quorin/parallel.hpp"
#include "surfaces.hpp"

namespace quorin {
namespace {

using testing::box_mesh;
using testing::sphere_mesh;
using testing::uniform_forest;

const Domain UNIT({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
const RigidPose IDENTITY = RigidPose::identity();

Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double norm(const Vec3& a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

Vec3 centre_of(const Forest& f, const Domain& d, std::uint64_t cell) {
    return d.cell_geometry(f.leaves[cell].decode()).centre;
}

std::uint64_t cell_at(const Forest& f, const Domain& d, const Vec3& p) {
    const auto id = f.locate_point(d, p);
    if (!id) ADD_FAILURE() << "no cell at (" << p[0] << ", " << p[1] << ", " << p[2] << ")";
    return id.value_or(0);
}

// The plane x = x0 as two triangles covering far more than the unit box.
// Triangle 0 holds the points with z <= y, triangle 1 those with z >= y; their
// patch ids are 1 and 0.
IbmMesh plane_x(double x0) {
    return IbmMesh(std::vector<Vec3>{{x0, -1, -1}, {x0, 2, -1}, {x0, -1, 2}, {x0, 2, 2}},
                   std::vector<Triangle>{{0, 1, 3}, {0, 3, 2}}, {"a", "b"}, {1, 0});
}

// One large triangle in the plane through the midpoint of c and `image`,
// normal to their difference: the centre c then projects onto that midpoint
// and its image point is `image` up to rounding.
IbmMesh mirror_plane(const Vec3& c, const Vec3& image) {
    const Vec3 mid = scale(add(c, image), 0.5);
    const Vec3 n = scale(sub(image, c), 1.0 / norm(sub(image, c)));
    const Vec3 other = std::abs(n[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
    const Vec3 u = scale(cross(n, other), 10.0 / norm(cross(n, other)));
    const Vec3 v = cross(n, u);
    return testing::make_mesh({add(mid, scale(u, 2)), sub(add(mid, v), u), sub(sub(mid, v), u)},
                              {{0, 1, 2}});
}

std::size_t members(const GhostCell& g) {
    std::size_t n = 0;
    for (std::size_t j = 0; j < STENCIL_SIZE; ++j)
        if (g.stencil_weights[j] != 0.0) n = j + 1;
    return n;
}

double weight_sum(const GhostCell& g) {
    double s = 0;
    for (double w : g.stencil_weights) s += w;
    return s;
}

// Normalised inverse-distance weights of the first n stencil members,
// recomputed from the record's image point: offsets over the x size of the
// ghost cell on every axis, in the documented order of evaluation.
std::vector<double> inverse_distance_weights(const Forest& f, const Domain& d, const GhostCell& g,
                                             std::size_t n) {
    const double h = d.cell_geometry(f.leaves[g.cell_id].decode()).size[0];
    const Vec3& img = g.image_point;
    std::vector<double> w;
    double total = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const Vec3 c = centre_of(f, d, g.stencil_indices[j]);
        const double dx = (c[0] - img[0]) / h, dy = (c[1] - img[1]) / h, dz = (c[2] - img[2]) / h;
        w.push_back(1 / std::sqrt(dx * dx + dy * dy + dz * dz));
        total += w.back();
    }
    for (double& x : w) x /= total;
    return w;
}

// --- Fluid flags ---------------------------------------------------------

TEST(GhostCellFlags, MarkFluidCellsSetsOnlyFluidStatusesWithinTheShorterLength) {
    const std::vector<CellStatus> status = {0, 1, 2, 0, 2, 1, 0};
    struct Case {
        std::size_t flags;
        std::size_t statuses;
        std::uint8_t initial;
        std::vector<std::uint8_t> want;
    };
    const Case cases[] = {
        {7, 7, 0, {1, 0, 0, 1, 0, 0, 1}},
        {7, 4, 0, {1, 0, 0, 1, 0, 0, 0}},     // short status: the tail stays as it was
        {4, 7, 0, {1, 0, 0, 1}},              // short flags: nothing beyond them is touched
        {7, 7, 1, {1, 1, 1, 1, 1, 1, 1}},     // statuses 1 and 2 never clear a flag
        {0, 7, 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> flags(c.flags, c.initial);
        gcibm::mark_fluid_cells(flags, std::span(status).first(c.statuses));
        EXPECT_EQ(flags, c.want) << c.flags << " flags, " << c.statuses << " statuses";
    }
}

TEST(GhostCellFlags, WallCellsFollowTheSeedSideOthersAreUntouched) {
    // Cell 0 of a level-1 forest has its centre (0.25, 0.25, 0.25) inside the box.
    const IbmMesh mesh = box_mesh({0.1, 0.1, 0.1}, {0.4, 0.4, 0.4});
    const Forest f = uniform_forest(1, 1, 1, 1);
    const SfcKey inside = f.leaves[0];
    const SfcKey outside = f.leaves[7];
    struct Case {
        SfcKey key;
        CellStatus status;
        bool seed_inside;
        std::uint8_t before;
        std::uint8_t after;
    };
    const Case cases[] = {
        {inside, STATUS_INTERSECTED, false, 1, 0},   // body interior, external flow
        {inside, STATUS_INTERSECTED, true, 0, 1},    // internal flow: the interior is fluid
        {outside, STATUS_INTERSECTED, false, 0, 1},
        {outside, STATUS_INTERSECTED, true, 1, 0},
        {inside, STATUS_FLUID, false, 1, 1},         // only intersected cells are decided here
        {inside, STATUS_DEFAULT, true, 0, 0},
        {outside, STATUS_DEFAULT, false, 1, 1},
    };
    for (const Case& c : cases) {
        std::uint8_t flag = c.before;
        gcibm::reclassify_wall_cell(flag, c.key, c.status, UNIT, mesh, IDENTITY, c.seed_inside);
        EXPECT_EQ(flag, c.after) << "status " << int(c.status) << " seed_inside " << c.seed_inside
                                 << " key " << (c.key == inside ? "inside" : "outside");
    }
}

// A box surface whose faces cut through cells: external and internal flow
// decide the cut cells by the side of their centres, and a status vector
// shorter than the forest leaves its tail non-fluid.
TEST(GhostCellFlags, ComputeDecidesCutCellsBySeedSide) {
    // The cut cells of the low faces have their centres (0.3125) inside the
    // box, those of the high faces (0.6875) outside.
    const IbmMesh mesh = box_mesh({0.3, 0.3, 0.3}, {0.66, 0.66, 0.66});
    const Forest f = uniform_forest(1, 1, 1, 3);
    for (const Vec3 seed : {Vec3{0.05, 0.05, 0.05}, Vec3{0.5, 0.5, 0.5}}) {
        auto status = flood::initial_cell_status(f, UNIT, mesh, IDENTITY);
        ASSERT_FALSE(flood::flood_fill(f, UNIT, status, seed));
        const bool seed_inside = gcibm::is_point_inside(seed, mesh, IDENTITY);
        const GhostCellData g = gcibm::compute_ghost_cell_data(f, UNIT, mesh, status, seed);
        ASSERT_EQ(g.is_fluid.size(), f.leaves.size());
        int cut_fluid = 0, cut_solid = 0;
        for (std::size_t i = 0; i < f.leaves.size(); ++i) {
            const Vec3 c = centre_of(f, UNIT, i);
            const bool in_body = c[0] > 0.3 && c[0] < 0.66 && c[1] > 0.3 && c[1] < 0.66 &&
                                 c[2] > 0.3 && c[2] < 0.66;
            if (status[i] == STATUS_INTERSECTED) {
                EXPECT_EQ(g.is_fluid[i], in_body == seed_inside ? 1 : 0) << i;
                cut_fluid += g.is_fluid[i];
                cut_solid += 1 - g.is_fluid[i];
            } else {
                EXPECT_EQ(g.is_fluid[i], status[i] == STATUS_FLUID ? 1 : 0) << i;
            }
        }
        EXPECT_GT(cut_fluid, 0);
        EXPECT_GT(cut_solid, 0);

        std::vector<CellStatus> shorter(status.begin(), status.begin() + 100);
        const GhostCellData s = gcibm::compute_ghost_cell_data(f, UNIT, mesh, shorter, seed);
        ASSERT_EQ(s.is_fluid.size(), f.leaves.size());
        for (std::size_t i = 0; i < f.leaves.size(); ++i)
            EXPECT_EQ(s.is_fluid[i], i < 100 ? g.is_fluid[i] : 0) << i;
    }
}

// --- Ghost test ----------------------------------------------------------

TEST(GhostCellTest, NonFluidCellWithOneFluidFaceNeighbourIsAGhost) {
    const Forest f = uniform_forest(1, 1, 1, 2);
    const Vec3 c{0.375, 0.375, 0.375};
    const std::uint64_t cell = cell_at(f, UNIT, c);
    const IbmMesh mesh = plane_x(0.45);
    // One fluid cell across each face in turn.
    for (FaceDir dir = 0; dir < FACE_DIR_COUNT; ++dir) {
        Vec3 p = c;
        p[dir / 2] += (dir % 2 ? 0.25 : -0.25);
        std::vector<std::uint8_t> flags(f.leaves.size(), 0);
        flags[cell_at(f, UNIT, p)] = 1;
        const auto g = gcibm::ghost_cell_for_leaf(f, UNIT, mesh, flags, cell);
        ASSERT_TRUE(g) << "dir " << int(dir);
        EXPECT_EQ(g->cell_id, cell);
        // The cell is also the ghost's own cell when it is fluid: never a record.
        flags[cell] = 1;
        EXPECT_FALSE(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, flags, cell)) << int(dir);
    }
    // Fluid across edges and corners only, or nowhere: no record.
    std::vector<std::uint8_t> diagonal(f.leaves.size(), 0);
    for (const Vec3 p : {Vec3{0.625, 0.625, 0.375}, Vec3{0.125, 0.625, 0.625},
                         Vec3{0.625, 0.125, 0.125}})
        diagonal[cell_at(f, UNIT, p)] = 1;
    EXPECT_FALSE(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, diagonal, cell));
    const std::vector<std::uint8_t> none(f.leaves.size(), 0);
    EXPECT_FALSE(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, none, cell));
    // Cell 0, in the domain's corner, with its +x neighbour fluid.
    std::vector<std::uint8_t> one(f.leaves.size(), 0);
    one[cell_at(f, UNIT, {0.375, 0.125, 0.125})] = 1;
    EXPECT_TRUE(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, one, 0));
}

TEST(GhostCellTest, InterceptAnchorPatchAndImagePoint) {
    const Forest f = uniform_forest(1, 1, 1, 3);
    std::vector<std::uint8_t> flags(f.leaves.size(), 0);
    for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = centre_of(f, UNIT, i)[0] > 0.5;
    const IbmMesh mesh = plane_x(0.5);
    struct Case {
        Vec3 centre;
        std::uint64_t triangle;
    };
    for (const Case& k : {Case{{0.4375, 0.5625, 0.3125}, 0}, Case{{0.4375, 0.1875, 0.6875}, 1}}) {
        const std::uint64_t cell = cell_at(f, UNIT, k.centre);
        const auto g = gcibm::ghost_cell_for_leaf(f, UNIT, mesh, flags, cell);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->intercept[0], 0.5);
        EXPECT_EQ(g->image_point[0], 0.5625);
        for (int a = 1; a < 3; ++a) {
            EXPECT_NEAR(g->intercept[a], k.centre[a], 1e-15);
            EXPECT_NEAR(g->image_point[a], k.centre[a], 1e-15);
        }
        EXPECT_EQ(g->anchor_id, k.triangle);
        EXPECT_EQ(g->patch_id, mesh.triangle_patch_ids[k.triangle]);
        // The image point is (up to rounding) the centre of the fluid
        // neighbour, and all probes fall into it: one member at a distance
        // below the near limit, with weight exactly 1 (never 0/0).
        EXPECT_EQ(g->stencil_indices[0], cell_at(f, UNIT, g->image_point));
        EXPECT_EQ(g->stencil_weights[0], 1.0);
        for (std::size_t j = 1; j < STENCIL_SIZE; ++j) {
            EXPECT_EQ(g->stencil_indices[j], 0u);
            EXPECT_EQ(g->stencil_weights[j], 0.0);
        }
    }
}

// --- Stencils --------------------------------------------------------------

// Ghost cell (1, 3, 3) of an 8 x 8 x 8 grid with its +x neighbour fluid, and
// an image point near the corner shared by the cells (4..5, 3..4, 3..4), in
// which the probes land. Which of those eight cells are fluid decides the
// stencil; the domain is the unit cube or a stretched box (anisotropic cells).
struct StencilCase {
    const char* name;
    std::uint8_t fluid_mask;  // bit k: probe cell k (x fastest) is fluid
    Vec3 offset;              // image point minus the corner, in cell sizes
    std::size_t want_members;
    bool least_squares;       // linear fields are reproduced exactly
};

TEST(GhostCellStencil, MembersAndWeightsByFluidProbeCells) {
    const StencilCase cases[] = {
        {"all eight", 0xFF, {0.03, -0.02, 0.05}, 8, true},
        {"seven", 0xFF & ~0x20, {0.03, -0.02, 0.05}, 7, true},
        {"tetrahedron", 0x01 | 0x02 | 0x04 | 0x10, {0.03, -0.02, 0.05}, 4, true},
        // Four members in one layer: the fit cannot tell the constant from the
        // z slope, so the weights are the inverse-distance ones.
        {"coplanar four", 0x0F, {0.03, -0.02, 0.05}, 4, false},
        {"coplanar four, edge", 0xF0, {0.03, -0.02, 0.3}, 4, false},
        {"three", 0x01 | 0x02 | 0x08, {0.03, -0.02, 0.05}, 3, false},
        {"two", 0x02 | 0x40, {0.03, -0.02, 0.05}, 2, false},
        {"one", 0x80, {0.03, -0.02, 0.05}, 1, false},
    };
    // Cells of 0.375 x 0.125 x 0.0875: offsets along y and z are still
    // measured in x sizes.
    const Domain stretched({0, 0, 0}, {3, 1, 0.7}, 1, 1, 1);
    const Forest f = uniform_forest(1, 1, 1, 3);
    for (const Domain* d : {&UNIT, &stretched}) {
        const Vec3 cs = d->cell_geometry(f.leaves[0].decode()).size;
        const Vec3 c = {1.5 * cs[0], 3.5 * cs[1], 3.5 * cs[2]};
        const std::uint64_t cell = cell_at(f, *d, c);
        std::vector<std::uint64_t> probe_cells;
        for (int k = 0; k < 8; ++k)
            probe_cells.push_back(cell_at(f, *d,
                                          {(4.5 + (k & 1)) * cs[0], (3.5 + ((k >> 1) & 1)) * cs[1],
                                           (3.5 + ((k >> 2) & 1)) * cs[2]}));
        for (const StencilCase& k : cases) {
            SCOPED_TRACE(std::string(k.name) + (d == &UNIT ? ", unit cube" : ", stretched"));
            std::vector<std::uint8_t> flags(f.leaves.size(), 0);
            flags[cell_at(f, *d, add(c, {cs[0], 0, 0}))] = 1;
            std::vector<std::uint64_t> want;
            for (int b = 0; b < 8; ++b) {
                if (k.fluid_mask & (1 << b)) {
                    flags[probe_cells[b]] = 1;
                    want.push_back(probe_cells[b]);
                }
            }
            const Vec3 image = {(5 + k.offset[0]) * cs[0], (4 + k.offset[1]) * cs[1],
                                (4 + k.offset[2]) * cs[2]};
            const IbmMesh mesh = mirror_plane(c, image);
            const auto g = gcibm::ghost_cell_for_leaf(f, *d, mesh, flags, cell);
            ASSERT_TRUE(g);
            for (int a = 0; a < 3; ++a) EXPECT_NEAR(g->image_point[a], image[a], 1e-12);
            ASSERT_EQ(members(*g), k.want_members);
            for (std::size_t j = 0; j < STENCIL_SIZE; ++j) {
                EXPECT_EQ(g->stencil_indices[j], j < want.size() ? want[j] : 0u) << j;
                if (j >= want.size()) {
                    EXPECT_EQ(g->stencil_weights[j], 0.0) << j;
                }
            }
            EXPECT_NEAR(weight_sum(*g), 1.0, 1e-13);
            if (k.least_squares) {
                // f(x) = 3 + 2x - 5y + 7z at the image point from the members.
                const auto field = [](const Vec3& p) { return 3 + 2 * p[0] - 5 * p[1] + 7 * p[2]; };
                double value = 0;
                for (std::size_t j = 0; j < want.size(); ++j)
                    value += g->stencil_weights[j] * field(centre_of(f, *d, want[j]));
                EXPECT_NEAR(value, field(g->image_point), 1e-12);
            } else {
                const auto w = inverse_distance_weights(f, *d, *g, want.size());
                for (std::size_t j = 0; j < want.size(); ++j)
                    EXPECT_EQ(g->stencil_weights[j], w[j]) << j;
            }
        }
    }
}

TEST(GhostCellStencil, GhostCellAloneWhenNoProbeFindsAFluidCell) {
    const Forest f = uniform_forest(1, 1, 1, 3);
    std::vector<std::uint8_t> flags(f.leaves.size(), 0);
    for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = centre_of(f, UNIT, i)[0] < 0.75;
    const Vec3 c{0.8125, 0.4375, 0.3125};
    const std::uint64_t cell = cell_at(f, UNIT, c);
    struct Case {
        const char* name;
        IbmMesh mesh;
    };
    const Case cases[] = {
        {"image point outside the domain", plane_x(0.95)},
        {"image point in a solid cell", plane_x(0.875)},
        // A surface without a finite triangle projects to NaN: the probes
        // find cell 0, whose NaN distance leaves no usable weight sum.
        {"non-finite surface", testing::triangle_mesh({std::nan(""), 0, 0}, {1, 0, 0}, {0, 1, 0})},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const auto g = gcibm::ghost_cell_for_leaf(f, UNIT, k.mesh, flags, cell);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->stencil_indices[0], cell);
        EXPECT_EQ(g->stencil_weights[0], 1.0);
        for (std::size_t j = 1; j < STENCIL_SIZE; ++j) {
            EXPECT_EQ(g->stencil_indices[j], 0u);
            EXPECT_EQ(g->stencil_weights[j], 0.0);
        }
    }
}

TEST(GhostCellStencil, WrongSizesStopWithIndexErrors) {
    const Forest f = uniform_forest(1, 1, 1, 2);
    const IbmMesh mesh = plane_x(0.45);
    const std::vector<std::uint8_t> flags(f.leaves.size(), 0);
    const std::vector<std::uint8_t> shorter(10, 0);
    EXPECT_THROW(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, flags, f.leaves.size()), InternalError);
    EXPECT_THROW(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, shorter, 20), InternalError);
    // Cell 0's neighbours (ids 1, 2, 4 ...) are looked up in the short vector.
    EXPECT_THROW(gcibm::ghost_cell_for_leaf(f, UNIT, mesh, std::span(flags).first(2), 0),
                 InternalError);
    // A triangle without a patch id.
    IbmMesh no_patch(std::vector<Vec3>{{0.45, -1, -1}, {0.45, 2, -1}, {0.45, -1, 2}},
                     std::vector<Triangle>{{0, 1, 2}}, {"a"}, {});
    std::vector<std::uint8_t> one(f.leaves.size(), 0);
    one[1] = 1;
    try {
        gcibm::ghost_cell_for_leaf(f, UNIT, no_patch, one, 0);
        ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 0 but the index is 0");
    }
}

// --- Whole computation -------------------------------------------------------

struct SphereRoad {
    IbmMesh mesh = sphere_mesh({0.52, 0.47, 0.5}, 0.27, 24, 48);
    Forest forest{1, 1, 1};
    Domain domain{{0, 0, 0}, {1, 1, 1}, 2, 2, 2};
    Buffer<CellStatus> status;
    Vec3 seed;

    explicit SphereRoad(const Vec3& seed_point) : seed(seed_point) {
        auto [f, d] = build_amr_forest(testing::unit_settings({2, 2, 2}, 1), mesh, 4, {}, IDENTITY);
        forest = std::move(f);
        domain = d;
        status = flood::initial_cell_status(forest, domain, mesh, IDENTITY);
        EXPECT_FALSE(flood::flood_fill(forest, domain, status, seed));
    }
};

// Every ghost record on a refined sphere forest (external and internal flow)
// against a plain reference: the ghost set by brute force over
// neighbour::face_neighbours, the records equal to the per-cell function,
// sound stencils, and the same bytes for 1 and 8 threads.
TEST(GhostCellData, SphereRecordsMatchReferenceOnAnyThreadCount) {
    for (const Vec3 seed : {Vec3{0.05, 0.05, 0.05}, Vec3{0.5, 0.5, 0.5}}) {
        SCOPED_TRACE(seed[0] < 0.1 ? "external flow" : "internal flow");
        const SphereRoad r(seed);
        const Forest& f = r.forest;
        const Domain& d = r.domain;
        const auto run = [&](std::size_t threads) {
            return parallel::with_threads(threads, [&] {
                return gcibm::compute_ghost_cell_data(f, d, r.mesh, r.status, r.seed);
            });
        };
        const GhostCellData g = run(8);
        const GhostCellData g1 = run(1);
        EXPECT_EQ(g.is_fluid, g1.is_fluid);
        EXPECT_EQ(g.cell_ids, g1.cell_ids);
        EXPECT_EQ(g.anchor_ids, g1.anchor_ids);
        EXPECT_EQ(g.patch_ids, g1.patch_ids);
        EXPECT_EQ(g.intercepts, g1.intercepts);
        EXPECT_EQ(g.image_points, g1.image_points);
        EXPECT_EQ(g.stencil_indices, g1.stencil_indices);
        EXPECT_EQ(g.stencil_weights, g1.stencil_weights);

        std::vector<std::uint64_t> want;
        for (std::uint64_t i = 0; i < f.num_cells(); ++i) {
            if (g.is_fluid[i]) continue;
            bool ghost = false;
            for (FaceDir dir = 0; dir < FACE_DIR_COUNT && !ghost; ++dir)
                for (std::uint64_t m : neighbour::face_neighbours(f, i, dir))
                    ghost = ghost || g.is_fluid[m];
            if (ghost) want.push_back(i);
        }
        ASSERT_GT(want.size(), 100u);
        EXPECT_EQ(g.cell_ids, want);
        const std::size_t n = g.cell_ids.size();
        ASSERT_EQ(g.anchor_ids.size(), n);
        ASSERT_EQ(g.patch_ids.size(), n);
        ASSERT_EQ(g.intercepts.size(), n);
        ASSERT_EQ(g.image_points.size(), n);
        ASSERT_EQ(g.stencil_indices.size(), n);
        ASSERT_EQ(g.stencil_weights.size(), n);

        std::size_t counts[STENCIL_SIZE + 1] = {};
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint64_t cell = g.cell_ids[k];
            const auto rec = gcibm::ghost_cell_for_leaf(f, d, r.mesh, g.is_fluid, cell);
            ASSERT_TRUE(rec);
            const GhostCell flat{g.cell_ids[k],      g.anchor_ids[k],      g.patch_ids[k],
                                 g.intercepts[k],    g.image_points[k],    g.stencil_indices[k],
                                 g.stencil_weights[k]};
            EXPECT_EQ(flat, *rec) << cell;
            const Vec3 c = centre_of(f, d, cell);
            const PointProjection p = r.mesh.trimesh.project_point(c);
            EXPECT_EQ(rec->intercept, p.point);
            EXPECT_EQ(rec->anchor_id, p.triangle);
            EXPECT_EQ(rec->patch_id, 0u);
            EXPECT_EQ(rec->image_point,
                      (Vec3{p.point[0] + p.point[0] - c[0], p.point[1] + p.point[1] - c[1],
                            p.point[2] + p.point[2] - c[2]}));
            const std::size_t m = members(*rec);
            // The ghost cell alone, when no probe finds a fluid cell.
            const bool alone = rec->stencil_indices[0] == cell;
            if (alone) {
                EXPECT_EQ(m, 1u);
                EXPECT_EQ(rec->stencil_weights[0], 1.0);
            }
            ++counts[m];
            EXPECT_NEAR(weight_sum(*rec), 1.0, 1e-12) << cell;
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint64_t id = rec->stencil_indices[j];
                if (!alone) {
                    EXPECT_TRUE(g.is_fluid[id]) << cell;
                }
                const auto first = rec->stencil_indices.begin();
                EXPECT_EQ(std::count(first, first + m, id), 1);
            }
            // Either the least-squares weights, which reproduce a linear field
            // at the image point, or the positive inverse-distance ones:
            // members in one plane must not give noise weights.
            bool positive = true;
            double value = 0;
            const auto field = [](const Vec3& p) { return 3 + 2 * p[0] - 5 * p[1] + 7 * p[2]; };
            for (std::size_t j = 0; j < m; ++j) {
                positive = positive && rec->stencil_weights[j] > 0;
                value += rec->stencil_weights[j] * field(centre_of(f, d, rec->stencil_indices[j]));
            }
            if (!positive) {
                EXPECT_GE(m, 4u) << cell;
                EXPECT_NEAR(value, field(rec->image_point), 1e-9) << cell;
            }
            for (std::size_t j = m; j < STENCIL_SIZE; ++j) EXPECT_EQ(rec->stencil_indices[j], 0u);
        }
        // The forest gives stencils of several sizes, least-squares ones among them.
        EXPECT_GT(counts[1], 0u);
        EXPECT_GT(counts[2], 0u);
        EXPECT_GT(counts[4] + counts[5] + counts[6] + counts[7] + counts[8], 0u);
    }
}

TEST(GhostCellData, EmptyForestAndNoGhostCells) {
    const IbmMesh far = mesh::placeholder_surface();
    const Forest empty(0, 1, 1);
    const Domain d({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const GhostCellData e = gcibm::compute_ghost_cell_data(empty, d, far, {}, {0.5, 0.5, 0.5});
    EXPECT_TRUE(e.is_fluid.empty());
    EXPECT_TRUE(e.cell_ids.empty());

    // Everything reached by the flood fill: all fluid, no ghost cell.
    const Forest f = uniform_forest(2, 1, 1, 2);
    const Domain d2({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    auto status = flood::initial_cell_status(f, d2, far, IDENTITY);
    ASSERT_FALSE(flood::flood_fill(f, d2, status, {0.5, 0.5, 0.5}));
    const GhostCellData g = gcibm::compute_ghost_cell_data(f, d2, far, status, {0.5, 0.5, 0.5});
    EXPECT_EQ(g.is_fluid, std::vector<std::uint8_t>(f.leaves.size(), 1));
    EXPECT_TRUE(g.cell_ids.empty());
    EXPECT_TRUE(g.anchor_ids.empty());
    EXPECT_TRUE(g.patch_ids.empty());
    EXPECT_TRUE(g.intercepts.empty());
    EXPECT_TRUE(g.image_points.empty());
    EXPECT_TRUE(g.stencil_indices.empty());
    EXPECT_TRUE(g.stencil_weights.empty());
}

}  // namespace
}  // namespace quorin
