// Buffers on shared pages and their copy-on-write copies: the copies read
// the buffer's contents, writes to a copy stay in that copy, and every size
// maps whole (small buffers on one memory file, large ones over several).
// Released buffers serve again only inside a reuse scope, only without a
// live copy, and never across a fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>

#include "quorin/background_release.hpp"
#include "quorin/memory.hpp"
#include "quorin/shared_pages.hpp"

namespace quorin {
namespace {

TEST(SharedPages, CopiesReadTheBufferAndKeepTheirWrites) {
    // One file, several files, and a size that ends inside a page.
    for (const std::size_t bytes : {std::size_t{3} << 20, (std::size_t{100} << 20) + 12345}) {
        auto* buffer = static_cast<std::uint8_t*>(allocate_shared_pages(bytes));
        ASSERT_NE(buffer, nullptr) << bytes;
        for (std::size_t i = 0; i < bytes; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + 3);
        auto* a = static_cast<std::uint8_t*>(map_private_copy(buffer, bytes));
        auto* b = static_cast<std::uint8_t*>(map_private_copy(buffer, bytes / 2));
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::memcmp(a, buffer, bytes), 0);
        EXPECT_EQ(std::memcmp(b, buffer, bytes / 2), 0);
        std::memset(a, 0xAB, bytes);
        for (std::size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(buffer[i], static_cast<std::uint8_t>(i * 7 + 3));
        for (std::size_t i = 0; i < bytes / 2; i += 4093) ASSERT_EQ(b[i], static_cast<std::uint8_t>(i * 7 + 3));
        // A copy outlives the buffer.
        EXPECT_TRUE(release_shared_pages(buffer));
        for (std::size_t i = 0; i < bytes / 2; i += 4093) ASSERT_EQ(b[i], static_cast<std::uint8_t>(i * 7 + 3));
        EXPECT_EQ(a[bytes - 1], 0xAB);
        release_private_copy(a, bytes);
        release_private_copy(b, bytes / 2);
    }
}

TEST(SharedPages, OrdinaryMemoryIsNeitherReleasedNorMapped) {
    int local = 0;
    EXPECT_FALSE(release_shared_pages(&local));
    EXPECT_EQ(map_private_copy(&local, sizeof local), nullptr);
    EXPECT_EQ(allocate_shared_pages(100), nullptr);  // too small to be worth a file
    // A buffer sized through the allocator goes back through it.
    Buffer<double> v(Buffer<double>::allocator_type::shared_pages());
    v.resize(std::size_t{1} << 20);
    v[12345] = 2.5;
    auto* copy = static_cast<double*>(map_private_copy(v.data(), v.size() * sizeof(double)));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy[12345], 2.5);
    release_private_copy(copy, v.size() * sizeof(double));
}

constexpr std::size_t MIB = std::size_t{1} << 20;

bool all_bytes(const std::uint8_t* p, std::size_t bytes, std::uint8_t value) {
    for (std::size_t i = 0; i < bytes; ++i) {
        if (p[i] != value) return false;
    }
    return true;
}

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::uint8_t* filled_shared(std::size_t bytes, std::uint8_t value) {
    auto* p = static_cast<std::uint8_t*>(allocate_shared_pages(bytes));
    if (p != nullptr) std::memset(p, value, bytes);
    return p;
}

TEST(SharedPages, ReleasedBuffersServeAgainOnlyWithoutALiveCopy) {
    wait_for_background_releases();
    const std::size_t before = resident_bytes();
    {
        const SharedPagesReuse reuse;
        std::uint8_t* a = filled_shared(64 * MIB, 1);
        ASSERT_NE(a, nullptr);
        ASSERT_TRUE(release_shared_pages(a));
        // A little larger than before: the old buffer serves.
        std::uint8_t* b = filled_shared(64 * MIB + MIB, 2);
        EXPECT_EQ(b, a);
        // A buffer with a live copy is not taken: the copy keeps its contents.
        std::uint8_t* c = filled_shared(64 * MIB, 3);
        ASSERT_NE(c, nullptr);
        EXPECT_NE(c, a);
        auto* copy = static_cast<std::uint8_t*>(map_private_copy(c, 64 * MIB));
        ASSERT_NE(copy, nullptr);
        ASSERT_TRUE(release_shared_pages(c));
        std::uint8_t* d = filled_shared(64 * MIB, 4);
        EXPECT_NE(d, c);
        EXPECT_TRUE(all_bytes(copy, 64 * MIB, 3));
        release_private_copy(copy, 64 * MIB);
        // Far smaller than any kept buffer: a new one.
        std::uint8_t* e = filled_shared(2 * MIB, 5);
        EXPECT_NE(e, b);
        EXPECT_NE(e, d);
        for (std::uint8_t* p : {b, d, e}) EXPECT_TRUE(release_shared_pages(p));
    }
    // Buffers kept and not taken are given back once the scope ends.
    wait_for_background_releases();
    EXPECT_LT(resident_bytes(), before + 32 * MIB);
}

TEST(SharedPages, AForkedChildNeverReusesBuffersMadeBeforeTheFork) {
    std::uint8_t* a = filled_shared(8 * MIB, 5);
    ASSERT_NE(a, nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child's mapping of `a` shares its pages with the parent's: a
        // new buffer written over them would show in the parent.
        const SharedPagesReuse reuse;
        release_shared_pages(a);
        ::_exit(filled_shared(8 * MIB, 9) == nullptr ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(all_bytes(a, 8 * MIB, 5));
    EXPECT_TRUE(release_shared_pages(a));
}

}  // namespace
}  // namespace quorin
