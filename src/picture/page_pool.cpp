#include "picture/page_pool.h"

#include <cstdint>
#include <cstring>
#include <mutex>

namespace vrelk {
namespace {

// Blocks are whole multiples of the Windows allocation granularity, so a
// file a few rows taller than the last still finds its block.
constexpr std::size_t kGranule = std::size_t{64} << 10;
// A block serves a request of at least half its size, so that a small
// buffer does not take the block a large one of the same file will need.
constexpr std::size_t kMostWaste = 2;
// Room for every block one file uses at once.
constexpr std::size_t kKeptBlocks = 32;

thread_local PagePool* currentPool = nullptr;

std::size_t roundedUp(std::size_t size) { return (size + kGranule - 1) / kGranule * kGranule; }

}  // namespace

PagePool::PagePool(std::size_t keepBytes) : keepBytes_(keepBytes) { kept_.reserve(kKeptBlocks); }

PagePool::~PagePool() { releaseKept(); }

std::uint8_t* PagePool::takeKept(std::size_t size, std::size_t& capacity)
{
    const std::lock_guard lock(mutex_);
    auto best = kept_.end();
    for (auto block = kept_.begin(); block != kept_.end(); ++block)
        if (block->capacity >= size && block->capacity / kMostWaste <= size &&
            (best == kept_.end() || block->capacity < best->capacity))
            best = block;
    if (best == kept_.end())
        return nullptr;
    std::uint8_t* pages = best->pages;
    capacity = best->capacity;
    keptBytes_ -= capacity;
    kept_.erase(best);
    return pages;
}

std::uint8_t* PagePool::take(std::size_t size, std::size_t& capacity)
{
    if (size == 0 || size > SIZE_MAX - kGranule)
        return nullptr;
    if (std::uint8_t* pages = takeKept(size, capacity)) {
        std::memset(pages, 0, size);
        return pages;
    }
    capacity = roundedUp(size);
    auto* pages = static_cast<std::uint8_t*>(platform::allocatePages(capacity));
    if (!pages) {
        releaseKept();
        pages = static_cast<std::uint8_t*>(platform::allocatePages(capacity));
    }
    return pages;
}

void PagePool::give(std::uint8_t* block, std::size_t capacity)
{
    if (!block)
        return;
    {
        const std::lock_guard lock(mutex_);
        if (capacity <= keepBytes_) {
            while (!kept_.empty() && (keptBytes_ + capacity > keepBytes_ || kept_.size() == kKeptBlocks)) {
                platform::freePages(kept_.front().pages, kept_.front().capacity);
                keptBytes_ -= kept_.front().capacity;
                kept_.erase(kept_.begin());
            }
            if (kept_.size() < kKeptBlocks) {
                kept_.push_back(Block{block, capacity});
                keptBytes_ += capacity;
                return;
            }
        }
    }
    platform::freePages(block, capacity);
}

std::size_t PagePool::keptBytes()
{
    const std::lock_guard lock(mutex_);
    return keptBytes_;
}

void PagePool::releaseKept()
{
    const std::lock_guard lock(mutex_);
    for (const Block& block : kept_)
        platform::freePages(block.pages, block.capacity);
    kept_.clear();
    keptBytes_ = 0;
}

PagePool::Use::Use(PagePool* pool) : previous_(currentPool) { currentPool = pool; }
PagePool::Use::~Use() { currentPool = previous_; }

PagePool* PagePool::current() { return currentPool; }

}  // namespace vrelk
