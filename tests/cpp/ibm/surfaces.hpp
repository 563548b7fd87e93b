// Surfaces made in code for the immersed-boundary tests, pose arithmetic to
// place them explicitly, and the surface-refinement loop written out
// plainly (every leaf tested in every pass) as the reference for the build.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/pose.hpp"
#include "../uv_sphere.hpp"

namespace quorin::testing {

inline IbmMesh make_mesh(const std::vector<Vec3>& v, const std::vector<Triangle>& t) {
    return IbmMesh(v, t, {"_default"}, std::vector<std::uint64_t>(t.size(), 0));
}

inline IbmMesh sphere_mesh(const Vec3& c, double r, std::uint32_t rings, std::uint32_t segments) {
    const TriangleSoup s = uv_sphere(c, r, rings, segments);
    return make_mesh(s.vertices, s.triangles);
}

// Closed surface of the axis-aligned box [lo, hi], 12 triangles.
inline IbmMesh box_mesh(const Vec3& lo, const Vec3& hi) {
    std::vector<Vec3> v;
    for (int k = 0; k < 8; ++k)
        v.push_back({(k & 1) ? hi[0] : lo[0], (k & 2) ? hi[1] : lo[1], (k & 4) ? hi[2] : lo[2]});
    const std::vector<Triangle> t = {
        {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3},  // -x, +x
        {0, 4, 5}, {0, 5, 1}, {2, 3, 7}, {2, 7, 6},  // -y, +y
        {0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5},  // -z, +z
    };
    return make_mesh(v, t);
}

// Several closed or open surfaces appended into one mesh.
inline IbmMesh merge(std::initializer_list<const IbmMesh*> parts) {
    std::vector<Vec3> v;
    std::vector<Triangle> t;
    for (const IbmMesh* m : parts) {
        const auto base = static_cast<std::uint32_t>(v.size());
        v.insert(v.end(), m->trimesh.vertices().begin(), m->trimesh.vertices().end());
        for (const Triangle& tr : m->trimesh.triangles())
            t.push_back({tr[0] + base, tr[1] + base, tr[2] + base});
    }
    return make_mesh(v, t);
}

inline IbmMesh triangle_mesh(const Vec3& a, const Vec3& b, const Vec3& c) {
    return make_mesh({a, b, c}, {{0, 1, 2}});
}

// Unit quaternion (x, y, z, w) of a rotation by `angle` about `axis`.
inline RigidPose pose_of(Vec3 axis, double angle, const Vec3& t) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double s = std::sin(angle / 2) / n;
    return RigidPose{{axis[0] * s, axis[1] * s, axis[2] * s, std::cos(angle / 2)}, t};
}

// R·v + t, written independently of the code under test.
inline Vec3 place(const RigidPose& p, const Vec3& v) {
    const double x = p.rotation[0], y = p.rotation[1], z = p.rotation[2], w = p.rotation[3];
    const double m[3][3] = {
        {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
        {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
        {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)},
    };
    Vec3 r;
    for (int a = 0; a < 3; ++a)
        r[a] = m[a][0] * v[0] + m[a][1] * v[1] + m[a][2] * v[2] + p.translation[a];
    return r;
}

// The surface with every vertex moved to its posed position.
inline IbmMesh placed_copy(const IbmMesh& m, const RigidPose& p) {
    std::vector<Vec3> v;
    for (const Vec3& x : m.trimesh.vertices()) v.push_back(place(p, x));
    const auto& t = m.trimesh.triangles();
    return make_mesh(v, std::vector<Triangle>(t.begin(), t.end()));
}

inline BuildSettings unit_settings(std::array<std::uint32_t, 3> res, std::uint8_t n_leaf) {
    return BuildSettings{{{0, 0, 0}, {1, 1, 1}}, res, n_leaf};
}

// The build with every leaf tested in every surface pass and nothing
// skipped: the behaviour the faster build must reproduce exactly.
inline Forest reference_amr_forest(const BuildSettings& s, const IbmMesh& surface,
                                   std::uint8_t target, std::span<const RefinementRegion> regions,
                                   const RigidPose& pose) {
    const Domain domain(s.bbox.min, s.bbox.max, s.base_res[0], s.base_res[1], s.base_res[2]);
    Forest f(s.base_res[0], s.base_res[1], s.base_res[2]);
    for (unsigned pass = 0; pass < target; ++pass) {
        std::vector<CellStatus> status(f.leaves.size(), STATUS_DEFAULT);
        flood::mark_intersected_cells(f, domain, pose, surface, status);
        std::vector<std::uint8_t> flags(f.leaves.size());
        bool any = false;
        for (std::size_t i = 0; i < flags.size(); ++i) {
            flags[i] = surface_refine_flag(status[i], f.leaves[i], target);
            any = any || flags[i];
        }
        if (!any) break;
        f.refine_by_flags(flags);
    }
    for (;;) {
        std::vector<std::uint8_t> flags(f.leaves.size());
        bool any = false;
        for (std::size_t i = 0; i < flags.size(); ++i) {
            flags[i] = domain::region_flag_for_leaf(domain, regions, f.leaves[i]);
            any = any || flags[i];
        }
        if (!any) break;
        f.refine_by_flags(flags);
    }
    f.enforce_2_to_1_balance();
    for (unsigned r = 0; r < s.n_leaf_refinement; ++r)
        f.refine_by_flags(std::vector<std::uint8_t>(f.leaves.size(), 1));
    return f;
}

inline Forest uniform_forest(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, unsigned level) {
    Forest f(nx, ny, nz);
    for (unsigned l = 0; l < level; ++l)
        f.refine_by_flags(std::vector<std::uint8_t>(f.leaves.size(), 1));
    return f;
}

}  // namespace quorin::testing
