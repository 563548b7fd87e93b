#include "quorin/forest/balance.hpp"

#include <algorithm>

#include "quorin/forest/key_sort.hpp"
#include "quorin/parallel.hpp"

namespace quorin {

namespace balance {

std::array<Probe, 26> balance_probe_offsets(std::uint8_t level) {
    const std::int64_t s = std::int64_t{1} << (MAX_LEVEL - level);
    const std::int64_t offsets[3] = {-1, s / 2, s};
    std::array<Probe, 26> out;
    int n = 0;
    for (int p = 0; p < 27; ++p) {
        const Probe d = {offsets[p / 9], offsets[(p / 3) % 3], offsets[p % 3]};
        if (d[0] == s / 2 && d[1] == s / 2 && d[2] == s / 2) continue;
        out[n++] = d;
    }
    return out;
}

std::optional<std::uint64_t> probe_coarse_neighbour(const Forest& forest, const DecodedKey& leaf,
                                                    const Probe& offset) {
    const Probe p = {std::int64_t{leaf.x} + offset[0], std::int64_t{leaf.y} + offset[1],
                     std::int64_t{leaf.z} + offset[2]};
    const auto found = neighbour::locate_probe(forest, leaf.tree, p);
    if (!found || leaf.level < found->level() + 2) return std::nullopt;
    return forest.leaf_index(*found);
}

std::vector<std::uint64_t> collect_coarse_neighbours(const Forest& forest, const DecodedKey& leaf,
                                                     const std::array<Probe, 26>& offsets) {
    std::vector<std::uint64_t> hits;
    for (const Probe& o : offsets) {
        if (auto id = probe_coarse_neighbour(forest, leaf, o)) {
            if (hits.empty()) hits.reserve(4);
            hits.push_back(*id);
        }
    }
    return hits;
}

std::vector<std::uint64_t> coarse_neighbours_of_leaf(const Forest& forest, std::uint64_t cell) {
    if (cell >= forest.leaves.size()) index_out_of_bounds(cell, forest.leaves.size());
    const DecodedKey leaf = forest.leaves[cell].decode();
    if (leaf.level < 2) return {};
    return collect_coarse_neighbours(forest, leaf, balance_probe_offsets(leaf.level));
}

}  // namespace balance

// The balanced forest is computed directly as the closure of the set of split
// (inner) cells under one rule: when a cell P of level l is split, every cell
// of level l-1 that touches P must be split too (else a leaf of level l+1
// inside P would touch a leaf of level l-1 or coarser). The rule only goes
// from level l to level l-1, so one sweep from the finest level down closes
// the set; the leaves are then the children of split cells that are not split
// themselves. This is the unique coarsest balanced refinement, the same
// forest that repeated flag-and-refine passes reach.
namespace {

// Sorted key lists; resized without zero filling, filled by the pool. Small
// pages: they are read in order, searched only once per rebuild chunk.
using KeyList = Buffer<SfcKey>;

// For each child octant c, the 27-bit set of offsets (dx, dy, dz) in
// {-1, 0, 1}^3 (bit 9(dx+1) + 3(dy+1) + (dz+1)) of the parent-level cells that
// a child in octant c touches: 0 or towards the child's side on each axis.
constexpr std::array<std::uint32_t, 8> make_octant_masks() {
    std::array<std::uint32_t, 8> masks{};
    for (unsigned c = 0; c < 8; ++c) {
        const int side[3] = {(c & 1) ? 1 : -1, (c & 2) ? 1 : -1, (c & 4) ? 1 : -1};
        for (unsigned m = 0; m < 8; ++m) {
            const int dx = (m & 1) ? side[0] : 0;
            const int dy = (m & 2) ? side[1] : 0;
            const int dz = (m & 4) ? side[2] : 0;
            masks[c] |= 1u << (9 * (dx + 1) + 3 * (dy + 1) + (dz + 1));
        }
    }
    return masks;
}
constexpr std::array<std::uint32_t, 8> OCTANT_MASKS = make_octant_masks();

inline unsigned octant_of(SfcKey k) {
    const unsigned l = k.level();
    return static_cast<unsigned>(k.value >> (6 + 3 * (MAX_LEVEL - l))) & 7u;
}

inline SfcKey parent_of(SfcKey k) { return *k.parent(); }

// A 32-bit anchor coordinate spread to its bits of the 96-bit Morton code
// (as for the x axis; y and z shift it by 1 and 2).
inline u128 spread_coordinate(std::uint32_t v) {
    return (u128(key_bits::part1by2(v >> 16)) << 48) | u128(key_bits::part1by2(v & 0xFFFFu));
}

// The cells of one level around an anchor cell A, shifted by -1 .. STEPS-2
// of their widths along each axis from A's anchor, assembled from per-axis
// parts: the root-cell coordinate and the spread anchor of each step, or no
// cell when the step leaves the base grid.
template <int STEPS>
class ShiftedCells {
public:
    ShiftedCells(const Forest& f, const DecodedKey& a, std::uint8_t level)
        : nx_(f.nx), ny_(f.ny), level_(level) {
        const std::int64_t w = std::int64_t{1} << (MAX_LEVEL - level);
        const auto c = tree_coords(a.tree, f.nx, f.ny);
        const std::int64_t n[3] = {f.nx, f.ny, f.nz};
        const std::uint32_t anchor[3] = {a.x, a.y, a.z};
        for (int k = 0; k < 3; ++k) {
            for (int d = 0; d < STEPS; ++d) {
                const std::int64_t p = std::int64_t{anchor[k]} + (d - 1) * w;
                const std::int64_t root = std::int64_t{c[k]} + (p >> 32);
                inside_[k][d] = root >= 0 && root < n[k];
                root_[k][d] = static_cast<std::uint32_t>(root);
                code_[k][d] = spread_coordinate(static_cast<std::uint32_t>(p)) << k;
            }
        }
    }
    // Steps dx, dy, dz in [0, STEPS) for -1, 0, 1, ...
    bool inside(int dx, int dy, int dz) const { return inside_[0][dx] && inside_[1][dy] && inside_[2][dz]; }
    SfcKey cell(int dx, int dy, int dz) const {
        const std::uint32_t tree = root_[0][dx] + nx_ * (root_[1][dy] + ny_ * root_[2][dz]);
        const u128 code = code_[0][dx] | code_[1][dy] | code_[2][dz];
        return SfcKey::from_raw((u128(tree) << 102) | (code << 6) | level_);
    }

private:
    std::uint32_t nx_, ny_;
    std::uint8_t level_;
    bool inside_[3][STEPS];
    std::uint32_t root_[3][STEPS];
    u128 code_[3][STEPS];
};

// The cells of level l-1 that split cells of level l force, seen from their
// grandparent P: they lie in the 4x4x4 cells of level l-1 that are P's
// children and one layer around them. For a split cell of octant `c` in a
// parent of octant `p` of P, GRID_MASKS[p][c] holds those cells as bits
// x + 4y + 16z, x = 0 for the layer before P.
constexpr std::array<std::array<std::uint64_t, 8>, 8> make_grid_masks() {
    std::array<std::array<std::uint64_t, 8>, 8> masks{};
    for (unsigned p = 0; p < 8; ++p) {
        for (unsigned c = 0; c < 8; ++c) {
            for (unsigned bit = 0; bit < 27; ++bit) {
                if ((OCTANT_MASKS[c] >> bit & 1u) == 0) continue;
                const unsigned x = (p & 1) + bit / 9;  // (p & 1) + dx + 1
                const unsigned y = (p >> 1 & 1) + bit / 3 % 3;
                const unsigned z = (p >> 2 & 1) + bit % 3;
                masks[p][c] |= std::uint64_t{1} << (x + 4 * y + 16 * z);
            }
        }
    }
    return masks;
}
constexpr auto GRID_MASKS = make_grid_masks();

// Appends to `sink` the cells of level l-1 that the split cells
// split[i, j) force to split, the children of one group G (level l-1 >= 0).
void force_group(const Forest& f, const KeyList& split, std::size_t i, std::size_t j, KeyList& sink) {
    std::uint32_t mask = 0;
    for (std::size_t k = i; k != j; ++k) mask |= OCTANT_MASKS[octant_of(split[k])];
    const DecodedKey g = parent_of(split[i]).decode();
    const ShiftedCells<3> cells(f, g, g.level);
    while (mask != 0) {
        const int bit = __builtin_ctz(mask);
        mask &= mask - 1;
        const int dx = bit / 9, dy = (bit / 3) % 3, dz = bit % 3;
        if (cells.inside(dx, dy, dz)) sink.push_back(cells.cell(dx, dy, dz));
    }
}

// The same for the split cells split[i, j) of one grandparent P (level
// l-2 >= 0), each forced cell once: neighbouring groups of P force many of
// the same cells.
void force_grand_group(const Forest& f, const KeyList& split, std::size_t i, std::size_t j,
                       KeyList& sink) {
    const unsigned l = split[i].level();
    const unsigned shift = 6 + 3 * (MAX_LEVEL - l);
    std::uint64_t grid = 0;
    for (std::size_t k = i; k != j; ++k) {
        const auto digits = static_cast<unsigned>(split[k].value >> shift);
        grid |= GRID_MASKS[digits >> 3 & 7u][digits & 7u];
    }
    const DecodedKey p = parent_of(parent_of(split[i])).decode();
    const ShiftedCells<4> cells(f, p, static_cast<std::uint8_t>(l - 1));
    while (grid != 0) {
        const int bit = __builtin_ctzll(grid);
        grid &= grid - 1;
        const int dx = bit & 3, dy = bit >> 2 & 3, dz = bit >> 4;
        if (cells.inside(dx, dy, dz)) sink.push_back(cells.cell(dx, dy, dz));
    }
}

// A chunk's raw forced cells and the sort's scratch, kept per thread so the
// chunks reuse their memory.
struct ChunkBuffers {
    KeyList raw;
    KeyList scratch;
};

// Split cells of level l-1 forced by the split cells `split` of level l
// (their parents included), as one sorted run per chunk of `split`.
// Touching cells are generated per grandparent; neighbouring grandparents
// generate the same cells, so each chunk (compact in Z-order) drops its own
// repeats and the caller those between chunks.
std::vector<KeyList> forced_by(const Forest& f, const KeyList& split) {
    constexpr std::size_t GRAIN = 1024;
    const std::size_t n = split.size();
    std::vector<KeyList> runs((n + GRAIN - 1) / GRAIN);
    if (n == 0) return runs;
    // Split cells are taken per grandparent, or per parent at level 1.
    const unsigned l = split[0].level();
    const bool grand = l >= 2;
    const unsigned group_shift = 6 + 3 * (MAX_LEVEL - l + (grand ? 2 : 1));
    const auto same_group = [&](SfcKey a, SfcKey b) {
        return (a.value >> group_shift) == (b.value >> group_shift);
    };
    parallel::for_chunks(n, GRAIN, [&](std::size_t b, std::size_t e) {
        thread_local ChunkBuffers buffers;
        KeyList& raw = buffers.raw;
        raw.clear();
        // A group split by the chunk's start is handled by the chunk of its start.
        std::size_t i = b;
        if (i > 0) {
            while (i != e && same_group(split[i], split[b - 1])) ++i;
        }
        while (i != e) {
            std::size_t j = i + 1;
            while (j < n && same_group(split[j], split[i])) ++j;
            if (grand) {
                force_grand_group(f, split, i, j, raw);
            } else {
                force_group(f, split, i, j, raw);
            }
            i = j < e ? j : e;
        }
        if (buffers.scratch.size() < raw.size()) {
            buffers.scratch.clear();
            buffers.scratch.resize(raw.capacity());
        }
        const std::size_t m = key_sort::sort_unique(raw.data(), raw.size(), buffers.scratch.data());
        runs[b / GRAIN].assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(m));
    });
    return runs;
}

// The split cells of level l-1: those forced by level l's, `runs`, and
// those already known, `known`, joined in `all` and sorted with `scratch`
// (both kept from level to level: the lists shrink as the levels coarsen).
KeyList next_split(const std::vector<KeyList>& runs, const KeyList& known, KeyList& all,
                   KeyList& scratch) {
    std::vector<std::size_t> offset(runs.size() + 1);
    for (std::size_t c = 0; c < runs.size(); ++c) offset[c] = runs[c].size();
    offset.back() = known.size();
    const std::size_t total = parallel::exclusive_scan(offset);
    if (all.capacity() < total) all.clear();  // nothing to keep: no copy on growth
    all.resize(total);
    SfcKey* dst = all.data();
    parallel::for_chunks(runs.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c != e; ++c) std::copy(runs[c].begin(), runs[c].end(), dst + offset[c]);
    });
    parallel::copy(known.data(), known.size(), dst + offset.back());
    return key_sort::sorted_unique(all, scratch);
}

