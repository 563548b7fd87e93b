// Releasing large blocks off the caller's thread. Giving pages back to the
// system costs the thread that does it far more in a process whose threads
// ran on several cores (the release must flush those cores' address
// translations) than in a single-threaded one: 16 ms against 0.4 ms for the
// 160 MB of a level-7 forest, and 2 ms against 0.3 ms per trimmed heap,
// measured here. The pool waits for the thread that releases between its
// parallel loops, so large releases go to one background thread instead.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace quorin {

// Blocks from this size on are released in the background.
inline constexpr std::size_t BACKGROUND_RELEASE_MIN = std::size_t{1} << 20;

namespace background_release {

// Queues `job` for the background thread; false (nothing queued) where there
// is no such thread to be had (a forked child, or no memory for the queue).
bool enqueue(std::function<void()>& job) noexcept;

}  // namespace background_release

// Runs `release` on the background thread, soon, or here when it cannot be
// queued. `release` must not throw.
template <class F>
void release_in_background(F&& release) noexcept {
    try {
        std::function<void()> job(std::forward<F>(release));
        if (background_release::enqueue(job)) return;
    } catch (...) {
    }
    release();
}

// Returns once every release queued before the call has run.
void wait_for_background_releases() noexcept;

}  // namespace quorin
