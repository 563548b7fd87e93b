#include "quorin/forest/neighbour.hpp"

#include <string>

namespace quorin::neighbour {

namespace {

void check_dir(FaceDir dir) {
    if (dir >= FACE_DIR_COUNT) internal_error("Invalid face direction " + std::to_string(dir));
}

const SfcKey& leaf_at(const Forest& forest, std::uint64_t cell) {
    if (cell >= forest.leaves.size()) index_out_of_bounds(cell, forest.leaves.size());
    return forest.leaves[cell];
}

// Tree of a probe and its coordinates within that tree, or none outside the grid.
struct ProbeTarget {
    std::uint32_t tree;
    std::uint32_t x, y, z;
};

std::optional<ProbeTarget> resolve(const Forest& forest, std::uint32_t tree, const Probe& p) {
    const auto c = tree_coords(tree, forest.nx, forest.ny);
    const std::int64_t n[3] = {forest.nx, forest.ny, forest.nz};
    std::uint32_t r[3];
    for (int a = 0; a < 3; ++a) {
        const std::int64_t shifted = static_cast<std::int64_t>(c[a]) + (p[a] >> 32);
        if (shifted < 0 || shifted >= n[a]) return std::nullopt;
        r[a] = static_cast<std::uint32_t>(shifted);
    }
    return ProbeTarget{r[0] + forest.nx * (r[1] + forest.ny * r[2]), static_cast<std::uint32_t>(p[0]),
                       static_cast<std::uint32_t>(p[1]), static_cast<std::uint32_t>(p[2])};
}

}  // namespace

std::array<Probe, 4> face_probes(const DecodedKey& key, FaceDir dir) {
    check_dir(dir);
    const std::int64_t s = std::int64_t{1} << (MAX_LEVEL - key.level);
    const std::int64_t q1 = s / 4;
    const std::int64_t q3 = (3 * s) / 4;
    const int axis = dir / 2;
    const int t1 = axis == 0 ? 1 : 0;
    const int t2 = axis == 2 ? 1 : 2;
    const Probe anchor = {key.x, key.y, key.z};
    const std::int64_t along = (dir & 1) ? anchor[axis] + s : anchor[axis] - 1;
    const std::int64_t offsets[4][2] = {{q1, q1}, {q3, q1}, {q1, q3}, {q3, q3}};
    std::array<Probe, 4> probes;
    for (int p = 0; p < 4; ++p) {
        probes[p][axis] = along;
        probes[p][t1] = anchor[t1] + offsets[p][0];
        probes[p][t2] = anchor[t2] + offsets[p][1];
    }
    return probes;
}

std::optional<SfcKey> locate_probe(const Forest& forest, std::uint32_t tree, const Probe& probe) {
    const auto t = resolve(forest, tree, probe);
    if (!t) return std::nullopt;
    return forest.locate_leaf(t->tree, t->x, t->y, t->z);
}

std::optional<std::uint64_t> locate_probe_index(const Forest& forest, std::uint32_t tree,
                                                const Probe& probe, std::uint64_t hint) {
    const auto t = resolve(forest, tree, probe);
    if (!t) return std::nullopt;
    return forest.locate_leaf_index_near(t->tree, t->x, t->y, t->z, hint);
}

std::vector<SfcKey> collect_probe_leaves(const Forest& forest, const DecodedKey& key,
                                         const std::array<Probe, 4>& probes) {
    std::vector<SfcKey> found;
    found.reserve(4);
    for (const Probe& p : probes) {
        const auto leaf = locate_probe(forest, key.tree, p);
        if (!leaf) continue;
        bool seen = false;
        for (const SfcKey& k : found) seen = seen || k == *leaf;
        if (!seen) found.push_back(*leaf);
    }
    return found;
}

std::vector<SfcKey> face_neighbour_keys(const Forest& forest, SfcKey key, FaceDir dir) {
    const DecodedKey d = key.decode();
    return collect_probe_leaves(forest, d, face_probes(d, dir));
}

std::vector<std::uint64_t> keys_to_indices(const Forest& forest, const std::vector<SfcKey>& keys) {
    std::vector<std::uint64_t> ids;
    ids.reserve(keys.size());
    for (const SfcKey& k : keys) {
        if (auto i = forest.leaf_index(k)) ids.push_back(*i);
    }
    return ids;
}

std::vector<std::uint64_t> face_neighbours(const Forest& forest, std::uint64_t cell, FaceDir dir) {
    return keys_to_indices(forest, face_neighbour_keys(forest, leaf_at(forest, cell), dir));
}

namespace {

using morton::AXIS_BITS;
using morton::dilated;
using morton::level_bits_of;

// The level-32 key of the point `anchor + offsets` of a face, computed in
// Morton space from the cell's code: the coordinate along the axis moves by
// +s or -1 (dilated add / subtract, no carry out: the caller handles faces on
// the root border), the tangent offsets only set bits below the cell's level.
inline SfcKey probe_key(u128 tree_bits, u128 moved_code, u128 tangent) {
    return SfcKey::from_raw(tree_bits | ((moved_code | tangent) << 6) | u128(MAX_LEVEL));
}

}  // namespace

std::optional<SfcKey> same_level_in_next_tree(const Forest& forest, SfcKey key, FaceDir dir) {
    const int axis = dir / 2;
    const std::uint32_t tree = key.tree();
    const auto c = tree_coords(tree, forest.nx, forest.ny);
    const std::uint32_t n[3] = {forest.nx, forest.ny, forest.nz};
    const std::uint32_t stride[3] = {1, forest.nx, forest.nx * forest.ny};
    if ((dir & 1) ? c[axis] + 1 >= n[axis] : c[axis] == 0) return std::nullopt;
    const std::uint32_t next = (dir & 1) ? tree + stride[axis] : tree - stride[axis];
    // The coordinate wraps to the first (+) or last (-) cell of the next tree.
    const u128 code = (key.value >> 6) & morton::CODE_MASK;
    const u128 across = code & ~AXIS_BITS[axis];
    const u128 moved = across | ((dir & 1) ? u128(0) : level_bits_of(key.level(), axis));
    return SfcKey::from_raw((u128(next) << 102) | (moved << 6) | u128(key.level()));
}

AcrossFace search_across(const Forest& forest, SfcKey same, std::uint64_t hint) {
    const SfcKey* keys = forest.leaves.data();
    const std::size_t count = forest.count_not_above(same, hint);
    if (count > 0 && keys[count - 1].contains(same)) return {Across::Leaf, count - 1};
    return {Across::Finer, count};
}

bool on_domain_boundary(const Forest& forest, std::uint64_t cell, FaceDir dir) {
    check_dir(dir);
    return on_domain_boundary(forest, leaf_at(forest, cell), dir);
}

namespace {

// face_neighbour_ids_guessed after the argument checks.
[[gnu::always_inline]] inline FaceNeighbourIds ids_across(const Forest& forest, std::uint64_t cell,
                                                          SfcKey key, FaceDir dir, std::uint64_t guess) {
    const AcrossFace across = leaf_across_at(forest, cell, key, dir, guess, cell);
    FaceNeighbourIds out;
    switch (across.kind) {
    case Across::Outside:
        return out;
    case Across::Leaf:
        // A leaf of the cell's level or coarser: the one neighbour, as probe 0 finds.
        out.ids[0] = across.id;
        out.count = 1;
        return out;
    case Across::Finer:
        break;
    }
    out = children_across(forest, *same_level_across(forest, key, dir), dir, across.id);
    if (!out.empty()) return out;
    return face_neighbour_ids_near(forest, cell, dir, across.id);
}

}  // namespace

FaceNeighbourIds face_neighbour_ids(const Forest& forest, std::uint64_t cell, FaceDir dir) {
    check_dir(dir);
    const SfcKey key = leaf_at(forest, cell);
    return ids_across(forest, cell, key, dir, forest.leaves.size());
}

FaceNeighbourIds face_neighbour_ids_guessed(const Forest& forest, std::uint64_t cell, FaceDir dir,
                                            std::uint64_t guess) {
    check_dir(dir);
    return ids_across(forest, cell, leaf_at(forest, cell), dir, guess);
}

FaceNeighbourIds face_neighbour_ids_near(const Forest& forest, std::uint64_t cell, FaceDir dir,
                                         std::uint64_t hint) {
    check_dir(dir);
    const SfcKey key = leaf_at(forest, cell);
    const unsigned level = key.level();
    FaceNeighbourIds out;
    const int axis = dir / 2;
    const int t1 = axis == 0 ? 1 : 0;
    const int t2 = axis == 2 ? 1 : 2;
    const u128 code = (key.value >> 6) & ((u128(1) << 96) - 1);
    const u128 along_bits = code & AXIS_BITS[axis];
    const u128 across_bits = code & ~AXIS_BITS[axis];
    u128 tree_bits = key.value & ~((u128(1) << 102) - 1);
    u128 moved;
    // Crossing the root border: an all-ones (+) or all-zeros (-) coordinate
    // above the cell's level on the axis.
    const u128 level_bits = level_bits_of(level, axis);
    const bool crosses = (dir & 1) ? (along_bits & level_bits) == level_bits : (along_bits & level_bits) == 0;
    if (crosses) {
        const DecodedKey d = key.decode();
        const std::int64_t s = std::int64_t{1} << (MAX_LEVEL - level);
        Probe p = {d.x, d.y, d.z};
        p[axis] = (dir & 1) ? p[axis] + s : p[axis] - 1;
        const auto t = resolve(forest, d.tree, p);
        if (!t) return out;
        tree_bits = u128(t->tree) << 102;
        // The moved coordinate wraps to 0 (+) or to all ones (-) on the axis.
        moved = across_bits | ((dir & 1) ? u128(0) : AXIS_BITS[axis]);
    } else if (dir & 1) {
        moved = across_bits | (((along_bits | ~AXIS_BITS[axis]) + dilated(32 - level, axis)) & AXIS_BITS[axis]);
    } else {
        moved = across_bits | ((along_bits - dilated(0, axis)) & AXIS_BITS[axis]);
    }
    // Tangent offsets q1 = s/4 and q3 = 3s/4 as dilated bits.
    u128 q1[2] = {0, 0}, q3[2] = {0, 0};
    const int ts[2] = {t1, t2};
    for (int i = 0; i < 2; ++i) {
        if (level <= 30) {
            q1[i] = dilated(30 - level, ts[i]);
            q3[i] = dilated(31 - level, ts[i]) | q1[i];
        } else if (level == 31) {
            q3[i] = dilated(0, ts[i]);
        }
    }
    const u128 tangents[4] = {q1[0] | q1[1], q3[0] | q1[1], q1[0] | q3[1], q3[0] | q3[1]};
    for (int p = 0; p < 4; ++p) {
        const SfcKey probe = probe_key(tree_bits, moved, tangents[p]);
        const std::size_t count = forest.count_not_above(probe, hint);
        if (count == 0 || !forest.leaves[count - 1].contains(probe)) continue;
        const std::uint64_t id = count - 1;
        hint = id;
        // A neighbour at the cell's level or coarser holds all four probes.
        if (p == 0 && forest.leaves[id].level() <= level) {
            out.ids[0] = id;
            out.count = 1;
            return out;
        }
        bool seen = false;
        for (std::uint8_t j = 0; j < out.count; ++j) seen = seen || out.ids[j] == id;
        if (!seen) out.ids[out.count++] = id;
    }
    return out;
}

}  // namespace quorin::neighbour
