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

FaceNeighbourIds face_neighbour_ids(const Forest& forest, std::uint64_t cell, FaceDir dir) {
    const SfcKey key = leaf_at(forest, cell);
    const DecodedKey d = key.decode();
    const auto probes = face_probes(d, dir);
    FaceNeighbourIds out;
    std::uint64_t hint = cell;
    for (int p = 0; p < 4; ++p) {
        const auto id = locate_probe_index(forest, d.tree, probes[p], hint);
        if (!id) continue;
        hint = *id;
        // A neighbour at the cell's level or coarser holds all four probes.
        if (p == 0 && forest.leaves[*id].level() <= d.level) {
            out.ids[0] = *id;
            out.count = 1;
            return out;
        }
        bool seen = false;
        for (std::uint8_t j = 0; j < out.count; ++j) seen = seen || out.ids[j] == *id;
        if (!seen) out.ids[out.count++] = *id;
    }
    return out;
}

}  // namespace quorin::neighbour
