// Surface engine figures on a closed sphere of about 1,000,000 triangles:
// hierarchy build, box tests over a uniform level-7 grid, ray casts (13 from
// each of 1e6 points) and projections of 1e6 points near the surface. Each
// runs on all threads (first argument 0) and on one thread (1); rays and
// projections also in random order and in Morton order (second argument).
// The inside test's crossing counts run on one thread, replayed and literal.
#include <algorithm>
#include <string>
#include <utility>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "quorin/parallel.hpp"
#include "quorin/ibm/inside.hpp"
#include "quorin/surface/bvh.hpp"
#include "quorin/surface/ibm_mesh.hpp"
#include "../tests/cpp/uv_sphere.hpp"

namespace quorin {
namespace {

constexpr int NLAT = 500;
constexpr int NLON = 1000;  // 2·NLON·(NLAT − 1) = 998,000 triangles
constexpr double RADIUS = 1.0;
constexpr std::size_t POINTS = 1000000;
constexpr int GRID_LEVEL = 7;

using Sphere = testing::TriangleSoup;

const Sphere& sphere() {
    static const Sphere s = testing::uv_sphere({0, 0, 0}, RADIUS, NLAT, NLON);
    return s;
}

const TriMesh& mesh() {
    static const TriMesh m(sphere().vertices, sphere().triangles);
    return m;
}

// Runs f on all threads (threads == 0) or on a private arena of that size.
template <class F>
auto on_threads(std::int64_t threads, F&& f) {
    if (threads == 0) return f();
    return parallel::with_threads(static_cast<std::size_t>(threads), f);
}

void label(benchmark::State& state, bool with_order = false) {
    const auto t = state.range(0);
    std::string text = t == 0 ? std::to_string(parallel::thread_count()) + " threads" : std::to_string(t) + " thread";
    if (with_order) text += state.range(1) ? ", Morton order" : ", random order";
    state.SetLabel(text);
}

void BM_Build(benchmark::State& state) {
    const Sphere& s = sphere();
    for (auto _ : state) {
        auto m = on_threads(state.range(0), [&] { return TriMesh(s.vertices, s.triangles); });
        benchmark::DoNotOptimize(m.node_count());
    }
    state.counters["triangles"] = static_cast<double>(s.triangles.size());
    state.counters["nodes"] = static_cast<double>(mesh().node_count());
    state.counters["depth"] = static_cast<double>(mesh().depth());
    label(state);
}

void BM_BoxGrid(benchmark::State& state) {
    const TriMesh& m = mesh();
    const std::size_t n = std::size_t{1} << GRID_LEVEL;
    const std::size_t boxes = n * n * n;
    const double size = 2 * RADIUS / static_cast<double>(n);
    const Vec3 half{size / 2, size / 2, size / 2};
    std::size_t cut = 0;
    for (auto _ : state) {
        const auto flags = on_threads(state.range(0), [&] {
            return parallel::map(boxes, [&](std::size_t i) -> std::uint8_t {
                const std::size_t x = i % n, y = (i / n) % n, z = i / (n * n);
                const Vec3 c{-RADIUS + (static_cast<double>(x) + 0.5) * size, -RADIUS + (static_cast<double>(y) + 0.5) * size,
                             -RADIUS + (static_cast<double>(z) + 0.5) * size};
                return m.intersects_box(c, half, RigidPose::identity()) ? 1 : 0;
            });
        });
        cut = 0;
        for (auto f : flags) cut += f;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * boxes));
    state.counters["boxes"] = static_cast<double>(boxes);
    state.counters["cut"] = static_cast<double>(cut);
    label(state);
}

// The 13 fixed directions of the inside test.
constexpr double A = 0.9927789747206318, B = 0.1092056872192695, E = 0.04963894873603159, C = 0.5773502691896258;
constexpr Vec3 DIRECTIONS[13] = {{A, B, E},  {-A, -E, B}, {E, A, -B},   {-B, -A, E},  {B, E, A},
                                 {-E, -B, -A}, {C, C, C},   {-C, -C, -C}, {C, -C, C},   {-C, C, -C},
                                 {C, C, -C},  {-C, -C, C}, {-C, C, C}};

// Points in the order of a Morton curve over the sphere's box, like the
// queries of a cell loop that runs in key order.
void morton_sort(std::vector<Vec3>& p) {
    const auto key = [](const Vec3& q) {
        std::uint64_t k = 0;
        std::uint32_t c[3];
        for (int a = 0; a < 3; ++a) c[a] = static_cast<std::uint32_t>((q[a] + 1.5 * RADIUS) / (3 * RADIUS) * 1048576.0);
        for (int b = 19; b >= 0; --b)
            for (int a = 2; a >= 0; --a) k = (k << 1) | ((c[a] >> b) & 1u);
        return k;
    };
    std::vector<std::pair<std::uint64_t, Vec3>> keyed(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) keyed[i] = {key(p[i]), p[i]};
    std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = keyed[i].second;
}

std::vector<Vec3> points_in_box(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.2 * RADIUS, 1.2 * RADIUS);
    std::vector<Vec3> p(POINTS);
    for (auto& q : p) q = {u(rng), u(rng), u(rng)};
    return p;
}

