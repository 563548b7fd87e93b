// The fluid fill as connected components. Instead of a search outward from
// the seed, every internal face between two cells that are not intersected
// joins their sets (a union-find that any number of threads update at
// once), so the fill rides along a pass that walks all faces anyway: the
// face count of the mesh export. The cells in the seed cell's set are the
// fluid.
//
// This is the set flood_fill reaches wherever a cell lists a neighbour
// across a face exactly when that neighbour lists it back, as in every 2:1
// balanced forest (the only forests the builds make): then the faces each
// cell owns (cell_faces) carry every pair of face neighbours.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "quorin/error.hpp"
#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/memory.hpp"

namespace quorin::flood {

// Disjoint sets of cell ids, each cell alone at first. join() may run on
// many threads at once; a cell's parent is never above the cell, so every
// chain of parents ends. Which cell ends up a set's root depends on the
// order of the joins, the sets themselves do not.
class CellUnion {
public:
    // The most cells a union can hold.
    static constexpr std::size_t MAX_CELLS = std::numeric_limits<std::uint32_t>::max();

    // Each of `cells` cells in a set of its own; the pool writes the parents
    // (and first touches their pages). More than MAX_CELLS cells is an
    // internal error.
    explicit CellUnion(std::size_t cells);

    void join(std::uint64_t a, std::uint64_t b);
    // The root of a's set; safe while other threads join.
    std::uint32_t root(std::uint64_t a);
    std::size_t size() const { return parent_.size(); }

private:
    Buffer<std::uint32_t> parent_;
};

// The cell holding the seed, or the user-facing message of flood_fill when
// the seed lies outside the domain or in an intersected cell.
Expected<std::uint64_t> seed_cell(const Forest& forest, const Domain& domain,
                                  std::span<const CellStatus> status, const Vec3& fluid_seed_point);

// Whether a face between these cells joins them: neither is intersected.
inline bool joins(std::span<const CellStatus> status, std::uint64_t a, std::uint64_t b) {
    return status[a] != STATUS_INTERSECTED && status[b] != STATUS_INTERSECTED;
}

// Once every face has been joined: cells in the seed's set become
// STATUS_FLUID, intersected cells stay, every other cell becomes
// STATUS_DEFAULT, as flood_fill leaves them. One status per cell of the
// union.
void fill_from_components(std::span<CellStatus> status, CellUnion& joined, std::uint64_t seed);

}  // namespace quorin::flood
