// Pixel memory that a batch worker keeps from one file for the next.
//
// Fresh pages are dear: each faults in zeroed on its first touch, and in
// the 32-bit Windows program every allocation and release of them goes
// through the process's one virtual-memory lock (Wine's as well as
// Windows'), which the other workers then wait for. A 12-megapixel photo
// takes some 60 MB of such blocks a file. A worker that gets its blocks
// back from here clears only the part it asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace vrelk {

class PagePool {
public:
    // Keeps at most `keepBytes` between files; blocks beyond go back to
    // the system at once.
    explicit PagePool(std::size_t keepBytes);
    PagePool(const PagePool&) = delete;
    PagePool& operator=(const PagePool&) = delete;
    ~PagePool();

    // Zero-filled memory of at least `size` bytes; `capacity` receives the
    // size of the block. Null when the system has none, even after the
    // kept blocks went back to it.
    std::uint8_t* take(std::size_t size, std::size_t& capacity);
    // A block from take(); any thread may give it back.
    void give(std::uint8_t* block, std::size_t capacity);

    std::size_t keptBytes();

    // The pool that PageBuffers allocated on this thread come from while
    // the Use lives; none outside, where they take fresh pages.
    class Use {
    public:
        explicit Use(PagePool* pool);
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use();

    private:
        PagePool* previous_;
    };
    static PagePool* current();

private:
    struct Block {
        std::uint8_t* pages;
        std::size_t capacity;
    };
    std::uint8_t* takeKept(std::size_t size, std::size_t& capacity);
    void releaseKept();

    platform::Mutex mutex_;
    std::vector<Block> kept_;  // oldest first
    std::size_t keptBytes_ = 0;
    const std::size_t keepBytes_;
};

}  // namespace vrelk
