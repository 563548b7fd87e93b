// Rigid poses: the identity is exact, forward and inverse rotations undo each
// other, and set_absolute normalises the rotation as the session expects.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "quorin/surface/pose.hpp"

namespace quorin {
namespace {

bool bitwise_equal(const Vec3& a, const Vec3& b) { return std::memcmp(a.data(), b.data(), sizeof(Vec3)) == 0; }

TEST(RigidPose, IdentityMapsEveryPointToItself) {
    const RigidPose id = RigidPose::identity();
    EXPECT_TRUE(id.is_identity());
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    for (int i = 0; i < 1000; ++i) {
        const Vec3 p{u(rng), u(rng) * 1e-9, u(rng) * 1e9};
        EXPECT_TRUE(bitwise_equal(id.transform_point(p), p));
        EXPECT_TRUE(bitwise_equal(id.inverse_transform_point(p), p));
        EXPECT_TRUE(bitwise_equal(id.inverse_rotate(p), p));
    }
    EXPECT_FALSE((RigidPose{{0, 0, 0, 1}, {0, 0, 1e-300}}.is_identity()));
}

TEST(RigidPose, RotationsAndTheirInverse) {
    const double s = std::sqrt(0.5);
    const RigidPose quarter_z{{0, 0, s, s}, {1, 2, 3}};
    const Vec3 r = quarter_z.rotate({1, 0, 0});
    EXPECT_NEAR(r[0], 0, 1e-15);
    EXPECT_NEAR(r[1], 1, 1e-15);
    EXPECT_NEAR(r[2], 0, 1e-15);
    const Vec3 p = quarter_z.transform_point({1, 0, 0});
    EXPECT_NEAR(p[0], 1, 1e-15);
    EXPECT_NEAR(p[1], 3, 1e-15);
    EXPECT_NEAR(p[2], 3, 1e-15);
    const Vec3 back = quarter_z.inverse_rotate({0, 1, 0});
    EXPECT_NEAR(back[0], 1, 1e-15);
    EXPECT_NEAR(back[1], 0, 1e-15);
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int i = 0; i < 1000; ++i) {
        double q[4] = {u(rng), u(rng), u(rng), u(rng)};
        const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        const RigidPose pose{{q[0] / n, q[1] / n, q[2] / n, q[3] / n}, {u(rng), u(rng), u(rng)}};
        const Vec3 v{u(rng), u(rng), u(rng)};
        const Vec3 there = pose.transform_point(v);
        const Vec3 again = pose.inverse_transform_point(there);
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(again[a], v[a], 1e-14);
        // Lengths are kept.
        const Vec3 rv = pose.rotate(v);
        EXPECT_NEAR(std::hypot(rv[0], rv[1], rv[2]), std::hypot(v[0], v[1], v[2]), 1e-14);
    }
}

TEST(RigidPose, SetAbsoluteNormalisesTheRotation) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    using Q = std::array<double, 4>;  // w, x, y, z
    struct Case {
        Q given;
        std::array<double, 4> want;  // stored x, y, z, w
    };
    const Case cases[] = {
        {{2, 0, 0, 0}, {0, 0, 0, 1}},
        {{0, 2e-8, 0, 0}, {1, 0, 0, 0}},  // squared norm 4e-16, above 2^-52
        {{0, 1e-9, 0, 0}, {0, 0, 0, 1}},  // squared norm 1e-18, below
        {{0, 0, 0, 0}, {0, 0, 0, 1}},
        {{NaN, 0, 0, 0}, {0, 0, 0, 1}},
        {{0, 0, 3, 4}, {0, 0.6, 0.8, 0}},
    };
    for (const Case& c : cases) {
        RigidPose pose = RigidPose::identity();
        pose.translation = {1, 2, 3};
        pose.set_absolute(std::nullopt, c.given);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(pose.rotation[i], c.want[i]) << c.given[0] << " " << c.given[1];
        EXPECT_EQ(pose.translation, (Vec3{1, 2, 3}));
    }
    // Translation alone keeps (and renormalises) the rotation; neither changes nothing.
    RigidPose pose{{0, 0, 0, 2}, {0, 0, 0}};
    pose.set_absolute(std::nullopt, std::nullopt);
    EXPECT_EQ(pose.rotation[3], 2.0);
    pose.set_absolute(Vec3{4, 5, 6}, std::nullopt);
    EXPECT_EQ(pose.rotation, (std::array<double, 4>{0, 0, 0, 1}));
    EXPECT_EQ(pose.translation, (Vec3{4, 5, 6}));
    pose.set_absolute(Vec3{7, 8, 9}, Q{0, 1, 0, 0});
    EXPECT_EQ(pose.rotation, (std::array<double, 4>{1, 0, 0, 0}));
    EXPECT_EQ(pose.translation, (Vec3{7, 8, 9}));
}

}  // namespace
}  // namespace quorin