// Parents of the leaves, per level: parents[l] holds the split cells of
// level l that the forest already has as parents of leaves, sorted; the
// vector has one list per level below the finest leaf level. Chunks of
// leaves are scanned in parallel; per level, a chunk's parents are ascending
// and only a group split by a chunk border repeats at the join.
std::vector<KeyList> leaf_parents(const KeyVector& leaves) {
    constexpr std::size_t GRAIN = 1 << 15;
    const std::size_t n = leaves.size();
    const std::size_t chunks = (n + GRAIN - 1) / GRAIN;
    std::vector<std::array<KeyList, MAX_LEVEL>> parts(chunks);
    parallel::for_chunks(n, GRAIN, [&](std::size_t b, std::size_t e) {
        auto& lists = parts[b / GRAIN];
        for (std::size_t i = b; i != e; ++i) {
            const SfcKey k = leaves[i];
            const unsigned l = k.level();
            if (l == 0) continue;
            const SfcKey p = parent_of(k);
            KeyList& list = lists[l - 1];
            if (list.empty() || list.back() != p) list.push_back(p);
            // When the first and the last child of p are leaves, so are the
            // six between them: most leaves come in such full groups.
            const unsigned shift = 6 + 3 * (MAX_LEVEL - l);
            const bool first_child = ((k.value >> shift) & 7u) == 0;
            if (first_child && i + 7 < e && leaves[i + 7].value == (k.value | (u128(7) << shift))) i += 7;
        }
    });
    std::size_t levels = 0;
    for (const auto& lists : parts)
        for (std::size_t l = 0; l < MAX_LEVEL; ++l)
            if (!lists[l].empty()) levels = std::max(levels, l + 1);
    // Per level: each chunk's list goes to its offset, less its first key
    // when that repeats the last key joined before it.
    std::vector<KeyList> parents(levels);
    std::vector<std::size_t> offset(chunks);
    std::vector<std::uint8_t> skip(chunks);
    for (std::size_t l = 0; l < levels; ++l) {
        const SfcKey* last = nullptr;
        for (std::size_t c = 0; c < chunks; ++c) {
            const KeyList& part = parts[c][l];
            skip[c] = !part.empty() && last != nullptr && *last == part.front();
            offset[c] = part.size() - skip[c];
            if (!part.empty()) last = &part.back();
        }
        parents[l].resize(parallel::exclusive_scan(offset));
        SfcKey* dst = parents[l].data();
        parallel::for_chunks(chunks, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c != e; ++c) {
                const KeyList& part = parts[c][l];
                std::copy(part.begin() + skip[c], part.end(), dst + offset[c]);
            }
        });
    }
    return parents;
}

