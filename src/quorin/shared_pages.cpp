#include "quorin/shared_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

namespace quorin {

namespace {

struct SharedFile {
    int fd;
    std::size_t bytes;
};

// The live shared buffers by address. Lookups happen once per large
// allocation's release and per copy, never in loops.
struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, SharedFile> files;
    std::atomic<std::size_t> live{0};
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every static buffer
    return *r;
}

std::size_t page_rounded(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

void* allocate_shared_pages(std::size_t bytes) {
    if (bytes < SHARED_PAGES_MIN) return nullptr;
    const int fd = ::memfd_create("quorin-buffer", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    const std::size_t size = page_rounded(bytes);
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    Registry& r = registry();
    try {
        const std::lock_guard<std::mutex> lock(r.mutex);
        r.files.emplace(p, SharedFile{fd, size});
    } catch (...) {
        ::munmap(p, size);
        ::close(fd);
        return nullptr;
    }
    ++r.live;
    return p;
}

bool release_shared_pages(void* p) noexcept {
    Registry& r = registry();
    if (r.live.load() == 0) return false;
    SharedFile file;
    {
        const std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.files.find(p);
        if (it == r.files.end()) return false;
        file = it->second;
        r.files.erase(it);
    }
    --r.live;
    ::munmap(p, file.bytes);
    ::close(file.fd);
    return true;
}

void* map_private_copy(const void* p, std::size_t bytes) {
    Registry& r = registry();
    if (r.live.load() == 0 || bytes == 0) return nullptr;
    const std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.files.find(p);
    if (it == r.files.end() || bytes > it->second.bytes) return nullptr;
    void* copy = ::mmap(nullptr, page_rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE, it->second.fd, 0);
    return copy == MAP_FAILED ? nullptr : copy;
}

void release_private_copy(void* copy, std::size_t bytes) noexcept {
    if (copy != nullptr) ::munmap(copy, page_rounded(bytes));
}

}  // namespace quorin
