// The faces of one cell as a CFD mesh lists them, shared by both mesh
// exports.
//
// For axis x, y, z in turn, the cell lists its negative face when that lies
// on the outer surface of the base grid (a domain-boundary face (cell, dir),
// decided from the key alone), then its positive face: a boundary face
// there too, else one internal face (cell, leaf, axis) per leaf across, in
// probe order. Internal faces on the negative side are not listed, since
// the leaves there own them. Every internal face is thus listed exactly
// once, by its low-side cell (the owner).
//
// One search for the same-level cell across the positive face settles the
// common cases: a leaf of the cell's level or coarser covers it (one face).
// Where that cell is split, the four probes of the face run as
// face_neighbour_ids has them: in a 2:1-balanced forest they reach every
// leaf across, four finer leaves in ascending cell order. Where the leaves
// across are two or more levels finer, four probes would miss most of them
// and those faces would be listed by no cell; the face is then searched
// quadrant by quadrant instead (see detail::finer_leaves), so that no face
// is lost whatever the forest's grading.
#pragma once

#include <array>
#include <cstdint>

#include "quorin/forest/forest.hpp"
#include "quorin/forest/key.hpp"
#include "quorin/forest/neighbour.hpp"

namespace quorin::cell_faces {

namespace detail {

// Calls emit(j) for every leaf j across the positive face along `axis` of
// the cell `key` inside the square of side w at tangential offset (u0, v0),
// by probing the centres of its four quadrants in probe order (the lower
// tangential axis fastest) and descending into every quadrant whose leaf is
// smaller than the quadrant. The leaves are emitted in that depth-first
// order, each once. Allocates nothing; the depth is at most MAX_LEVEL.
template <class Emit>
void finer_leaves(const Forest& forest, const DecodedKey& key, std::uint64_t cell, int axis,
                  std::int64_t u0, std::int64_t v0, std::int64_t w, Emit& emit) {
    const int t1 = axis == 0 ? 1 : 0;
    const int t2 = axis == 2 ? 1 : 2;
    const Probe anchor = {key.x, key.y, key.z};
    const std::int64_t h = w / 2;
    const std::int64_t du[4] = {0, h, 0, h};
    const std::int64_t dv[4] = {0, 0, h, h};
    for (int q = 0; q < 4; ++q) {
        Probe p;
        p[axis] = anchor[axis] + (std::int64_t{1} << (MAX_LEVEL - key.level));
        p[t1] = u0 + du[q] + h / 2;
        p[t2] = v0 + dv[q] + h / 2;
        const auto j = neighbour::locate_probe_index(forest, key.tree, p, cell);
        if (!j) continue;
        if (static_cast<std::int64_t>(forest.leaves[*j].width()) >= h) {
            emit(*j);
        } else {
            finer_leaves(forest, key, cell, axis, u0 + du[q], v0 + dv[q], h, emit);
        }
    }
}

}  // namespace detail

// The look-ups of a walk over consecutive cells. The cell across the
// positive face of a cell is the next cell along the axis of the cell's
// ancestor whose coordinate there is even: a sibling (a few cells on) when
// the cell's own coordinate is even, possibly far away when it ends in
// m > 0 odd digits. The sibling is checked in place (leaf_across_at). Cells
// of the walk with the same m find their neighbours close to one another
// in cell order, so per axis and m the walk keeps the last answer, both as
// the start of the next search and as a guess: the cell id it lay at
// relative to its cell, which repeats wherever the leaves around are
// alike, is checked before any search.
class Walk {
public:
    explicit Walk(std::uint64_t first_cell) {
        for (auto& per_axis : last_) per_axis.fill(first_cell);
        for (auto& per_axis : ahead_) per_axis.fill(0);
    }

    // leaf_across for the positive face along `axis` of leaf `cell`.
    [[gnu::always_inline]] neighbour::AcrossFace across(const Forest& forest, std::uint64_t cell,
                                                        SfcKey key, int axis) {
        const auto pos = static_cast<FaceDir>(2 * axis + 1);
        const unsigned m = odd_digits(key, axis);
        m_[axis] = m;
        if (m == 0) return neighbour::leaf_across_at(forest, cell, key, pos, cell, cell);
        const std::optional<SfcKey> same = neighbour::same_level_across(forest, key, pos);
        if (!same) return {neighbour::Across::Outside, 0};
        const std::uint64_t h = last_[axis][m];
        const neighbour::AcrossFace a = guessed(forest, *same, cell + ahead_[axis][m], h, cell);
        ahead_[axis][m] = a.id - cell;
        if (a.kind == neighbour::Across::Leaf) last_[axis][m] = a.id;
        return a;
    }

    // The last of the finer leaves found across the face of the last
    // across() along `axis`, the start of later searches.
    void found(int axis, std::uint64_t id) { last_[axis][m_[axis]] = id; }

private:
    // What the leaves say about `same`, the cell across a face of `cell`
    // that carries through odd digits: the answer at `guess` (where it lay
    // relative to the last such cell), else the last leaf found across (a
    // coarser leaf spans several cells of this side, about half of the
    // misses), else a search from the later of that leaf and the cell.
    [[gnu::always_inline]] static neighbour::AcrossFace guessed(const Forest& forest, SfcKey same,
                                                                std::uint64_t guess, std::uint64_t last,
                                                                std::uint64_t cell) {
        if (const auto at = neighbour::across_if_at(forest, same, guess)) return *at;
        if (const auto at = neighbour::across_if_at(forest, same, last)) return *at;
        return neighbour::search_across(forest, same, last > cell ? last : cell);
    }

