#include "platform/memory_budget.h"

namespace vrelk::platform {

bool MemoryBudget::reserve(std::uint64_t bytes)
{
    std::unique_lock lock(mutex_);
    if (bytes > total_)
        return false;
    const std::uint64_t ticket = nextTicket_++;
    freed_.wait(lock, [&] { return serving_ == ticket && total_ - reserved_ >= bytes; });
    reserved_ += bytes;
    ++serving_;
    lock.unlock();
    // The next in line may fit in what is left.
    freed_.notify_all();
    return true;
}

bool MemoryBudget::tryReserve(std::uint64_t bytes)
{
    const std::lock_guard lock(mutex_);
    if (serving_ != nextTicket_ || bytes > total_ - reserved_)
        return false;
    reserved_ += bytes;
    return true;
}

void MemoryBudget::release(std::uint64_t bytes)
{
    {
        const std::lock_guard lock(mutex_);
        reserved_ -= bytes < reserved_ ? bytes : reserved_;
    }
    freed_.notify_all();
}

std::uint64_t MemoryBudget::total() const
{
    const std::lock_guard lock(mutex_);
    return total_;
}

void MemoryBudget::setTotal(std::uint64_t total)
{
    const std::lock_guard lock(mutex_);
    total_ = total;
}

MemoryBudget& processMemoryBudget()
{
    static MemoryBudget budget(defaultMemoryBudget());
    return budget;
}

}  // namespace vrelk::platform
