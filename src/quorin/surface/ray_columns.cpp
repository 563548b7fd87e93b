#include "quorin/surface/ray_columns.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quorin/parallel.hpp"
#include "quorin/surface/grid_binning.hpp"
#include "quorin/surface/predicates.hpp"
#include "quorin/surface/vec_ops.hpp"

namespace quorin {

using geom::finite3;
using geom::INF;
using geom::max_abs3;

namespace {

// Widening of each shadow box, relative to the surface's scale (+ 1).
constexpr double MARGIN_RATIO = 0x1p-20;
// A query is answered while 4·shift plus this fraction of (|origin| + the
// surface's scale) stays within the margin: the rounding of the shadows and
// the drift of a rounded ray direction over the surface's extent.
constexpr double QUERY_ROUNDING = 0x1p-37;
// Grid cells per binned triangle, and the most grid entries per triangle
// before the binning gives up.
constexpr double CELLS_PER_TRIANGLE = 8.0;
constexpr std::uint64_t ENTRY_BUDGET_PER_TRIANGLE = 16;
constexpr std::uint32_t MAX_CELLS_PER_AXIS = 4096;
// Shadows whose doubled area is below this fraction of the product of two
// edges' lengths have no trusted orientation.
constexpr double SLIVER_RATIO = 1e-6;
// Grids tried, each with a quarter of the cells of the one before.
constexpr int GRID_ATTEMPTS = 4;

// Whether the line of the ray origin + t·dir meets the plane of (a, b, c)
// clearly behind the origin: then no cast from an origin ahead on the line,
// shifted off it by up to `shift`, reaches the triangle. For triangles whose
// edge the line grazes behind the origin, which the ray test cannot settle.
// No verdict for slivers and for planes nearly parallel to the ray, where
// the rounded normal does not bound the crossing.
bool crossed_behind(const Vec3& o, const Vec3& dir, const Vec3& a, const Vec3& b, const Vec3& c,
                    double shift) {
    const Vec3 ab = geom::sub(b, a);
    const Vec3 ac = geom::sub(c, a);
    const Vec3 n = geom::cross(ab, ac);
    const double n1 = geom::l1(n);
    if (!(n1 > 1e-6 * (geom::l1(ab) * geom::l1(ac)))) return false;
    const double dn = geom::dot(dir, n);
    if (!(std::fabs(dn) > 1e-3 * n1)) return false;
    const Vec3 ao = geom::sub(a, o);
    const double t = geom::dot(ao, n) / dn;
    // The normal is good to 1e-9 relative, the crossing time to 1e-6 of
    // (|a - o| + |t|) with a wide allowance; a shifted origin moves it by up
    // to shift·|n|₁ / |dir·n|.
    const double slack = 2 * shift * n1 / std::fabs(dn) + 2e-6 * (geom::l1(ao) + std::fabs(t));
    return t < -slack;
}

std::uint32_t cells_along(double extent, double h) {
    const double n = std::ceil(extent / h);
    if (!(n >= 1)) return 1;
    return n >= MAX_CELLS_PER_AXIS ? MAX_CELLS_PER_AXIS : static_cast<std::uint32_t>(n);
}

}  // namespace

RayColumns::RayColumns(const TriMesh& mesh, const Vec3& dir) : mesh_(&mesh), dir_(dir) {
    const Buffer<TriMesh::Corners>& corners = mesh.leaf_corners();
    const Buffer<std::uint8_t>& flat = mesh.leaf_zero_area();
    const std::size_t n = corners.size();
    if (n == 0 || n >= std::numeric_limits<std::uint32_t>::max() || !finite3(dir)) return;
    if (dir[0] == 0 && dir[1] == 0 && dir[2] == 0) return;

    const geom::RayFrame frame = geom::make_ray_frame(Vec3{0, 0, 0}, dir);
    kx_ = frame.kx;
    ky_ = frame.ky;
    kz_ = frame.kz;
    sx_ = frame.sx;
    sy_ = frame.sy;
    depth_sign_ = dir[kz_] < 0 ? -1.0 : 1.0;
    margin_ = MARGIN_RATIO * (mesh.coordinate_scale() + 1);

    // The shadows of the triangles that are tested at all.
    std::vector<Shadow>& shadows = shadows_;
    shadows.reserve(n);
    double u_min = INF, u_max = -INF, v_min = INF, v_max = -INF;
    for (std::size_t k = 0; k < n; ++k) {
        if (flat[k]) continue;
        Shadow sh = shadow_of(corners[k]);
        sh.k = static_cast<std::uint32_t>(k);
        u_min = std::min(u_min, sh.ulo);
        u_max = std::max(u_max, sh.uhi);
        v_min = std::min(v_min, sh.vlo);
        v_max = std::max(v_max, sh.vhi);
        shadows.push_back(sh);
    }
    const double width = u_max - u_min;
    const double height = v_max - v_min;
    if (shadows.empty() || !std::isfinite(width) || !std::isfinite(height) || !(width > 0) ||
        !(height > 0)) {
        shadows_ = std::vector<Shadow>();
        return;
    }

    // The finest grid whose entries fit the budget: long slivers (the teeth
    // of a gear seen edge-on) cover many cells of a fine grid.
    u0_ = u_min;
    v0_ = v_min;
    const std::uint64_t budget = ENTRY_BUDGET_PER_TRIANGLE * shadows.size() + 4096;
    double cells_wanted = CELLS_PER_TRIANGLE * static_cast<double>(shadows.size());
    for (int attempt = 0; attempt < GRID_ATTEMPTS; ++attempt, cells_wanted /= 4) {
        const double h = std::sqrt(width * height / cells_wanted);
        nu_ = cells_along(width, h);
        nv_ = cells_along(height, h);
        inv_hu_ = nu_ / width;
        inv_hv_ = nv_ / height;
        if (bin(shadows, budget)) return;
    }
    shadows_ = std::vector<Shadow>();
}

RayColumns::Shadow RayColumns::shadow_of(const TriMesh::Corners& corners) const {
    Shadow sh;
    double ul = INF, uh = -INF, vl = INF, vh = -INF, d = -INF;
    for (int i = 0; i < 3; ++i) {
        const Vec3& p = corners[i];
        sh.u[i] = p[kx_] - sx_ * p[kz_];
        sh.v[i] = p[ky_] - sy_ * p[kz_];
        ul = std::min(ul, sh.u[i]);
        uh = std::max(uh, sh.u[i]);
        vl = std::min(vl, sh.v[i]);
        vh = std::max(vh, sh.v[i]);
        d = std::max(d, depth_sign_ * p[kz_]);
    }
    sh.ulo = ul - margin_;
    sh.uhi = uh + margin_;
    sh.vlo = vl - margin_;
    sh.vhi = vh + margin_;
    sh.depth_hi = d;
    // The orientation of the shadow, where its area is far above the
    // rounding of its corners; 0 for slivers and edge-on triangles.
    const double e1u = sh.u[1] - sh.u[0], e1v = sh.v[1] - sh.v[0];
    const double e2u = sh.u[2] - sh.u[0], e2v = sh.v[2] - sh.v[0];
    const double area2 = e1u * e2v - e1v * e2u;
    const double scale = (std::fabs(e1u) + std::fabs(e1v)) * (std::fabs(e2u) + std::fabs(e2v));
    sh.orient = std::fabs(area2) > SLIVER_RATIO * scale ? (area2 > 0 ? 1.0 : -1.0) : 0.0;
    return sh;
}

RayColumns::Entry RayColumns::entry_of(const Shadow& sh, std::uint32_t position) {
    return {geom::float_below(sh.ulo), geom::float_above(sh.uhi), geom::float_below(sh.vlo),
            geom::float_above(sh.vhi), geom::float_above(sh.depth_hi), position};
}

bool RayColumns::clearly_outside(const Shadow& sh, double u, double v) const {
    if (sh.orient == 0) return false;
    for (int i = 0; i < 3; ++i) {
        const int j = i == 2 ? 0 : i + 1;
        const double eu = sh.u[j] - sh.u[i];
        const double ev = sh.v[j] - sh.v[i];
        const double side = (eu * (v - sh.v[i]) - ev * (u - sh.u[i])) * sh.orient;
        if (side < -margin_ * (std::fabs(eu) + std::fabs(ev))) return true;
    }
    return false;
}

bool RayColumns::bin(const std::vector<Shadow>& shadows, std::uint64_t budget) {
    // Each shadow's rectangle of grid cells and its entry, on the pool.
    const std::size_t n = shadows.size();
    const Buffer<grid_binning::CellRect> rects = parallel::map_buffer(n, [&](std::size_t s) {
        const Shadow& sh = shadows[s];
        return grid_binning::CellRect{cell_u(sh.ulo), cell_u(sh.uhi), cell_v(sh.vlo), cell_v(sh.vhi)};
    });
    std::uint64_t total = 0;
    for (const grid_binning::CellRect& r : rects) total += grid_binning::cells_of(r);
    // Entry positions are 32-bit.
    if (total > budget || total >= std::numeric_limits<std::uint32_t>::max()) return false;
    const Buffer<Entry> made = parallel::map_buffer(
        n, [&](std::size_t s) { return entry_of(shadows[s], static_cast<std::uint32_t>(s)); });
    entries_.resize(total);
    start_ = grid_binning::bin(rects, nu_, nv_, total,
                               [&](std::uint32_t at, std::uint32_t s) { entries_[at] = made[s]; });
    return true;
}

std::uint32_t RayColumns::cell_u(double u) const {
    const double x = (u - u0_) * inv_hu_;
    if (!(x >= 0)) return 0;
    return x >= nu_ ? nu_ - 1 : static_cast<std::uint32_t>(x);
}

std::uint32_t RayColumns::cell_v(double v) const {
    const double y = (v - v0_) * inv_hv_;
    if (!(y >= 0)) return 0;
    return y >= nv_ ? nv_ - 1 : static_cast<std::uint32_t>(y);
}

std::optional<bool> RayColumns::collect_stable_hits(const Vec3& origin, double max_toi, double shift,
                                                    RayHitList& out) const {
    if (!usable() || !finite3(origin) || std::isnan(max_toi) || max_toi < 0) return std::nullopt;
    const double magnitude = max_abs3(origin) + mesh_->coordinate_scale();
    if (!(4 * shift + QUERY_ROUNDING * magnitude <= margin_)) return std::nullopt;

    out.count = 0;
    const double u = origin[kx_] - sx_ * origin[kz_];
    const double v = origin[ky_] - sy_ * origin[kz_];
    // Triangles whose corners all lie this far behind the origin are crossed,
    // if at all, behind it and behind every later origin.
    const double behind = depth_sign_ * origin[kz_] - MARGIN_RATIO * (magnitude + 1);
    const geom::RayFrame frame = geom::make_ray_frame(origin, dir_);
    const Buffer<TriMesh::Corners>& corners = mesh_->leaf_corners();
    const std::size_t c = cell_u(u) + std::size_t{nu_} * cell_v(v);
    for (std::uint32_t e = start_[c]; e != start_[c + 1]; ++e) {
        const Entry& en = entries_[e];
        if (u < en.ulo || u > en.uhi || v < en.vlo || v > en.vhi || en.depth_hi < behind) continue;
        const Shadow& sh = shadows_[en.shadow];
        if (clearly_outside(sh, u, v)) continue;
        const TriMesh::Corners& t = corners[sh.k];
        double th, err;
        switch (geom::ray_triangle_stable(frame, t[0], t[1], t[2], max_toi, shift, th, err)) {
            case geom::RayOutcome::Miss:
                break;
            case geom::RayOutcome::Fragile:
                if (crossed_behind(origin, dir_, t[0], t[1], t[2], shift)) break;
                return false;
            case geom::RayOutcome::Hit:
                if (out.count == RayHitList::CAPACITY) return false;
                out.toi[out.count] = th;
                out.error[out.count] = err;
                ++out.count;
                break;
        }
    }
    return true;
}

}  // namespace quorin
