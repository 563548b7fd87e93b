#include "quorin/shared_pages.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

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

// Files are made this much larger than asked (1/16), in addresses and file
// size only: pages past the buffer are never touched, and a buffer a little
// larger than the one before it can take its place (a remeshed record).
constexpr std::size_t SLACK_DIVISOR = 16;

struct SharedFile {
    std::size_t bytes = 0;    // page rounded, slack included
    std::size_t segment = 0;  // bytes per file
    int count = 0;
    std::array<int, MAX_SEGMENTS> fds{};
    std::uint64_t serial = 0;      // names the buffer to its copies
    std::uint64_t generation = 0;  // forks of the process before it was made
};

// Every fork, in parent and child: buffers made before it share their pages
// with the other process's mappings and are never handed out again.
std::atomic<std::uint64_t> fork_generation{0};
void count_fork() { fork_generation.fetch_add(1); }

// The live shared buffers by address, the live copies of each, and the
// buffers kept for reuse. Lookups happen once per large allocation, release
// and copy, never in loops.
struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, SharedFile> files;
    std::unordered_map<const void*, std::uint64_t> copies;       // copy -> buffer serial
    std::unordered_map<std::uint64_t, std::size_t> copy_counts;  // serial -> live copies
    std::vector<std::pair<void*, SharedFile>> spares;
    std::size_t reuse_scopes = 0;
    std::uint64_t next_serial = 1;
    std::atomic<std::size_t> live{0};
    std::atomic<std::size_t> live_fds{0};
};

Registry& registry() {
    static Registry* r = [] {
        ::pthread_atfork(nullptr, count_fork, count_fork);
        return new Registry;  // outlives every static buffer
    }();
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

// A released buffer may serve again only where nothing else can see its
// pages: no copy of it is alive, and no fork has happened since it was made.
// The caller holds the registry's lock.
bool reusable(const Registry& r, const SharedFile& file) {
    return !r.copy_counts.contains(file.serial) && file.generation == fork_generation.load();
}

// A kept buffer of at least `bytes` bytes (page rounded) and at most twice
// that, the smallest there is, taken for a new buffer; null when there is
// none. Its old pages past `bytes` are given back.
void* take_spare(Registry& r, std::size_t bytes) {
    void* p = nullptr;
    SharedFile file;
    {
        const std::lock_guard<std::mutex> lock(r.mutex);
        if (r.reuse_scopes == 0 || r.spares.empty()) return nullptr;
        std::size_t best = r.spares.size();
        for (std::size_t i = 0; i < r.spares.size(); ++i) {
            const SharedFile& f = r.spares[i].second;
            if (f.bytes < bytes || f.bytes / 2 > bytes || f.generation != fork_generation.load()) continue;
            if (best == r.spares.size() || f.bytes < r.spares[best].second.bytes) best = i;
        }
        if (best == r.spares.size()) return nullptr;
        p = r.spares[best].first;
        file = r.spares[best].second;
        try {
            file.serial = r.next_serial++;
            r.files.emplace(p, file);
        } catch (...) {
            return nullptr;
        }
        r.spares.erase(r.spares.begin() + static_cast<std::ptrdiff_t>(best));
        ++r.live;
    }
    if (file.bytes > bytes) ::madvise(static_cast<char*>(p) + bytes, file.bytes - bytes, MADV_REMOVE);
    return p;
}

}  // namespace

// Live shared buffers hold file descriptors; past this many, buffers get
// ordinary memory so that the process keeps descriptors for its own use.
constexpr std::size_t MAX_LIVE_FDS = 256;

void* allocate_shared_pages(std::size_t bytes) {
    Registry& r = registry();
    if (bytes < SHARED_PAGES_MIN) return nullptr;
    if (void* reused = take_spare(r, page_rounded(bytes))) return reused;
    SharedFile file;
    file.bytes = page_rounded(bytes + bytes / SLACK_DIVISOR);
    file.generation = fork_generation.load();
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
            file.serial = r.next_serial++;
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
        --r.live;
        if (r.reuse_scopes > 0 && reusable(r, file)) {
            try {
                r.spares.emplace_back(p, file);
                return true;
            } catch (...) {
            }
        }
    }
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
    try {
        r.copies.emplace(copy, it->second.serial);
        ++r.copy_counts[it->second.serial];
    } catch (...) {
        r.copies.erase(copy);
        ::munmap(copy, size);
        return nullptr;
    }
    return copy;
}

void release_private_copy(void* copy, std::size_t bytes) noexcept {
    if (copy == nullptr) return;
    {
        Registry& r = registry();
        const std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.copies.find(copy);
        if (it != r.copies.end()) {
            const auto count = r.copy_counts.find(it->second);
            if (count != r.copy_counts.end() && --count->second == 0) r.copy_counts.erase(count);
            r.copies.erase(it);
        }
    }
    ::munmap(copy, page_rounded(bytes));
}

SharedPagesReuse::SharedPagesReuse() {
    Registry& r = registry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    ++r.reuse_scopes;
}

SharedPagesReuse::~SharedPagesReuse() {
    Registry& r = registry();
    std::vector<std::pair<void*, SharedFile>> unused;
    {
        const std::lock_guard<std::mutex> lock(r.mutex);
        if (--r.reuse_scopes == 0) unused.swap(r.spares);
    }
    for (const auto& [p, file] : unused) release_later(p, file);
}

}  // namespace quorin
