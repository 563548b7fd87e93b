#include "quorin/forest/forest.hpp"

#include <algorithm>
#include <new>

#include "quorin/error.hpp"
#include "quorin/parallel.hpp"

namespace quorin {

namespace {

// Decimal digits of a 128-bit count (the product of three u32 can pass 2^64).
std::string decimal(u128 v) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return digits;
}

}  // namespace

std::optional<std::string> base_grid_error(std::uint32_t nx, std::uint32_t ny, std::uint32_t nz) {
    const u128 trees = u128(nx) * ny * nz;
    if (trees <= MAX_TREES) return std::nullopt;
    return "Base grid " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
           std::to_string(nz) + " has " + decimal(trees) +
           " root cells; at most 67108864 (2^26) are supported";
}

KeyVector allocate_refined_leaves(std::size_t count, unsigned level) {
    // Sizes past max_size() would throw length_error instead; the same lack.
    if (count <= KeyVector().max_size()) {
        try {
            return KeyVector(count);  // left unwritten: nothing is touched yet
        } catch (const std::bad_alloc&) {
        }
    }
    throw OutOfMemory("Out of memory refining to level " + std::to_string(level) + ": " +
                      std::to_string(count) + " cells were being made");
}

Forest::Forest(std::uint32_t nx_, std::uint32_t ny_, std::uint32_t nz_) : nx(nx_), ny(ny_), nz(nz_) {
    if (auto err = base_grid_error(nx, ny, nz)) internal_error(*err);
    const std::uint64_t n = num_trees();
    leaves.resize(n);
    for (std::uint64_t t = 0; t < n; ++t) leaves[t] = SfcKey::root(static_cast<std::uint32_t>(t));
}

void Forest::sample_leaves() {
    auto made = std::make_shared<LeafSamples>();
    const std::size_t n = leaves.size();
    made->base = leaves.data();
    made->count = n;
    made->keys.resize((n + LEAF_SAMPLE_STRIDE - 1) / LEAF_SAMPLE_STRIDE);
    const SfcKey* keys = leaves.data();
    SfcKey* out = made->keys.data();
    parallel::for_each_index(made->keys.size(), [&](std::size_t i) { out[i] = keys[i * LEAF_SAMPLE_STRIDE]; });
    samples = std::move(made);
}

namespace {

// The leaf at position `count - 1` holds the position of level-32 key `p` in
// `tree` when it is that very key, or a cell of the same tree containing it.
std::optional<std::uint64_t> leaf_holding(const KeyVector& leaves, std::size_t count, SfcKey p) {
    if (count == 0) return std::nullopt;
    const SfcKey c = leaves[count - 1];
    if (c == p || c.contains(p)) return count - 1;
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> Forest::locate_leaf_index(std::uint32_t tree, std::uint32_t x,
                                                       std::uint32_t y, std::uint32_t z) const {
    const SfcKey p = SfcKey::encode(tree, x, y, z);
    return leaf_holding(leaves, count_not_above(p), p);
}

std::optional<std::uint64_t> Forest::locate_leaf_index_near(std::uint32_t tree, std::uint32_t x,
                                                            std::uint32_t y, std::uint32_t z,
                                                            std::uint64_t hint) const {
    const SfcKey p = SfcKey::encode(tree, x, y, z);
    return leaf_holding(leaves, count_not_above(p, hint), p);
}

std::optional<SfcKey> Forest::locate_leaf(std::uint32_t tree, std::uint32_t x, std::uint32_t y,
                                          std::uint32_t z) const {
    if (auto i = locate_leaf_index(tree, x, y, z)) return leaves[*i];
    return std::nullopt;
}

std::optional<std::uint64_t> Forest::leaf_index(SfcKey key) const {
    const std::size_t count = count_not_above(key);
    if (count > 0 && leaves[count - 1] == key) return count - 1;
    return std::nullopt;
}

namespace {

void check_flag_count(std::size_t cells, std::size_t flags) {
    if (cells != flags) assert_eq_failed("Flags length must match the number of cells", cells, flags);
}

// Cells per chunk of the refinement: the split cells cluster along the
// surface, so chunks small enough that a pass of a few hundred thousand
// cells gives every thread several.
constexpr std::size_t REFINE_GRAIN = 1 << 12;

}  // namespace

void Forest::refine_by_flags(std::span<const std::uint8_t> flags) {
    const std::size_t n = leaves.size();
    check_flag_count(n, flags.size());
    const auto splits = [&](std::size_t i) {
        return flags[i] != 0 && leaves[i].level() < MAX_LEVEL;
    };
    // Two passes over fixed chunks: output sizes (and the finest level made,
    // for an out-of-memory message), then the keys at their offsets.
    const std::size_t chunks = (n + REFINE_GRAIN - 1) / REFINE_GRAIN;
    std::vector<std::size_t> offset(chunks + 1, 0);
    std::vector<std::uint8_t> finest(chunks, 0);
    parallel::for_chunks(n, REFINE_GRAIN, [&](std::size_t b, std::size_t e) {
        std::size_t count = 0;
        std::uint8_t level = 0;
        for (std::size_t i = b; i != e; ++i) {
            if (!splits(i)) {
                count += 1;
                continue;
            }
            count += 8;
            level = std::max<std::uint8_t>(level, leaves[i].level() + 1);
        }
        offset[b / REFINE_GRAIN + 1] = count;
        finest[b / REFINE_GRAIN] = level;
    });
    for (std::size_t c = 0; c < chunks; ++c) offset[c + 1] += offset[c];
    if (offset[chunks] == n) return;  // nothing splits
    const std::uint8_t level = *std::max_element(finest.begin(), finest.end());
    KeyVector out = allocate_refined_leaves(offset[chunks], level);
    parallel::for_chunks(n, REFINE_GRAIN, [&](std::size_t b, std::size_t e) {
        SfcKey* dst = out.data() + offset[b / REFINE_GRAIN];
        for (std::size_t i = b; i != e; ++i) {
            const SfcKey k = leaves[i];
            if (splits(i)) {
                const auto kids = k.children();
                dst = std::copy(kids.begin(), kids.end(), dst);
            } else {
                *dst++ = k;
            }
        }
    });
    leaves.swap(out);
    samples.reset();
}

void Forest::coarsen_by_flags(std::span<const std::uint8_t> flags) {
    const std::size_t n = leaves.size();
    check_flag_count(n, flags.size());
    KeyVector out;
    out.reserve(n);
    std::size_t i = 0;
    while (i < n) {
        const SfcKey k = leaves[i];
        bool merge = k.level() > 0 && flags[i] != 0 && i + 8 <= n;
        std::optional<SfcKey> parent;
        if (merge) {
            parent = k.parent();
            const auto kids = parent->children();
            for (unsigned d = 0; d < 8 && merge; ++d) merge = leaves[i + d] == kids[d];
            for (unsigned d = 1; d < 8 && merge; ++d) merge = flags[i + d] != 0;
        }
        if (merge) {
            out.push_back(*parent);
            i += 8;
        } else {
            out.push_back(k);
            i += 1;
        }
    }
    leaves.swap(out);
    samples.reset();
}

}  // namespace quorin
