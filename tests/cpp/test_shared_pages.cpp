// Buffers on shared pages and their copy-on-write copies: the copies read
// the buffer's contents, writes to a copy stay in that copy, and every size
// maps whole (small buffers on one memory file, large ones over several).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

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

}  // namespace
}  // namespace quorin
