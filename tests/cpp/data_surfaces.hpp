// The real surfaces of the shared data directory beside the repository
// (QUORIN_DATA_DIR), for tests that run on them and skip when it is absent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "quorin/surface/ibm_mesh.hpp"
#include "quorin/surface/obj.hpp"
#include "quorin/surface/stl.hpp"

namespace quorin::testing {

// The surface in `file`, loaded by its extension; none when the file is
// absent. A file that is there but does not load fails the test.
inline std::optional<IbmMesh> data_surface(const std::string& file) {
    const std::string path = std::string(QUORIN_DATA_DIR) + "/" + file;
    if (!std::filesystem::exists(path)) return std::nullopt;
    auto loaded = path.ends_with(".obj") ? mesh::load_obj(path) : mesh::load_stl(path);
    if (!loaded.ok()) {
        ADD_FAILURE() << path << ": " << loaded.error();
        return std::nullopt;
    }
    return std::move(loaded).value();
}

// The box of the surface's vertices: (lo, hi).
inline std::pair<Vec3, Vec3> vertex_box(const IbmMesh& m) {
    Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    for (const Vec3& p : m.trimesh.vertices())
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], p[a]);
            hi[a] = std::max(hi[a], p[a]);
        }
    return {lo, hi};
}

// A domain box around the surface: `below` and `above` times the largest
// extent of its vertex box from that box's centre, on every axis.
struct BoxAround {
    Vec3 lo, hi;
    Vec3 centre;  // of the vertex box
    double size;  // the vertex box's largest extent
};

inline BoxAround box_around(const IbmMesh& m, double below, double above) {
    const auto [lo, hi] = vertex_box(m);
    BoxAround b;
    b.size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    for (int a = 0; a < 3; ++a) {
        b.centre[a] = 0.5 * (lo[a] + hi[a]);
        b.lo[a] = b.centre[a] - below * b.size;
        b.hi[a] = b.centre[a] + above * b.size;
    }
    return b;
}

}  // namespace quorin::testing
