// Large buffers. Every buffer keeps the system's small pages. Huge pages
// would spare the TLB misses of searches over the forest's keys, but on
// virtual machines whose host takes back the memory a process frees, a
// first-touch fault of a fresh 2 MiB page then costs about five times as
// much per byte as faulting it in 4 KiB pages (0.4 against 2.2 GB/s on one
// thread, measured here), and a fresh process meets such memory by chance:
// whole builds are faster without them.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorin/shared_pages.hpp"

namespace quorin {

// A block of `bytes` bytes from ::operator new. When memory runs out while
// blocks wait for the background thread to free them, it waits for them and
// tries once more: a block freed just before must not make the next
// allocation fail.
void* allocate_block(std::size_t bytes);

// Gives the whole pages inside [data, data + bytes) back to the system; they
// read as zeros when next touched. The block stays allocated.
void give_back_pages(void* data, std::size_t bytes) noexcept;

// Frees a block of `bytes` bytes from allocate_block; blocks of
// BACKGROUND_RELEASE_MIN bytes and more are freed by the background thread
// (quorin/background_release.hpp).
void release_block(void* p, std::size_t bytes) noexcept;

// Allocator whose construct() default-initialises: resizing a vector leaves
// the new elements unwritten, so parallel fills touch memory once. An
// allocator made with shared_pages() puts large buffers on shared pages
// (quorin/shared_pages.hpp), for buffers handed out as copies; it goes with
// the buffer when moved or swapped, and a copy of the buffer gets ordinary
// memory. Any allocator frees any buffer.
template <class T>
struct DefaultInitAllocator {
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>& other) noexcept
        : shared(other.shared) {}
    static DefaultInitAllocator shared_pages() noexcept {
        DefaultInitAllocator a;
        a.shared = true;
        return a;
    }
    DefaultInitAllocator select_on_container_copy_construction() const noexcept { return {}; }

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (shared) {
            if (void* p = allocate_shared_pages(bytes)) return static_cast<T*>(p);
        }
        return static_cast<T*>(allocate_block(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= SHARED_PAGES_MIN && release_shared_pages(p)) return;
        release_block(p, bytes);
    }

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    // Equal whatever their policy: each frees what the other allocated.
    template <class U>
    friend bool operator==(const DefaultInitAllocator&, const DefaultInitAllocator<U>&) {
        return true;
    }

    bool shared = false;
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
