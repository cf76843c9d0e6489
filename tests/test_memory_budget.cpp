// The process's memory budget: files reserve what they say they need, wait
// for one another rather than exceed it, and one that alone needs more
// fails at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "codecs/decode_memory.h"
#include "platform/memory_budget.h"

namespace vrelk {
namespace {

TEST(MemoryBudget, GrantsWithinTheTotalAndRefusesMoreThanItAtOnce)
{
    platform::MemoryBudget budget(100);
    EXPECT_TRUE(budget.reserve(60));
    EXPECT_FALSE(budget.tryReserve(41));
    EXPECT_TRUE(budget.tryReserve(40));
    EXPECT_FALSE(budget.reserve(101)) << "more than the whole budget fails without waiting";
    budget.release(100);
    EXPECT_TRUE(budget.tryReserve(100));
    budget.release(100);

    EXPECT_TRUE(ReadLimits{}.claim(std::uint64_t{1} << 62)) << "a reader used on its own has no budget";
    {
        DecodeMemory memory(budget);
        const ReadLimits limits{kMaxDimension, &memory};
        EXPECT_TRUE(limits.claim(30));
        EXPECT_TRUE(limits.claim(20)) << "a smaller claim is already covered";
        EXPECT_TRUE(limits.claim(70));
        EXPECT_EQ(memory.held(), 70u);
        EXPECT_EQ(limits.claim(101).error(), CodecError::noMemory);
        EXPECT_FALSE(budget.tryReserve(31));
    }
    EXPECT_TRUE(budget.tryReserve(100)) << "the file's reservation ends with it";
}

// A waiting request is served before later ones that would fit, so a
// large file is not passed over for ever by a stream of small ones.
TEST(MemoryBudget, ServesWaitingRequestsInOrder)
{
    platform::MemoryBudget budget(100);
    ASSERT_TRUE(budget.reserve(50));
    std::atomic<bool> granted{false};
    std::thread large([&] {
        granted = budget.reserve(80);
    });
    while (budget.tryReserve(0))
        std::this_thread::yield();  // until the large request waits in line
    EXPECT_FALSE(budget.tryReserve(10));
    EXPECT_FALSE(granted);
    budget.release(50);
    large.join();
    EXPECT_TRUE(granted);
    budget.release(80);
}

// Files on eight threads claim a first need and then a larger one, as a
// reader may; the claims never add up to more than the budget and every
// file finishes, although several hold part of it when they ask for more.
TEST(MemoryBudget, ParallelClaimsStayWithinTheTotalAndAllFinish)
{
    platform::MemoryBudget budget(100);
    std::atomic<std::uint64_t> inUse{0};
    std::atomic<std::uint64_t> most{0};
    std::atomic<int> finished{0};
    auto note = [&](std::uint64_t now) {
        std::uint64_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (unsigned round = 0; round < 200; ++round) {
                DecodeMemory memory(budget);
                const std::uint64_t first = 10 + (t * 7 + round) % 30;
                const std::uint64_t second = first + 20 + (t + round) % 40;
                ASSERT_TRUE(memory.claim(first));
                note(inUse += first);
                std::this_thread::yield();
                inUse -= first;  // the claim below may give it back while it waits
                ASSERT_TRUE(memory.claim(second));
                note(inUse += second);
                EXPECT_EQ(memory.claim(101).error(), CodecError::noMemory);
                std::this_thread::yield();
                inUse -= second;
            }
            ++finished;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(finished, 8);
    EXPECT_LE(most.load(), 100u);
    EXPECT_TRUE(budget.tryReserve(100));
}

}  // namespace
}  // namespace vrelk
