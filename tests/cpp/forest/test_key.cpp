#include <random>

#include <gtest/gtest.h>

#include "quorin/forest/key.hpp"

namespace quorin {
namespace {

u128 bit(int b) { return u128(1) << b; }

TEST(SfcKey, EncodeDecodeRoundTripsRandomPositions) {
    std::mt19937_64 rng(7);
    for (int n = 0; n < 20000; ++n) {
        const auto t = static_cast<std::uint32_t>(rng() & (MAX_TREES - 1));
        const auto x = static_cast<std::uint32_t>(rng());
        const auto y = static_cast<std::uint32_t>(rng());
        const auto z = static_cast<std::uint32_t>(rng());
        const DecodedKey d = SfcKey::encode(t, x, y, z).decode();
        ASSERT_EQ(d, (DecodedKey{t, x, y, z, 32}));
    }
    const std::uint32_t m = 0xFFFFFFFFu;
    EXPECT_EQ(SfcKey::encode(MAX_TREES - 1, m, m, m).decode(),
              (DecodedKey{static_cast<std::uint32_t>(MAX_TREES - 1), m, m, m, 32}));
}

TEST(SfcKey, BitLayout) {
    struct Case {
        u128 raw;
        DecodedKey decoded;
    };
    const Case cases[] = {
        {bit(99), {0, 1u << 31, 0, 0, 0}},
        {bit(100), {0, 0, 1u << 31, 0, 0}},
        {bit(101), {0, 0, 0, 1u << 31, 0}},
        {bit(102), {1, 0, 0, 0, 0}},
        {bit(6), {0, 1, 0, 0, 0}},
        {bit(7), {0, 0, 1, 0, 0}},
        {bit(8), {0, 0, 0, 1, 0}},
        {u128(45), {0, 0, 0, 0, 45}},  // decode checks nothing
    };
    for (const Case& c : cases) EXPECT_EQ(SfcKey::from_raw(c.raw).decode(), c.decoded);

    EXPECT_EQ(SfcKey::encode(0, 1, 0, 0).value, u128(96));
    EXPECT_EQ(SfcKey::encode(0, 0, 1, 0).value, u128(160));
    EXPECT_EQ(SfcKey::encode(0, 0, 0, 1).value, u128(288));
    EXPECT_EQ(SfcKey::root(1).value, bit(102));
    EXPECT_EQ(SfcKey::root(12345).decode(), (DecodedKey{12345, 0, 0, 0, 0}));
    EXPECT_EQ(SfcKey::root(12345).tree(), 12345u);
}

TEST(SfcKey, ChildrenOfRoot) {
    const auto kids = SfcKey::root(0).children();
    for (unsigned d = 0; d < 8; ++d) {
        EXPECT_EQ(kids[d].value, u128(d) * bit(99) + 1);
        EXPECT_EQ(kids[d], SfcKey::root(0).child(d));
    }
    EXPECT_EQ(kids[5].decode(), (DecodedKey{0, 1u << 31, 0, 1u << 31, 1}));
}

TEST(SfcKey, ChildrenAnchorsAndOrdering) {
    std::mt19937_64 rng(11);
    for (int n = 0; n < 2000; ++n) {
        const unsigned level = static_cast<unsigned>(rng() % 32);
        const std::uint32_t mask = level == 0 ? 0 : ~((1u << (32 - level)) - 1);
        const auto t = static_cast<std::uint32_t>(rng() % 1000);
        SfcKey k = SfcKey::encode(t, static_cast<std::uint32_t>(rng()) & mask,
                                  static_cast<std::uint32_t>(rng()) & mask,
                                  static_cast<std::uint32_t>(rng()) & mask);
        k = SfcKey::from_raw((k.value & ~u128(63)) | level);
        const DecodedKey kd = k.decode();
        const auto kids = k.children();
        const std::uint32_t half = 1u << (31 - level);
        SfcKey prev = k;
        for (unsigned d = 0; d < 8; ++d) {
            const DecodedKey cd = kids[d].decode();
            EXPECT_EQ(cd, (DecodedKey{t, kd.x + (d & 1) * half, kd.y + ((d >> 1) & 1) * half,
                                      kd.z + ((d >> 2) & 1) * half,
                                      static_cast<std::uint8_t>(level + 1)}));
            EXPECT_LT(prev, kids[d]);
            EXPECT_EQ(kids[d].parent(), k);
            EXPECT_TRUE(k.contains(kids[d]));
            prev = kids[d];
        }
        // The deepest descendant of child 7 still sorts before the next cell
        // of k's level in Z-order (when k is not the last cell of its tree).
        const u128 span = u128(1) << (6 + 3 * (32 - level));
        if (((k.value + span) >> 102) == t) {
            const SfcKey next = SfcKey::from_raw(k.value + span);
            SfcKey deepest = kids[7];
            while (deepest.level() < 32) deepest = deepest.child(7);
            EXPECT_LT(deepest, next);
            EXPECT_FALSE(k.contains(next));
        }
    }
}

TEST(SfcKey, ChildrenOfLevel31AndLevel32) {
    const SfcKey deep = SfcKey::from_raw((SfcKey::encode(3, 6, 10, 14).value & ~u128(63)) | 31);
    for (unsigned d = 0; d < 8; ++d) {
        const DecodedKey c = deep.children()[d].decode();
        EXPECT_EQ(c, (DecodedKey{3, 6 + (d & 1), 10 + ((d >> 1) & 1), 14 + ((d >> 2) & 1), 32}));
    }
    const SfcKey leaf = SfcKey::encode(0, 1, 2, 3);
    try {
        leaf.children();
        FAIL() << "children of a level-32 key";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Cannot subdivide beyond MAX_LEVEL");
    }
}

TEST(SfcKey, ParentOfRootIsNone) {
    EXPECT_FALSE(SfcKey::root(0).parent().has_value());
    EXPECT_FALSE(SfcKey::root(77).parent().has_value());
    EXPECT_EQ(SfcKey::root(9).child(6).parent(), SfcKey::root(9));
    // Parent rounds the anchor down to the parent's width.
    const SfcKey k = SfcKey::encode(2, 0x12345679u, 0xFFFFFFFFu, 1);
    EXPECT_EQ(k.parent()->decode(), (DecodedKey{2, 0x12345678u, 0xFFFFFFFEu, 0, 31}));
}

}  // namespace
}  // namespace quorin
