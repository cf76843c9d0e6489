// The process's memory budget: files reserve what they say they need, wait
// for one another rather than exceed it, and one that alone needs more
// fails at once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "codecs/decode_memory.h"
#include "codecs/files.h"
#include "test_support.h"
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

// An input's bytes are claimed from its stated size before they are read,
// and the reader's claims count on top of them while they are kept.
TEST(InputFile, ItsBytesAreClaimedBeforeTheyAreReadAndKeptUnderTheReadersClaims)
{
    test::ScratchFolder folder;
    test::writeBytes(folder / "large", std::vector<std::uint8_t>(150, 1));
    test::writeBytes(folder / "small", std::vector<std::uint8_t>(60, 1));
    platform::MemoryBudget budget(100);
    DecodeMemory memory(budget);
    const ReadLimits limits{kMaxDimension, &memory};

    Result<InputFile> large = InputFile::read(folder / "large", limits);
    ASSERT_FALSE(large);
    EXPECT_EQ(large.error(), CodecError::noMemory);
    EXPECT_EQ(memory.held(), 0u);

    Result<InputFile> small = InputFile::read(folder / "small", limits);
    ASSERT_TRUE(small);
    EXPECT_EQ(memory.held(), 60u);
    EXPECT_TRUE(limits.claim(30));
    EXPECT_EQ(memory.held(), 90u) << "the reader's 30 on top of the input's 60";
    EXPECT_EQ(limits.claim(41).error(), CodecError::noMemory);
    memory.forgetKept();
    EXPECT_TRUE(limits.claim(90));
    EXPECT_EQ(memory.held(), 90u) << "once the input is gone, claims count from zero";
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

// A file that holds part of the budget uses it while it waits for more:
// nobody else may take it meanwhile, and two holders waiting on each other
// give way rather than wait for ever.
TEST(MemoryBudget, AHolderWaitsHoldingAndTwoHoldersWaitingGiveWay)
{
    platform::MemoryBudget budget(100);
    auto first = std::make_unique<DecodeMemory>(budget);
    auto second = std::make_unique<DecodeMemory>(budget);
    ASSERT_TRUE(first->claim(60));
    ASSERT_TRUE(second->claim(30));
    std::atomic<bool> grown{false};
    std::thread growing([&] { grown = second->claim(50).ok(); });
    while (budget.tryReserve(0))
        std::this_thread::yield();  // until the holder waits for its 20
    EXPECT_FALSE(budget.tryReserve(10)) << "the 10 left wait for the holder";
    EXPECT_FALSE(grown);
    first.reset();
    growing.join();
    EXPECT_TRUE(grown);
    EXPECT_EQ(second->held(), 50u);

    // 50 and 40 held, each waiting for 20 more: one gives back.
    std::thread other([&] {
        DecodeMemory third(budget);
        ASSERT_TRUE(third.claim(40));
        EXPECT_TRUE(third.claim(60));
    });
    while (budget.tryReserve(0))
        std::this_thread::yield();  // until the other holder waits
    EXPECT_TRUE(second->claim(70));
    second.reset();
    other.join();
    EXPECT_TRUE(budget.tryReserve(100)) << "everything given back";
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
