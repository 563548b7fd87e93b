#include "quorin/ibm/inside.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace quorin::gcibm {

namespace {

constexpr double UNIT_ROUNDOFF = 0x1p-53;

inline double max_abs(const Vec3& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}

void sort_hits(RayHitList& h) {
    for (int i = 1; i < h.count; ++i) {
        const double t = h.toi[i], e = h.error[i];
        int j = i;
        for (; j > 0 && h.toi[j - 1] > t; --j) {
            h.toi[j] = h.toi[j - 1];
            h.error[j] = h.error[j - 1];
        }
        h.toi[j] = t;
        h.error[j] = e;
    }
}

}  // namespace

unsigned ray_crossings_literal(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose) {
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
    return count;
}

// The literal casts restart from origins moved by rounded steps; each such
// origin lies within `shift` of the first ray's line, and each fresh time of
// impact within `tol` of the first ray's time minus the distance moved. Where
// every triangle's answer is stable under that shift and no hit lies within
// the tolerance of a restart point, the literal sequence is determined by
// the first ray's hits alone.
std::optional<unsigned> ray_crossings_replayed(const Vec3& point, const Vec3& dir, const IbmMesh& mesh,
                                               const RigidPose& pose, const RayColumns* columns) {
    const Vec3 local_dir = pose.inverse_rotate(dir);
    const Vec3 local_origin = pose.inverse_transform_point(point);
    const bool binned = columns != nullptr && columns->usable() && columns->direction() == local_dir;
    const auto collect = [&](double shift, RayHitList& hits) {
        if (binned) {
            if (const auto vouched = columns->collect_stable_hits(local_origin, INSIDE_TEST_RAY_LENGTH, shift, hits))
                return *vouched;
        }
        return mesh.trimesh.collect_stable_hits(local_origin, local_dir, INSIDE_TEST_RAY_LENGTH, shift, hits);
    };
    // The restart origins stay within `reach` of the first one when no hit
    // lies farther; the shift they can have off the line grows with it. A
    // guess from the origin's own size is checked against the farthest hit
    // and widened when it falls short.
    double reach = 4 * (max_abs(local_origin) + 1);
    RayHitList hits;
    double shift = 0;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 3) return std::nullopt;
        const double scale = max_abs(point) + max_abs(pose.translation) + reach + 1;
        shift = 256 * UNIT_ROUNDOFF * scale;
        if (!collect(shift, hits)) return std::nullopt;
        if (hits.count == 0) return 0u;
        sort_hits(hits);
        const double farthest = hits.toi[hits.count - 1];
        if (farthest <= reach) break;
        reach = 2 * farthest;
    }
    // Hits near the end of the budget would need the literal bookkeeping.
    if (hits.toi[hits.count - 1] > INSIDE_TEST_RAY_LENGTH - 1) return std::nullopt;

    // Each restart origin sits 1e-7 beyond the hit counted last, up to that
    // hit's error (and near-ties that the literal cast may have picked
    // instead) and the shift; a hit decides the next cast only when it lies
    // clear of the restart point by both errors.
    const auto near_tie_error = [&](int k) {
        double e = hits.error[k];
        for (int m = k + 1; m < hits.count; ++m) {
            const double gap = hits.toi[m] - hits.toi[k];
            if (gap > 2 * (hits.error[k] + hits.error[m]) + 4 * shift) break;
            e = std::max(e, gap + hits.error[m]);
        }
        return e;
    };
    // The first cast is the literal one: its nearest hit is counted.
    unsigned count = 1;
    double at = hits.toi[0] + INSIDE_TEST_RESTART_OFFSET;
    double at_error = near_tie_error(0);
    int i = 1;
    for (;;) {
        const auto tol = [&](int k) { return 2 * (at_error + hits.error[k]) + 4 * shift; };
        while (i < hits.count && hits.toi[i] < at - tol(i)) ++i;
        if (i == hits.count) break;
        if (hits.toi[i] <= at + tol(i)) return std::nullopt;  // too close to the restart point
        ++count;
        at = hits.toi[i] + INSIDE_TEST_RESTART_OFFSET;
        at_error = near_tie_error(i);
        ++i;
    }
    return count;
}

unsigned ray_crossings(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose,
                       const RayColumns* columns) {
    if (const auto replayed = ray_crossings_replayed(point, dir, mesh, pose, columns)) return *replayed;
    return ray_crossings_literal(point, dir, mesh, pose);
}

unsigned ray_crossings(const Vec3& point, const Vec3& dir, const IbmMesh& mesh, const RigidPose& pose) {
    return ray_crossings(point, dir, mesh, pose, nullptr);
}

bool is_point_inside(const Vec3& point, const IbmMesh& mesh, const RigidPose& pose) {
    InsideVote vote;
    for (const Vec3& dir : INSIDE_TEST_DIRECTIONS) {
        if (vote.decided()) break;  // the remaining rays are not cast
        vote.add(ray_crossings(point, dir, mesh, pose));
    }
    return vote.inside();
}

}  // namespace quorin::gcibm
