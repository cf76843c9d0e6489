#include "codecs/decode_memory.h"

namespace vrelk {
DecodeMemory::DecodeMemory(platform::MemoryBudget& budget) : budget_(budget) {}

DecodeMemory::~DecodeMemory() { budget_.release(held_); }

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

}  // namespace vrelk
