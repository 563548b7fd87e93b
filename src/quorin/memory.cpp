#include "quorin/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "quorin/background_release.hpp"

namespace quorin {

namespace {
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::size_t LARGE_BUFFER = std::size_t{4} << 20;

// Gives `advice` for the whole pages of `page` bytes inside [data, data + bytes).
void advise_whole_pages(const void* data, std::size_t bytes, std::uintptr_t page, int advice) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t hi = (begin + bytes) & ~(page - 1);
    if (lo < hi) ::madvise(reinterpret_cast<void*>(lo), hi - lo, advice);
}
}  // namespace

void advise_huge_pages(const void* data, std::size_t bytes) {
    if (bytes < LARGE_BUFFER) return;
    advise_whole_pages(data, bytes, HUGE_PAGE, MADV_HUGEPAGE);
}

void* allocate_large(std::size_t bytes) {
    if (bytes < LARGE_BUFFER) return ::operator new(bytes);
    const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* p = std::aligned_alloc(HUGE_PAGE, rounded);
    if (p == nullptr) throw std::bad_alloc();
    advise_huge_pages(p, rounded);
    return p;
}

void deallocate_large(void* p, std::size_t bytes) noexcept {
    if (bytes < LARGE_BUFFER) {
        ::operator delete(p);
    } else {
        std::free(p);
    }
}

void* allocate_block(std::size_t bytes, bool large) {
    const auto allocate = [bytes, large] { return large ? allocate_large(bytes) : ::operator new(bytes); };
    try {
        return allocate();
    } catch (const std::bad_alloc&) {
        wait_for_background_releases();
        return allocate();
    }
}

void give_back_pages(void* data, std::size_t bytes) noexcept {
    advise_whole_pages(data, bytes, static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE)), MADV_DONTNEED);
}

void release_block(void* p, std::size_t bytes, bool large) noexcept {
    const auto free_block = [p, bytes, large] {
        if (large) {
            deallocate_large(p, bytes);
        } else {
            ::operator delete(p);
        }
    };
    if (bytes < BACKGROUND_RELEASE_MIN) {
        free_block();
        return;
    }
    // The pages go back before the free: unmapping them inside the free
    // would hold the process's mappings for the whole release (10-50 ms for
    // 80-270 MB), and every allocation that maps memory on another thread
    // meanwhile would wait for it. Giving them back leaves the mappings free
    // for others; the free then unmaps an empty range at once.
    release_in_background([p, bytes, free_block] {
        give_back_pages(p, bytes);
        free_block();
    });
}

}  // namespace quorin
