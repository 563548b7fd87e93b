#include "quorin/forest/domain.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quorin {

namespace {

// 2^e for a small integer exponent, built in the exponent field.
inline double pow2(int e) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(1023 + e) << 52);
}

constexpr double TWO_POW_M32 = 1.0 / 4294967296.0;
constexpr double TWO_POW_32 = 4294967296.0;

}  // namespace

bool Domain::valid_bounds(const Vec3& min, const Vec3& max) {
    for (int a = 0; a < 3; ++a) {
        if (!(min[a] < max[a])) return false;
    }
    return true;
}

Domain::Domain(const Vec3& min_, const Vec3& max_, std::uint32_t nx_, std::uint32_t ny_,
               std::uint32_t nz_) {
    if (!valid_bounds(min_, max_)) internal_error("Invalid BoundingBox bounds");
    min = min_;
    max = max_;
    nx = nx_;
    ny = ny_;
    nz = nz_;
    const std::uint32_t n[3] = {nx, ny, nz};
    for (int a = 0; a < 3; ++a) root_size[a] = (max[a] - min[a]) / static_cast<double>(n[a]);
}

CellGeometry Domain::cell_geometry(const DecodedKey& key) const {
    const auto r = tree_coords(key.tree, nx, ny);
    const double h = pow2(31 - key.level);
    const double f = pow2(-static_cast<int>(key.level));
    const std::uint32_t q[3] = {key.x, key.y, key.z};
    CellGeometry g;
    for (int a = 0; a < 3; ++a) {
        const double local = ((static_cast<double>(q[a]) + h) * TWO_POW_M32) * root_size[a];
        const double corner = static_cast<double>(r[a]) * root_size[a] + min[a];
        g.centre[a] = local + corner;
        g.size[a] = root_size[a] * f;
    }
    return g;
}

CellBox Domain::cell_box(SfcKey key) const {
    const CellGeometry g = cell_geometry(key.decode());
    CellBox b;
    for (int a = 0; a < 3; ++a) {
        const double half = g.size[a] * 0.5;
        b.min[a] = g.centre[a] - half;
        b.max[a] = g.centre[a] + half;
    }
    return b;
}

double Domain::root_face(int axis, std::uint64_t r) const {
    const std::uint32_t n = axis == 0 ? nx : (axis == 1 ? ny : nz);
    if (r >= n) return max[axis];
    return std::min(static_cast<double>(r) * root_size[axis] + min[axis], max[axis]);
}

double Domain::face_coordinate(int axis, std::uint64_t r, std::uint64_t q) const {
    if (q >= (std::uint64_t{1} << 32)) {
        r += 1;
        q = 0;
    }
    const double base = root_face(axis, r);
    if (q == 0) return base;
    const double local = (static_cast<double>(q) * TWO_POW_M32) * root_size[axis];
    return std::min(local + base, root_face(axis, r + 1));
}

CellBox Domain::closed_cell_box(SfcKey key) const {
    const DecodedKey d = key.decode();
    const auto r = tree_coords(d.tree, nx, ny);
    const std::uint64_t q[3] = {d.x, d.y, d.z};
    const std::uint64_t width = std::uint64_t{1} << (32 - d.level);
    CellBox b;
    for (int a = 0; a < 3; ++a) {
        b.min[a] = face_coordinate(a, r[a], q[a]);
        b.max[a] = face_coordinate(a, r[a], q[a] + width);
    }
    return b;
}

bool Domain::cell_overlaps_box(SfcKey key, const Vec3& box_min, const Vec3& box_max) const {
    const CellBox c = cell_box(key);
    for (int a = 0; a < 3; ++a) {
        if (!(box_min[a] < c.max[a] && c.min[a] < box_max[a])) return false;
    }
    return true;
}

namespace domain {

bool region_flag_for_leaf(const Domain& domain, std::span<const RefinementRegion> regions,
                          SfcKey leaf) {
    if (regions.empty()) return false;
    const std::uint8_t level = leaf.level();
    if (level > 31) return false;
    for (const RefinementRegion& r : regions) {
        // An empty (or NaN) region holds no volume: it refines nothing, even
        // where both strict comparisons with a cell would hold.
        if (level < r.level && Domain::valid_bounds(r.min, r.max) &&
            domain.cell_overlaps_box(leaf, r.min, r.max)) {
            return true;
        }
    }
    return false;
}

std::uint32_t saturate_u32(double v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint32_t>(v);
}

}  // namespace domain

namespace {

// Tree and in-tree position of a physical point; false when it lies outside
// the base grid.
bool point_position(const Forest& forest, const Domain& domain, const Vec3& p, std::uint32_t& tree,
                    std::uint32_t (&u)[3]) {
    Vec3 off;
    for (int a = 0; a < 3; ++a) {
        off[a] = p[a] - domain.min[a];
        if (off[a] < 0) return false;
    }
    const std::uint32_t n[3] = {forest.nx, forest.ny, forest.nz};
    std::uint32_t r[3];
    for (int a = 0; a < 3; ++a) {
        r[a] = domain::saturate_u32(off[a] / domain.root_size[a]);
        if (r[a] >= n[a]) return false;
    }
    tree = (r[2] * forest.ny + r[1]) * forest.nx + r[0];
    for (int a = 0; a < 3; ++a) {
        u[a] = domain::saturate_u32(std::fmod(off[a], domain.root_size[a]) / domain.root_size[a] *
                                    TWO_POW_32);
    }
    return true;
}

}  // namespace

std::optional<std::uint64_t> Forest::locate_point(const Domain& domain, const Vec3& p) const {
    std::uint32_t tree, u[3];
    if (!point_position(*this, domain, p, tree, u)) return std::nullopt;
    return locate_leaf_index(tree, u[0], u[1], u[2]);
}

std::optional<std::uint64_t> Forest::locate_point_near(const Domain& domain, const Vec3& p,
                                                       std::uint64_t hint) const {
    std::uint32_t tree, u[3];
    if (!point_position(*this, domain, p, tree, u)) return std::nullopt;
    return locate_leaf_index_near(tree, u[0], u[1], u[2], hint);
}

}  // namespace quorin
