// The process-wide worker pool and the ordered parallel loops built on it.
//
// Every helper here produces results in index order, with chunk boundaries
// that depend only on the input size, so outputs are identical for any
// number of threads. The pool is created on first use and sized by
// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPUs available to the
// process (affinity mask and cgroup CPU quota).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#include "quorin/memory.hpp"

namespace quorin::parallel {

// Number of worker threads of the process-wide pool.
std::size_t thread_count();

// Pool size the environment asks for: the rules above, without creating the pool.
std::size_t configured_thread_count();

// CPUs this process may run on: affinity mask, capped by a cgroup v1/v2 quota.
std::size_t available_cpus();

// The process-wide arena, created on first use.
tbb::task_arena& pool();

namespace detail {
// Set while the calling thread runs inside the process pool or a
// with_threads arena: nested loops then stay in that arena. (oneTBB's own
// thread index cannot tell: a thread that ever ran a parallel algorithm
// counts as attached to the default arena, which ignores the pool size.)
inline thread_local bool in_quorin_arena = false;

struct ArenaScope {
    bool saved = in_quorin_arena;
    ArenaScope() { in_quorin_arena = true; }
    ~ArenaScope() { in_quorin_arena = saved; }
    ArenaScope(const ArenaScope&) = delete;
    ArenaScope& operator=(const ArenaScope&) = delete;
};

inline bool inside_arena() { return in_quorin_arena; }

// Marks the worker threads of one arena as inside it while they work there.
class WorkerMarker : public tbb::task_scheduler_observer {
public:
    explicit WorkerMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    ~WorkerMarker() override { observe(false); }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) in_quorin_arena = true;
    }
    void on_scheduler_exit(bool is_worker) override {
        if (is_worker) in_quorin_arena = false;
    }
};

template <class F>
void run(F&& body) {
    if (inside_arena()) {
        body();
    } else {
        pool().execute([&] {
            ArenaScope scope;
            body();
        });
    }
}

inline std::size_t chunk_count(std::size_t n, std::size_t grain) {
    return (n + grain - 1) / grain;
}
}  // namespace detail

// Default chunk length of the ordered loops: small enough to balance, large
// enough that per-chunk overhead is negligible for per-cell work.
inline constexpr std::size_t DEFAULT_GRAIN = 2048;

// Calls body(begin, end) on consecutive chunks [k*grain, min(n, (k+1)*grain)).
template <class F>
void for_chunks(std::size_t n, std::size_t grain, F&& body) {
    if (n == 0) return;
    const std::size_t chunks = detail::chunk_count(n, grain);
    if (chunks == 1) {
        body(std::size_t{0}, n);
        return;
    }
    detail::run([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, chunks, 1),
            [&](const tbb::blocked_range<std::size_t>& r) {
                for (std::size_t c = r.begin(); c != r.end(); ++c) {
                    const std::size_t b = c * grain;
                    const std::size_t e = b + grain < n ? b + grain : n;
                    body(b, e);
                }
            },
            tbb::simple_partitioner());
    });
}

// Runs f and g at once on the pool (one after the other on one thread); both
// must be done with before either's results are read.
template <class F, class G>
void invoke(F&& f, G&& g) {
    detail::run([&] { tbb::parallel_invoke(f, g); });
}

// Calls body(i) for every i in [0, n).
template <class F>
void for_each_index(std::size_t n, F&& body, std::size_t grain = DEFAULT_GRAIN) {
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) body(i);
    });
}

// out[i] = f(i) for every i in [0, n), in index order.
template <class F>
auto map(std::size_t n, F&& f, std::size_t grain = DEFAULT_GRAIN) {
    using T = std::decay_t<decltype(f(std::size_t{0}))>;
    std::vector<T> out;
    out.reserve(n);
    out.resize(n);
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) out[i] = f(i);
    });
    return out;
}

// The same into a Buffer: no zero fill, each page first touched by the
// worker that writes it.
template <class F>
auto map_buffer(std::size_t n, F&& f, std::size_t grain = DEFAULT_GRAIN) {
    using T = std::decay_t<decltype(f(std::size_t{0}))>;
    Buffer<T> out(n);
    T* dst = out.data();
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i != e; ++i) dst[i] = f(i);
    });
    return out;
}

// Elements per chunk of the plain copies and fills: about 1 MiB.
template <class T>
inline constexpr std::size_t COPY_GRAIN =
    sizeof(T) >= (std::size_t{1} << 20) ? 1 : (std::size_t{1} << 20) / sizeof(T);

