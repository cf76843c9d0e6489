#include "platform/memory_budget.h"

#include <mutex>

namespace vrelk::platform {

bool MemoryBudget::reserve(std::uint64_t bytes)
{
    {
        std::unique_lock lock(mutex_);
        if (bytes > total_)
            return false;
        const std::uint64_t ticket = nextTicket_++;
        changed_.wait(lock, [&] { return serving_ == ticket && growing_ == 0 && total_ - reserved_ >= bytes; });
        reserved_ += bytes;
        ++serving_;
    }
    // The next in line may fit in what is left.
    changed_.notifyAll();
    return true;
}

bool MemoryBudget::tryReserve(std::uint64_t bytes)
{
    const std::lock_guard lock(mutex_);
    if (serving_ != nextTicket_ || growing_ != 0 || bytes > total_ - reserved_)
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
    changed_.notifyAll();
}

bool MemoryBudget::grow(std::uint64_t bytes)
{
    bool granted = false;
    {
        std::unique_lock lock(mutex_);
        ++growing_;
        changed_.wait(lock, [&] {
            granted = total_ - reserved_ >= bytes;
            return granted || growing_ >= holders_;
        });
        --growing_;
        if (granted)
            reserved_ += bytes;
    }
    changed_.notifyAll();
    return granted;
}

void MemoryBudget::holding(bool holds)
{
    {
        const std::lock_guard lock(mutex_);
        if (holds)
            ++holders_;
        else if (holders_ > 0)
            --holders_;
    }
    changed_.notifyAll();
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
