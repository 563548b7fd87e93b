// The rigid pose of the immersed surface: a unit rotation quaternion, stored
// x, y, z, w, and a translation. A surface vertex v stands at R·v + t in the
// domain's frame; the surface itself is never transformed.
//
// The rotations are evaluated from the stored quaternion without normalising
// it (callers keep it unit, see set_absolute). With the identity rotation
// (0, 0, 0, 1) both formulas reduce to 1·v + 0 + 0, so the identity pose maps
// every point to itself exactly, bit for bit.
#pragma once

#include <array>
#include <cmath>
#include <optional>

#include "quorin/forest/domain.hpp"

namespace quorin {

struct RigidPose {
    std::array<double, 4> rotation;  // x, y, z, w
    Vec3 translation;

    static constexpr RigidPose identity() { return RigidPose{{0, 0, 0, 1}, {0, 0, 0}}; }

    // True when the rotation is exactly (0, 0, 0, 1) and the translation 0.
    bool is_identity() const {
        return rotation[0] == 0 && rotation[1] == 0 && rotation[2] == 0 && rotation[3] == 1 &&
               translation[0] == 0 && translation[1] == 0 && translation[2] == 0;
    }

    // R·v = (w² − |u|²)·v + 2·(u·v)·u + 2·w·(u × v), u = (x, y, z).
    Vec3 rotate(const Vec3& v) const {
        const Parts q = parts(v);
        return {(q.scale * v[0] + q.dot2 * rotation[0]) + q.w2 * q.cross[0],
                (q.scale * v[1] + q.dot2 * rotation[1]) + q.w2 * q.cross[1],
                (q.scale * v[2] + q.dot2 * rotation[2]) + q.w2 * q.cross[2]};
    }

    // R⁻¹·v = (w² − |u|²)·v + 2·(u·v)·u − 2·w·(u × v), evaluated left to right.
    Vec3 inverse_rotate(const Vec3& v) const {
        const Parts q = parts(v);
        return {(q.scale * v[0] + q.dot2 * rotation[0]) - q.w2 * q.cross[0],
                (q.scale * v[1] + q.dot2 * rotation[1]) - q.w2 * q.cross[1],
                (q.scale * v[2] + q.dot2 * rotation[2]) - q.w2 * q.cross[2]};
    }

    // Surface frame to domain frame: R·p + t.
    Vec3 transform_point(const Vec3& p) const {
        const Vec3 r = rotate(p);
        return {r[0] + translation[0], r[1] + translation[1], r[2] + translation[2]};
    }

    // Domain frame to surface frame: R⁻¹·(p − t).
    Vec3 inverse_transform_point(const Vec3& p) const {
        return inverse_rotate({p[0] - translation[0], p[1] - translation[1], p[2] - translation[2]});
    }

    // Sets the absolute pose from the Python side. The rotation is given as
    // [w, x, y, z]; an omitted part keeps its current value, and with neither
    // given nothing changes. Otherwise the rotation (given or current) is
    // normalised again: squared norm ((x·x + y·y) + z·z) + w·w; above 2^-52
    // every component is divided by its square root, else (also for NaN) the
    // rotation becomes the identity.
    void set_absolute(const std::optional<Vec3>& new_translation,
                      const std::optional<std::array<double, 4>>& new_rotation_wxyz) {
        if (!new_translation && !new_rotation_wxyz) return;
        const Vec3 t = new_translation ? *new_translation : translation;
        double w = rotation[3], x = rotation[0], y = rotation[1], z = rotation[2];
        if (new_rotation_wxyz) {
            w = (*new_rotation_wxyz)[0];
            x = (*new_rotation_wxyz)[1];
            y = (*new_rotation_wxyz)[2];
            z = (*new_rotation_wxyz)[3];
        }
        const double norm2 = ((x * x + y * y) + z * z) + w * w;
        if (norm2 > 2.220446049250313e-16) {
            const double s = std::sqrt(norm2);
            rotation = {x / s, y / s, z / s, w / s};
        } else {
            rotation = {0.0, 0.0, 0.0, 1.0};
        }
        translation = t;
    }

private:
    struct Parts {
        double scale;  // w² − |u|²
        double dot2;   // 2·(u·v)
        double w2;     // 2·w
        Vec3 cross;    // u × v
    };

    Parts parts(const Vec3& v) const {
        const double x = rotation[0], y = rotation[1], z = rotation[2], w = rotation[3];
        return {w * w - ((x * x + y * y) + z * z), 2.0 * ((x * v[0] + y * v[1]) + z * v[2]), 2.0 * w,
                {y * v[2] - z * v[1], z * v[0] - x * v[2], x * v[1] - y * v[0]}};
    }
};

}  // namespace quorin
