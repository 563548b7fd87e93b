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

}  // namespace neighbour
}  // namespace quorin
