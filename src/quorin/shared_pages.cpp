#include "quorin/shared_pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

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

// Unmapping a shared buffer returns its pages one by one and costs a
// noticeable fraction of filling it; it is left to a background thread so
// that the caller (a session replacing its record) goes on at once. The
// thread is started on first use and never ends. A forked child, which has
// no such thread (and whose copy of the queue's lock may be held), releases
// its buffers itself.
struct Releaser {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<void*, SharedFile>> queue;
    std::atomic<pid_t> owner{0};  // the process whose thread serves the queue
};

Releaser& releaser() {
    static Releaser* r = new Releaser;  // the thread may outlive static destruction
    return *r;
}

void release_now(void* p, const SharedFile& file) noexcept {
    ::munmap(p, file.bytes);
    ::close(file.fd);
}

void serve(Releaser* r) {
    for (;;) {
        std::pair<void*, SharedFile> job;
        {
            std::unique_lock<std::mutex> lock(r->mutex);
            r->wake.wait(lock, [&] { return !r->queue.empty(); });
            job = r->queue.front();
            r->queue.pop_front();
        }
        release_now(job.first, job.second);
    }
}

void release_later(void* p, const SharedFile& file) noexcept {
    Releaser& r = releaser();
    const pid_t self = ::getpid();
    const pid_t owner = r.owner.load();
    if (owner != 0 && owner != self) {
        release_now(p, file);
        return;
    }
    try {
        std::unique_lock<std::mutex> lock(r.mutex);
        if (r.owner.load() == 0) {
            std::thread(serve, &r).detach();
            r.owner.store(self);
        }
        r.queue.emplace_back(p, file);
        lock.unlock();
        r.wake.notify_one();
    } catch (...) {
        release_now(p, file);  // no thread or no room: release here
    }
}

std::size_t page_rounded(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

// Each live shared buffer holds a file descriptor; past this many, buffers
// get ordinary memory so that the process keeps descriptors for its own use.
constexpr std::size_t MAX_LIVE_BUFFERS = 256;

void* allocate_shared_pages(std::size_t bytes) {
    if (bytes < SHARED_PAGES_MIN || registry().live.load() >= MAX_LIVE_BUFFERS) return nullptr;
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
    release_later(p, file);
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
