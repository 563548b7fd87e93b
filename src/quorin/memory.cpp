#include "quorin/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "quorin/background_release.hpp"

namespace quorin {

void* allocate_block(std::size_t bytes) {
    try {
        return ::operator new(bytes);
    } catch (const std::bad_alloc&) {
        wait_for_background_releases();
        return ::operator new(bytes);
    }
}

void give_back_pages(void* data, std::size_t bytes) noexcept {
    // Only the whole pages inside: the partial pages at the ends hold other allocations.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t hi = (begin + bytes) & ~(page - 1);
    if (lo < hi) ::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
}

void release_block(void* p, std::size_t bytes) noexcept {
    if (bytes < BACKGROUND_RELEASE_MIN) {
        ::operator delete(p);
        return;
    }
    // The pages go back before the free: unmapping them inside the free
    // would hold the process's mappings for the whole release (10-50 ms for
    // 80-270 MB), and every allocation that maps memory on another thread
    // meanwhile would wait for it. Giving them back leaves the mappings free
    // for others; the free then unmaps an empty range at once.
    release_in_background([p, bytes] {
        give_back_pages(p, bytes);
        ::operator delete(p);
    });
}

}  // namespace quorin
