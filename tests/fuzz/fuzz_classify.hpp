// Shared body of the classification fuzz targets: an input the loader accepts
// goes down the ghost-cell road a user's build takes (background mesh, wall
// marking, flood fill, ghost-cell data with the inside test, the ghost-cell
// mesh), then through a few direct inside tests and a wall marking at a
// rotated pose. Each step may only give its defined outcome: a result whose
// indices hold together, or a message. Any exception, crash, sanitizer report
// or hang (libFuzzer's -timeout) is a finding.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_loader.hpp"
#include "quorin/export/ghost_cell.hpp"
#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/ibm/gcibm.hpp"
#include "quorin/ibm/inside.hpp"

namespace fuzz::classify {

using quorin::Vec3;

// Small enough that one input of a few thousand triangles stays well below
// a second under the sanitizers.
inline constexpr std::array<std::uint32_t, 3> BASE_RES = {2, 2, 2};
inline constexpr std::uint8_t TARGET_LEVEL = 3;
// Surfaces beyond this coordinate magnitude get the fixed unit domain.
inline constexpr double SANE_COORD = 1e6;

[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "fuzz_classify: %s\n", what);
    std::abort();
}

inline void expect(bool ok, const char* what) {
    if (!ok) finding(what);
}

// The box of the triangles' corners, padded by a quarter of its longest side,
// when every corner is finite and of sane magnitude; else [-1, 1]^3, which a
// hostile surface with far-away corners still crosses.
inline quorin::BuildSettings::Box domain_box(const quorin::IbmMesh& m) {
    const quorin::BuildSettings::Box unit{{-1, -1, -1}, {1, 1, 1}};
    Vec3 lo{HUGE_VAL, HUGE_VAL, HUGE_VAL};
    Vec3 hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    const auto& v = m.trimesh.vertices();
    for (const auto& t : m.trimesh.triangles()) {
        for (auto i : t) {
            for (int a = 0; a < 3; ++a) {
                const double c = v[i][a];
                if (!(std::abs(c) <= SANE_COORD)) return unit;  // also NaN
                lo[a] = std::min(lo[a], c);
                hi[a] = std::max(hi[a], c);
            }
        }
    }
    const double longest = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2], 1e-3});
    const double pad = 0.25 * longest;
    return {{lo[0] - pad, lo[1] - pad, lo[2] - pad}, {hi[0] + pad, hi[1] + pad, hi[2] + pad}};
}

inline Vec3 at_fraction(const quorin::BuildSettings::Box& b, double fx, double fy, double fz) {
    const double f[3] = {fx, fy, fz};
    Vec3 p;
    for (int a = 0; a < 3; ++a) p[a] = b.min[a] + f[a] * (b.max[a] - b.min[a]);
    return p;
}

// A user's seed: near a corner of the domain, the first corner whose cell is
// not a wall cell. None when all eight are walls (the user gets the message).
inline std::optional<Vec3> flood_from_a_corner(const quorin::BackgroundMesh& bg,
                                               const quorin::BuildSettings::Box& box,
                                               std::vector<quorin::CellStatus>& status) {
    for (int corner = 0; corner < 8; ++corner) {
        const auto f = [&](int bit) { return (corner >> bit & 1) ? 63.0 / 64 : 1.0 / 64; };
        const Vec3 seed = at_fraction(box, f(0), f(1), f(2));
        const auto err = quorin::flood::flood_fill(bg.forest, bg.domain, status, seed);
        if (!err) return seed;
        expect(*err == quorin::flood::SEED_ON_WALL_MESSAGE, "unexpected flood fill message");
    }
    return std::nullopt;
}

