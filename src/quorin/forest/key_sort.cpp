#include "quorin/forest/key_sort.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "quorin/parallel.hpp"

namespace quorin::key_sort {

namespace {

// The digits to sort by: `passes` digits of `bits` bits, the lowest at bit
// `lo`, covering every bit that differs between two keys of the list.
struct Digits {
    unsigned lo = 0;
    unsigned bits = 0;
    unsigned passes = 0;
};

unsigned lowest_bit(u128 v) {
    const auto lo = static_cast<std::uint64_t>(v);
    return lo != 0 ? static_cast<unsigned>(__builtin_ctzll(lo))
                   : 64 + static_cast<unsigned>(__builtin_ctzll(static_cast<std::uint64_t>(v >> 64)));
}

unsigned bit_length(u128 v) {
    const auto hi = static_cast<std::uint64_t>(v >> 64);
    return hi != 0 ? 128 - static_cast<unsigned>(__builtin_clzll(hi))
                   : 64 - static_cast<unsigned>(__builtin_clzll(static_cast<std::uint64_t>(v)));
}

// `differ`: the OR of every key XOR one of them; not zero.
Digits digits_of(u128 differ, unsigned max_bits) {
    Digits d;
    d.lo = lowest_bit(differ);
    const unsigned span = bit_length(differ) - d.lo;
    d.passes = (span + max_bits - 1) / max_bits;
    d.bits = (span + d.passes - 1) / d.passes;  // passes of equal width
    return d;
}

inline unsigned digit(SfcKey k, unsigned shift, unsigned mask) {
    return static_cast<unsigned>(k.value >> shift) & mask;
}

u128 differing_bits(const SfcKey* keys, std::size_t b, std::size_t e, u128 first) {
    u128 differ = 0;
    for (std::size_t i = b; i != e; ++i) differ |= keys[i].value ^ first;
    return differ;
}

// Writes the distinct keys of the sorted src[b, e) to dst; src[b - 1] (when
// b > 0) is the key before the range. Returns the number written.
std::size_t write_distinct(const SfcKey* src, std::size_t b, std::size_t e, SfcKey* dst) {
    std::size_t m = 0;
    for (std::size_t i = b; i != e; ++i) {
        if (i == 0 || src[i] != src[i - 1]) dst[m++] = src[i];
    }
    return m;
}

std::size_t count_distinct(const SfcKey* src, std::size_t b, std::size_t e) {
    std::size_t m = 0;
    for (std::size_t i = b; i != e; ++i) m += (i == 0 || src[i] != src[i - 1]);
    return m;
}

constexpr unsigned SERIAL_BITS = 8;
constexpr unsigned PARALLEL_BITS = 11;
constexpr std::size_t SORT_GRAIN = std::size_t{1} << 16;

}  // namespace

std::size_t sort_unique(SfcKey* keys, std::size_t n, SfcKey* scratch) {
    if (n < 2) return n;
    const u128 differ = differing_bits(keys, 0, n, keys[0].value);
    if (differ == 0) return 1;
    const Digits d = digits_of(differ, SERIAL_BITS);
    const unsigned mask = (1u << d.bits) - 1;
    // The counts of every pass from one read of the keys.
    std::array<std::array<std::size_t, 1u << SERIAL_BITS>, 128 / SERIAL_BITS + 1> counts;
    for (unsigned p = 0; p < d.passes; ++p) std::fill_n(counts[p].begin(), mask + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (unsigned p = 0; p < d.passes; ++p) ++counts[p][digit(keys[i], d.lo + p * d.bits, mask)];
    }
    SfcKey* src = keys;
    SfcKey* dst = scratch;
    for (unsigned p = 0; p < d.passes; ++p) {
        auto& start = counts[p];
        std::size_t total = 0;
        bool one_digit = false;
        for (unsigned v = 0; v <= mask; ++v) {
            const std::size_t c = start[v];
            one_digit |= c == n;
            start[v] = total;
            total += c;
        }
        if (one_digit) continue;  // every key has this digit: the order stands
        const unsigned shift = d.lo + p * d.bits;
        for (std::size_t i = 0; i < n; ++i) dst[start[digit(src[i], shift, mask)]++] = src[i];
        std::swap(src, dst);
    }
    return write_distinct(src, 0, n, keys);  // in place when src is keys: m <= i
}

Buffer<SfcKey> sorted_unique(Buffer<SfcKey>& keys, Buffer<SfcKey>& scratch) {
    const std::size_t n = keys.size();
    if (scratch.size() < n) {
        scratch.clear();  // nothing to keep: no copy on growth
        scratch.resize(n);
    }
    if (n <= SORT_GRAIN) {
        const std::size_t m = sort_unique(keys.data(), n, scratch.data());
        return Buffer<SfcKey>(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(m));
    }
    const std::size_t chunks = (n + SORT_GRAIN - 1) / SORT_GRAIN;
    SfcKey* src = keys.data();
    SfcKey* dst = scratch.data();

    std::vector<u128> differ(chunks);
    parallel::for_chunks(n, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
        differ[b / SORT_GRAIN] = differing_bits(src, b, e, src[0].value);
    });
    u128 all = 0;
    for (const u128 v : differ) all |= v;
    if (all != 0) {
        const Digits d = digits_of(all, PARALLEL_BITS);
        const std::size_t buckets = std::size_t{1} << d.bits;
        const unsigned mask = static_cast<unsigned>(buckets - 1);
        // start[c * buckets + v]: where chunk c puts its first key of digit v.
        std::vector<std::size_t> start(chunks * buckets);
        for (unsigned p = 0; p < d.passes; ++p) {
            const unsigned shift = d.lo + p * d.bits;
            parallel::for_chunks(n, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
                std::size_t* count = start.data() + b / SORT_GRAIN * buckets;
                std::fill_n(count, buckets, 0);
                for (std::size_t i = b; i != e; ++i) ++count[digit(src[i], shift, mask)];
            });
            // Digit-major, chunk-minor: the scatter is stable.
            std::size_t total = 0;
            bool one_digit = false;
            for (std::size_t v = 0; v < buckets; ++v) {
                const std::size_t before = total;
                for (std::size_t c = 0; c < chunks; ++c) {
                    const std::size_t k = start[c * buckets + v];
                    start[c * buckets + v] = total;
                    total += k;
                }
                one_digit |= total - before == n;
            }
            if (one_digit) continue;
            parallel::for_chunks(n, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
                std::size_t* next = start.data() + b / SORT_GRAIN * buckets;
                for (std::size_t i = b; i != e; ++i) dst[next[digit(src[i], shift, mask)]++] = src[i];
            });
            std::swap(src, dst);
        }
    }

    std::vector<std::size_t> offset(chunks);
    parallel::for_chunks(n, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
        offset[b / SORT_GRAIN] = count_distinct(src, b, e);
    });
    Buffer<SfcKey> out(parallel::exclusive_scan(offset));
    parallel::for_chunks(n, SORT_GRAIN, [&](std::size_t b, std::size_t e) {
        write_distinct(src, b, e, out.data() + offset[b / SORT_GRAIN]);
    });
    return out;
}

}  // namespace quorin::key_sort
