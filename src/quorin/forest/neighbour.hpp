// Face neighbours: the leaves across one face of a leaf, found by locating
// four probe points just outside the face. Works across root-cell borders;
// a face on the domain boundary has none.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "quorin/forest/forest.hpp"

namespace quorin {

// Face directions 0..5 = -x, +x, -y, +y, -z, +z; axis = dir / 2.
using FaceDir = std::uint8_t;

inline constexpr FaceDir FACE_NEG_X = 0;
inline constexpr FaceDir FACE_POS_X = 1;
inline constexpr FaceDir FACE_NEG_Y = 2;
inline constexpr FaceDir FACE_POS_Y = 3;
inline constexpr FaceDir FACE_NEG_Z = 4;
inline constexpr FaceDir FACE_POS_Z = 5;
inline constexpr FaceDir FACE_DIR_COUNT = 6;

// A point in units of 2^-32 of a root-cell edge, relative to some tree; it may
// lie one root cell outside that tree on each axis.
using Probe = std::array<std::int64_t, 3>;

// Up to four neighbour cell ids, in probe order, without heap allocation.
struct FaceNeighbourIds {
    std::array<std::uint64_t, 4> ids;
    std::uint8_t count = 0;

    const std::uint64_t* begin() const { return ids.data(); }
    const std::uint64_t* end() const { return ids.data() + count; }
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    std::uint64_t operator[](std::size_t i) const { return ids[i]; }
};

// Morton-code arithmetic on the 96-bit code of a key (bits 6-101).
namespace morton {

// Bits of one axis (bit 3k + axis of the code).
constexpr u128 axis_bits(int axis) {
    u128 m = 0;
    for (int k = 0; k < 32; ++k) m |= u128(1) << (3 * k + axis);
    return m;
}
inline constexpr u128 AXIS_BITS[3] = {axis_bits(0), axis_bits(1), axis_bits(2)};
inline constexpr u128 CODE_MASK = (u128(1) << 96) - 1;
inline constexpr u128 TREE_MASK = ~((u128(1) << 102) - 1);

// Dilated bit of value 2^k on `axis`.
constexpr u128 dilated(int k, int axis) { return u128(1) << (3 * k + axis); }

// Coordinate bits of `axis` above a cell's level: all ones on the last cell
// of its tree along +axis, all zeros on the first along -axis.
inline u128 level_bits_of(unsigned level, int axis) {
    return level == 0 ? u128(0) : AXIS_BITS[axis] & ~((u128(1) << (3 * (32 - level))) - 1);
}

}  // namespace morton

namespace neighbour {

// The four probe points of the face `dir` of a decoded leaf.
std::array<Probe, 4> face_probes(const DecodedKey& key, FaceDir dir);

// The leaf holding a probe relative to `tree`, or none outside the base grid.
std::optional<SfcKey> locate_probe(const Forest& forest, std::uint32_t tree, const Probe& probe);

// The same, giving the cell id and searching outward from cell id `hint`.
std::optional<std::uint64_t> locate_probe_index(const Forest& forest, std::uint32_t tree,
                                                const Probe& probe, std::uint64_t hint);

// Distinct leaves that hold the probes, in probe order.
std::vector<SfcKey> collect_probe_leaves(const Forest& forest, const DecodedKey& key,
                                         const std::array<Probe, 4>& probes);

std::vector<SfcKey> face_neighbour_keys(const Forest& forest, SfcKey key, FaceDir dir);

// Cell ids of the keys, in order; keys that are not leaves are skipped.
std::vector<std::uint64_t> keys_to_indices(const Forest& forest, const std::vector<SfcKey>& keys);

// Cell ids of the face neighbours of cell `cell` across `dir`.
std::vector<std::uint64_t> face_neighbours(const Forest& forest, std::uint64_t cell, FaceDir dir);

// The same result without allocation, for per-cell loops.
FaceNeighbourIds face_neighbour_ids(const Forest& forest, std::uint64_t cell, FaceDir dir);

// The same, the first search starting from cell id `hint` instead of `cell`:
// loops over consecutive cells pass the neighbour found for the previous
// cell, which lies close to the answer where `cell` may not (across z).
// The result does not depend on the hint, only the search time.
FaceNeighbourIds face_neighbour_ids_near(const Forest& forest, std::uint64_t cell, FaceDir dir,
                                         std::uint64_t hint);

// True when the face `dir` of cell `cell` lies on the outer surface of the
// base grid; decided from the key and the grid alone, without a search. In
// a forest whose leaves tile the grid it is exactly the case in which
// face_neighbour_ids finds nothing.
bool on_domain_boundary(const Forest& forest, std::uint64_t cell, FaceDir dir);

// The same for a leaf's key; checks nothing.
inline bool on_domain_boundary(const Forest& forest, SfcKey key, FaceDir dir) {
    using namespace morton;
    const int axis = dir / 2;
    const u128 along = (key.value >> 6) & AXIS_BITS[axis];
    const u128 level_bits = level_bits_of(key.level(), axis);
    const bool at_tree_side = (dir & 1) ? (along & level_bits) == level_bits : (along & level_bits) == 0;
    if (!at_tree_side) return false;
    const auto c = tree_coords(key.tree(), forest.nx, forest.ny);
    const std::uint32_t n[3] = {forest.nx, forest.ny, forest.nz};
    return (dir & 1) ? c[axis] + 1 >= n[axis] : c[axis] == 0;
}

// What one search finds across a face of a leaf.
enum class Across : std::uint8_t {
    Outside,  // the face lies on the outer surface of the base grid
    Leaf,     // one leaf of the cell's level or coarser covers the face: `id`
    Finer,    // the cell of the leaf's level there is split into finer leaves
};

struct AcrossFace {
    Across kind;
    std::uint64_t id;  // the leaf (Leaf), else the number of leaves before the split cell (Finer)
};

// The same-level cell across face `dir` of the leaf `key`, looked up with one
// galloping search from cell id `hint`: Leaf when a leaf covers it (then it
// is the only face neighbour, as face_neighbour_ids finds), Finer when it is
// split (face_neighbour_ids then finds the finer leaves). A face on the
// tree's side moves to the next tree of the grid. Checks nothing: `dir`
// must be below FACE_DIR_COUNT and the leaves must tile the grid.
inline AcrossFace leaf_across(const Forest& forest, SfcKey key, FaceDir dir, std::uint64_t hint) {
    using namespace morton;
    const int axis = dir / 2;
    const unsigned level = key.level();
    const u128 code = (key.value >> 6) & CODE_MASK;
    const u128 along = code & AXIS_BITS[axis];
    const u128 across = code & ~AXIS_BITS[axis];
    const u128 level_bits = level_bits_of(level, axis);
    u128 tree_bits = key.value & TREE_MASK;
    u128 moved;
    const bool crosses = (dir & 1) ? (along & level_bits) == level_bits : (along & level_bits) == 0;
    if (crosses) {
        const std::uint32_t tree = key.tree();
        const auto c = tree_coords(tree, forest.nx, forest.ny);
        const std::uint32_t n[3] = {forest.nx, forest.ny, forest.nz};
        const std::uint32_t stride[3] = {1, forest.nx, forest.nx * forest.ny};
        if ((dir & 1) ? c[axis] + 1 >= n[axis] : c[axis] == 0) return {Across::Outside, 0};
        const std::uint32_t next = (dir & 1) ? tree + stride[axis] : tree - stride[axis];
        tree_bits = u128(next) << 102;
        // The coordinate wraps to the first (+) or last (-) cell of the next tree.
        moved = across | ((dir & 1) ? u128(0) : level_bits);
    } else if (dir & 1) {
        moved = across | (((along | ~AXIS_BITS[axis]) + dilated(32 - level, axis)) & AXIS_BITS[axis]);
    } else {
        moved = across | ((along - dilated(32 - level, axis)) & AXIS_BITS[axis]);
    }
    const SfcKey same = SfcKey::from_raw(tree_bits | (moved << 6) | u128(level));
    const SfcKey* keys = forest.leaves.data();
    const std::size_t count = count_not_above_near(keys, forest.leaves.size(), same, hint);
    if (count > 0 && keys[count - 1].contains(same)) return {Across::Leaf, count - 1};
    return {Across::Finer, count};
}

}  // namespace neighbour
}  // namespace quorin
