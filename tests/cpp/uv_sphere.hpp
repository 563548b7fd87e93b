// A closed latitude-longitude sphere with shared vertices, outward winding:
// 2·segments·(rings − 1) triangles, watertight by construction. Shared by the
// tests and the benchmarks.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "quorin/surface/bvh.hpp"

namespace quorin::testing {

struct TriangleSoup {
    std::vector<Vec3> vertices;
    std::vector<Triangle> triangles;
};

inline TriangleSoup uv_sphere(const Vec3& centre, double radius, std::uint32_t rings,
                              std::uint32_t segments) {
    TriangleSoup s;
    s.vertices.push_back({centre[0], centre[1], centre[2] + radius});
    for (std::uint32_t i = 1; i < rings; ++i) {
        const double th = std::numbers::pi * i / rings;
        for (std::uint32_t j = 0; j < segments; ++j) {
            const double ph = 2 * std::numbers::pi * j / segments;
            s.vertices.push_back({centre[0] + radius * std::sin(th) * std::cos(ph),
                                  centre[1] + radius * std::sin(th) * std::sin(ph),
                                  centre[2] + radius * std::cos(th)});
        }
    }
    s.vertices.push_back({centre[0], centre[1], centre[2] - radius});
    const auto at = [&](std::uint32_t i, std::uint32_t j) { return 1 + (i - 1) * segments + j % segments; };
    const auto south = static_cast<std::uint32_t>(s.vertices.size() - 1);
    for (std::uint32_t j = 0; j < segments; ++j) s.triangles.push_back({0, at(1, j), at(1, j + 1)});
    for (std::uint32_t i = 1; i + 1 < rings; ++i) {
        for (std::uint32_t j = 0; j < segments; ++j) {
            s.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            s.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    for (std::uint32_t j = 0; j < segments; ++j) s.triangles.push_back({at(rings - 1, j), south, at(rings - 1, j + 1)});
    return s;
}

}  // namespace quorin::testing
