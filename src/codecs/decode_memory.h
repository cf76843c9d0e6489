// The memory one file's decode may hold, reserved from the process budget.
#pragma once

#include <cstdint>
#include <limits>

#include "picture/checked.h"
#include "picture/status.h"
#include "platform/memory_budget.h"

namespace vrelk {

// Held by the conversion of one file. Each reader states its peak need from
// the header, before it allocates, through the ReadLimits it is given; the
// reservation lasts until the file is written.
class DecodeMemory {
public:
    explicit DecodeMemory(platform::MemoryBudget& budget);
    ~DecodeMemory();
    DecodeMemory(const DecodeMemory&) = delete;
    DecodeMemory& operator=(const DecodeMemory&) = delete;

    // Raises the reservation to `bytes`. A file never waits while holding
    // part of the budget (two files each holding some and waiting for more
    // would wait forever): when the rest is not free now, it gives back what
    // it holds and waits for the whole. noMemory when `bytes` exceeds the budget.
    Status claim(std::uint64_t bytes);
    std::uint64_t held() const { return held_; }

private:
    platform::MemoryBudget& budget_;
    std::uint64_t held_ = 0;
};

// What one read may take, passed to every reader: pictures of at most
// maxDimension pixels a side (never more than kMaxDimension), and the
// memory the file's reservation grants; a reader used on its own, without
// one, takes what it needs.
struct ReadLimits {
    std::int32_t maxDimension = kMaxDimension;
    DecodeMemory* memory = nullptr;

    bool allows(std::int64_t width, std::int64_t height) const
    {
        return dimensionsAllowed(width, height) && width <= maxDimension && height <= maxDimension;
    }
    // Why a picture of these sides may not be read: a side below one pixel
    // is damage, one beyond the cap too large.
    Status admit(std::int64_t width, std::int64_t height) const
    {
        if (width < 1 || height < 1)
            return CodecError::damaged;
        return allows(width, height) ? Status{} : Status{CodecError::tooLarge};
    }
    Status claim(std::uint64_t bytes) const { return memory ? memory->claim(bytes) : Status{}; }
};

// Sums sizes without wrapping: a need that does not fit 64 bits is refused all the same.
constexpr std::uint64_t kNeedTooLarge = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t addNeeds(std::uint64_t a, std::uint64_t b) { return a > kNeedTooLarge - b ? kNeedTooLarge : a + b; }
constexpr std::uint64_t multiplyNeeds(std::uint64_t a, std::uint64_t b)
{
    return b != 0 && a > kNeedTooLarge / b ? kNeedTooLarge : a * b;
}

// The bytes of a picture in the standard row layout: rows of whole 32-bit
// words, and the palette.
constexpr std::uint64_t pictureNeed(std::uint64_t width, std::uint64_t height, std::uint64_t bits)
{
    const std::uint64_t stride = multiplyNeeds(width, bits) / 32 * 4 + 4;
    return addNeeds(multiplyNeeds(stride, height), 1024);
}

}  // namespace vrelk