inline void check_ghost_cells(const quorin::BackgroundMesh& bg, const quorin::GhostCellData& d) {
    const std::size_t n = bg.forest.num_cells();
    const std::size_t tris = bg.ibm_mesh.trimesh.triangles().size();
    const std::size_t g = d.cell_ids.size();
    expect(d.is_fluid.size() == n, "is_fluid length");
    for (auto f : d.is_fluid) expect(f <= 1, "is_fluid value");
    expect(d.anchor_ids.size() == g && d.patch_ids.size() == g && d.intercepts.size() == g &&
               d.image_points.size() == g && d.stencil_indices.size() == g &&
               d.stencil_weights.size() == g,
           "ghost-cell vector lengths");
    for (std::size_t k = 0; k < g; ++k) {
        expect(d.cell_ids[k] < n, "ghost cell id");
        expect(k == 0 || d.cell_ids[k - 1] < d.cell_ids[k], "ghost cell ids not ascending");
        expect(d.is_fluid[d.cell_ids[k]] == 0, "fluid ghost cell");
        expect(d.anchor_ids[k] < tris, "anchor triangle");
        expect(d.patch_ids[k] == bg.ibm_mesh.triangle_patch_ids[d.anchor_ids[k]], "patch id");
        for (auto s : d.stencil_indices[k]) expect(s < n, "stencil index");
    }
}

// The ghost-cell road of one build on the loaded input at `path`.
inline void ghost_cell_road(const std::string& path, const quorin::IbmMesh& loaded) {
    const quorin::RigidPose identity = quorin::RigidPose::identity();
    quorin::BuildSettings settings;
    settings.bbox = domain_box(loaded);
    settings.base_res = BASE_RES;
    settings.n_leaf_refinement = 0;

    auto built = quorin::build_background_mesh(settings, path, TARGET_LEVEL, {}, identity);
    // The loader accepted this file a moment ago; the build loads it again.
    if (!built) finding(("build failed on a loadable surface: " + built.error()).c_str());
    const quorin::BackgroundMesh& bg = *built;

    std::vector<quorin::CellStatus> status(bg.forest.num_cells(), quorin::STATUS_DEFAULT);
    quorin::flood::mark_intersected_cells(bg.forest, bg.domain, identity, bg.ibm_mesh, status);
    if (const auto seed = flood_from_a_corner(bg, settings.bbox, status)) {
        quorin::GhostCellData data =
            quorin::gcibm::compute_ghost_cell_data(bg.forest, bg.domain, bg.ibm_mesh, status, *seed);
        check_ghost_cells(bg, data);
        const quorin::CfdGhostCellMesh record = quorin::ghost_cell::build_ghost_cell_mesh(
            bg.forest, bg.domain, bg.ibm_mesh, std::move(data));
        expect(record.n_cells == bg.forest.num_cells(), "ghost-cell mesh cell count");
    }

    // The surface at a rotated and shifted pose, as a moving body sees it.
    quorin::RigidPose posed = identity;
    const double size = settings.bbox.max[0] - settings.bbox.min[0];
    posed.set_absolute(Vec3{0.03 * size, -0.02 * size, 0.01 * size},
                       std::array<double, 4>{0.9, 0.2, -0.3, 0.25});
    const quorin::Buffer<quorin::CellStatus> moved =
        quorin::flood::initial_cell_status(bg.forest, bg.domain, bg.ibm_mesh, posed);
    expect(moved.size() == bg.forest.num_cells(), "posed status length");

    // Direct inside tests: the domain centre, a point off every cell face,
    // and both at the posed surface.
    const Vec3 probes[2] = {at_fraction(settings.bbox, 0.5, 0.5, 0.5),
                            at_fraction(settings.bbox, 0.37, 0.61, 0.43)};
    for (const Vec3& p : probes) {
        (void)quorin::gcibm::is_point_inside(p, bg.ibm_mesh, identity);
        (void)quorin::gcibm::is_point_inside(p, bg.ibm_mesh, posed);
    }
}

// The follow-up handed to fuzz::run: every exception of the road is a finding.
struct Road {
    void operator()(const std::string& path, const quorin::IbmMesh& loaded) const {
        try {
            ghost_cell_road(path, loaded);
        } catch (const std::exception& e) {
            finding(e.what());
        } catch (...) {
            finding("unknown exception");
        }
    }
};

}  // namespace fuzz::classify
