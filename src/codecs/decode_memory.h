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

    // Raises the reservation to `bytes`. A file that holds part of the
    // budget waits for the rest holding it, as what it holds is in use;
    // only when every holder waits so (none could go on) does it give back
    // what it holds and wait for the whole. noMemory when `bytes` exceeds
    // the budget.
    // Claims count on top of what the file keeps (see keep).
    Status claim(std::uint64_t bytes);
    // Adds `bytes` to what the file keeps beneath every later claim: the
    // input's bytes, which its reader works from.
    Status keep(std::uint64_t bytes);
    // What was kept is freed; the reservation stays as high as it went.
    void forgetKept() { kept_ = 0; }
    std::uint64_t held() const { return held_; }

private:
    Status claimTotal(std::uint64_t bytes);
    void giveBack();

    platform::MemoryBudget& budget_;
    std::uint64_t held_ = 0;
    std::uint64_t kept_ = 0;
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
    Status keep(std::uint64_t bytes) const { return memory ? memory->keep(bytes) : Status{}; }
};

// Sums sizes without wrapping: a need that does not fit 64 bits is refused all the same.
constexpr std::uint64_t kNeedTooLarge = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t addNeeds(std::uint64_t a, std::uint64_t b) { return a > kNeedTooLarge - b ? kNeedTooLarge : a + b; }
constexpr std::uint64_t multiplyNeeds(std::uint64_t a, std::uint64_t b)
{
    return b != 0 && a > kNeedTooLarge / b ? kNeedTooLarge : a * b;
}

// A file whose pixel data covers less than 1/64 of what its header states
// is truncated, not a picture that is mostly zeros: refused before its
// memory is claimed. Pictures of at most 1 MiB are let through as the
// files state them, short data and all.
inline constexpr std::uint64_t kLeastCoverageDivisor = 64;
inline constexpr std::uint64_t kCoverageExempt = std::uint64_t{1} << 20;
constexpr Status requireCoverage(std::uint64_t present, std::uint64_t stated)
{
    if (stated <= kCoverageExempt || present >= stated / kLeastCoverageDivisor)
        return {};
    return CodecError::truncated;
}

// The bytes of a picture in the standard row layout: rows of whole 32-bit
// words, and the palette.
constexpr std::uint64_t pictureNeed(std::uint64_t width, std::uint64_t height, std::uint64_t bits)
{
    const std::uint64_t stride = multiplyNeeds(width, bits) / 32 * 4 + 4;
    return addNeeds(multiplyNeeds(stride, height), 1024);
}

}  // namespace vrelk
