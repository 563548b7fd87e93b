#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "quorin/forest/key_sort.hpp"
#include "quorin/parallel.hpp"

namespace quorin {
namespace {

using Keys = std::vector<SfcKey>;

Keys reference(Keys keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// Keys of one level in a cube of `span` cells of that level in one tree.
Keys one_region(std::mt19937_64& rng, std::size_t n, unsigned level, std::uint32_t span) {
    const std::uint32_t w = level == 0 ? 0 : 1u << (MAX_LEVEL - level);
    Keys keys(n);
    for (SfcKey& k : keys) {
        const auto c = [&] { return static_cast<std::uint32_t>(rng() % span) * w; };
        const SfcKey fine = SfcKey::encode(3, c(), c(), c());
        k = SfcKey::from_raw((fine.value & ~u128(63)) | level);
    }
    return keys;
}

// Keys of one level anywhere: every tree, every anchor of that level.
Keys anywhere(std::mt19937_64& rng, std::size_t n, unsigned level) {
    const unsigned drop = 3 * (MAX_LEVEL - level);
    Keys keys(n);
    for (SfcKey& k : keys) {
        const u128 raw = (u128(rng()) << 64) | rng();
        k = SfcKey::from_raw(((raw >> (6 + drop)) << (6 + drop)) | level);
    }
    return keys;
}

// Any 128-bit values: every bit differs somewhere.
Keys any_bits(std::mt19937_64& rng, std::size_t n) {
    Keys keys(n);
    for (SfcKey& k : keys) k = SfcKey::from_raw((u128(rng()) << 64) | rng());
    return keys;
}

// n keys drawn from `distinct` values that differ in bits 6 and 127 only
// (the passes in between see one digit).
Keys far_apart(std::mt19937_64& rng, std::size_t n) {
    const u128 values[] = {0, u128(1) << 6, u128(1) << 127, (u128(1) << 127) | (u128(1) << 6)};
    Keys keys(n);
    for (SfcKey& k : keys) k = SfcKey::from_raw(values[rng() % 4]);
    return keys;
}

struct Case {
    const char* name;
    std::function<Keys(std::mt19937_64&)> make;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"empty", [](auto&) { return Keys{}; }},
        {"one key", [](auto& r) { return any_bits(r, 1); }},
        {"all equal", [](auto&) { return Keys(5000, SfcKey::root(7)); }},
        {"two keys, descending", [](auto&) { return Keys{SfcKey::root(2), SfcKey::root(1)}; }},
        {"small region, many repeats", [](auto& r) { return one_region(r, 3000, 6, 5); }},
        {"small region, long", [](auto& r) { return one_region(r, 200000, 9, 40); }},
        {"level 20 anywhere", [](auto& r) { return anywhere(r, 4000, 20); }},
        {"level 6 anywhere, long", [](auto& r) { return anywhere(r, 150000, 6); }},
        {"any bits", [](auto& r) { return any_bits(r, 3000); }},
        {"any bits, long", [](auto& r) { return any_bits(r, 140000); }},
        {"far apart bits", [](auto& r) { return far_apart(r, 2000); }},
        {"far apart bits, long", [](auto& r) { return far_apart(r, 100000); }},
        {"sorted, long", [](auto& r) { return reference(anywhere(r, 90000, 12)); }},
        {"descending, long", [](auto& r) {
             Keys k = reference(anywhere(r, 90000, 12));
             std::reverse(k.begin(), k.end());
             return k;
         }},
    };
    return all;
}

TEST(KeySort, InPlaceMatchesSortAndUnique) {
    std::mt19937_64 rng(11);
    for (const Case& c : cases()) {
        Keys keys = c.make(rng);
        const Keys expected = reference(keys);
        Keys scratch(keys.size());
        const std::size_t m = key_sort::sort_unique(keys.data(), keys.size(), scratch.data());
        keys.resize(m);
        EXPECT_EQ(keys, expected) << c.name;
    }
}

TEST(KeySort, OnThePoolMatchesSortAndUniqueForAnyThreadCount) {
    std::mt19937_64 rng(12);
    for (const Case& c : cases()) {
        const Keys input = c.make(rng);
        const Keys expected = reference(input);
        for (const std::size_t threads : {1, 3, 8}) {
            const Keys got = parallel::with_threads(threads, [&] {
                Buffer<SfcKey> keys(input.begin(), input.end());
                Buffer<SfcKey> scratch(7);  // too short: grown as needed
                const Buffer<SfcKey> out = key_sort::sorted_unique(keys, scratch);
                return Keys(out.begin(), out.end());
            });
            EXPECT_EQ(got, expected) << c.name << ", " << threads << " threads";
        }
    }
}

}  // namespace
}  // namespace quorin
