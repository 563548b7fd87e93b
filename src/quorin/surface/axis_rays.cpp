// The axis-ray grids: built once per pose, then one cell lookup per ray
// instead of a hierarchy descent. See axis_rays.hpp for why the answers are
// the hierarchy's.
#include "quorin/surface/axis_rays.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quorin/parallel.hpp"
#include "quorin/surface/grid_binning.hpp"
#include "quorin/surface/predicates.hpp"

namespace quorin {

using namespace geom;

namespace {

constexpr Vec3 AXIS_UNIT[3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};

// Widening of projections and extents, per unit of (reach + surface scale):
// the projections are a few roundings (2^-53 each) off, so this is far above
// their error.
constexpr double PROJECTION_MARGIN = 0x1p-40;
// Widening of a ray's span, per unit of (ray length + reach): a kept time of
// impact is within 2^-30 of (|t| + |origin|) of the exact one.
constexpr double SPAN_MARGIN = 0x1p-24;
// Widening of an edge test per unit of edge length (L1), in units of the
// projection margin: the test's own rounding is about 2^-48 of (reach +
// surface scale) per unit length, the projections' a few 2^-53.
constexpr double MARGIN_PER_EDGE_LENGTH = 1.0;
// Grid cells per listed triangle, and the cap on cells per grid.
constexpr double CELLS_PER_TRIANGLE = 1.0;
constexpr double MAX_CELLS = 1 << 22;
// Listings allowed per triangle (plus a fixed allowance) before the grid is
// coarsened: a few large triangles must not flood a fine grid.
constexpr std::uint64_t LISTINGS_PER_TRIANGLE = 32;
constexpr std::uint64_t LISTINGS_EXTRA = 1 << 16;
// Grid cells per job of the sort by zlo.
constexpr std::size_t SORT_GRAIN = 4096;

inline bool same_direction(const Vec3& d, const Vec3& g) { return d[0] == g[0] && d[1] == g[1] && d[2] == g[2]; }
inline bool opposite_direction(const Vec3& d, const Vec3& g) {
    return d[0] == -g[0] && d[1] == -g[1] && d[2] == -g[2];
}

// Cell index of a projected coordinate: monotone in v, so a value between a
// triangle's widened bounds falls in a cell between theirs.
inline double cell_coordinate(double v, double origin, double inv) { return (v - origin) * inv; }

// Grid size along both projected axes for `listed` triangles over the
// extents wx, wy.
void choose_resolution(double wx, double wy, std::size_t listed, std::int64_t& nx, std::int64_t& ny) {
    const double cells = std::clamp(CELLS_PER_TRIANGLE * static_cast<double>(listed), 1.0, MAX_CELLS);
    nx = ny = 1;
    if (wx > 0 && wy > 0) {
        const double side = std::sqrt(wx * wy / cells);
        nx = static_cast<std::int64_t>(std::clamp(std::ceil(wx / side), 1.0, cells));
        ny = static_cast<std::int64_t>(std::clamp(std::ceil(wy / side), 1.0, cells));
    } else if (wx > 0) {
        nx = static_cast<std::int64_t>(cells);
    } else if (wy > 0) {
        ny = static_cast<std::int64_t>(cells);
    }
}

}  // namespace

AxisRayCaster::AxisRayCaster(const TriMesh& mesh, const RigidPose& pose, double reach, std::size_t expected_rays)
    : mesh_(&mesh), pose_(pose), identity_(pose.is_identity()), reach_(reach) {
    const double scale = mesh.coordinate_scale();
    if (!pays_for(expected_rays, mesh) || mesh.node_count() == 0 || !(reach >= 0) || !(reach < HUGE_COORD) ||
        !(scale < HUGE_COORD))
        return;
    Vec3 dirs[3];
    for (int a = 0; a < 3; ++a) {
        dirs[a] = identity_ ? AXIS_UNIT[a] : pose.inverse_rotate(AXIS_UNIT[a]);
        // Near-unit directions only: the margins assume |dir| about 1.
        const double m = max_abs3(dirs[a]);
        if (!(m >= 0.5 && m <= 2.0)) return;
    }
    margin_ = PROJECTION_MARGIN * (reach + scale);
    parallel::for_chunks(3, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t a = b; a != e; ++a) build_grid(grids_[a], dirs[a]);
    });
    usable_ = true;
}

// The edge lines of a projected triangle (corners x[i], y[i]), oriented so
// that the inside is on their non-negative side. Each test is widened by
// `margin` times the edge's length (L1), far above the rounding of the
// corners' and the point's projections and of the evaluation; a projection
// whose orientation rounding could flip keeps no edge test.
void set_edges(const double (&x)[3], const double (&y)[3], double margin, double (&ex)[3], double (&ey)[3],
               double (&c)[3], double (&tol)[3]) {
    const double e0x = x[1] - x[0], e0y = y[1] - y[0];
    const double e2x = x[0] - x[2], e2y = y[0] - y[2];
    const double area = e0x * (-e2y) - e0y * (-e2x);
    const double size = (std::fabs(e0x) + std::fabs(e0y)) * (std::fabs(e2x) + std::fabs(e2y));
    const bool oriented = std::fabs(area) > 0x1p-20 * size;
    const double s = area < 0 ? -1.0 : 1.0;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        ex[i] = s * (x[j] - x[i]);
        ey[i] = s * (y[j] - y[i]);
        c[i] = ex[i] * y[i] - ey[i] * x[i];
        tol[i] = oriented ? margin * (std::fabs(ex[i]) + std::fabs(ey[i])) : INF;
    }
}

