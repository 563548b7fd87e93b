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

// The same result without allocation, for per-cell loops. The leaf or the
// eight leaves across are checked in place first (see leaf_across_at and
// children_across); the four probes run only where those fail.
FaceNeighbourIds face_neighbour_ids(const Forest& forest, std::uint64_t cell, FaceDir dir);

// The same, checking cell id `guess` for the leaf across (or the first leaf
// inside the split cell across) before any search; any guess gives the
// same result, one past the last cell none.
FaceNeighbourIds face_neighbour_ids_guessed(const Forest& forest, std::uint64_t cell, FaceDir dir,
                                            std::uint64_t guess);

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

// The key of the same-level cell across face `dir` of the leaf `key` when
// that face lies on the tree's side: in the next tree of the grid, or none
// on the outer surface of the base grid. Out of line: the rare case.
std::optional<SfcKey> same_level_in_next_tree(const Forest& forest, SfcKey key, FaceDir dir);

// The key of the same-level cell across face `dir` of the leaf `key`, or
// none when the face lies on the outer surface of the base grid. A face on
// the tree's side moves to the next tree of the grid. Checks nothing: `dir`
// must be below FACE_DIR_COUNT. (Forced inline here and below: these run
// several times per cell in the per-cell loops, and a call costs more.)
[[gnu::always_inline]] inline std::optional<SfcKey> same_level_across(const Forest& forest, SfcKey key,
                                                                      FaceDir dir) {
    using namespace morton;
    const int axis = dir / 2;
    const unsigned level = key.level();
    const u128 code = (key.value >> 6) & CODE_MASK;
    const u128 along = code & AXIS_BITS[axis];
    const u128 across = code & ~AXIS_BITS[axis];
    const u128 level_bits = level_bits_of(level, axis);
    const bool crosses = (dir & 1) ? (along & level_bits) == level_bits : (along & level_bits) == 0;
    if (crosses) return same_level_in_next_tree(forest, key, dir);
    const u128 moved =
        (dir & 1) ? across | (((along | ~AXIS_BITS[axis]) + dilated(32 - level, axis)) & AXIS_BITS[axis])
                  : across | ((along - dilated(32 - level, axis)) & AXIS_BITS[axis]);
    return SfcKey::from_raw((key.value & TREE_MASK) | (moved << 6) | u128(level));
}

// What the leaves say about the same-level cell `same`, found by one
// galloping search from cell id `hint`.
AcrossFace search_across(const Forest& forest, SfcKey same, std::uint64_t hint);

// The same-level cell across face `dir` of the leaf `key`, looked up with one
// galloping search from cell id `hint`: Leaf when a leaf covers it (then it
// is the only face neighbour, as face_neighbour_ids finds), Finer when it is
// split (face_neighbour_ids then finds the finer leaves). Checks nothing:
// `dir` must be below FACE_DIR_COUNT and the leaves must tile the grid.
inline AcrossFace leaf_across(const Forest& forest, SfcKey key, FaceDir dir, std::uint64_t hint) {
    const std::optional<SfcKey> same = same_level_across(forest, key, dir);
    if (!same) return {Across::Outside, 0};
    return search_across(forest, *same, hint);
}

// What search_across finds for `same` when the answer is cell id `j`:
// Leaf when leaf j holds `same`, Finer when leaf j is the first leaf inside
// it; none when j is neither (or past the last leaf). Two key comparisons
// at most, in place of a search where a good guess is at hand.
[[gnu::always_inline]] inline std::optional<AcrossFace> across_if_at(const Forest& forest, SfcKey same,
                                                                     std::uint64_t j) {
    if (j >= forest.leaves.size()) return std::nullopt;
    const SfcKey* keys = forest.leaves.data();
    // Leaves do not nest: the leaf holding `same` is the last key not above
    // it, and a leaf inside it after a leaf before it is the first above it.
    const SfcKey at = keys[j];
    // The leaf of the same level first: one comparison for the common case.
    if (at == same || at.contains(same)) return AcrossFace{Across::Leaf, j};
    if (same.contains(at) && (j == 0 || keys[j - 1] < same)) return AcrossFace{Across::Finer, j};
    return std::nullopt;
}

