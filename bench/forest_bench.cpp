// Forest kernels: uniform refinement, refinement around a spherical shell,
// 2:1 balance and face-neighbour enumeration, each on 1 thread and on the
// whole pool (argument 0).
#include <algorithm>
#include <atomic>

#include <benchmark/benchmark.h>

#include "quorin/forest/domain.hpp"
#include "quorin/forest/forest.hpp"
#include "quorin/forest/neighbour.hpp"
#include "quorin/parallel.hpp"

namespace {

using namespace quorin;

std::size_t threads_of(const benchmark::State& state) {
    return state.range(0) == 0 ? parallel::thread_count() : static_cast<std::size_t>(state.range(0));
}

void uniform(Forest& f, int levels) {
    for (int l = 0; l < levels; ++l) {
        const std::vector<std::uint8_t> flags(f.num_cells(), 1);
        f.refine_by_flags(flags);
    }
}

// A leaf below level 8 is refined when the sphere of radius 0.6 about
// (1, 1, 1) passes through its box: dmin^2 <= r^2 <= dmax^2.
bool cuts_shell(const Domain& d, SfcKey k) {
    if (k.level() >= 8) return false;
    const CellBox b = d.cell_box(k);
    double dmin = 0, dmax = 0;
    for (int a = 0; a < 3; ++a) {
        const double lo = b.min[a] - 1.0, hi = b.max[a] - 1.0;
        const double near = lo > 0 ? lo : (hi < 0 ? -hi : 0.0);
        const double far = std::max(-lo, hi);
        dmin += near * near;
        dmax += far * far;
    }
    const double r2 = 0.6 * 0.6;
    return dmin <= r2 && r2 <= dmax;
}

const Domain& shell_domain() {
    static const Domain d({0, 0, 0}, {2, 2, 2}, 2, 2, 2);
    return d;
}

Forest shell_forest() {
    Forest f(2, 2, 2);
    for (;;) {
        const auto flags = parallel::map(f.num_cells(), [&](std::size_t i) {
            return static_cast<std::uint8_t>(cuts_shell(shell_domain(), f.leaves[i]));
        });
        if (std::find(flags.begin(), flags.end(), 1) == flags.end()) return f;
        f.refine_by_flags(flags);
    }
}

void set_rate(benchmark::State& state, std::size_t leaves) {
    state.counters["leaves"] = static_cast<double>(leaves);
    state.counters["leaves_per_s"] =
        benchmark::Counter(static_cast<double>(leaves), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_UniformLevel7(benchmark::State& state) {
    parallel::with_threads(threads_of(state), [&] {
        std::size_t leaves = 0;
        for (auto _ : state) {
            Forest f(1, 1, 1);
            uniform(f, 7);
            leaves = f.num_cells();
            benchmark::DoNotOptimize(f.leaves.data());
        }
        set_rate(state, leaves);
    });
    state.counters["threads"] = static_cast<double>(threads_of(state));
}

void BM_ShellRefineLevel8(benchmark::State& state) {
    parallel::with_threads(threads_of(state), [&] {
        std::size_t leaves = 0;
        for (auto _ : state) {
            Forest f = shell_forest();
            leaves = f.num_cells();
            benchmark::DoNotOptimize(f.leaves.data());
        }
        set_rate(state, leaves);
    });
    state.counters["threads"] = static_cast<double>(threads_of(state));
}

void BM_ShellBalance(benchmark::State& state) {
    const Forest refined = shell_forest();
    parallel::with_threads(threads_of(state), [&] {
        std::size_t leaves = 0;
        for (auto _ : state) {
            state.PauseTiming();
            Forest f = refined;
            state.ResumeTiming();
            f.enforce_2_to_1_balance();
            leaves = f.num_cells();
            benchmark::DoNotOptimize(f.leaves.data());
        }
        state.counters["leaves_before"] = static_cast<double>(refined.num_cells());
        set_rate(state, leaves);
    });
    state.counters["threads"] = static_cast<double>(threads_of(state));
}

void BM_ShellFaceNeighbours(benchmark::State& state) {
    static const Forest balanced = [] {
        Forest f = shell_forest();
        f.enforce_2_to_1_balance();
        return f;
    }();
    parallel::with_threads(threads_of(state), [&] {
        std::uint64_t total = 0;
        for (auto _ : state) {
            const auto counts = parallel::map(balanced.num_cells(), [&](std::size_t c) {
                std::uint32_t n = 0;
                for (FaceDir d = 0; d < FACE_DIR_COUNT; ++d)
                    n += static_cast<std::uint32_t>(neighbour::face_neighbour_ids(balanced, c, d).size());
                return n;
            });
            total = 0;
            for (const auto n : counts) total += n;
            benchmark::DoNotOptimize(total);
        }
        state.counters["neighbours"] = static_cast<double>(total);
        set_rate(state, balanced.num_cells());
    });
    state.counters["threads"] = static_cast<double>(threads_of(state));
}

}  // namespace

BENCHMARK(BM_UniformLevel7)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellRefineLevel8)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellBalance)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShellFaceNeighbours)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
