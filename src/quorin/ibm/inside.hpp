// Inside test of a point against the closed immersed surface by ray parity:
// 13 rays in fixed directions count their crossings, and the point is inside
// when a majority of them cross an odd number of times.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "quorin/forest/domain.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"
#include "quorin/surface/ray_columns.hpp"

namespace quorin::gcibm {

// Ray directions, in the order they are cast. Six are (1, 0.11, 0.05)
// normalised and permuted with signs, seven are body diagonals; none lies in
// a coordinate plane, so axis-aligned surfaces are never grazed.
inline constexpr double INSIDE_TEST_C = 0.5773502691896258;  // 1/sqrt(3)
inline constexpr double INSIDE_TEST_A = 0.9927789747206318;
inline constexpr double INSIDE_TEST_B = 0.1092056872192695;
inline constexpr double INSIDE_TEST_E = 0.04963894873603159;

inline constexpr std::array<Vec3, 13> INSIDE_TEST_DIRECTIONS = {{
    {INSIDE_TEST_A, INSIDE_TEST_B, INSIDE_TEST_E},
    {-INSIDE_TEST_A, -INSIDE_TEST_E, INSIDE_TEST_B},
    {INSIDE_TEST_E, INSIDE_TEST_A, -INSIDE_TEST_B},
    {-INSIDE_TEST_B, -INSIDE_TEST_A, INSIDE_TEST_E},
    {INSIDE_TEST_B, INSIDE_TEST_E, INSIDE_TEST_A},
    {-INSIDE_TEST_E, -INSIDE_TEST_B, -INSIDE_TEST_A},
    {INSIDE_TEST_C, INSIDE_TEST_C, INSIDE_TEST_C},
    {-INSIDE_TEST_C, -INSIDE_TEST_C, -INSIDE_TEST_C},
    {INSIDE_TEST_C, -INSIDE_TEST_C, INSIDE_TEST_C},
    {-INSIDE_TEST_C, INSIDE_TEST_C, -INSIDE_TEST_C},
    {INSIDE_TEST_C, INSIDE_TEST_C, -INSIDE_TEST_C},
    {-INSIDE_TEST_C, -INSIDE_TEST_C, INSIDE_TEST_C},
    {-INSIDE_TEST_C, INSIDE_TEST_C, INSIDE_TEST_C},
}};

// Length budget of each ray, in the domain's length unit.
inline constexpr double INSIDE_TEST_RAY_LENGTH = 1e6;
// Distance added beyond each counted hit before the ray is cast again.
inline constexpr double INSIDE_TEST_RESTART_OFFSET = 1e-7;
// Rays (of 13) that must cross an odd number of times for "inside".
inline constexpr int INSIDE_TEST_MAJORITY = 7;

// The votes of the rays cast so far for one point: a ray with an odd number
// of crossings votes inside. Decided once either side has a majority, since
// the remaining rays cannot change it.
struct InsideVote {
    std::uint8_t odd = 0;
    std::uint8_t even = 0;

    bool decided() const {
        constexpr int RAYS = static_cast<int>(INSIDE_TEST_DIRECTIONS.size());
        return odd >= INSIDE_TEST_MAJORITY || even > RAYS - INSIDE_TEST_MAJORITY;
    }
    bool inside() const { return odd >= INSIDE_TEST_MAJORITY; }
    void add(unsigned crossings) { ++(crossings % 2 == 1 ? odd : even); }
};

// True when `point` (domain frame) lies inside the surface placed at `pose`.
// Each ray is cast in the surface's frame: origin R⁻¹·(o − t), direction R⁻¹·d.
bool is_point_inside(const Vec3& point, const IbmMesh& mesh, const RigidPose& pose);

// The crossings that the ray from `point` along `dir` (domain frame) counts:
// a nearest-hit cast, then a new cast from 1e-7 beyond each counted hit,
// until the length budget is spent or no hit is left.
unsigned ray_crossings(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose);

// The same, reading the triangles to test off `columns` where they were
// binned for this ray's direction in the surface's frame (R⁻¹·dir, bit for
// bit) and can vouch for the ray; the count is the same either way.
unsigned ray_crossings(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose,
                       const RayColumns* columns);

// The same count by the literal sequence of casts.
unsigned ray_crossings_literal(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose);

// The same count replayed from one traversal that collects every hit of the
// ray; none when the replay could differ from the literal casts (hits too
// close to a restart point, a triangle whose answer a rounded restart origin
// could change, more hits than the list holds).
std::optional<unsigned> ray_crossings_replayed(const Vec3& point, const Vec3& dir, const IbmMesh& mesh,
                                               const RigidPose& pose, const RayColumns* columns = nullptr);

}  // namespace quorin::gcibm
