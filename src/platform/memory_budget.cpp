#include "platform/memory_budget.h"

namespace vrelk::platform {

bool MemoryBudget::reserve(std::uint64_t bytes)
{
    {
        const MonitorLock lock(monitor_);
        if (bytes > total_)
            return false;
        const std::uint64_t ticket = nextTicket_++;
        while (serving_ != ticket || total_ - reserved_ < bytes)
            monitor_.wait();
        reserved_ += bytes;
        ++serving_;
    }
    // The next in line may fit in what is left.
    monitor_.wakeAll();
    return true;
}

bool MemoryBudget::tryReserve(std::uint64_t bytes)
{
    const MonitorLock lock(monitor_);
    if (serving_ != nextTicket_ || bytes > total_ - reserved_)
        return false;
    reserved_ += bytes;
    return true;
}

void MemoryBudget::release(std::uint64_t bytes)
{
    {
        const MonitorLock lock(monitor_);
        reserved_ -= bytes < reserved_ ? bytes : reserved_;
    }
    monitor_.wakeAll();
}

std::uint64_t MemoryBudget::total() const
{
    const MonitorLock lock(monitor_);
    return total_;
}

void MemoryBudget::setTotal(std::uint64_t total)
{
    const MonitorLock lock(monitor_);
    total_ = total;
}

MemoryBudget& processMemoryBudget()
{
    static MemoryBudget budget(defaultMemoryBudget());
    return budget;
}

}  // namespace vrelk::platform
