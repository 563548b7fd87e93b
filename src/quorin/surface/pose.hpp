// The rigid pose of the immersed surface: a unit rotation quaternion, stored
// x, y, z, w, and a translation. A surface vertex v stands at R·v + t in the
// domain's frame; the surface itself is never transformed.
#pragma once

#include <array>

#include "quorin/forest/domain.hpp"

namespace quorin {

struct RigidPose {
    std::array<double, 4> rotation;  // x, y, z, w
    Vec3 translation;

    static constexpr RigidPose identity() { return RigidPose{{0, 0, 0, 1}, {0, 0, 0}}; }
};

}  // namespace quorin
