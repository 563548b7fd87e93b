// 2:1 balance: no leaf may touch (across a face, an edge or a corner, also
// across root-cell borders) a leaf two or more levels coarser than itself.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"

namespace quorin::balance {

// The 26 probe offsets of a leaf, dx slowest and dz fastest, the centre left out.
std::array<Probe, 26> balance_probe_offsets(std::uint8_t level);

// The leaf holding anchor + offset when it is at least two levels coarser
// than the leaf, as a cell id.
std::optional<std::uint64_t> probe_coarse_neighbour(const Forest& forest, const DecodedKey& leaf,
                                                    const Probe& offset);

// Every hit of the 26 probes, in probe order (repeats kept).
std::vector<std::uint64_t> collect_coarse_neighbours(const Forest& forest, const DecodedKey& leaf,
                                                     const std::array<Probe, 26>& offsets);

// The leaves two or more levels coarser than cell `cell` that touch it.
std::vector<std::uint64_t> coarse_neighbours_of_leaf(const Forest& forest, std::uint64_t cell);

}  // namespace quorin::balance
