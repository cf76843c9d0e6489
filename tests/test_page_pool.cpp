// A worker's page pool: blocks come back cleared, go only to requests
// they suit, and never keep more than their cap between files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "picture/page_pool.h"
#include "picture/picture.h"

namespace vrelk {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

bool allZero(const PageBuffer& buffer)
{
    return std::all_of(buffer.data(), buffer.data() + buffer.size(), [](std::uint8_t byte) { return byte == 0; });
}

TEST(PagePool, AReusedBlockComesBackClearedOnlyForRequestsItSuits)
{
    PagePool pool(64 * kMiB);
    const PagePool::Use use(&pool);
    PageBuffer first = PageBuffer::allocate(12 * kMiB + 5);
    ASSERT_TRUE(first);
    const std::uint8_t* block = first.data();
    std::memset(first.data(), 0xA5, first.size());
    first.reset();
    EXPECT_EQ(pool.keptBytes(), 12 * kMiB + (std::size_t{64} << 10));

    const struct {
        std::size_t size;
        bool reused;
    } cases[] = {
        {12 * kMiB + 5, true},    // the same picture again
        {12 * kMiB + 9000, true}, // a few rows taller, within the block's last granule
        {7 * kMiB, true},         // at least half the block
        {5 * kMiB, false},        // would keep the block from a larger buffer
        {13 * kMiB, false},       // larger than the block
    };
    for (const auto& c : cases) {
        PageBuffer again = PageBuffer::allocate(c.size);
        ASSERT_TRUE(again) << c.size;
        EXPECT_EQ(again.size(), c.size);
        EXPECT_EQ(again.data() == block, c.reused) << c.size;
        EXPECT_TRUE(allZero(again)) << c.size;
        std::memset(again.data(), 0x5A, again.size());
    }
}

TEST(PagePool, KeepsAtMostItsCapAndNothingOutsideItsThread)
{
    PagePool pool(10 * kMiB);
    {
        const PagePool::Use use(&pool);
        std::vector<PageBuffer> buffers;
        for (std::size_t megabytes : {4, 4, 4, 16})
            buffers.push_back(PageBuffer::allocate(megabytes * kMiB));
        buffers.clear();
        EXPECT_LE(pool.keptBytes(), 10 * kMiB) << "the 16 MiB block and the oldest 4 MiB one go back";
        EXPECT_GT(pool.keptBytes(), 0u);

        PageBuffer small = PageBuffer::allocate(4096);
        const std::size_t kept = pool.keptBytes();
        small.reset();
        EXPECT_EQ(pool.keptBytes(), kept) << "small buffers are not pooled";
        {
            const PagePool::Use none(nullptr);
            PageBuffer fresh = PageBuffer::allocate(4 * kMiB);
            fresh.reset();
            EXPECT_EQ(pool.keptBytes(), kept) << "without a pool, pages go back to the system";
        }
        PageBuffer restored = PageBuffer::allocate(4 * kMiB);
        EXPECT_EQ(pool.keptBytes(), kept - 4 * kMiB) << "the outer pool is in use again";
    }
    PageBuffer outside = PageBuffer::allocate(4 * kMiB);
    outside.reset();
    EXPECT_LE(pool.keptBytes(), 10 * kMiB);

    PagePool keepsNothing(0);
    const PagePool::Use use(&keepsNothing);
    PageBuffer buffer = PageBuffer::allocate(2 * kMiB);
    buffer.reset();
    EXPECT_EQ(keepsNothing.keptBytes(), 0u);
}

}  // namespace
}  // namespace vrelk