void AxisRayCaster::build_grid(Grid& g, const Vec3& dir) const {
    g.dir = dir;
    int kz = 0;
    if (std::fabs(dir[1]) > std::fabs(dir[kz])) kz = 1;
    if (std::fabs(dir[2]) > std::fabs(dir[kz])) kz = 2;
    g.kz = kz;
    g.kx = (kz + 1) % 3;
    g.ky = (kz + 2) % 3;
    g.px = dir[g.kx] / dir[kz];
    g.py = dir[g.ky] / dir[kz];

    // Each triangle that a ray can hit (finite, not of zero area), widened,
    // at its position among them, on the pool.
    const auto& corners = mesh_->leaf_corners();
    const auto& flat = mesh_->leaf_zero_area();
    std::vector<std::uint32_t> position(corners.size());
    std::uint32_t listed = 0;
    for (std::size_t k = 0; k < corners.size(); ++k) {
        position[k] = listed;
        listed += flat[k] ? 0 : 1;
    }
    g.shapes.resize(listed);
    Buffer<Entry> extent(listed);  // per shape: its extent along kz
    parallel::for_each_index(corners.size(), [&](std::size_t k) {
        if (flat[k]) return;
        Shape sh;
        double x[3], y[3], zlo = INF, zhi = -INF;
        for (int i = 0; i < 3; ++i) {
            const Vec3& p = corners[k][i];
            x[i] = p[g.kx] - g.px * p[kz];
            y[i] = p[g.ky] - g.py * p[kz];
            zlo = std::min(zlo, p[kz]);
            zhi = std::max(zhi, p[kz]);
        }
        sh.xlo = std::min({x[0], x[1], x[2]}) - margin_;
        sh.xhi = std::max({x[0], x[1], x[2]}) + margin_;
        sh.ylo = std::min({y[0], y[1], y[2]}) - margin_;
        sh.yhi = std::max({y[0], y[1], y[2]}) + margin_;
        set_edges(x, y, MARGIN_PER_EDGE_LENGTH * margin_, sh.ex, sh.ey, sh.c, sh.tol);
        sh.k = static_cast<std::uint32_t>(k);
        g.shapes[position[k]] = sh;
        extent[position[k]] = Entry{float_below(zlo), float_above(zhi), position[k]};
    });
    g.start.assign(1, 0);
    if (g.shapes.empty()) return;  // nx = ny = 0: every ray misses
    const std::size_t n = g.shapes.size();

    // The shapes' box: one pass over a few values per triangle.
    double gx = INF, gy = INF, hx = -INF, hy = -INF;
    for (const Shape& sh : g.shapes) {
        gx = std::min(gx, sh.xlo);
        gy = std::min(gy, sh.ylo);
        hx = std::max(hx, sh.xhi);
        hy = std::max(hy, sh.yhi);
    }
    g.gx = gx;
    g.gy = gy;

    // Cell ranges per shape; the grid is coarsened while the listings would
    // be too many.
    Buffer<grid_binning::CellRect> ranges;
    std::int64_t nx, ny;
    choose_resolution(hx - gx, hy - gy, n, nx, ny);
    const std::uint64_t allowed = LISTINGS_PER_TRIANGLE * n + LISTINGS_EXTRA;
    std::uint64_t total;
    std::uint32_t dims_x, dims_y;
    for (;;) {
        g.ix = hx > gx ? static_cast<double>(nx) / (hx - gx) : 0.0;
        g.iy = hy > gy ? static_cast<double>(ny) / (hy - gy) : 0.0;
        ranges = parallel::map_buffer(n, [&](std::size_t i) {
            const Shape& sh = g.shapes[i];
            const auto cell = [](double v, double origin, double inv) {
                return static_cast<std::uint32_t>(static_cast<std::int64_t>(cell_coordinate(v, origin, inv)));
            };
            return grid_binning::CellRect{cell(sh.xlo, gx, g.ix), cell(sh.xhi, gx, g.ix), cell(sh.ylo, gy, g.iy),
                                          cell(sh.yhi, gy, g.iy)};
        });
        total = 0;
        dims_x = dims_y = 1;
        for (const grid_binning::CellRect& r : ranges) {
            dims_x = std::max(dims_x, r.x1 + 1);
            dims_y = std::max(dims_y, r.y1 + 1);
            total += grid_binning::cells_of(r);
        }
        if (total <= allowed || (nx == 1 && ny == 1)) break;
        nx = std::max<std::int64_t>(1, nx / 2);
        ny = std::max<std::int64_t>(1, ny / 2);
    }
    // Offsets are 32-bit; a surface that lists more sends its rays to the
    // hierarchy (see cast).
    if (total >= std::numeric_limits<std::uint32_t>::max()) {
        g.nx = g.ny = -1;
        return;
    }
    g.nx = dims_x;
    g.ny = dims_y;

    // The listings by cell, then each cell by zlo so that a scan stops at
    // the first listing above the ray.
    const std::size_t cells = std::size_t{dims_x} * dims_y;
    g.entries.resize(total);
    g.start = grid_binning::bin(ranges, dims_x, dims_y, total,
                                [&](std::uint32_t at, std::uint32_t i) { g.entries[at] = extent[i]; });
    parallel::for_chunks(cells, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c != e; ++c)
            std::sort(g.entries.begin() + g.start[c], g.entries.begin() + g.start[c + 1],
                      [](const Entry& a, const Entry& b) { return a.zlo < b.zlo || (a.zlo == b.zlo && a.shape < b.shape); });
    });
}

