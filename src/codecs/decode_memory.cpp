#include "codecs/decode_memory.h"

namespace vrelk {
DecodeMemory::DecodeMemory(platform::MemoryBudget& budget) : budget_(budget) {}

DecodeMemory::~DecodeMemory() { giveBack(); }

Status DecodeMemory::claim(std::uint64_t bytes) { return claimTotal(addNeeds(kept_, bytes)); }

Status DecodeMemory::keep(std::uint64_t bytes)
{
    const std::uint64_t kept = addNeeds(kept_, bytes);
    if (Status claimed = claimTotal(kept); !claimed)
        return claimed;
    kept_ = kept;
    return {};
}

Status DecodeMemory::claimTotal(std::uint64_t bytes)
{
    if (bytes <= held_)
        return {};
    if (bytes > budget_.total())
        return CodecError::noMemory;
    if (held_ > 0 && budget_.grow(bytes - held_)) {
        held_ = bytes;
        return {};
    }
    // Holding nothing, or every holder waits for more: wait for the whole
    // in line, holding nothing, so that the others can go on.
    giveBack();
    if (!budget_.reserve(bytes))
        return CodecError::noMemory;
    budget_.holding(true);
    held_ = bytes;
    return {};
}

void DecodeMemory::giveBack()
{
    if (held_ == 0)
        return;
    budget_.release(held_);
    budget_.holding(false);
    held_ = 0;
}

}  // namespace vrelk
