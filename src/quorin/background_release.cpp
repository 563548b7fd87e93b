#include "quorin/background_release.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace quorin {

namespace {

// The thread is started on first use and never ends. A forked child, which
// has no such thread (and whose copy of the queue's lock may be held),
// releases its blocks itself.
struct Releaser {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> queue;
    std::size_t running = 0;  // jobs taken off the queue and not yet done
    std::atomic<pid_t> owner{0};  // the process whose thread serves the queue
};

// Set on the background thread: a job that ends up waiting for the queue
// (an allocation running out of memory inside a destructor) must not wait
// for itself.
thread_local bool on_background_thread = false;

Releaser& releaser() {
    static Releaser* r = new Releaser;  // the thread may outlive static destruction
    return *r;
}

void serve(Releaser* r) {
    on_background_thread = true;
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(r->mutex);
            r->wake.wait(lock, [&] { return !r->queue.empty(); });
            job = std::move(r->queue.front());
            r->queue.pop_front();
            ++r->running;
        }
        job();
        job = nullptr;
        {
            const std::lock_guard<std::mutex> lock(r->mutex);
            --r->running;
        }
        r->idle.notify_all();
    }
}

}  // namespace

namespace background_release {

bool enqueue(std::function<void()>& job) noexcept {
    Releaser& r = releaser();
    const pid_t self = ::getpid();
    const pid_t owner = r.owner.load();
    if (owner != 0 && owner != self) return false;
    try {
        std::unique_lock<std::mutex> lock(r.mutex);
        if (r.owner.load() == 0) {
            std::thread(serve, &r).detach();
            r.owner.store(self);
        }
        r.queue.push_back(std::move(job));
        lock.unlock();
        r.wake.notify_one();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace background_release

void wait_for_background_releases() noexcept {
    Releaser& r = releaser();
    if (on_background_thread || r.owner.load() != ::getpid()) return;
    std::unique_lock<std::mutex> lock(r.mutex);
    r.idle.wait(lock, [&] { return r.queue.empty() && r.running == 0; });
}

}  // namespace quorin
