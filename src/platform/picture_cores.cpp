#include "platform/picture_cores.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace vrelk::platform {
namespace {

thread_local PictureCores current;

// More helpers than this gain nothing on the pictures a Send To brings.
constexpr std::size_t kMostHelpers = 15;
// A range below this many bytes costs more to hand over than it saves.
constexpr std::int64_t kLeastRangeBytes = std::int64_t{1} << 20;

// Slots taken for helpers, given back when the work has ended.
class BorrowedSlots {
public:
    BorrowedSlots(WorkerSlots* slots, std::size_t wanted) : slots_(slots)
    {
        while (slots_ && count_ < wanted && slots_->tryTake())
            ++count_;
    }
    BorrowedSlots(const BorrowedSlots&) = delete;
    BorrowedSlots& operator=(const BorrowedSlots&) = delete;
    ~BorrowedSlots() { giveBack(count_); }

    std::size_t count() const { return count_; }
    void giveBack(std::size_t unused)
    {
        for (; unused > 0 && count_ > 0; --unused, --count_)
            slots_->give();
    }

private:
    WorkerSlots* slots_;
    std::size_t count_ = 0;
};

// The parts are claimed one at a time, so a helper that starts late or a
// part that takes longer costs no more than one part's time.
class SharedParts {
public:
    SharedParts(std::size_t parts, const std::function<void(std::size_t)>& work) : parts_(parts), work_(work) {}

    void drain() noexcept
    {
        try {
            for (std::size_t part = next_++; part < parts_; part = next_++)
                work_(part);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
            next_ = parts_;
        }
    }

    void rethrow() const
    {
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    const std::size_t parts_;
    const std::function<void(std::size_t)>& work_;
    std::atomic<std::size_t> next_{0};
    Mutex mutex_;
    std::exception_ptr failure_;
};

void runWithHelpers(std::size_t parts, BorrowedSlots& borrowed, const std::function<void(std::size_t)>& work)
{
    SharedParts shared(parts, work);
    {
        std::vector<std::unique_ptr<BackgroundWork>> helpers;
        for (std::size_t i = 0; i < borrowed.count(); ++i) {
            auto helper = std::make_unique<BackgroundWork>([&shared] { shared.drain(); },
                                                           BackgroundWork::IfNoThread::skip);
            if (!helper->started())
                break;
            helpers.push_back(std::move(helper));
        }
        borrowed.giveBack(borrowed.count() - helpers.size());
        shared.drain();
    }
    shared.rethrow();
}

}  // namespace

PictureCoresScope::PictureCoresScope(PictureCores cores) : previous_(current) { current = cores; }

PictureCoresScope::~PictureCoresScope() { current = previous_; }

PictureCores currentPictureCores() { return current; }

LibraryThreads::LibraryThreads(int most) : slots_(current.slots)
{
    while (slots_ && held_ + 1 < most && slots_->tryTake())
        ++held_;
}

LibraryThreads::~LibraryThreads()
{
    for (; held_ > 0; --held_)
        slots_->give();
}

void RunParts(std::size_t parts, const std::function<void(std::size_t)>& work)
{
    BorrowedSlots borrowed(current.slots, parts > 1 ? std::min(parts - 1, kMostHelpers) : 0);
    if (borrowed.count() == 0) {
        for (std::size_t part = 0; part < parts; ++part)
            work(part);
        return;
    }
    runWithHelpers(parts, borrowed, work);
}

void ForRowRanges(std::int64_t rows, std::int64_t rowBytes,
                  const std::function<void(std::int64_t first, std::int64_t end)>& work, std::size_t mostRanges)
{
    if (rows <= 0)
        return;
    const std::int64_t leastRows = std::max<std::int64_t>(1, kLeastRangeBytes / std::max<std::int64_t>(rowBytes, 1));
    const auto wanted = std::min(static_cast<std::size_t>(std::min<std::int64_t>(rows / leastRows, kMostHelpers + 1)),
                                 mostRanges);
    BorrowedSlots borrowed(current.slots, wanted > 1 ? wanted - 1 : 0);
    const std::size_t ranges = borrowed.count() + 1;
    if (ranges == 1) {
        work(0, rows);
        return;
    }
    const auto bound = [&](std::size_t part) { return rows * static_cast<std::int64_t>(part) / static_cast<std::int64_t>(ranges); };
    runWithHelpers(ranges, borrowed, [&](std::size_t part) { work(bound(part), bound(part + 1)); });
}

}  // namespace vrelk::platform