std::optional<RayHit> AxisRayCaster::cast(const Vec3& origin, const Vec3& dir, double max_toi) const {
    if (!usable_) return mesh_->cast_ray_posed(origin, dir, max_toi, pose_);
    // The ray in the surface's frame, as cast_ray_posed moves it.
    Vec3 o = origin, d = dir;
    if (!identity_) {
        o = pose_.inverse_transform_point(origin);
        d = pose_.inverse_rotate(dir);
    }
    // cast_ray's own refusals.
    if (!finite3(o) || !finite3(d) || std::isnan(max_toi) || max_toi < 0) return std::nullopt;
    if (d[0] == 0 && d[1] == 0 && d[2] == 0) return std::nullopt;
    if (max_abs3(o) <= reach_ && max_toi <= reach_) {
        for (const Grid& g : grids_) {
            if (!same_direction(d, g.dir) && !opposite_direction(d, g.dir)) continue;
            if (g.nx >= 0) return cast_grid(g, o, d, max_toi);
            break;
        }
    }
    return mesh_->cast_ray(o, d, max_toi);
}

std::optional<RayHit> AxisRayCaster::cast_grid(const Grid& g, const Vec3& o, const Vec3& d, double max_toi) const {
    const double x = o[g.kx] - g.px * o[g.kz];
    const double y = o[g.ky] - g.py * o[g.kz];
    const double cx = cell_coordinate(x, g.gx, g.ix);
    const double cy = cell_coordinate(y, g.gy, g.iy);
    if (!(cx >= 0 && cx < static_cast<double>(g.nx) && cy >= 0 && cy < static_cast<double>(g.ny)))
        return std::nullopt;
    const std::size_t cell =
        static_cast<std::size_t>(static_cast<std::int64_t>(cy) * g.nx + static_cast<std::int64_t>(cx));
    const std::uint32_t begin = g.start[cell];
    const std::uint32_t end = g.start[cell + 1];
    if (begin == end) return std::nullopt;

    // The span of the ray along the grid's dominant axis, widened past the
    // error of a kept time of impact and past rounding.
    const double slack = SPAN_MARGIN * (max_toi + reach_);
    const double dz = d[g.kz];
    const double behind = std::fabs(dz) * slack + margin_;
    const double ahead = std::fabs(dz) * (max_toi + slack) + margin_;
    const double zlo = dz > 0 ? o[g.kz] - behind : o[g.kz] - ahead;
    const double zhi = dz > 0 ? o[g.kz] + ahead : o[g.kz] + behind;

    const auto& corners = mesh_->leaf_corners();
    const auto& order = mesh_->leaf_order();
    const RayFrame frame = make_ray_frame(o, d);
    double best_t = max_toi;
    std::uint32_t best_tri = 0;
    bool best_back = false;
    bool found = false;
    for (std::uint32_t i = begin; i != end; ++i) {
        const Entry& e = g.entries[i];
        if (e.zlo > zhi) break;
        if (e.zhi < zlo) continue;
        const Shape& sh = g.shapes[e.shape];
        if (x < sh.xlo || x > sh.xhi || y < sh.ylo || y > sh.yhi) continue;
        if (sh.ex[0] * y - sh.ey[0] * x - sh.c[0] < -sh.tol[0] || sh.ex[1] * y - sh.ey[1] * x - sh.c[1] < -sh.tol[1] ||
            sh.ex[2] * y - sh.ey[2] * x - sh.c[2] < -sh.tol[2])
            continue;
        const TriMesh::Corners& t = corners[sh.k];
        double th;
        bool back;
        if (!ray_triangle_frame(frame, t[0], t[1], t[2], best_t, th, back)) continue;
        // The hierarchy's rule: the lowest (time of impact, triangle index).
        const std::uint32_t tri = order[sh.k];
        if (!found || th < best_t || tri < best_tri) {
            found = true;
            best_t = th;
            best_tri = tri;
            best_back = back;
        }
    }
    if (!found) return std::nullopt;
    return RayHit{best_t, best_tri, best_back};
}

}  // namespace quorin