// dst[i] = src[i] for i in [0, n), in chunks of about 1 MiB on the pool.
template <class T>
void copy(const T* src, std::size_t n, T* dst) {
    static_assert(std::is_trivially_copyable_v<T>);
    for_chunks(n, COPY_GRAIN<T>, [&](std::size_t b, std::size_t e) {
        std::memcpy(dst + b, src + b, (e - b) * sizeof(T));
    });
}

// A Buffer holding a copy of `items`, copied on the pool.
template <class T>
Buffer<T> copied(std::span<const T> items) {
    Buffer<T> out(items.size());
    copy(items.data(), items.size(), out.data());
    return out;
}

// A Buffer of n copies of `value`, filled on the pool.
template <class T>
Buffer<T> filled(std::size_t n, T value) {
    Buffer<T> out(n);
    T* dst = out.data();
    for_chunks(n, COPY_GRAIN<T>, [&](std::size_t b, std::size_t e) {
        std::fill(dst + b, dst + e, value);
    });
    return out;
}

// Turns per-chunk counts into offsets in place: offset[c] becomes the sum of
// the counts before chunk c; returns the total. Serial: one entry per chunk.
inline std::size_t exclusive_scan(std::vector<std::size_t>& counts) {
    std::size_t total = 0;
    for (std::size_t& c : counts) {
        const std::size_t k = c;
        c = total;
        total += k;
    }
    return total;
}

// The concatenation of `parts` in order into a fresh Out (a std::vector or a
// Buffer), each part copied by the pool to its offset.
template <class Out, class Part>
Out concat(const std::vector<Part>& parts) {
    using T = typename Out::value_type;
    std::vector<std::size_t> offset(parts.size());
    for (std::size_t c = 0; c < parts.size(); ++c) offset[c] = parts[c].size();
    const std::size_t total = exclusive_scan(offset);
    Out out;
    out.reserve(total);
    out.resize(total);
    T* dst = out.data();
    for_chunks(parts.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c != e; ++c)
            std::copy(parts[c].begin(), parts[c].end(), dst + offset[c]);
    });
    return out;
}

// Variable-length results per index, concatenated in index order. body(i, sink)
// appends index i's results with sink.push_back(...); each chunk fills its own
// vector, so the inner loop allocates only when a chunk's buffer grows. The
// chunks are joined on the pool; Out = Buffer<T> also leaves the joined
// vector's pages to the workers that copy into them.
template <class T, class Out = std::vector<T>, class F>
Out collect(std::size_t n, F&& body, std::size_t grain = DEFAULT_GRAIN) {
    const std::size_t chunks = detail::chunk_count(n, grain);
    std::vector<std::vector<T>> parts(chunks);
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        std::vector<T>& sink = parts[b / grain];
        for (std::size_t i = b; i != e; ++i) body(i, sink);
    });
    return concat<Out>(parts);
}

// True when pred(i) holds for some i in [0, n). Stops early once found.
template <class F>
bool any_of(std::size_t n, F&& pred, std::size_t grain = DEFAULT_GRAIN) {
    std::atomic<bool> found{false};
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        if (found.load(std::memory_order_relaxed)) return;
        for (std::size_t i = b; i != e; ++i) {
            if (pred(i)) {
                found.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return found.load();
}

// Lowers `least` to k unless it is lower already; for loops that find the
// first index in order where something happened, from many threads.
inline void lower_to(std::atomic<std::size_t>& least, std::size_t k) {
    std::size_t seen = least.load();
    while (k < seen && !least.compare_exchange_weak(seen, k)) {
    }
}

// The number of i in [0, n) for which pred(i) holds.
template <class F>
std::size_t count_if(std::size_t n, F&& pred, std::size_t grain = DEFAULT_GRAIN) {
    std::atomic<std::size_t> total{0};
    for_chunks(n, grain, [&](std::size_t b, std::size_t e) {
        std::size_t c = 0;
        for (std::size_t i = b; i != e; ++i) c += pred(i) ? 1 : 0;
        total.fetch_add(c, std::memory_order_relaxed);
    });
    return total.load();
}

// Runs f with every parallel loop inside it on a private arena of `threads`
// threads (tests and benchmarks compare thread counts with it).
template <class F>
auto with_threads(std::size_t threads, F&& f) {
    tbb::task_arena arena(static_cast<int>(threads == 0 ? 1 : threads));
    arena.initialize();
    detail::WorkerMarker marker(arena);
    return arena.execute([&] {
        detail::ArenaScope scope;
        return f();
    });
}

}  // namespace quorin::parallel