    // The number of trailing odd digits of the cell's coordinate along
    // `axis` at its level (its level when all are: the tree's last cell).
    static unsigned odd_digits(SfcKey key, int axis) {
        return neighbour::carried_digits(key, static_cast<FaceDir>(2 * axis + 1));
    }

    std::array<unsigned, 3> m_{};  // odd digits of the last cell looked up, per axis
    std::array<std::array<std::uint64_t, MAX_LEVEL + 1>, 3> last_;
    std::array<std::array<std::uint64_t, MAX_LEVEL + 1>, 3> ahead_;  // answer minus cell
};

namespace detail {

// The leaves across the positive face along `axis` of `cell` where the
// cell there (its first leaf at `first`) is split and its children are not
// all leaves: the four probes, or the quadrants where some leaf is two or
// more levels finer. Out of line: rare, and inlined its setup (the decoded
// key) would be computed for every cell.
template <class OnInternal>
[[gnu::noinline]] void probed_leaves(const Forest& forest, std::uint64_t cell, std::uint8_t axis,
                                     std::uint64_t first, Walk& walk, OnInternal& on_internal) {
    const auto pos = static_cast<FaceDir>(2 * axis + 1);
    const FaceNeighbourIds high = neighbour::face_neighbour_ids_near(forest, cell, pos, first);
    if (high.empty()) return;  // only in a forest whose leaves leave holes
    walk.found(axis, high[high.size() - 1]);
    const SfcKey key = forest.leaves[cell];
    const unsigned level = key.level();
    bool graded = true;  // no leaf found more than one level finer
    for (const std::uint64_t j : high) graded = graded && forest.leaves[j].level() <= level + 1;
    if (graded) {
        for (const std::uint64_t j : high) on_internal(j, axis);
        return;
    }
    const DecodedKey d = key.decode();
    const std::int64_t corner[3] = {d.x, d.y, d.z};
    const int t1 = axis == 0 ? 1 : 0;
    const int t2 = axis == 2 ? 1 : 2;
    auto emit = [&](std::uint64_t j) { on_internal(j, axis); };
    finer_leaves(forest, d, cell, axis, corner[t1], corner[t2], std::int64_t{1} << (MAX_LEVEL - d.level),
                 emit);
}

}  // namespace detail

// Calls on_boundary(FaceDir) for every domain-boundary face of `cell` and
// on_internal(neighbour, axis) for every internal face it owns, in the order
// above. `walk` carries search hints from cell to cell (any start gives the
// same faces). Allocates nothing.
template <class OnInternal, class OnBoundary>
inline void enumerate(const Forest& forest, std::uint64_t cell, Walk& walk,
                      OnInternal&& on_internal, OnBoundary&& on_boundary) {
    if (cell >= forest.leaves.size()) index_out_of_bounds(cell, forest.leaves.size());
    const SfcKey key = forest.leaves[cell];
    // Unrolled: with the axis a constant, its masks and shifts are too.
#pragma GCC unroll 3
    for (std::uint8_t axis = 0; axis < 3; ++axis) {
        const auto neg = static_cast<FaceDir>(2 * axis);
        const auto pos = static_cast<FaceDir>(2 * axis + 1);
        if (neighbour::on_domain_boundary(forest, key, neg)) on_boundary(neg);
        // One look-up of the same-level cell across: the common cases (a
        // leaf of this level or coarser there, or the domain boundary) end here.
        const neighbour::AcrossFace across = walk.across(forest, cell, key, axis);
        if (across.kind == neighbour::Across::Outside) {
            on_boundary(pos);
            continue;
        }
        if (across.kind == neighbour::Across::Leaf) {
            on_internal(across.id, axis);
            continue;
        }
        // Finer leaves across: the eight children of the cell there as
        // leaves, checked in place, else the four probes of the face.
        const FaceNeighbourIds children = neighbour::children_across(
            forest, *neighbour::same_level_across(forest, key, pos), pos, across.id);
        if (!children.empty()) {
            walk.found(axis, children[3]);
            for (const std::uint64_t j : children) on_internal(j, axis);
            continue;
        }
        detail::probed_leaves(forest, cell, axis, across.id, walk, on_internal);
    }
}

// The same for a single cell, without hints from a walk.
template <class OnInternal, class OnBoundary>
inline void enumerate(const Forest& forest, std::uint64_t cell, OnInternal&& on_internal,
                      OnBoundary&& on_boundary) {
    Walk walk(cell);
    enumerate(forest, cell, walk, on_internal, on_boundary);
}

// The pushes of one listed face onto a record's face vectors (any record
// with the five face fields).
template <class Sink>
inline void push_internal(Sink& sink, std::uint64_t cell, std::uint64_t neighbour, std::uint8_t axis) {
    sink.internal_faces_owner.push_back(cell);
    sink.internal_faces_neighbour.push_back(neighbour);
    sink.internal_faces_axis.push_back(axis);
}

template <class Sink>
inline void push_boundary(Sink& sink, std::uint64_t cell, FaceDir dir) {
    sink.domain_bnd_faces_owner.push_back(cell);
    sink.domain_bnd_faces_dir.push_back(dir);
}

}  // namespace quorin::cell_faces
