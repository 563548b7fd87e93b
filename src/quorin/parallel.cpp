#include "quorin/parallel.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include <tbb/global_control.h>

namespace quorin::parallel {
namespace {

// A positive integer from the environment, or none when unset, empty, zero or
// not a number (then the next rule applies).
std::optional<std::size_t> env_count(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return std::nullopt;
    std::string_view text(raw);
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

std::size_t affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// ceil(quota / period), or none without a limit.
std::optional<std::size_t> quota_cpus(double quota, double period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    const double cpus = quota / period;
    return static_cast<std::size_t>(std::max(1.0, std::ceil(cpus)));
}

std::optional<std::size_t> cgroup_v2_cpus() {
    std::ifstream in("/sys/fs/cgroup/cpu.max");
    std::string quota;
    double period = 0;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    return quota_cpus(std::atof(quota.c_str()), period);
}

std::optional<std::size_t> cgroup_v1_cpus() {
    std::ifstream q("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    std::ifstream p("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (!(q >> quota) || !(p >> period)) return std::nullopt;
    return quota_cpus(quota, period);
}

}  // namespace

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpus();
    if (auto v2 = cgroup_v2_cpus()) {
        cpus = std::min(cpus, *v2);
    } else if (auto v1 = cgroup_v1_cpus()) {
        cpus = std::min(cpus, *v1);
    }
    return std::max<std::size_t>(cpus, 1);
}

std::size_t configured_thread_count() {
    if (auto n = env_count("RAYON_NUM_THREADS")) return *n;
    if (auto n = env_count("RAYON_RS_NUM_CPUS")) return *n;
    return available_cpus();
}

tbb::task_arena& pool() {
    static std::once_flag once;
    static std::unique_ptr<tbb::global_control> limit;
    static std::unique_ptr<tbb::task_arena> arena;
    static std::unique_ptr<detail::WorkerMarker> marker;
    std::call_once(once, [] {
        const std::size_t n = configured_thread_count();
        // oneTBB caps every arena at the hardware concurrency unless told
        // otherwise; lift the cap so that a larger requested pool is honoured
        // (and private arenas of with_threads are not limited by a small one).
        const std::size_t hw = std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
        limit = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, std::max(n, hw));
        arena = std::make_unique<tbb::task_arena>(static_cast<int>(n));
        arena->initialize();
        marker = std::make_unique<detail::WorkerMarker>(*arena);
    });
    return *arena;
}

std::size_t thread_count() {
    return static_cast<std::size_t>(pool().max_concurrency());
}

}  // namespace quorin::parallel
