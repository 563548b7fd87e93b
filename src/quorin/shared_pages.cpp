#include "quorin/shared_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "quorin/background_release.hpp"

namespace quorin {

namespace {

// A shared buffer is one range of addresses over one or more memory files
// (segments of `segment` bytes, the last one shorter): page faults take a
// lock per file, so threads that fill different parts of a large buffer at
// once fault on different files instead of queueing on one (twice the
// throughput on 8 threads, measured here).
constexpr std::size_t MAX_SEGMENTS = 16;
constexpr std::size_t SEGMENTED_FROM = std::size_t{32} << 20;
constexpr std::size_t MIN_SEGMENT = std::size_t{4} << 20;

struct SharedFile {
    std::size_t bytes = 0;    // page rounded
    std::size_t segment = 0;  // bytes per file
    int count = 0;
    std::array<int, MAX_SEGMENTS> fds{};
};

// The live shared buffers by address. Lookups happen once per large
// allocation's release and per copy, never in loops.
struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, SharedFile> files;
    std::atomic<std::size_t> live{0};
    std::atomic<std::size_t> live_fds{0};
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every static buffer
    return *r;
}

void release_now(void* p, const SharedFile& file) noexcept {
    ::munmap(p, file.bytes);
    for (int i = 0; i < file.count; ++i) ::close(file.fds[i]);
    registry().live_fds -= static_cast<std::size_t>(file.count);
}

// Maps the files of `file` over [base, base + bytes) with `flags`
// (MAP_SHARED or MAP_PRIVATE), replacing the reservation there.
bool map_segments(char* base, std::size_t bytes, const SharedFile& file, int flags) {
    for (int i = 0; i < file.count; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * file.segment;
        if (offset >= bytes) break;
        const std::size_t len = std::min(file.segment, bytes - offset);
        if (::mmap(base + offset, len, PROT_READ | PROT_WRITE, flags | MAP_FIXED, file.fds[i], 0) == MAP_FAILED)
            return false;
    }
    return true;
}

// A range of addresses, reserved and inaccessible, for segments to be mapped over.
char* reserve(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

// Unmapping a shared buffer returns its pages one by one and costs a
// noticeable fraction of filling it: it is left to the background thread, so
// that the caller (a session replacing its record) goes on at once.
void release_later(void* p, const SharedFile& file) noexcept {
    release_in_background([p, file] { release_now(p, file); });
}

std::size_t page_rounded(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

// Live shared buffers hold file descriptors; past this many, buffers get
// ordinary memory so that the process keeps descriptors for its own use.
constexpr std::size_t MAX_LIVE_FDS = 256;

void* allocate_shared_pages(std::size_t bytes) {
    Registry& r = registry();
    if (bytes < SHARED_PAGES_MIN) return nullptr;
    SharedFile file;
    file.bytes = page_rounded(bytes);
    const std::size_t want = file.bytes < SEGMENTED_FROM ? 1 : std::min(MAX_SEGMENTS, file.bytes / MIN_SEGMENT);
    file.segment = page_rounded((file.bytes + want - 1) / want);
    const auto count = static_cast<int>((file.bytes + file.segment - 1) / file.segment);
    if (r.live_fds.load() + static_cast<std::size_t>(count) > MAX_LIVE_FDS) return nullptr;
    char* p = reserve(file.bytes);
    if (p == nullptr) return nullptr;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const int fd = ::memfd_create("quorin-buffer", MFD_CLOEXEC);
        if (fd < 0) {
            ok = false;
            break;
        }
        file.fds[file.count++] = fd;
        const std::size_t len = std::min(file.segment, file.bytes - static_cast<std::size_t>(i) * file.segment);
        ok = ::ftruncate(fd, static_cast<off_t>(len)) == 0;
    }
    r.live_fds += static_cast<std::size_t>(file.count);
    ok = ok && map_segments(p, file.bytes, file, MAP_SHARED);
    if (ok) {
        try {
            const std::lock_guard<std::mutex> lock(r.mutex);
            r.files.emplace(p, file);
        } catch (...) {
            ok = false;
        }
    }
    if (!ok) {
        release_now(p, file);
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
    release_later(p, file);
    return true;
}

void* map_private_copy(const void* p, std::size_t bytes) {
    Registry& r = registry();
    if (r.live.load() == 0 || bytes == 0) return nullptr;
    const std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.files.find(p);
    if (it == r.files.end() || bytes > it->second.bytes) return nullptr;
    const std::size_t size = page_rounded(bytes);
    char* copy = reserve(size);
    if (copy == nullptr) return nullptr;
    if (!map_segments(copy, size, it->second, MAP_PRIVATE)) {
        ::munmap(copy, size);
        return nullptr;
    }
    return copy;
}

void release_private_copy(void* copy, std::size_t bytes) noexcept {
    if (copy != nullptr) ::munmap(copy, page_rounded(bytes));
}

}  // namespace quorin
