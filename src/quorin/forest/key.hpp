// The 128-bit space-filling-curve cell key.
//
// Bits 0-5 hold the level, bits 6-101 the 96-bit Morton code of the cell's
// anchor (3 bits per level, the level-1 digit highest; x in bit 0 of a digit,
// y in bit 1, z in bit 2), bits 102-127 the tree (root-cell) index. Keys
// compare as unsigned 128-bit integers: by tree, then in Z-order, with a cell
// immediately before its first child.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>

#include "quorin/error.hpp"

namespace quorin {

using u128 = unsigned __int128;

inline constexpr std::uint8_t MAX_LEVEL = 32;

// Capacity of the 26-bit tree index.
inline constexpr std::uint64_t MAX_TREES = std::uint64_t{1} << 26;

struct DecodedKey {
    std::uint32_t tree;
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t z;
    std::uint8_t level;

    friend constexpr bool operator==(const DecodedKey&, const DecodedKey&) = default;
};

namespace key_bits {

// Bit k of a 16-bit value to bit 3k of a 48-bit value (magic-number spreading).
constexpr std::uint64_t part1by2(std::uint64_t v) {
    v &= 0xFFFFu;
    v = (v | (v << 32)) & 0x001F'0000'0000'FFFFull;
    v = (v | (v << 16)) & 0x001F'0000'FF00'00FFull;
    v = (v | (v << 8)) & 0x100F'00F0'0F00'F00Full;
    v = (v | (v << 4)) & 0x10C3'0C30'C30C'30C3ull;
    v = (v | (v << 2)) & 0x1249'2492'4924'9249ull;
    return v;
}

// Inverse of part1by2: gathers bits 0, 3, 6, ... of v into a 16-bit value.
constexpr std::uint32_t compact1by2(std::uint64_t v) {
    v &= 0x1249'2492'4924'9249ull;
    v = (v ^ (v >> 2)) & 0x10C3'0C30'C30C'30C3ull;
    v = (v ^ (v >> 4)) & 0x100F'00F0'0F00'F00Full;
    v = (v ^ (v >> 8)) & 0x001F'0000'FF00'00FFull;
    v = (v ^ (v >> 16)) & 0x001F'0000'0000'FFFFull;
    v = (v ^ (v >> 32)) & 0xFFFFull;
    return static_cast<std::uint32_t>(v);
}

inline constexpr std::uint64_t MASK48 = (std::uint64_t{1} << 48) - 1;

// Interleaves 16-bit slices of x, y, z into 48 Morton bits.
constexpr std::uint64_t interleave16(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return part1by2(x) | (part1by2(y) << 1) | (part1by2(z) << 2);
}

}  // namespace key_bits

struct SfcKey {
    // Deliberately without an initialiser: leaf vectors are filled, not zeroed.
    u128 value;

    static constexpr SfcKey from_raw(u128 v) { return SfcKey{v}; }

    // The level-0 key of a tree.
    static constexpr SfcKey root(std::uint32_t tree) { return SfcKey{u128(tree) << 102}; }

    // The level-32 key whose anchor is (x, y, z) in `tree`.
    static constexpr SfcKey encode(std::uint32_t tree, std::uint32_t x, std::uint32_t y,
                                   std::uint32_t z) {
        using namespace key_bits;
        const std::uint64_t lo = interleave16(x & 0xFFFFu, y & 0xFFFFu, z & 0xFFFFu);
        const std::uint64_t hi = interleave16(x >> 16, y >> 16, z >> 16);
        const u128 code = (u128(hi) << 48) | u128(lo);
        return SfcKey{(u128(tree) << 102) | (code << 6) | u128(MAX_LEVEL)};
    }

    constexpr std::uint8_t level() const { return static_cast<std::uint8_t>(value & 63); }
    constexpr std::uint32_t tree() const { return static_cast<std::uint32_t>(value >> 102); }

    // Takes the key apart; checks nothing (a level field above 32 is kept).
    constexpr DecodedKey decode() const {
        using namespace key_bits;
        const u128 code = value >> 6;
        const std::uint64_t lo = static_cast<std::uint64_t>(code) & MASK48;
        const std::uint64_t hi = static_cast<std::uint64_t>(code >> 48) & MASK48;
        return DecodedKey{
            tree(),
            compact1by2(lo) | (compact1by2(hi) << 16),
            compact1by2(lo >> 1) | (compact1by2(hi >> 1) << 16),
            compact1by2(lo >> 2) | (compact1by2(hi >> 2) << 16),
            level(),
        };
    }

    // The 8 children in digit order; a level-32 key has none.
    std::array<SfcKey, 8> children() const {
        const unsigned l = level();
        if (l >= MAX_LEVEL) internal_error("Cannot subdivide beyond MAX_LEVEL");
        const u128 base = (value & ~u128(63)) | u128(l + 1);
        const unsigned shift = 6 + 3 * (31 - l);
        std::array<SfcKey, 8> out;
        for (unsigned d = 0; d < 8; ++d) out[d] = SfcKey{base | (u128(d) << shift)};
        return out;
    }

    // Child d only (d in 0..7), for callers that walk children one at a time.
    SfcKey child(unsigned d) const {
        const unsigned l = level();
        if (l >= MAX_LEVEL) internal_error("Cannot subdivide beyond MAX_LEVEL");
        return SfcKey{(value & ~u128(63)) | u128(l + 1) | (u128(d & 7) << (6 + 3 * (31 - l)))};
    }

    // The parent; none for a root key.
    constexpr std::optional<SfcKey> parent() const {
        const unsigned l = level();
        if (l == 0) return std::nullopt;
        if (l > MAX_LEVEL) internal_error("Invalid key level " + std::to_string(l));
        const u128 low = (u128(1) << (105 - 3 * l)) - 1;
        return SfcKey{(value & ~low) | u128(l - 1)};
    }

    // Width of the cell in units of 2^-32 of a root-cell edge (2^32 at level 0).
    constexpr std::uint64_t width() const { return std::uint64_t{1} << (MAX_LEVEL - level()); }

    // True when `other` lies in this cell (or is this cell); both well-formed.
    constexpr bool contains(SfcKey other) const {
        const unsigned l = level();
        return other.level() >= l && ((value ^ other.value) >> (6 + 3 * (MAX_LEVEL - l))) == 0;
    }

    friend constexpr bool operator==(SfcKey a, SfcKey b) { return a.value == b.value; }
    friend constexpr std::strong_ordering operator<=>(SfcKey a, SfcKey b) {
        return a.value < b.value ? std::strong_ordering::less
               : a.value == b.value ? std::strong_ordering::equal
                                    : std::strong_ordering::greater;
    }
};

static_assert(sizeof(SfcKey) == 16);

}  // namespace quorin
