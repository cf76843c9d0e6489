// Cores lent to one picture: helper threads on the slots of the run that
// nobody holds, so that a file converting alone is not held to one core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/platform.h"
#include "platform/worker_slots.h"

namespace vrelk::platform {

// What the thread converting a picture may use beside itself.
struct PictureCores {
    WorkerSlots* slots = nullptr;
    // Output whose bytes depend on the number of parts it is made in (the
    // PNG writer's pieces) is split only in a batch that starts with cores
    // to spare: the parts then depend on the picture alone, never on which
    // slots happen to be free, and a run with one job, or a batch with a
    // file for every job, writes the bytes it always did.
    bool splitOutput = false;
};

// Lends the cores to everything the current thread converts until the
// scope ends. Helpers never lend further: work they start runs on them.
class PictureCoresScope {
public:
    explicit PictureCoresScope(PictureCores cores);
    PictureCoresScope(const PictureCoresScope&) = delete;
    PictureCoresScope& operator=(const PictureCoresScope&) = delete;
    ~PictureCoresScope();

private:
    PictureCores previous_;
};

PictureCores currentPictureCores();

// Free slots of the current picture's run held for a library's own
// threads while it works on the picture, given back when it is done.
class LibraryThreads {
public:
    // At most `most` threads in all, the calling thread's included.
    explicit LibraryThreads(int most);
    LibraryThreads(const LibraryThreads&) = delete;
    LibraryThreads& operator=(const LibraryThreads&) = delete;
    ~LibraryThreads();

    // The calling thread and one for every slot held.
    int count() const { return 1 + held_; }

private:
    WorkerSlots* slots_;
    int held_ = 0;
};

// Runs work(part) once for every part in [0, parts): on the calling thread
// and on up to `parts - 1` helpers, each holding a free slot until the
// work ends. Returns when every part is done; an exception from any part
// is thrown here after the helpers have stopped.
void RunParts(std::size_t parts, const std::function<void(std::size_t)>& work);

// Splits rows [0, rows) of `rowBytes` each into one range for the calling
// thread and one for each helper that can be had, none shorter than makes
// a thread worth starting, and at most `mostRanges` in all, and runs
// work(first, end) on each. Work that treats every row on its own gives
// the same bytes however it is split.
void ForRowRanges(std::int64_t rows, std::int64_t rowBytes,
                  const std::function<void(std::int64_t first, std::int64_t end)>& work,
                  std::size_t mostRanges = SIZE_MAX);

// Waits for another thread's progress: checks `ready` in a tight loop for
// a short while, then gives up the time slice between checks.
template <typename Ready>
void SpinUntil(Ready ready)
{
    constexpr int kSpinsBeforeYield = 64;
    for (int spins = 0; !ready(); ++spins)
        if (spins >= kSpinsBeforeYield)
            yieldProcessor();
}

}  // namespace vrelk::platform