// Split cells per level, each list sorted; a walk in key order visits the
// cells of one level in ascending order, so one cursor per level suffices.
struct SplitCursor {
    const std::vector<KeyList>* levels;
    std::array<std::size_t, MAX_LEVEL + 1> pos{};

    // Positions the cursors at the first split cell not below `k` per level.
    void seek(SfcKey k) {
        for (std::size_t l = 0; l < levels->size(); ++l) {
            const KeyList& list = (*levels)[l];
            pos[l] = std::lower_bound(list.begin(), list.end(), k) - list.begin();
        }
    }
    bool is_split(SfcKey node) {
        const unsigned l = node.level();
        if (l >= levels->size()) return false;
        const KeyList& list = (*levels)[l];
        std::size_t& j = pos[l];
        while (j < list.size() && list[j] < node) ++j;
        return j < list.size() && list[j] == node;
    }
};

// Emits the leaves of the balanced forest inside (or equal to) the old leaf.
template <class Out>
void emit(SfcKey node, SplitCursor& split, Out& out) {
    if (split.is_split(node)) {
        for (unsigned d = 0; d < 8; ++d) emit(node.child(d), split, out);
    } else {
        out(node);
    }
}

constexpr std::size_t EMIT_GRAIN = 1 << 14;

// The leaves of the balanced forest, or none when no leaf is split.
std::optional<KeyVector> rebuild(const KeyVector& leaves, const std::vector<KeyList>& split) {
    const std::size_t n = leaves.size();
    const std::size_t chunks = (n + EMIT_GRAIN - 1) / EMIT_GRAIN;
    const auto walk = [&](std::size_t b, std::size_t e, auto&& out) {
        SplitCursor cursor{&split};
        cursor.seek(leaves[b]);
        for (std::size_t i = b; i != e; ++i) emit(leaves[i], cursor, out);
    };
    std::vector<std::size_t> offset(chunks + 1, 0);
    parallel::for_chunks(n, EMIT_GRAIN, [&](std::size_t b, std::size_t e) {
        std::size_t count = 0;
        auto counter = [&](SfcKey) { ++count; };
        walk(b, e, counter);
        offset[b / EMIT_GRAIN + 1] = count;
    });
    for (std::size_t c = 0; c < chunks; ++c) offset[c + 1] += offset[c];
    if (offset[chunks] == n) return std::nullopt;
    // Balance adds no level: split.size() is already the finest leaf level.
    KeyVector out = allocate_refined_leaves(offset[chunks], static_cast<unsigned>(split.size()));
    parallel::for_chunks(n, EMIT_GRAIN, [&](std::size_t b, std::size_t e) {
        SfcKey* dst = out.data() + offset[b / EMIT_GRAIN];
        auto writer = [&](SfcKey k) { *dst++ = k; };
        walk(b, e, writer);
    });
    return out;
}

}  // namespace

void Forest::enforce_2_to_1_balance() {
    // split[l]: the split cells of level l, from the finest level down.
    std::vector<KeyList> split = leaf_parents(leaves);
    const std::size_t levels = split.size();  // the finest leaf level
    if (levels < 2) return;
    KeyList all, scratch;
    for (std::size_t l = levels - 1; l >= 1; --l) {
        split[l - 1] = next_split(forced_by(*this, split[l]), split[l - 1], all, scratch);
    }
    if (auto balanced = rebuild(leaves, split)) {
        leaves.swap(*balanced);
        samples.reset();
    }
}

}  // namespace quorin
