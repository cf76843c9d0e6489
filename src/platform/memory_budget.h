// The memory the pictures of a run may take at once, shared by every file
// converting at the same time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace vrelk::platform {

// Files reserve what they need before they allocate it and wait while other
// files hold the rest. Requests are served in the order they came, so a
// large file is not passed over forever by small ones; a request for more
// than the whole budget fails at once.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t total) : total_(total) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Waits until `bytes` are free; false, without waiting, when they never can be.
    bool reserve(std::uint64_t bytes);
    // `bytes` when they are free now and nobody waits before this request.
    bool tryReserve(std::uint64_t bytes);
    void release(std::uint64_t bytes);

    // A file holding part of the budget keeps using what it holds while it
    // waits for more (its input, its picture), so it waits holding it, ahead
    // of files that hold nothing. When every holder waits so, none could go
    // on: grow then returns false and the caller gives back what it holds.
    // Holders are counted by holding(true) on their first reservation and
    // holding(false) when they give it all back.
    bool grow(std::uint64_t bytes);
    void holding(bool holds);

    std::uint64_t total() const;
    // Only while nothing is reserved: the command line sets it before a run.
    void setTotal(std::uint64_t total);

private:
    mutable Mutex mutex_;
    ConditionVariable changed_;
    std::uint64_t total_;
    std::uint64_t reserved_ = 0;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;
    std::uint32_t holders_ = 0;
    std::uint32_t growing_ = 0;
};

// Half the physical memory natively; in the 32-bit Windows program what its
// address space leaves for pictures.
std::uint64_t defaultMemoryBudget();

// The one budget of this process.
MemoryBudget& processMemoryBudget();

}  // namespace vrelk::platform
