#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "quorin/ibm/inside.hpp"
#include "surfaces.hpp"

namespace quorin {
namespace {

using testing::box_mesh;
using testing::pose_of;
using testing::sphere_mesh;

const RigidPose IDENTITY = RigidPose::identity();

TEST(InsideTest, DirectionsAreUnitAndOffEveryCoordinatePlane) {
    // (a, b, e) is (1, 0.11, 0.05) normalised; c is 1/sqrt(3).
    const double n = std::sqrt(1 + 0.11 * 0.11 + 0.05 * 0.05);
    EXPECT_NEAR(gcibm::INSIDE_TEST_A, 1 / n, 1e-16);
    EXPECT_NEAR(gcibm::INSIDE_TEST_B, 0.11 / n, 1e-16);
    EXPECT_NEAR(gcibm::INSIDE_TEST_E, 0.05 / n, 1e-16);
    EXPECT_NEAR(gcibm::INSIDE_TEST_C, 1 / std::sqrt(3.0), 1e-16);
    for (const Vec3& d : gcibm::INSIDE_TEST_DIRECTIONS) {
        EXPECT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1.0, 1e-15);
        for (double c : d) EXPECT_NE(c, 0.0);
    }
    EXPECT_EQ(gcibm::INSIDE_TEST_DIRECTIONS[1],
              (Vec3{-gcibm::INSIDE_TEST_A, -gcibm::INSIDE_TEST_E, gcibm::INSIDE_TEST_B}));
    EXPECT_EQ(gcibm::INSIDE_TEST_DIRECTIONS[12],
              (Vec3{-gcibm::INSIDE_TEST_C, gcibm::INSIDE_TEST_C, gcibm::INSIDE_TEST_C}));
}

TEST(InsideTest, InverseRotation) {
    const Vec3 v{0.3, -1.7, 2.9};
    EXPECT_EQ(IDENTITY.inverse_rotate(v), v);  // bit for bit
    EXPECT_EQ((RigidPose{{0, 0, 0, 1}, {0, 0, 0}}.inverse_transform_point(v)), v);
    const RigidPose p = pose_of({0.2, -0.5, 0.8}, 1.3, {0, 0, 0});
    const Vec3 back = p.inverse_rotate(testing::place(p, v));
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(back[a], v[a], 1e-14);
    // A quarter turn about z takes x to y; its inverse takes y back to x.
    const Vec3 x = pose_of({0, 0, 1}, std::acos(-1.0) / 2, {0, 0, 0}).inverse_rotate({0, 1, 0});
    EXPECT_NEAR(x[0], 1, 1e-15);
    EXPECT_NEAR(x[1], 0, 1e-15);
}

TEST(InsideTest, ClosedSphereAndCubeUnderPoses) {
    const Vec3 c{0.1, -0.2, 0.3};
    const double r = 0.5;
    const IbmMesh sphere = sphere_mesh(c, r, 32, 48);
    const Vec3 lo{-0.4, -0.3, -0.2}, hi{0.5, 0.35, 0.45};
    const IbmMesh cube = box_mesh(lo, hi);
    const RigidPose poses[] = {
        IDENTITY,
        {{0, 0, 0, 1}, {3.5, -1.25, 0.75}},
        pose_of({1, 2, -1}, 0.8, {-0.3, 0.4, 1.1}),
    };
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-0.8, 0.8);
    int inside = 0, outside = 0;
    for (const RigidPose& p : poses) {
        for (int k = 0; k < 300; ++k) {
            const Vec3 local{u(rng), u(rng), u(rng)};
            const Vec3 q = testing::place(p, local);  // domain-frame point
            // Sphere: skip points near the faceted surface.
            const double dist = std::hypot(local[0] - c[0], local[1] - c[1], local[2] - c[2]);
            if (std::fabs(dist - r) > 0.01) {
                const bool in = dist < r;
                EXPECT_EQ(gcibm::is_point_inside(q, sphere, p), in) << k;
                (in ? inside : outside) += 1;
            }
            double margin = 1e9;
            bool in_box = true;
            for (int a = 0; a < 3; ++a) {
                margin = std::min(
                    margin, std::min(std::fabs(local[a] - lo[a]), std::fabs(local[a] - hi[a])));
                in_box = in_box && lo[a] < local[a] && local[a] < hi[a];
            }
            if (margin > 1e-6) {
                EXPECT_EQ(gcibm::is_point_inside(q, cube, p), in_box) << k;
            }
        }
    }
    EXPECT_GT(inside, 60);
    EXPECT_GT(outside, 60);
}

TEST(InsideTest, TranslationOnlyPoseEqualsIdentityAtTheShiftedPoint) {
    const IbmMesh cube = box_mesh({0, 0, 0}, {1, 1, 1});
    const Vec3 t{10.25, -3.5, 0.125};
    const RigidPose moved{{0, 0, 0, 1}, t};
    for (const Vec3& p : {Vec3{10.5, -3.2, 0.6}, Vec3{9.9, -3.2, 0.6}, Vec3{11.0, -2.6, 1.0}}) {
        EXPECT_EQ(gcibm::is_point_inside(p, cube, moved),
                  gcibm::is_point_inside({p[0] - t[0], p[1] - t[1], p[2] - t[2]}, cube, IDENTITY));
    }
    EXPECT_TRUE(gcibm::is_point_inside({10.5, -3.2, 0.6}, cube, moved));
}

TEST(InsideTest, RaysSeeOnlyTheirBudget) {
    const IbmMesh near = sphere_mesh({0, 0, 0}, 9e5, 12, 16);
    const IbmMesh far = sphere_mesh({0, 0, 0}, 1.5e6, 12, 16);
    EXPECT_TRUE(gcibm::is_point_inside({1, 2, 3}, near, IDENTITY));
    // Inside, but the surface lies beyond 1e6 along every ray.
    EXPECT_FALSE(gcibm::is_point_inside({1, 2, 3}, far, IDENTITY));
    // Far outside the surface's extent: no ray meets it.
    const IbmMesh small = sphere_mesh({0, 0, 0}, 1, 12, 16);
    EXPECT_FALSE(gcibm::is_point_inside({50, -40, 30}, small, IDENTITY));
}

TEST(InsideTest, SheetsCloserThanTheRestartOffsetCountOnce) {
    // A closed cube wrapped by a second one: every ray from inside crosses
    // both. 1e-9 apart (at most ~2e-8 along any of the rays) they count as
    // one crossing and the point is inside; 1e-3 apart they count twice.
    const IbmMesh inner = box_mesh({-1, -1, -1}, {1, 1, 1});
    const Vec3 p{0.1, -0.2, 0.15};
    EXPECT_TRUE(gcibm::is_point_inside(p, inner, IDENTITY));
    const IbmMesh close_outer =
        box_mesh({-1 - 1e-9, -1 - 1e-9, -1 - 1e-9}, {1 + 1e-9, 1 + 1e-9, 1 + 1e-9});
    const IbmMesh far_outer = box_mesh({-1.001, -1.001, -1.001}, {1.001, 1.001, 1.001});
    EXPECT_TRUE(gcibm::is_point_inside(p, testing::merge({&inner, &close_outer}), IDENTITY));
    EXPECT_FALSE(gcibm::is_point_inside(p, testing::merge({&inner, &far_outer}), IDENTITY));
}

}  // namespace
}  // namespace quorin
