// Large buffers and transparent huge pages. On virtual machines a first-touch
// fault of a 4 KiB page costs around 10 µs, which dominates filling a fresh
// multi-megabyte vector; large buffers are therefore aligned to 2 MiB and
// advised for huge pages before they are first touched. Advice only: nothing
// changes when the kernel declines.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace quorin {

// Advises the whole 2 MiB pages inside [data, data + bytes); small buffers are left alone.
void advise_huge_pages(const void* data, std::size_t bytes);

// Returns the whole 4 KiB pages inside [data, data + bytes) to the system:
// they read as zeros afterwards. For a buffer whose contents are no longer
// needed but which is not freed yet.
void release_pages(const void* data, std::size_t bytes);

// Allocation for large buffers: 2 MiB aligned and advised from 4 MiB on,
// plain operator new below.
void* allocate_large(std::size_t bytes);
void deallocate_large(void* p, std::size_t bytes) noexcept;

// v.reserve(n), with the new storage advised before it is touched.
template <class T, class A>
void reserve_huge(std::vector<T, A>& v, std::size_t n) {
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
}

// Allocator whose construct() default-initialises, on large buffers: resizing
// a vector leaves the new elements unwritten, so parallel fills touch memory
// once.
template <class T>
struct DefaultInitAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(allocate_large(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { deallocate_large(p, n * sizeof(T)); }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    friend bool operator==(const DefaultInitAllocator&, const DefaultInitAllocator<U>&) {
        return true;
    }
};

// A vector whose resize leaves new elements of trivial type unwritten: the
// type of the large per-cell and per-face outputs, sized once and then
// filled (and so first touched) by the parallel loops.
template <class T>
using Buffer = std::vector<T, DefaultInitAllocator<T>>;

// Element-wise equality of a Buffer and a vector of another allocator.
template <class T, class A>
    requires(!std::same_as<A, DefaultInitAllocator<T>>)
bool operator==(const Buffer<T>& a, const std::vector<T, A>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace quorin
