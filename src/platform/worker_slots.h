// How many threads of a run may be busy at once.
#pragma once

#include <atomic>

namespace vrelk::platform {

// Each worker of a batch holds a slot while it converts; optional work,
// such as the size search's guess at its next trial, starts only on a slot
// nobody holds. So a run asked for N jobs never keeps more than N threads
// busy, and a guess is only ever made with a core that would idle anyway.
class WorkerSlots {
public:
    explicit WorkerSlots(int total) : free_(total) {}
    WorkerSlots(const WorkerSlots&) = delete;
    WorkerSlots& operator=(const WorkerSlots&) = delete;

    bool tryTake()
    {
        int free = free_.load();
        while (free > 0)
            if (free_.compare_exchange_weak(free, free - 1))
                return true;
        return false;
    }
    void give() { free_.fetch_add(1); }

    // Size-search trials encoding at once, and the most seen: what the
    // slots are there to bound, counted where the encoding runs.
    void encodingStarted()
    {
        const int now = ++encodings_;
        int peak = peakEncodings_.load();
        while (now > peak && !peakEncodings_.compare_exchange_weak(peak, now)) {
        }
    }
    void encodingEnded() { --encodings_; }
    int peakEncodings() const { return peakEncodings_.load(); }

private:
    std::atomic<int> free_;
    std::atomic<int> encodings_{0};
    std::atomic<int> peakEncodings_{0};
};

// A worker's own slot, held while it converts files.
class HeldWorkerSlot {
public:
    explicit HeldWorkerSlot(WorkerSlots* slots) : slots_(slots && slots->tryTake() ? slots : nullptr) {}
    HeldWorkerSlot(const HeldWorkerSlot&) = delete;
    HeldWorkerSlot& operator=(const HeldWorkerSlot&) = delete;
    ~HeldWorkerSlot() { release(); }

    // Its worker has nothing more to convert: the slot is free for guesses.
    void release()
    {
        if (slots_)
            slots_->give();
        slots_ = nullptr;
    }

private:
    WorkerSlots* slots_;
};

}  // namespace vrelk::platform
