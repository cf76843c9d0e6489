// The parallel batch of the command-line program; the Windows program
// converts one file at a time.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

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

    void work(CodecSet& codecs)
    {
        FileJob job{options_, codecs, plan_.choice.write};
        const FileStep step = stepFor(plan_.choice);
        while (auto index = claimNext()) {
            Produced result;
            result.failure = produceFile(step, job, plan_, inputs_[*index], result.stagedPath);
            result.ready = true;
            {
                std::lock_guard lock(mutex_);
                produced_[*index] = std::move(result);
            }
            readyChanged_.notify_all();
        }
    }

    void deliverAll(const FileDone& fileDone, BatchReport& report)
    {
        for (std::size_t index = 0; index < inputs_.size(); ++index) {
            Produced produced = waitFor(index);
            FileReport& file = report.files.emplace_back(FileReport{inputs_[index], {}, produced.failure});
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
    };

    std::optional<std::size_t> claimNext()
    {
        std::unique_lock lock(mutex_);
        roomChanged_.wait(lock, [&] { return next_ >= inputs_.size() || next_ < delivered_ + window_; });
        if (next_ >= inputs_.size())
            return std::nullopt;
        return next_++;
    }

    Produced waitFor(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        readyChanged_.wait(lock, [&] { return produced_[index].ready; });
        return std::move(produced_[index]);
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
};

}  // namespace

BatchReport RunBatchInParallel(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                               const FileDone& fileDone)
{
    BatchReport report;
    if (inputs.empty())
        return report;
    auto plan = planBatch(inputs, options);
    if (!plan) {
        report.outcome = plan.error();
        return report;
    }
    std::vector<std::unique_ptr<CodecSet>> codecs = allocateCodecSets(std::clamp<std::size_t>(jobs, 1, inputs.size()));
    if (codecs.empty()) {
        report.outcome = BatchOutcome::noMemory;
        return report;
    }

    report.files.reserve(inputs.size());
    if (codecs.size() == 1) {
        runSequentially(inputs, options, *plan, *codecs.front(), fileDone, report);
    } else {
        ParallelRun run(inputs, options, *plan, 2 * codecs.size());
        std::vector<std::jthread> workers;
        for (std::unique_ptr<CodecSet>& set : codecs) {
            try {
                workers.emplace_back([&run, &set] { run.work(*set); });
            } catch (const std::system_error&) {
                break;  // the threads already running do the work
            }
        }
        if (workers.empty())
            runSequentially(inputs, options, *plan, *codecs.front(), fileDone, report);
        else
            run.deliverAll(fileDone, report);
    }
    codecs.clear();
    finishBatch(report, *plan);
    return report;
}

}  // namespace vrelk
