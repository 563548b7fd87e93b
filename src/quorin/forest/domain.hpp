// The physical box of a forest, divided into the base grid of equal root
// cells, and the geometry of every cell in it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "quorin/forest/forest.hpp"
#include "quorin/forest/key.hpp"

namespace quorin {

using Vec3 = std::array<double, 3>;

struct CellGeometry {
    Vec3 centre;
    Vec3 size;  // full edge lengths
};

struct CellBox {
    Vec3 min;
    Vec3 max;
};

// A box of the domain and a level: leaves that overlap the box strictly and
// are coarser than the level are refined. Not validated: an inverted box
// overlaps nothing.
struct RefinementRegion {
    Vec3 min;
    Vec3 max;
    std::uint8_t level;
};

class Domain {
public:
    Vec3 min;
    Vec3 max;
    Vec3 root_size;
    std::uint32_t nx;
    std::uint32_t ny;
    std::uint32_t nz;

    // Stops with "Invalid BoundingBox bounds" unless min < max on every axis.
    Domain(const Vec3& min, const Vec3& max, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz);

    // True when min < max on every axis (a NaN fails).
    static bool valid_bounds(const Vec3& min, const Vec3& max);

    CellGeometry cell_geometry(const DecodedKey& key) const;
    // The centre along `axis` of the cell of `level` at in-root position q
    // of root r: cell_geometry's coordinate there, bit for bit.
    double centre_coordinate(int axis, std::uint32_t r, std::uint32_t q, unsigned level) const;
    // The geometry of the cell of key's level across its positive face along
    // `axis`, `g` being cell_geometry(key): cell_geometry of that cell's key,
    // bit for bit, without decoding it. The cell across must lie in the
    // domain (the face is not on its outer surface).
    CellGeometry next_cell_geometry(const DecodedKey& key, const CellGeometry& g, int axis) const;
    CellBox cell_box(SfcKey key) const;
    // The cell's closed box for the surface-cut test, within rounding of
    // cell_box. Each face coordinate is computed once per grid position (a
    // root's upper face is the next root's lower face, the last one is the
    // domain's max), so cells that share a face share its coordinate bit for
    // bit and the leaves' boxes cover the domain without gaps.
    CellBox closed_cell_box(SfcKey key) const;
    // Two strict comparisons per axis: box_min below the cell's max and the
    // cell's min below box_max. Boxes that only touch do not overlap; the box
    // is taken as given, so on an axis where it is inverted only a cell
    // reaching below its max and above its min qualifies.
    bool cell_overlaps_box(SfcKey key, const Vec3& box_min, const Vec3& box_max) const;

private:
    // Coordinate of root face r on an axis: nondecreasing in r, max at r = n.
    double root_face(int axis, std::uint64_t r) const;
    // Coordinate of in-root position q (units of 2^-32 of a root) in root r:
    // nondecreasing along the axis, across roots too.
    double face_coordinate(int axis, std::uint64_t r, std::uint64_t q) const;
};

namespace domain {

// True when some region is finer than the leaf and overlaps it; level-32
// leaves are never flagged. A region whose min is not below its max on every
// axis overlaps no leaf.
bool region_flag_for_leaf(const Domain& domain, std::span<const RefinementRegion> regions,
                          SfcKey leaf);

// Saturating conversion of a double to u32: truncation, NaN and negatives to 0.
// Inline: the point location converts six coordinates per point.
inline std::uint32_t saturate_u32(double v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint32_t>(v);
}

}  // namespace domain

}  // namespace quorin
