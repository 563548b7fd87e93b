// Sorting lists of cell keys and dropping repeats, by a least-significant-
// digit radix sort over only the key bits that differ within the list. The
// lists of the balance hold keys of one level, whose low bits are all alike,
// and often of one region, whose high bits are alike too; a few passes over
// the remaining bits cost less than comparison sorts of 128-bit keys.
#pragma once

#include <cstddef>

#include "quorin/forest/key.hpp"
#include "quorin/memory.hpp"

namespace quorin::key_sort {

// Sorts keys[0, n) ascending and drops repeats, in place; `scratch` holds at
// least n keys and is overwritten. Returns the number of keys kept. Serial:
// for the short lists of one chunk of a parallel loop.
std::size_t sort_unique(SfcKey* keys, std::size_t n, SfcKey* scratch);

// The same for a long list, on the pool: the distinct keys of `keys`,
// ascending, in a fresh buffer. `keys` and `scratch` (resized as needed) are
// overwritten; callers keep them to sort again without fresh pages.
Buffer<SfcKey> sorted_unique(Buffer<SfcKey>& keys, Buffer<SfcKey>& scratch);

}  // namespace quorin::key_sort
