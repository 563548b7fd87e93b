// Background-mesh build around a surface: a closed sphere of about 100,000
// triangles (radius 0.25 in the unit box, base grid 8 x 8 x 8, one leaf
// refinement, target levels 3 to 5) and the Stanford bunny (target level 6,
// no leaf refinement). Each case on the whole pool (threads 0) and on 1
// thread: the whole build_amr_forest, the surface passes alone, the balance,
// and one intersection marking plus flood fill on the final forest.
//
// The bunny STL is the first argument left after the benchmark flags, else
// $QUORIN_BUNNY_STL, else ../shared/data/bunny.stl.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorin/ibm/background_mesh.hpp"
#include "quorin/ibm/flood.hpp"
#include "quorin/parallel.hpp"
#include "quorin/surface/stl.hpp"
#include "../tests/cpp/uv_sphere.hpp"

namespace {

using namespace quorin;

std::string g_bunny_path = "../shared/data/bunny.stl";

IbmMesh sphere_mesh(const Vec3& c, double r, std::uint32_t rings, std::uint32_t segments) {
    testing::TriangleSoup s = testing::uv_sphere(c, r, rings, segments);
    const std::size_t n = s.triangles.size();
    return IbmMesh(s.vertices, s.triangles, {"_default"}, std::vector<std::uint64_t>(n, 0));
}

struct Case {
    BuildSettings settings;
    const IbmMesh* surface;
    Vec3 seed;  // a fluid point away from the surface
};

const Case& sphere_case() {
    static const IbmMesh sphere = sphere_mesh({0.5, 0.5, 0.5}, 0.25, 157, 320);  // 99,840 triangles
    static const Case c{
        BuildSettings{{{0, 0, 0}, {1, 1, 1}}, {8, 8, 8}, 1}, &sphere, {0.03, 0.03, 0.03}};
    return c;
}

const Case* bunny_case() {
    static const std::unique_ptr<IbmMesh> bunny = [] {
        auto r = mesh::load_stl(g_bunny_path);
        return r.ok() ? std::make_unique<IbmMesh>(std::move(r).value()) : nullptr;
    }();
    if (!bunny) return nullptr;
    static const Case c{
        BuildSettings{
            {{-9.912138, -5.081526, -8.009299}, {9.902513, 14.733124, 8.090105}}, {16, 16, 13}, 0},
        bunny.get(),
        {-9.8, -5.0, -7.9}};
    return &c;
}

Domain domain_of(const BuildSettings& s) {
    return Domain(s.bbox.min, s.bbox.max, s.base_res[0], s.base_res[1], s.base_res[2]);
}

template <class F>
auto on_threads(std::int64_t threads, F&& f) {
    if (threads == 0) return f();  // the process-wide pool
    return parallel::with_threads(static_cast<std::size_t>(threads), std::forward<F>(f));
}

void report(benchmark::State& state, std::size_t cells) {
    state.counters["cells"] = static_cast<double>(cells);
    state.counters["cells_per_s"] =
        benchmark::Counter(static_cast<double>(cells) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["threads"] =
        static_cast<double>(state.range(1) == 0 ? parallel::thread_count() : state.range(1));
}

// Forest after the surface passes, and after the whole build, per (case, level).
const Forest& after_surface(const Case& c, std::uint8_t level) {
    static std::map<std::pair<const Case*, int>, Forest> cache;
    const auto key = std::make_pair(&c, int(level));
    auto it = cache.find(key);
    if (it == cache.end()) {
        const auto& s = c.settings;
        Forest f(s.base_res[0], s.base_res[1], s.base_res[2]);
        background::surface_passes(f, domain_of(s), *c.surface, level, RigidPose::identity());
        it = cache.emplace(key, std::move(f)).first;
    }
    return it->second;
}

const Forest& final_forest(const Case& c, std::uint8_t level) {
    static std::map<std::pair<const Case*, int>, Forest> cache;
    const auto key = std::make_pair(&c, int(level));
    auto it = cache.find(key);
    if (it == cache.end()) {
        auto built = build_amr_forest(c.settings, *c.surface, level, {}, RigidPose::identity());
        it = cache.emplace(key, std::move(built.first)).first;
    }
    return it->second;
}

const Case* case_of(benchmark::State& state, int which) {
    const Case* c = which == 0 ? &sphere_case() : bunny_case();
    if (!c) state.SkipWithError(("cannot load " + g_bunny_path).c_str());
    return c;
}

// Arguments: target level, threads (0 = the whole pool).
template <int Which>
void BM_Build(benchmark::State& state) {
    const Case* c = case_of(state, Which);
    if (!c) return;
    const auto level = static_cast<std::uint8_t>(state.range(0));
    std::size_t cells = 0;
    for (auto _ : state) {
        auto built = on_threads(state.range(1), [&] {
            return build_amr_forest(c->settings, *c->surface, level, {}, RigidPose::identity());
        });
        cells = built.first.leaves.size();
        benchmark::DoNotOptimize(built.first.leaves.data());
    }
    report(state, cells);
}

template <int Which>
void BM_SurfacePasses(benchmark::State& state) {
    const Case* c = case_of(state, Which);
    if (!c) return;
    const auto level = static_cast<std::uint8_t>(state.range(0));
    const Domain d = domain_of(c->settings);
    const auto& s = c->settings;
    std::size_t cells = 0;
    for (auto _ : state) {
        Forest f = on_threads(state.range(1), [&] {
            Forest g(s.base_res[0], s.base_res[1], s.base_res[2]);
            background::surface_passes(g, d, *c->surface, level, RigidPose::identity());
            return g;
        });
        cells = f.leaves.size();
    }
    report(state, cells);
}

template <int Which>
void BM_Balance(benchmark::State& state) {
    const Case* c = case_of(state, Which);
    if (!c) return;
    const Forest& before = after_surface(*c, static_cast<std::uint8_t>(state.range(0)));
    std::size_t cells = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Forest f = before;
        state.ResumeTiming();
        on_threads(state.range(1), [&] {
            f.enforce_2_to_1_balance();
            return 0;
        });
        cells = f.leaves.size();
    }
    report(state, cells);
}

template <int Which>
void BM_MarkAndFill(benchmark::State& state) {
    const Case* c = case_of(state, Which);
    if (!c) return;
    const Forest& f = final_forest(*c, static_cast<std::uint8_t>(state.range(0)));
    const Domain d = domain_of(c->settings);
    for (auto _ : state) {
        on_threads(state.range(1), [&] {
            std::vector<CellStatus> status(f.leaves.size(), STATUS_DEFAULT);
            flood::mark_intersected_cells(f, d, RigidPose::identity(), *c->surface, status);
            if (auto err = flood::flood_fill(f, d, status, c->seed)) std::abort();
            benchmark::DoNotOptimize(status.data());
            return 0;
        });
    }
    report(state, f.leaves.size());
}

void sphere_args(benchmark::internal::Benchmark* b) {
    for (int level : {3, 4, 5}) {
        for (int threads : {0, 1}) b->Args({level, threads});
    }
    b->ArgNames({"level", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void bunny_args(benchmark::internal::Benchmark* b) {
    for (int threads : {0, 1}) b->Args({6, threads});
    b->ArgNames({"level", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Build<0>)->Name("sphere/build_amr_forest")->Apply(sphere_args);
BENCHMARK(BM_SurfacePasses<0>)->Name("sphere/surface_passes")->Apply(sphere_args);
BENCHMARK(BM_Balance<0>)->Name("sphere/balance")->Apply(sphere_args);
BENCHMARK(BM_MarkAndFill<0>)->Name("sphere/mark_and_flood_fill")->Apply(sphere_args);
BENCHMARK(BM_Build<1>)->Name("bunny/build_amr_forest")->Apply(bunny_args);
BENCHMARK(BM_SurfacePasses<1>)->Name("bunny/surface_passes")->Apply(bunny_args);
BENCHMARK(BM_Balance<1>)->Name("bunny/balance")->Apply(bunny_args);
BENCHMARK(BM_MarkAndFill<1>)->Name("bunny/mark_and_flood_fill")->Apply(bunny_args);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (const char* env = std::getenv("QUORIN_BUNNY_STL")) g_bunny_path = env;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("--", 0) == 0) {
            std::fprintf(stderr, "ibm_bench: unrecognised flag %s\n", argv[i]);
            return 1;
        }
        g_bunny_path = argv[i];
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
