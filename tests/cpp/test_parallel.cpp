#include <cstdlib>
#include <numeric>

#include <gtest/gtest.h>

#include "quorin/parallel.hpp"

namespace quorin {
namespace {

TEST(Parallel, MapKeepsIndexOrder) {
    for (std::size_t threads : {1u, 8u}) {
        const auto out = parallel::with_threads(threads, [] {
            return parallel::map(100000, [](std::size_t i) { return i * i; }, 64);
        });
        ASSERT_EQ(out.size(), 100000u);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i * i);
    }
    EXPECT_TRUE(parallel::map(0, [](std::size_t i) { return i; }).empty());
}

TEST(Parallel, CollectConcatenatesInIndexOrder) {
    auto run = [](std::size_t threads) {
        return parallel::with_threads(threads, [] {
            return parallel::collect<std::size_t>(50000, [](std::size_t i, std::vector<std::size_t>& sink) {
                for (std::size_t k = 0; k < i % 4; ++k) sink.push_back(i);
            }, 100);
        });
    };
    const auto one = run(1);
    std::vector<std::size_t> want;
    for (std::size_t i = 0; i < 50000; ++i)
        for (std::size_t k = 0; k < i % 4; ++k) want.push_back(i);
    EXPECT_EQ(one, want);
    EXPECT_EQ(run(8), want);
}

TEST(Parallel, AnyOf) {
    EXPECT_FALSE(parallel::any_of(0, [](std::size_t) { return true; }));
    EXPECT_FALSE(parallel::any_of(100000, [](std::size_t) { return false; }));
    EXPECT_TRUE(parallel::any_of(100000, [](std::size_t i) { return i == 99999; }));
}

TEST(Parallel, PoolSizeFromEnvironment) {
    // Only the rules are checked; the pool itself may already exist.
    const char* saved_a = std::getenv("RAYON_NUM_THREADS");
    const char* saved_b = std::getenv("RAYON_RS_NUM_CPUS");
    const std::string a = saved_a ? saved_a : "", b = saved_b ? saved_b : "";
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    EXPECT_EQ(parallel::configured_thread_count(), 3u);
    ::setenv("RAYON_NUM_THREADS", "0", 1);
    EXPECT_EQ(parallel::configured_thread_count(), 5u);
    ::setenv("RAYON_NUM_THREADS", "x", 1);
    ::unsetenv("RAYON_RS_NUM_CPUS");
    EXPECT_EQ(parallel::configured_thread_count(), parallel::available_cpus());
    saved_a ? ::setenv("RAYON_NUM_THREADS", a.c_str(), 1) : ::unsetenv("RAYON_NUM_THREADS");
    saved_b ? ::setenv("RAYON_RS_NUM_CPUS", b.c_str(), 1) : ::unsetenv("RAYON_RS_NUM_CPUS");
    EXPECT_GE(parallel::available_cpus(), 1u);
    EXPECT_GE(parallel::thread_count(), 1u);
}

}  // namespace
}  // namespace quorin
