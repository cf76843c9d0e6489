// The parallel batch: workers on threads of their own, delivery in input
// order on the calling thread.
#include <algorithm>
#include <deque>
#include <mutex>
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
//
// Two ways to end early. A stop request (the user's) ends the claiming of
// files; every file already claimed is finished and delivered, so the
// outputs are a prefix of the full run's. A failure (an exception on either
// side) stops at once: delivery ends at the first file not yet produced and
// what was produced but not named is removed.
class ParallelRun {
public:
    ParallelRun(std::span<const platform::Path> inputs, const ConvertOptions& options, const BatchPlan& plan,
                std::size_t window, const StopFlag* stopRequest)
        : inputs_(inputs),
          options_(options),
          plan_(plan),
          window_(window),
          stopRequest_(stopRequest),
          pluginTurns_(inputs.size()),
          produced_(inputs.size())
    {
    }

    // Files produced but never delivered leave no staged file behind.
    ~ParallelRun()
    {
        for (Produced& produced : produced_)
            if (produced.ready && !produced.failure)
                platform::deleteFile(produced.stagedPath);
    }

    // The worker's slot is given back when it has nothing more to convert,
    // so the last files' guesses can use its core.
    void work(ScratchBuffers& scratch, platform::HeldWorkerSlot& slot) noexcept
    {
        const PagePool::Use pages(scratch.pages.get());
        try {
            const platform::PictureCoresScope lent({options_.workers, options_.splitOutput});
            FileJob job{options_, scratch, *plan_.output};
            job.pluginTurns = &pluginTurns_;
            const FileStep step = stepFor(*plan_.output);
            while (auto index = claimNext()) {
                Produced result;
                job.file = *index;
                try {
                    result.failure = produceFile(step, job, plan_, inputs_[*index], result.stagedPath);
                } catch (...) {
                    pluginTurns_.passed(*index);
                    throw;
                }
                pluginTurns_.passed(*index);  // a file that never reached its read
                result.size = job.written;
                result.metadataKept = job.metadataKept;
                result.alphaKept = job.alphaKept;
                result.ready = true;
                {
                    std::lock_guard lock(mutex_);
                    produced_[*index] = std::move(result);
                }
                readyChanged_.notifyAll();
            }
        } catch (...) {
            // Whatever a file throws ends the batch after the files
            // delivered so far; it does not end the process.
            stop();
        }
        slot.release();
    }

    // Ends the batch: idle workers claim nothing more and delivery stops at
    // the first file not yet produced.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        readyChanged_.notifyAll();
        roomChanged_.notifyAll();
    }

    void deliverAll(const FileDone& fileDone, BatchReport& report)
    {
        for (std::size_t index = 0; index < inputs_.size(); ++index) {
            std::optional<Produced> ready = waitFor(index);
            if (!ready) {
                report.cancelled = stopRequested();
                return;
            }
            Produced& produced = *ready;
            FileReport& file =
                report.files.emplace_back(FileReport{inputs_[index], {}, produced.failure, produced.size, std::nullopt, produced.metadataKept});
            file.alphaKept = produced.alphaKept;
            deliverFile(file, produced.stagedPath, plan_);
            {
                std::lock_guard lock(mutex_);
                delivered_ = index + 1;
            }
            roomChanged_.notifyAll();
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
        bool metadataKept = false;
        bool alphaKept = false;
    };

    std::optional<std::size_t> claimNext()
    {
        std::unique_lock lock(mutex_);
        roomChanged_.wait(lock, [&] {
            return stopping_ || stopRequested() || next_ >= inputs_.size() || next_ < delivered_ + window_;
        });
        if (stopRequested() && !claimsEnded_) {
            claimsEnded_ = true;
            readyChanged_.notifyAll();
        }
        if (stopping_ || claimsEnded_ || next_ >= inputs_.size())
            return std::nullopt;
        return next_++;
    }

    // None when the file will never be produced: the run failed, or a stop
    // request came before the file was claimed.
    std::optional<Produced> waitFor(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        readyChanged_.wait(lock,
                           [&] { return produced_[index].ready || stopping_ || (claimsEnded_ && index >= next_); });
        if (!produced_[index].ready)
            return std::nullopt;
        return std::exchange(produced_[index], Produced{});
    }

    bool stopRequested() const { return stopRequest_ && stopRequest_->load(); }

    std::span<const platform::Path> inputs_;
    const ConvertOptions& options_;
    const BatchPlan& plan_;
    const std::size_t window_;
    const StopFlag* stopRequest_;
    PluginTurns pluginTurns_;
    platform::Mutex mutex_;
    platform::ConditionVariable readyChanged_;
    platform::ConditionVariable roomChanged_;
    std::vector<Produced> produced_;
    std::size_t next_ = 0;
    std::size_t delivered_ = 0;
    bool stopping_ = false;
    bool claimsEnded_ = false;  // by a stop request
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

// Delivers what the workers produce; when a failure ends the batch early,
// the files it never reached are reported as not converted. A batch stopped
// on request reports the files it tried.
void deliverUntilStopped(ParallelRun& run, const FileDone& fileDone, BatchReport& report,
                         std::span<const platform::Path> inputs)
{
    try {
        run.deliverAll(fileDone, report);
    } catch (...) {
        run.stop();
    }
    if (report.cancelled)
        return;
    for (std::size_t index = report.files.size(); index < inputs.size(); ++index)
        report.files.push_back(FileReport{inputs[index], {}, FileFailure{SkipReason::batchStopped, std::nullopt}, {}, std::nullopt, false});
}

}  // namespace

BatchReport RunBatchInParallel(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                               const FileDone& fileDone, const StopFlag* stop)
{
    // One slot for each job asked for, so one file alone still has a spare
    // core for the size search's guesses; a caller may share its own.
    platform::WorkerSlots ownSlots(static_cast<int>(std::max(jobs, 1u)));
    ConvertOptions run = options;
    if (!run.workers)
        run.workers = &ownSlots;
    run.splitOutput = jobs > 1 && inputs.size() < jobs;

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
        runSequentially(inputs, run, *plan, *scratch.front(), fileDone, report, stop);
    } else {
        // Every worker's slot is taken before any worker starts: a first
        // file's guesses must not take the slot of a worker not yet running.
        std::deque<platform::HeldWorkerSlot> slots;
        for (std::size_t i = 0; i < scratch.size(); ++i)
            slots.emplace_back(run.workers);
        ParallelRun parallel(inputs, run, *plan, 2 * scratch.size(), stop);
        std::vector<std::unique_ptr<platform::BackgroundWork>> workers;
        StopOnExit stopWorkers(parallel);  // before the workers are joined
        for (std::size_t i = 0; i < scratch.size(); ++i) {
            auto worker = std::make_unique<platform::BackgroundWork>(
                [&parallel, &set = *scratch[i], &slot = slots[i]] { parallel.work(set, slot); },
                platform::BackgroundWork::IfNoThread::skip);
            if (!worker->started())
                break;  // the threads already running do the work
            workers.push_back(std::move(worker));
        }
        for (std::size_t i = workers.size(); i < slots.size(); ++i)
            slots[i].release();
        if (workers.empty())
            runSequentially(inputs, run, *plan, *scratch.front(), fileDone, report, stop);
        else
            deliverUntilStopped(parallel, fileDone, report, inputs);
    }
    scratch.clear();
    finishBatch(report, *plan);
    return report;
}

}  // namespace vrelk
