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
    const double f = pow2(-static_cast<int>(key.level));
    const std::uint32_t q[3] = {key.x, key.y, key.z};
    CellGeometry g;
    for (int a = 0; a < 3; ++a) {
        g.centre[a] = centre_coordinate(a, r[a], q[a], key.level);
        g.size[a] = root_size[a] * f;
    }
    return g;
}

double Domain::centre_coordinate(int axis, std::uint32_t r, std::uint32_t q, unsigned level) const {
    const double h = pow2(31 - static_cast<int>(level));
    const double local = ((static_cast<double>(q) + h) * TWO_POW_M32) * root_size[axis];
    const double corner = static_cast<double>(r) * root_size[axis] + min[axis];
    return local + corner;
}

CellGeometry Domain::next_cell_geometry(const DecodedKey& key, const CellGeometry& g, int axis) const {
    const std::uint32_t q[3] = {key.x, key.y, key.z};
    // One cell width on: past the root's last cell, the first cell of the
    // next root.
    std::uint64_t next = std::uint64_t{q[axis]} + (std::uint64_t{1} << (MAX_LEVEL - key.level));
    std::uint32_t r = tree_coords(key.tree, nx, ny)[axis];
    if (next >> 32) {
        next = 0;
        ++r;
    }
    CellGeometry n = g;
    n.centre[axis] = centre_coordinate(axis, r, static_cast<std::uint32_t>(next), key.level);
    return n;
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

}  // namespace domain

namespace {

// fmod(off, size) for off >= 0, given r = saturate_u32(off / size) with the
// rounded quotient: the exact quotient's integer part k is then r or r - 1
// (rounding can carry it up to the next integer, never down), and off - k
// size, fmod's exact result, is a double; one fused multiply-add gives it,
// and its sign tells whether k is r. Far cheaper than the library's general
// reduction, and the point location does it for every probe coordinate.
inline double root_remainder(double off, double size, std::uint32_t r) {
    if (r == 0) return off;  // also covers size = inf, where r size is NaN
    const double e = std::fma(-static_cast<double>(r), size, off);
    if (e >= 0) return e;
    return std::fma(-static_cast<double>(r - 1), size, off);
}

// Root index r and in-root position u (units of 2^-32 of a root) of a
// coordinate on an axis of n roots; false when it lies outside the base grid.
inline bool axis_position(double coordinate, double min, double size, std::uint32_t n,
                          std::uint32_t& r, std::uint32_t& u) {
    const double off = coordinate - min;
    if (off < 0) return false;
    r = domain::saturate_u32(off / size);
    if (r >= n) return false;
    u = domain::saturate_u32(root_remainder(off, size, r) / size * TWO_POW_32);
    return true;
}

inline std::uint32_t tree_index(const Forest& forest, const std::uint32_t (&r)[3]) {
    return (r[2] * forest.ny + r[1]) * forest.nx + r[0];
}

// Tree and in-tree position of a physical point; false when it lies outside
// the base grid.
bool point_position(const Forest& forest, const Domain& domain, const Vec3& p, std::uint32_t& tree,
                    std::uint32_t (&u)[3]) {
    const std::uint32_t n[3] = {forest.nx, forest.ny, forest.nz};
    std::uint32_t r[3];
    for (int a = 0; a < 3; ++a) {
        if (!axis_position(p[a], domain.min[a], domain.root_size[a], n[a], r[a], u[a])) return false;
    }
    tree = tree_index(forest, r);
    return true;
}

// The integer box of a leaf: its tree, anchor and edge (all in units of
// 2^-32 of a root), with its cell id.
struct LeafBox {
    std::uint32_t tree;
    std::uint32_t anchor[3];
    std::uint64_t width;
    std::uint64_t id;

    // Whether the level-32 position (tree, u) lies in the box. The leaves
    // tile their trees without overlap, so the leaf search finds this very
    // leaf for every such position.
    bool holds(std::uint32_t t, const std::uint32_t (&u)[3]) const {
        return t == tree && std::uint32_t(u[0] - anchor[0]) < width &&
               std::uint32_t(u[1] - anchor[1]) < width && std::uint32_t(u[2] - anchor[2]) < width;
    }
};

// The box of the leaf `id` that holds position (tree, u): the position with
// the bits below the leaf's level cleared.
LeafBox box_holding(const Forest& forest, std::uint64_t id, std::uint32_t tree,
                    const std::uint32_t (&u)[3]) {
    const std::uint64_t width = forest.leaves[id].width();
    const std::uint32_t mask = ~static_cast<std::uint32_t>(width - 1);
    return {tree, {u[0] & mask, u[1] & mask, u[2] & mask}, width, id};
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

std::array<std::uint64_t, 8> Forest::locate_corners_near(
    const Domain& domain, const Vec3& centre, const Vec3& offset, std::uint64_t hint) const {
    // Both coordinates of each axis, converted once for the four corners on
    // each side.
    const std::uint32_t n[3] = {nx, ny, nz};
    bool inside[3][2];
    std::uint32_t r[3][2], u[3][2];
    for (int a = 0; a < 3; ++a) {
        const double c[2] = {centre[a] - offset[a], centre[a] + offset[a]};
        for (int s = 0; s < 2; ++s)
            inside[a][s] = axis_position(c[s], domain.min[a], domain.root_size[a], n[a], r[a][s], u[a][s]);
    }

    // Leaves known to hold some position: the hint's and those found so far.
    std::array<LeafBox, 9> known;
    std::size_t count = 0;
    if (hint < leaves.size() && leaves[hint].level() <= MAX_LEVEL) {
        const DecodedKey d = leaves[hint].decode();
        known[count++] = {d.tree, {d.x, d.y, d.z}, leaves[hint].width(), hint};
    }

    std::array<std::uint64_t, 8> out;
    for (unsigned k = 0; k < 8; ++k) {
        const unsigned s[3] = {k & 1, (k >> 1) & 1, (k >> 2) & 1};
        out[k] = NO_CELL;
        if (!inside[0][s[0]] || !inside[1][s[1]] || !inside[2][s[2]]) continue;
        const std::uint32_t rk[3] = {r[0][s[0]], r[1][s[1]], r[2][s[2]]};
        const std::uint32_t uk[3] = {u[0][s[0]], u[1][s[1]], u[2][s[2]]};
        const std::uint32_t tree = tree_index(*this, rk);
        const LeafBox* held = nullptr;
        for (std::size_t j = 0; j < count && held == nullptr; ++j)
            if (known[j].holds(tree, uk)) held = &known[j];
        if (held != nullptr) {
            out[k] = held->id;
            continue;
        }
        if (const auto id = locate_leaf_index_near(tree, uk[0], uk[1], uk[2], hint)) {
            out[k] = *id;
            known[count++] = box_holding(*this, *id, tree, uk);
        }
    }
    return out;
}

}  // namespace quorin
