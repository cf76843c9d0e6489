// The parallel batch of the command-line program; the Windows program
// converts one file at a time.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "convert/batch.h"
#include "convert/batch_steps.h"

namespace vrelk {
namespace {

using namespace batch;

// Workers read, reduce and write staged files in any order; the calling
// thread names them strictly in input order, so every output gets the name
// a sequential run would give it. Workers stay at most `window` files ahead
// of delivery, which bounds the staged files waiting on disk.
class ParallelRun {
public:
    ParallelRun(std::span<const platform::Path> inputs, const ConvertOptions& options, const BatchPlan& plan,
                std::size_t window)
        : inputs_(inputs), options_(options), plan_(plan), window_(window), produced_(inputs.size())
    {
    }

    // Files produced but never delivered leave no staged file behind.
    ~ParallelRun()
    {
        for (Produced& produced : produced_)
            if (produced.ready && !produced.failure)
                platform::deleteFile(produced.stagedPath);
    }

    void work(ScratchBuffers& scratch) noexcept
    {
        try {
            const platform::HeldWorkerSlot held(options_.workers);
            FileJob job{options_, scratch, plan_.choice.write};
            const FileStep step = stepFor(plan_.choice);
            while (auto index = claimNext()) {
                Produced result;
                result.failure = produceFile(step, job, plan_, inputs_[*index], result.stagedPath);
                result.size = job.written;
                result.ready = true;
                {
                    std::lock_guard lock(mutex_);
                    produced_[*index] = std::move(result);
                }
                readyChanged_.notify_all();
            }
        } catch (...) {
            // Whatever a file throws ends the batch after the files
            // delivered so far; it does not end the process.
            stop();
        }
    }

    // Ends the batch: idle workers claim nothing more and delivery stops at
    // the first file not yet produced.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        readyChanged_.notify_all();
        roomChanged_.notify_all();
    }

    void deliverAll(const FileDone& fileDone, BatchReport& report)
    {
        for (std::size_t index = 0; index < inputs_.size(); ++index) {
            std::optional<Produced> ready = waitFor(index);
            if (!ready)
                return;
            Produced& produced = *ready;
            FileReport& file =
                report.files.emplace_back(FileReport{inputs_[index], {}, produced.failure, produced.size});
            deliverFile(file, produced.stagedPath, plan_);
            {
                std::lock_guard lock(mutex_);
                delivered_ = index + 1;
            }
            roomChanged_.notify_all();
            if (fileDone)
                fileDone(file, index, inputs_.size());
        }
    }

private:
    struct Produced {
        bool ready = false;
        std::optional<FileFailure> failure;
        platform::Path stagedPath;
        ImageSize size;
    };

    std::optional<std::size_t> claimNext()
    {
        std::unique_lock lock(mutex_);
        roomChanged_.wait(lock,
                          [&] { return stopping_ || next_ >= inputs_.size() || next_ < delivered_ + window_; });
        if (stopping_ || next_ >= inputs_.size())
            return std::nullopt;
        return next_++;
    }

    std::optional<Produced> waitFor(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        readyChanged_.wait(lock, [&] { return stopping_ || produced_[index].ready; });
        if (!produced_[index].ready)
            return std::nullopt;
        return std::exchange(produced_[index], Produced{});
    }

    std::span<const platform::Path> inputs_;
    const ConvertOptions& options_;
    const BatchPlan& plan_;
    const std::size_t window_;
    std::mutex mutex_;
    std::condition_variable readyChanged_;
    std::condition_variable roomChanged_;
    std::vector<Produced> produced_;
    std::size_t next_ = 0;
    std::size_t delivered_ = 0;
    bool stopping_ = false;
};

// Stops the run when delivery leaves early, by an exception included, so
// that the workers end and can be joined.
class StopOnExit {
public:
    explicit StopOnExit(ParallelRun& run) : run_(run) {}
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;
    ~StopOnExit() { run_.stop(); }

private:
    ParallelRun& run_;
};

// Delivers what the workers produce; when the batch stops early, the files
// it never reached are reported as not converted.
void deliverUntilStopped(ParallelRun& run, const FileDone& fileDone, BatchReport& report,
                         std::span<const platform::Path> inputs)
{
    try {
        run.deliverAll(fileDone, report);
    } catch (...) {
        run.stop();
    }
    for (std::size_t index = report.files.size(); index < inputs.size(); ++index)
        report.files.push_back(FileReport{inputs[index], {}, FileFailure{SkipReason::batchStopped, std::nullopt}, {}});
}

}  // namespace

BatchReport RunBatchInParallel(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                               const FileDone& fileDone)
{
    // One slot for each job asked for, so one file alone still has a spare
    // core for the size search's guesses; a caller may share its own.
    platform::WorkerSlots ownSlots(static_cast<int>(std::max(jobs, 1u)));
    ConvertOptions run = options;
    if (!run.workers)
        run.workers = &ownSlots;

    BatchReport report;
    if (inputs.empty())
        return report;
    auto plan = planBatch(inputs, run);
    if (!plan) {
        report.outcome = plan.error();
        return report;
    }
    std::vector<std::unique_ptr<ScratchBuffers>> scratch = allocateWorkerScratch(std::clamp<std::size_t>(jobs, 1, inputs.size()));
    if (scratch.empty()) {
        report.outcome = BatchOutcome::noMemory;
        return report;
    }

    report.files.reserve(inputs.size());
    if (scratch.size() == 1) {
        runSequentially(inputs, run, *plan, *scratch.front(), fileDone, report);
    } else {
        ParallelRun parallel(inputs, run, *plan, 2 * scratch.size());
        std::vector<std::jthread> workers;
        for (std::unique_ptr<ScratchBuffers>& set : scratch) {
            try {
                workers.emplace_back([&parallel, &set] { parallel.work(*set); });
            } catch (const std::system_error&) {
                break;  // the threads already running do the work
            }
        }
        StopOnExit stopWorkers(parallel);
        if (workers.empty())
            runSequentially(inputs, run, *plan, *scratch.front(), fileDone, report);
        else
            deliverUntilStopped(parallel, fileDone, report, inputs);
    }
    scratch.clear();
    finishBatch(report, *plan);
    return report;
}

}  // namespace vrelk
