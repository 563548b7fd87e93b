#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "forest_checks.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/neighbour.hpp"

namespace quorin {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(Domain, RejectsInvalidBounds) {
    const Vec3 cases[][2] = {
        {{0, 0, 0}, {1, 0, 1}},     // min == max on y
        {{1, 0, 0}, {0, 1, 1}},     // min above max on x
        {{0, 0, NaN}, {1, 1, 1}},   // NaN min
        {{0, 0, 0}, {1, NaN, 1}},   // NaN max
    };
    for (const auto& c : cases) {
        try {
            Domain d(c[0], c[1], 1, 1, 1);
            FAIL() << "accepted";
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), "Invalid BoundingBox bounds");
        }
    }
    EXPECT_NO_THROW(Domain({0, 0, 0}, {1e-300, 1e300, 1}, 1, 1, 1));
    EXPECT_TRUE(std::isinf(Domain({0, 0, 0}, {1, 1, 1}, 0, 1, 1).root_size[0]));
}

TEST(Domain, CellGeometryExamples) {
    const Domain unit({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const CellGeometry root = unit.cell_geometry(SfcKey::root(0).decode());
    EXPECT_EQ(root.centre, (Vec3{0.5, 0.5, 0.5}));
    EXPECT_EQ(root.size, (Vec3{1, 1, 1}));
    const CellGeometry c5 = unit.cell_geometry(SfcKey::root(0).child(5).decode());
    EXPECT_EQ(c5.centre, (Vec3{0.75, 0.25, 0.75}));
    EXPECT_EQ(c5.size, (Vec3{0.5, 0.5, 0.5}));

    const Domain two({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    EXPECT_EQ(two.root_size, (Vec3{1, 1, 1}));
    EXPECT_EQ(two.cell_geometry(SfcKey::root(1).decode()).centre, (Vec3{1.5, 0.5, 0.5}));

    // A level-32 cell at the tree's origin: min + root_size * 2^-33.
    const Domain d({-3, 0, 0}, {4, 1, 1}, 1, 1, 1);
    const CellGeometry g = d.cell_geometry(SfcKey::encode(0, 0, 0, 0).decode());
    EXPECT_EQ(g.centre[0], -3.0 + 7.0 * std::ldexp(1.0, -33));
    EXPECT_EQ(g.size[0], 7.0 * std::ldexp(1.0, -32));
}

TEST(Domain, CellGeometryEvaluationOrder) {
    // min + root_size * (r + ...) evaluated as the sum of two separately
    // rounded products differs in the last bit from other orders; check one
    // value against the prescribed order.
    const Domain d({0.1, -0.7, 3.3}, {1.3, 0.9, 4.1}, 7, 3, 5);
    const SfcKey k = SfcKey::from_raw((SfcKey::encode(5 + 7 * (2 + 3 * 4), 0x12340000u,
                                                      0x9ABC0000u, 0x55550000u).value & ~u128(63)) |
                                      16);
    const DecodedKey dk = k.decode();
    const CellGeometry g = d.cell_geometry(dk);
    const double q[3] = {double(dk.x), double(dk.y), double(dk.z)};
    const double r[3] = {5, 2, 4};
    for (int a = 0; a < 3; ++a) {
        volatile double local = (q[a] + std::ldexp(1.0, 15)) * std::ldexp(1.0, -32);
        local = local * d.root_size[a];
        volatile double corner = r[a] * d.root_size[a];
        corner = corner + d.min[a];
        EXPECT_EQ(g.centre[a], local + corner) << "axis " << a;
        EXPECT_EQ(g.size[a], d.root_size[a] * std::ldexp(1.0, -16));
    }
}

// The cell one width on along each axis, at coarse, middle and finest
// levels, inside a root and across into the next root (the last cell of a
// root on that axis): its geometry derived from the cell's own must be
// cell_geometry of its decoded key, bit for bit, on a grid whose roots and
// bounds round differently on every axis.
TEST(Domain, NextCellGeometryIsTheDecodedCellAcross) {
    const Domain d({-9.912138, -5.081526, -8.009299}, {9.902513, 14.733124, 8.090105}, 3, 5, 4);
    const Forest grid(3, 5, 4);
    std::mt19937_64 rng(7);
    std::size_t checked = 0, across_roots = 0;
    for (const unsigned level : {0u, 1u, 2u, 9u, 20u, 31u, 32u}) {
        const std::uint32_t mask = level == 0 ? 0u : ~std::uint32_t{0} << (32 - level);
        const std::uint32_t last = mask;  // the last cell of a root along an axis
        for (int trial = 0; trial < 60; ++trial) {
            const auto tree = static_cast<std::uint32_t>(rng() % (3 * 5 * 4));
            std::uint32_t q[3];
            for (std::uint32_t& v : q) v = static_cast<std::uint32_t>(rng()) & mask;
            if (trial % 3 == 0) q[trial % 2] = last;  // a step into the next root
            if (trial % 5 == 0) q[2] = last;
            const SfcKey key =
                SfcKey::from_raw((SfcKey::encode(tree, q[0], q[1], q[2]).value & ~u128(63)) | level);
            const DecodedKey dk = key.decode();
            const CellGeometry g = d.cell_geometry(dk);
            for (int axis = 0; axis < 3; ++axis) {
                const auto next = neighbour::same_level_across(grid, key, static_cast<FaceDir>(2 * axis + 1));
                if (!next) continue;  // the domain's outer surface
                const CellGeometry want = d.cell_geometry(next->decode());
                const CellGeometry got = d.next_cell_geometry(dk, g, axis);
                EXPECT_EQ(got.centre, want.centre) << "level " << level << " axis " << axis;
                EXPECT_EQ(got.size, want.size) << "level " << level << " axis " << axis;
                ++checked;
                across_roots += next->tree() != key.tree();
            }
        }
    }
    EXPECT_GT(checked, 800u);
    EXPECT_GT(across_roots, 100u);
}

TEST(Domain, CellBoxAndStrictOverlap) {
    const Domain unit({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const SfcKey low = SfcKey::root(0).child(0);  // [0, 0.5]^3
    const CellBox b = unit.cell_box(low);
    EXPECT_EQ(b.min, (Vec3{0, 0, 0}));
    EXPECT_EQ(b.max, (Vec3{0.5, 0.5, 0.5}));
    struct Case {
        Vec3 min, max;
        bool overlaps;
    };
    const Case cases[] = {
        {{0.5, 0.1, 0.1}, {1, 0.2, 0.2}, false},        // shares the x = 0.5 face
        {{0.4999999, 0.1, 0.1}, {1, 0.2, 0.2}, true},
        {{0.5, 0.5, 0.5}, {1, 1, 1}, false},            // corner only
        {{-1, -1, -1}, {0, 2, 2}, false},               // face at x = 0
        {{-1, -1, -1}, {2, 2, 2}, true},                // contains the cell
        {{0.1, 0.1, 0.1}, {0.2, 0.2, 0.2}, true},       // inside the cell
        // Inverted or flat on x, taken as given: 0.3 < 0.5 and 0 < 0.2 hold.
        {{0.3, 0.1, 0.1}, {0.2, 0.2, 0.2}, true},
        {{0.25, 0.1, 0.1}, {0.25, 0.2, 0.2}, true},
        {{0.6, 0.1, 0.1}, {0.4, 0.2, 0.2}, false},      // 0.6 is not below the cell's max
        {{0.3, 0.1, 0.1}, {0.0, 0.2, 0.2}, false},      // 0 is not below 0
        {{NaN, 0.1, 0.1}, {0.2, 0.2, 0.2}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(unit.cell_overlaps_box(low, c.min, c.max), c.overlaps);
}

TEST(Domain, RegionFlag) {
    const Domain unit({0, 0, 0}, {1, 1, 1}, 1, 1, 1);
    const std::vector<RefinementRegion> level0 = {{{-1, -1, -1}, {2, 2, 2}, 0}};
    const std::vector<RefinementRegion> level40 = {{{-1, -1, -1}, {2, 2, 2}, 40}};
    const std::vector<RefinementRegion> none;
    const SfcKey root = SfcKey::root(0);
    const SfcKey level31 = SfcKey::from_raw((SfcKey::encode(0, 0, 0, 0).value & ~u128(63)) | 31);
    const SfcKey level32 = SfcKey::encode(0, 0, 0, 0);
    EXPECT_FALSE(domain::region_flag_for_leaf(unit, level0, root));
    EXPECT_FALSE(domain::region_flag_for_leaf(unit, none, root));
    EXPECT_TRUE(domain::region_flag_for_leaf(unit, level40, root));
    EXPECT_TRUE(domain::region_flag_for_leaf(unit, level40, level31));
    EXPECT_FALSE(domain::region_flag_for_leaf(unit, level40, level32));
    // A later region in the list still flags.
    const std::vector<RefinementRegion> two = {{{5, 5, 5}, {6, 6, 6}, 9}, {{0.2, 0.2, 0.2}, {0.3, 0.3, 0.3}, 1}};
    EXPECT_TRUE(domain::region_flag_for_leaf(unit, two, root));
    EXPECT_FALSE(domain::region_flag_for_leaf(unit, two, root.child(0)));
    // Regions keep their own rule: one whose min is not below its max on some
    // axis flags nothing, though the plain overlap test holds for the root.
    const Vec3 lo = {0.6, 0.1, 0.1};
    const Vec3 hi = {0.4, 0.9, 0.9};
    ASSERT_TRUE(unit.cell_overlaps_box(root, lo, hi));
    for (const auto& r : {RefinementRegion{lo, hi, 5}, RefinementRegion{{0.1, 0.5, 0.1}, {0.9, 0.5, 0.9}, 5},
                          RefinementRegion{{0.1, 0.1, NaN}, {0.9, 0.9, 0.9}, 5}}) {
        const std::vector<RefinementRegion> one = {r};
        EXPECT_FALSE(domain::region_flag_for_leaf(unit, one, root));
        EXPECT_FALSE(domain::region_flag_for_leaf(unit, one, root.child(7)));
    }
}

TEST(Domain, LocatePoint) {
    const Domain d({0, 0, 0}, {2, 1, 1}, 2, 1, 1);
    Forest f(2, 1, 1);
    f.refine_by_flags(std::vector<std::uint8_t>{0, 1});
    struct Case {
        Vec3 p;
        std::optional<std::uint64_t> cell;
    };
    const Case cases[] = {
        {{0, 0, 0}, 0},
        {{1.0, 0, 0}, 1},               // the min face of tree 1
        {{1.75, 0.25, 0.75}, 1 + 5},
        {{2, 1, 1}, std::nullopt},      // max corner
        {{2, 0.5, 0.5}, std::nullopt},  // max face
        {{0.5, 1, 0.5}, std::nullopt},
        {{-1e-300, 0.5, 0.5}, std::nullopt},
        {{3, 0.5, 0.5}, std::nullopt},
        {{NaN, 0.5, 0.5}, 0},           // NaN lies on the min face of its axis
        {{1.5, NaN, NaN}, 2},       // x at the middle of tree 1: child 1
    };
    for (const Case& c : cases) EXPECT_EQ(f.locate_point(d, c.p), c.cell) << c.p[0] << " " << c.p[1];

    EXPECT_FALSE(Forest(0, 1, 1).locate_point(Domain({0, 0, 0}, {1, 1, 1}, 0, 1, 1), {0.5, 0.5, 0.5}));
}

TEST(Domain, LocatePointUsesRemainderIndependently) {
    // 0.5 / 0.1 rounds to 5, but fmod(0.5, 0.1) is just below 0.1: the point
    // lands at the upper x end of root cell 5, in the cell around x = 0.575.
    const Domain d({0, 0, 0}, {1, 1, 1}, 10, 1, 1);
    Forest f(10, 1, 1);
    f.refine_by_flags(testing::all_flags(f));
    const auto cell = f.locate_point(d, {0.5, 0.25, 0.25});
    ASSERT_TRUE(cell.has_value());
    EXPECT_EQ(f.leaves[*cell], SfcKey::root(5).child(1));
    EXPECT_NEAR(d.cell_geometry(f.leaves[*cell].decode()).centre[0], 0.575, 1e-12);
    EXPECT_EQ(domain::saturate_u32(std::fmod(0.5, 0.1) / 0.1 * 4294967296.0), 4294967295u);
}

TEST(Domain, LocatePointNearAnyHintEqualsTheSearch) {
    const Domain d({-0.3, 0.13, 1.1}, {0.9, 1.33, 2.3}, 3, 2, 2);
    std::mt19937_64 rng(12);
    const Forest f = testing::random_forest(rng, 3, 2, 2, 5, 8, 0.35);
    std::uniform_real_distribution<double> u(-0.1, 1.1);
    std::uniform_int_distribution<std::uint64_t> any_cell(0, f.num_cells() - 1);
    for (int k = 0; k < 20000; ++k) {
        const std::array<double, 3> p{d.min[0] + u(rng) * 1.2, d.min[1] + u(rng) * 1.2, d.min[2] + u(rng) * 1.2};
        const auto want = f.locate_point(d, p);
        EXPECT_EQ(f.locate_point_near(d, p, any_cell(rng)), want);
        if (want) {
            EXPECT_EQ(f.locate_point_near(d, p, *want), want);
        }
    }
}

// Domains whose root sizes are not binary fractions, so that coordinates a
// few units in the last place off a root face round their quotient by the
// root size up to the next root while fmod still puts them near the top of
// the root below.
struct LocateDomain {
    Vec3 min, max;
    std::uint32_t nx, ny, nz;
};
const LocateDomain LOCATE_DOMAINS[] = {
    {{0, 0, 0}, {1, 1, 1}, 1, 1, 1},
    {{0, 0, 0}, {1, 1, 1}, 10, 1, 3},
    {{-0.3, 0.13, 1.1}, {0.9, 1.33, 2.3}, 3, 2, 2},
    {{-7.7, -1e-3, 3.3}, {1.9, 2.5e-3, 3.30001}, 7, 5, 1},
};

// Random points around the domain, with every coordinate drawn from: a
// uniform value a little beyond the domain, a root face or leaf face (the
// faces of random leaves, as cell_box rounds them), a domain border, or one
// of those moved by a few units in the last place.
struct PointDraw {
    const Forest& f;
    const Domain& d;
    std::mt19937_64& rng;

    double coordinate(int a) {
        std::uniform_int_distribution<int> kind(0, 4), ulps(-3, 3);
        const std::uint32_t n[3] = {f.nx, f.ny, f.nz};
        double v;
        switch (kind(rng)) {
            case 0:
                v = d.min[a] + std::uniform_real_distribution<double>(-0.1, 1.1)(rng) * (d.max[a] - d.min[a]);
                break;
            case 1:
                v = d.min[a] + std::uniform_int_distribution<std::uint32_t>(0, n[a])(rng) * d.root_size[a];
                break;
            case 2: {
                const CellBox b = d.cell_box(f.leaves[std::uniform_int_distribution<std::size_t>(0, f.leaves.size() - 1)(rng)]);
                v = std::bernoulli_distribution(0.5)(rng) ? b.min[a] : b.max[a];
                break;
            }
            case 3:
                v = std::bernoulli_distribution(0.5)(rng) ? d.min[a] : d.max[a];
                break;
            default:
                v = d.min[a] + std::uniform_int_distribution<std::uint32_t>(1, n[a])(rng) * d.root_size[a];
                break;
        }
        for (int k = ulps(rng); k != 0; k += k > 0 ? -1 : 1) v = std::nextafter(v, k > 0 ? 1e300 : -1e300);
        return v;
    }
    Vec3 point() { return {coordinate(0), coordinate(1), coordinate(2)}; }
};

TEST(Domain, LocatePointIsTheRemainderSearch) {
    // The position in a root is fmod(offset, root size) / root size, scaled to
    // 2^32 and saturated, independently of the root index from the rounded
    // quotient; locate_point finds the leaf holding exactly that position.
    for (const LocateDomain& ld : LOCATE_DOMAINS) {
        const Domain d(ld.min, ld.max, ld.nx, ld.ny, ld.nz);
        std::mt19937_64 rng(ld.nx * 131 + ld.nz);
        const Forest f = testing::random_forest(rng, ld.nx, ld.ny, ld.nz, 4, 7, 0.3);
        PointDraw draw{f, d, rng};
        int carried = 0;
        for (int k = 0; k < 20000; ++k) {
            const Vec3 p = draw.point();
            std::optional<std::uint64_t> want;
            std::uint32_t r[3], u[3];
            bool inside = true;
            const std::uint32_t n[3] = {f.nx, f.ny, f.nz};
            for (int a = 0; a < 3; ++a) {
                const double off = p[a] - d.min[a];
                inside = inside && !(off < 0);
                r[a] = domain::saturate_u32(off / d.root_size[a]);
                inside = inside && r[a] < n[a];
                u[a] = domain::saturate_u32(std::fmod(off, d.root_size[a]) / d.root_size[a] * 4294967296.0);
                if (inside && r[a] > 0 && off - r[a] * static_cast<long double>(d.root_size[a]) < 0) ++carried;
            }
            if (inside) want = f.locate_leaf_index((r[2] * f.ny + r[1]) * f.nx + r[0], u[0], u[1], u[2]);
            ASSERT_EQ(f.locate_point(d, p), want) << p[0] << " " << p[1] << " " << p[2];
        }
        // Rounding carried some quotient to the next root.
        if (ld.nx == 10) {
            EXPECT_GT(carried, 0);
        }
    }
}

TEST(Domain, LocateCornersNearIsEightPointSearches) {
    for (const LocateDomain& ld : LOCATE_DOMAINS) {
        const Domain d(ld.min, ld.max, ld.nx, ld.ny, ld.nz);
        std::mt19937_64 rng(ld.ny * 977 + ld.nx);
        const Forest f = testing::random_forest(rng, ld.nx, ld.ny, ld.nz, 4, 7, 0.3);
        PointDraw draw{f, d, rng};
        std::uniform_int_distribution<std::uint64_t> any_cell(0, f.num_cells() - 1);
        std::uniform_int_distribution<int> offset_kind(0, 3);
        for (int k = 0; k < 6000; ++k) {
            // Corners that span from inside one leaf to several, or coincide
            // (a zero offset), or sit on a leaf's own faces (its centre and
            // half its size).
            const std::uint64_t leaf = any_cell(rng);
            const CellGeometry g = d.cell_geometry(f.leaves[leaf].decode());
            Vec3 centre = draw.point(), offset;
            const int kind = offset_kind(rng);
            for (int a = 0; a < 3; ++a) {
                const double s = g.size[a];
                offset[a] = kind == 0 ? 0.0
                          : kind == 1 ? 0.5 * s
                                      : std::uniform_real_distribution<double>(0, 1.5)(rng) * s;
            }
            if (kind == 1) centre = g.centre;
            const std::uint64_t hints[] = {leaf, any_cell(rng), f.num_cells() + 3};
            for (const std::uint64_t hint : hints) {
                const std::array<std::uint64_t, 8> got = f.locate_corners_near(d, centre, offset, hint);
                for (unsigned c = 0; c < 8; ++c) {
                    const Vec3 p{(c & 1) ? centre[0] + offset[0] : centre[0] - offset[0],
                                 (c & 2) ? centre[1] + offset[1] : centre[1] - offset[1],
                                 (c & 4) ? centre[2] + offset[2] : centre[2] - offset[2]};
                    ASSERT_EQ(got[c], f.locate_point_near(d, p, hint).value_or(Forest::NO_CELL))
                        << "corner " << c << " of " << centre[0] << " " << centre[1] << " " << centre[2];
                }
            }
        }
    }
}

TEST(Domain, SaturatingConversion) {
    const std::pair<double, std::uint32_t> cases[] = {
        {-5.0, 0}, {NaN, 0}, {0.99, 0}, {7.9, 7}, {4294967295.5, 4294967295u},
        {4294967296.0, 4294967295u}, {1e300, 4294967295u}, {-0.0, 0},
    };
    for (const auto& [v, want] : cases) EXPECT_EQ(domain::saturate_u32(v), want) << v;
}

}  // namespace
}  // namespace quorin
