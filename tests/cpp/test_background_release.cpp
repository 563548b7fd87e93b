// Releases handed to the background thread: they run off the caller's
// thread, all of them, an allocation that runs out of memory waits for them,
// a forked child (which has no such thread) runs its own at once, and the
// pages given back before a free are only those wholly inside the block.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quorin/background_release.hpp"
#include "quorin/memory.hpp"

namespace quorin {
namespace {

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::size_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(BackgroundRelease, JobsRunOffTheCallerInOrderAndAreAllWaitedFor) {
    std::vector<int> order;
    std::atomic<int> off_caller{0};
    const std::thread::id caller = std::this_thread::get_id();
    for (int i = 0; i < 100; ++i) {
        release_in_background([&order, &off_caller, caller, i] {
            order.push_back(i);
            if (std::this_thread::get_id() != caller) ++off_caller;
        });
    }
    // A job that waits for the queue itself does not wait for itself.
    release_in_background([] { wait_for_background_releases(); });
    wait_for_background_releases();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(off_caller.load(), 100);
}

TEST(BackgroundRelease, LargeBuffersFreedInTheBackgroundAreAllGivenBack) {
    // 64 buffers of 8 MiB, each written whole and dropped: were any of them
    // lost on the way, half a gigabyte would stay resident.
    constexpr std::size_t BYTES = std::size_t{8} << 20;
    wait_for_background_releases();
    const std::size_t before = resident_bytes();
    for (int round = 0; round < 64; ++round) {
        Buffer<std::uint8_t> big(BYTES);
        std::memset(big.data(), round + 1, BYTES);
    }
    wait_for_background_releases();
    EXPECT_LT(resident_bytes(), before + (std::size_t{64} << 20));
}

TEST(BackgroundRelease, GivingPagesBackTouchesOnlyTheWholePagesInside) {
    // Blocks rarely start or end on a page boundary, and the partial pages at
    // their ends hold other allocations: those bytes must survive.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* base = static_cast<std::uint8_t*>(std::aligned_alloc(page, 6 * page));
    ASSERT_NE(base, nullptr);
    std::memset(base, 0xAB, 6 * page);
    const std::size_t begin = page + 100, bytes = 3 * page + 50;  // whole pages 2 and 3 inside
    give_back_pages(base + begin, bytes);
    for (std::size_t i = 0; i < 6 * page; ++i) {
        const bool whole_page_inside = i >= 2 * page && i < 4 * page;
        ASSERT_EQ(base[i], whole_page_inside ? 0 : 0xAB) << "byte " << i;
    }
    // A range inside one page gives nothing back.
    std::memset(base, 0xCD, 6 * page);
    give_back_pages(base + 10, page - 20);
    for (std::size_t i = 0; i < 6 * page; ++i) ASSERT_EQ(base[i], 0xCD) << "byte " << i;
    std::free(base);
}

TEST(BackgroundRelease, AnAllocationThatRunsOutWaitsForPendingFrees) {
    constexpr std::size_t BYTES = std::size_t{256} << 20;
    wait_for_background_releases();
    Buffer<std::uint8_t> first(BYTES);
    first[0] = 1;
    // Room for half a block more than is mapped now: the second block fits
    // only once the first is unmapped, which the busy background thread
    // does only after a while.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_AS, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = mapped_bytes() + BYTES / 2;
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &tight), 0);
    release_in_background([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
    first = Buffer<std::uint8_t>();
    bool allocated = false;
    try {
        Buffer<std::uint8_t> second(BYTES);
        second[BYTES - 1] = 2;
        allocated = true;
    } catch (const std::bad_alloc&) {
    }
    ::setrlimit(RLIMIT_AS, &old);
    EXPECT_TRUE(allocated);
}

TEST(BackgroundRelease, AForkedChildReleasesAtOnce) {
    release_in_background([] {});  // the parent's thread exists before the fork
    wait_for_background_releases();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool ran_here = false;
        const std::thread::id self = std::this_thread::get_id();
        release_in_background([&] { ran_here = std::this_thread::get_id() == self; });
        Buffer<std::uint8_t> big(std::size_t{4} << 20);
        big[0] = 1;
        big = Buffer<std::uint8_t>();
        ::_exit(ran_here ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quorin
