#include "quorin/ibm/inside.hpp"

#include <iterator>

namespace quorin::gcibm {

bool is_point_inside(const Vec3& point, const IbmMesh& mesh, const RigidPose& pose) {
    constexpr int RAYS = static_cast<int>(std::size(INSIDE_TEST_DIRECTIONS));
    int odd = 0;
    int even = 0;
    for (const Vec3& dir : INSIDE_TEST_DIRECTIONS) {
        // The vote is decided once either side has a majority: the remaining
        // rays cannot change it, so they are not cast.
        if (odd >= INSIDE_TEST_MAJORITY) return true;
        if (even > RAYS - INSIDE_TEST_MAJORITY) return false;
        const Vec3 local_dir = pose.inverse_rotate(dir);
        unsigned count = 0;
        double remaining = INSIDE_TEST_RAY_LENGTH;
        Vec3 o = point;
        for (;;) {
            const Vec3 local_origin = pose.inverse_transform_point(o);
            const auto hit = mesh.trimesh.cast_ray(local_origin, local_dir, remaining);
            if (!hit || !(hit->toi < remaining)) break;
            const double step = hit->toi + INSIDE_TEST_RESTART_OFFSET;
            remaining -= step;
            ++count;
            if (remaining <= 0) break;
            for (int a = 0; a < 3; ++a) o[a] = o[a] + step * dir[a];
        }
        if (count % 2 == 1) {
            ++odd;
        } else {
            ++even;
        }
    }
    return odd >= INSIDE_TEST_MAJORITY;
}

}  // namespace quorin::gcibm