std::vector<Vec3> points_near_surface(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> g(0, 1);
    std::uniform_real_distribution<double> shell(0.98, 1.02);
    std::vector<Vec3> p(POINTS);
    for (auto& q : p) {
        Vec3 d{g(rng), g(rng), g(rng)};
        const double l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        const double r = RADIUS * shell(rng) / l;
        q = {d[0] * r, d[1] * r, d[2] * r};
    }
    return p;
}

void BM_Rays(benchmark::State& state) {
    const TriMesh& m = mesh();
    static const std::vector<Vec3> random_points = points_in_box(1);
    static const std::vector<Vec3> sorted_points = [] {
        auto p = points_in_box(1);
        morton_sort(p);
        return p;
    }();
    const std::vector<Vec3>& points = state.range(1) ? sorted_points : random_points;
    std::size_t hits = 0;
    for (auto _ : state) {
        const auto counts = on_threads(state.range(0), [&] {
            return parallel::map(points.size(), [&](std::size_t i) -> std::uint8_t {
                std::uint8_t h = 0;
                for (const Vec3& d : DIRECTIONS) h += m.cast_ray(points[i], d, 1e6).has_value();
                return h;
            }, 256);
        });
        hits = 0;
        for (auto c : counts) hits += c;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points.size() * 13));
    state.counters["rays"] = static_cast<double>(points.size() * 13);
    state.counters["hits"] = static_cast<double>(hits);
    label(state, true);
}

void BM_Project(benchmark::State& state) {
    const TriMesh& m = mesh();
    static const std::vector<Vec3> random_points = points_near_surface(2);
    static const std::vector<Vec3> sorted_points = [] {
        auto p = points_near_surface(2);
        morton_sort(p);
        return p;
    }();
    const std::vector<Vec3>& points = state.range(1) ? sorted_points : random_points;
    double worst = 0;
    for (auto _ : state) {
        const auto d = on_threads(state.range(0), [&] {
            return parallel::map(points.size(), [&](std::size_t i) {
                const Vec3 q = m.project_point(points[i]).point;
                return std::hypot(q[0] - points[i][0], q[1] - points[i][1], q[2] - points[i][2]);
            }, 1024);
        });
        worst = 0;
        for (double x : d) worst = std::max(worst, x);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points.size()));
    state.counters["points"] = static_cast<double>(points.size());
    state.counters["max_dist"] = worst;
    label(state, true);
}

// Crossing counts of the inside test's rays from points near the surface,
// replayed from one traversal (second argument 0) or cast literally (1).
void BM_Crossings(benchmark::State& state) {
    static const IbmMesh surface(sphere().vertices, sphere().triangles, {"_default"},
                                 std::vector<std::uint64_t>(sphere().triangles.size(), 0));
    static const std::vector<Vec3> points = [] {
        auto p = points_near_surface(3);
        p.resize(200000);
        morton_sort(p);
        return p;
    }();
    const bool literal = state.range(1) != 0;
    std::size_t odd = 0;
    for (auto _ : state) {
        const auto counts = on_threads(state.range(0), [&] {
            return parallel::map(points.size(), [&](std::size_t i) -> std::uint8_t {
                std::uint8_t n = 0;
                for (const Vec3& d : gcibm::INSIDE_TEST_DIRECTIONS) {
                    const unsigned c = literal ? gcibm::ray_crossings_literal(points[i], d, surface, RigidPose::identity())
                                               : gcibm::ray_crossings(points[i], d, surface, RigidPose::identity());
                    n += c % 2;
                }
                return n;
            }, 256);
        });
        odd = 0;
        for (auto c : counts) odd += c;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points.size() * 13));
    state.counters["odd_rays"] = static_cast<double>(odd);
    state.SetLabel((state.range(0) == 0 ? std::to_string(parallel::thread_count()) + " threads" : "1 thread") +
                   (literal ? ", literal casts" : ", one traversal"));
}

BENCHMARK(BM_Build)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BoxGrid)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_Rays)->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Crossings)->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Project)->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
}  // namespace quorin

BENCHMARK_MAIN();