// leaf_across for the leaf with cell id `cell`, trying cell id `guess`
// (any value) before the search from `hint`. When the cell across is a
// sibling (the cell's coordinate on the axis even for +, odd for -) its key
// needs no carry, and its cell id is known when the siblings between are
// leaves: one key comparison there settles the common case, and `guess`
// is not used. Same result as leaf_across.
[[gnu::always_inline]] inline AcrossFace leaf_across_at(const Forest& forest, std::uint64_t cell,
                                                        SfcKey key, FaceDir dir, std::uint64_t guess,
                                                        std::uint64_t hint) {
    const unsigned level = key.level();
    const int axis = dir / 2;
    const u128 bit =
        level == 0 ? u128(0) : u128(1) << (6 + 3 * (MAX_LEVEL - level) + static_cast<unsigned>(axis));
    const bool high = (key.value & bit) != 0;
    if (level == 0 || high == ((dir & 1) != 0)) {
        const std::optional<SfcKey> same = same_level_across(forest, key, dir);
        if (!same) return {Across::Outside, 0};
        if (const auto at = across_if_at(forest, *same, guess)) return *at;
        return search_across(forest, *same, hint);
    }
    const SfcKey same = SfcKey::from_raw(key.value ^ bit);
    const std::uint64_t offset = std::uint64_t{1} << axis;
    if (dir & 1) {
        // The sibling, or its first leaf, `offset` cells on.
        if (const auto at = across_if_at(forest, same, cell + offset)) return *at;
    } else if (offset <= cell && forest.leaves[cell - offset] == same) {
        return {Across::Leaf, cell - offset};
    }
    return search_across(forest, same, hint);
}

// The number of trailing digits of the coordinate of leaf `key` along the
// axis of `dir` that a step across the face carries through: odd digits
// for +, even ones for -, at most the leaf's level (all of them: the face
// lies on the tree's side).
inline unsigned carried_digits(SfcKey key, FaceDir dir) {
    const unsigned level = key.level();
    if (level == 0) return 0;
    const unsigned shift = 6 + 3 * (MAX_LEVEL - level) + static_cast<unsigned>(dir / 2);
    const u128 digits = (key.value >> shift) & morton::AXIS_BITS[0];
    // Trailing odd digits (+) are the trailing zero bits of the complement.
    const u128 probe = (dir & 1) ? ~digits & morton::AXIS_BITS[0] : digits;
    const auto lo = static_cast<std::uint64_t>(probe);
    if (lo & 1) return 0;  // the sibling across: half of all faces
    const auto hi = static_cast<std::uint64_t>(probe >> 64);
    const unsigned zeros = lo != 0 ? static_cast<unsigned>(__builtin_ctzll(lo))
                           : hi != 0 ? 64 + static_cast<unsigned>(__builtin_ctzll(hi))
                                     : 3 * level;
    const unsigned m = zeros / 3;
    return m < level ? m : level;
}

// The four leaves across face `dir` of a leaf when the same-level cell
// `same` there (split, its first leaf at cell id `first`) is split into
// leaves one level finer on that face, at the cell ids they have when all
// of its eight children are leaves; empty otherwise. Then they are what
// face_neighbour_ids finds, in its probe order (ascending child digit).
inline FaceNeighbourIds children_across(const Forest& forest, SfcKey same, FaceDir dir,
                                        std::uint64_t first) {
    FaceNeighbourIds out;
    const unsigned level = same.level();
    if (level >= MAX_LEVEL || first + 8 > forest.leaves.size()) return out;
    const int axis = dir / 2;
    const int t1 = axis == 0 ? 1 : 0;
    const int t2 = axis == 2 ? 1 : 2;
    // Children touching the face: the low half along the axis for +, high for -.
    const unsigned side = (dir & 1) ? 0u : 1u << axis;
    const u128 base = (same.value & ~u128(63)) | u128(level + 1);
    const unsigned shift = 6 + 3 * (MAX_LEVEL - 1 - level);
    const SfcKey* keys = forest.leaves.data() + first;
    for (unsigned p = 0; p < 4; ++p) {
        const unsigned d = side | ((p & 1u) << t1) | ((p >> 1) << t2);
        if (keys[d].value != (base | (u128(d) << shift))) return FaceNeighbourIds{};
        out.ids[p] = first + d;
    }
    out.count = 4;
    return out;
}

// Face look-ups for a loop over cells that lie near one another (a chunk of
// consecutive cells, or of a flood's frontier): per direction and per number
// of digits the step across carries through, the last single leaf across
// relative to its cell, which repeats wherever the leaves around are alike,
// is checked before any search. Same answers as face_neighbour_ids.
class GuessedLookup {
public:
    FaceNeighbourIds ids(const Forest& forest, std::uint64_t cell, FaceDir dir) {
        const unsigned m = carried_digits(forest.leaves[cell], dir);
        const FaceNeighbourIds found = face_neighbour_ids_guessed(forest, cell, dir, cell + ahead_[dir][m]);
        if (found.size() == 1) ahead_[dir][m] = found[0] - cell;
        return found;
    }

private:
    std::array<std::array<std::uint64_t, MAX_LEVEL + 1>, FACE_DIR_COUNT> ahead_{};
};

}  // namespace neighbour
}  // namespace quorin
