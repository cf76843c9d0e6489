#include "codecs/decode_memory.h"

namespace vrelk {
namespace {

// The readers take no budget parameter: the conversion that runs them on
// this thread installs its reservation here.
thread_local DecodeMemory* current = nullptr;

}  // namespace

DecodeMemory::DecodeMemory(platform::MemoryBudget& budget) : budget_(budget), outer_(current) { current = this; }

DecodeMemory::~DecodeMemory()
{
    budget_.release(held_);
    current = outer_;
}

Status DecodeMemory::claim(std::uint64_t bytes)
{
    if (bytes <= held_)
        return {};
    if (bytes > budget_.total())
        return CodecError::noMemory;
    if (budget_.tryReserve(bytes - held_)) {
        held_ = bytes;
        return {};
    }
    budget_.release(held_);
    held_ = 0;
    if (!budget_.reserve(bytes))
        return CodecError::noMemory;
    held_ = bytes;
    return {};
}

Status ClaimDecodeMemory(std::uint64_t bytes)
{
    return current ? current->claim(bytes) : Status{};
}

}  // namespace vrelk
