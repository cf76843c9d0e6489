#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_encode.h"
#include "codecs/jpeg_lib.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

// Where the size search begins.
constexpr std::int32_t kTopQuality = kHighestQuality;

bool copyBuffer(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> from)
{
    try {
        to.assign(from.begin(), from.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// ---- The size search's trials ----------------------------------------------
//
// Each quality the search asks for is encoded into memory and stopped once
// it has passed the target. While one trial runs, the trial the search will
// most likely ask for next runs beside it on a second thread; a guess that
// proves wrong is cancelled. A trial's result depends only on its quality,
// so the search, its order and its record are the same whichever guesses
// were made, and a quality asked for twice is encoded once.

struct TrialOutcome {
    std::size_t length = 0;  // exact when complete, else one past the stop
    double estimate = 0;     // of the whole length, for guessing only
    bool complete = false;
};

// One trial at a time, on a thread of its own, into a buffer kept from
// trial to trial. A trial that runs beside other work of the same file
// holds a worker slot of the run until it ends.
class TrialSlot {
public:
    TrialSlot() = default;
    TrialSlot(const TrialSlot&) = delete;
    TrialSlot& operator=(const TrialSlot&) = delete;
    // The encoding writes into this slot's members: it ends before they go.
    ~TrialSlot() { cancel(); }

    bool reserve(std::size_t size) { return ResizeWithoutThrowing(buffer_, size); }
    bool busy() const { return work_ != nullptr; }
    std::int32_t quality() const { return job_.encoding.quality; }
    std::span<const std::uint8_t> bytes() const { return {buffer_.data(), length_}; }

    void start(const JpegJob& job, std::int32_t quality, std::size_t stopAfter, bool holdsSlot = false)
    {
        job_ = job;
        holdsSlot_ = holdsSlot;
        job_.encoding.quality = quality;
        stopAfter_ = stopAfter;
        encoded_ = stopped_ = false;
        length_ = 0;
        outputDone_ = 0;
        cancel_ = false;
        work_ = std::make_unique<platform::BackgroundWork>([this] {
            platform::WorkerSlots* workers = job_.encoding.workers;
            if (workers)
                workers->encodingStarted();
            encoded_ = encodeJpeg(job_, JpegOutput{nullptr, &buffer_, &length_, stopAfter_, &stopped_, &cancel_, &outputDone_});
            if (workers)
                workers->encodingEnded();
        });
    }

    // Waits for the trial; false when it failed otherwise than by passing
    // its stop.
    bool finish(TrialOutcome& outcome)
    {
        end();
        if (encoded_) {
            outcome = {length_, static_cast<double>(length_), true};
            return true;
        }
        if (!stopped_)
            return false;
        length_ = 0;
        const double pastStop = static_cast<double>(stopAfter_) + 1;
        outcome = {stopAfter_ + 1, outputDone_ > 0 ? pastStop / outputDone_ : std::numeric_limits<double>::infinity(), false};
        return true;
    }

    void cancel()
    {
        cancel_ = true;
        end();
    }

private:
    void end()
    {
        work_.reset();
        if (holdsSlot_)
            job_.encoding.workers->give();
        holdsSlot_ = false;
    }

    JpegJob job_{};
    std::vector<std::uint8_t> buffer_;
    std::size_t stopAfter_ = SIZE_MAX;
    std::size_t length_ = 0;
    double outputDone_ = 0;
    bool encoded_ = false;
    bool stopped_ = false;
    bool holdsSlot_ = false;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<platform::BackgroundWork> work_;
};

// The logarithm of the scale libjpeg applies to its quantisation tables
// at `quality`. The logarithm of the length runs nearly straight along it,
// down to where the tables are all ones: above quality 96 photos lengthen
// as if the scale stayed near 7.
double logTableScale(std::int32_t quality)
{
    const double scale = quality < 50 ? 5000.0 / quality : 200.0 - 2.0 * quality;
    return std::log(std::max(scale, 7.0));
}

// How the logarithm of the length changes along the logarithm of the table
// scale, where a guess has only one known trial to go by; photos lie
// around this.
constexpr double kLengthPerTableScale = -0.8;

class SizeSearchTrials {
public:
    SizeSearchTrials(const JpegJob& job, std::int64_t limit)
        : job_(job), limit_(limit), stop_(static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 0, PTRDIFF_MAX)))
    {
    }

    SizeSearchTrials(const SizeSearchTrials&) = delete;
    SizeSearchTrials& operator=(const SizeSearchTrials&) = delete;
    ~SizeSearchTrials() { stop(); }

    bool reserve(std::size_t size) { return slots_[0].reserve(size) && slots_[1].reserve(size); }
    // Cancels and waits for every running trial.
    void stop()
    {
        for (TrialSlot& slot : slots_)
            slot.cancel();
    }

    // Starts the first trial before the search asks for it, when a worker
    // is free to run it beside the caller.
    void begin(std::int32_t quality)
    {
        if (takeSpareWorker())
            idleSlot()->start(job_, quality, stopAfter(quality), job_.encoding.workers != nullptr);
    }
    // Later trials take the component planes; a running one keeps its pixels.
    void usePlanes(const ComponentPlanes& planes) { job_.planes = &planes; }
    bool outOfMemory() const { return outOfMemory_; }

    // The encoding to write: the last trial that fitted, else the last one
    // that ran to its end (quality 1, which is never stopped).
    std::span<const std::uint8_t> kept() const { return anyFitted_ ? fitted_ : lastComplete_; }

    bool encodeAt(std::int32_t quality, std::size_t& length)
    {
        const auto found = known_.find(quality);
        if (found != known_.end() && (!fits(found->second.length) || fittedQuality_ == quality)) {
            length = found->second.length;
            return true;
        }
        const std::optional<std::int32_t> next = likelyNext(quality);
        for (TrialSlot& slot : slots_)
            if (slot.busy() && slot.quality() != quality && slot.quality() != next)
                slot.cancel();
        TrialSlot* current = slotRunning(quality);
        if (!current) {
            current = idleSlot();
            current->start(job_, quality, stopAfter(quality));
        }
        if (next && !known_.contains(*next) && !slotRunning(*next) && takeSpareWorker())
            idleSlot()->start(job_, *next, stopAfter(*next), job_.encoding.workers != nullptr);

        TrialOutcome outcome;
        if (!current->finish(outcome))
            return false;
        known_[quality] = outcome;
        length = outcome.length;
        if (outcome.complete && !keep(*current, outcome.length, quality))
            return false;
        return true;
    }

private:
    bool fits(std::size_t length) const { return static_cast<std::int64_t>(length) <= limit_; }
    // Quality 1 is written when nothing fits, so it always runs to its end.
    std::size_t stopAfter(std::int32_t quality) const { return quality > 1 ? stop_ : SIZE_MAX; }

    // The caller waits while its own trial runs, so that trial needs no
    // slot of its own; one running beside it does.
    bool takeSpareWorker() { return !job_.encoding.workers || job_.encoding.workers->tryTake(); }

    TrialSlot* slotRunning(std::int32_t quality)
    {
        for (TrialSlot& slot : slots_)
            if (slot.busy() && slot.quality() == quality)
                return &slot;
        return nullptr;
    }

    TrialSlot* idleSlot()
    {
        for (TrialSlot& slot : slots_)
            if (!slot.busy())
                return &slot;
        return nullptr;  // never: at most one other trial runs
    }

    bool keep(const TrialSlot& slot, std::size_t length, std::int32_t quality)
    {
        std::vector<std::uint8_t>& into = fits(length) ? fitted_ : lastComplete_;
        if (!copyBuffer(into, slot.bytes())) {
            outOfMemory_ = true;
            return false;
        }
        if (fits(length)) {
            anyFitted_ = true;
            fittedQuality_ = quality;
        }
        return true;
    }

    // The whole length at `quality`, taking its logarithm as straight along
    // the table scale through the two nearest trials: on either side of it,
    // or both on one side, or one with the usual slope.
    double estimateAt(std::int32_t quality) const
    {
        using Known = std::map<std::int32_t, TrialOutcome>::const_iterator;
        const Known above = known_.upper_bound(quality);
        std::array<Known, 2> near{};
        std::size_t count = 0;
        if (above != known_.begin() && above != known_.end()) {
            near = {std::prev(above), above};
            count = 2;
        } else if (above != known_.end()) {
            near[count++] = above;
            if (std::next(above) != known_.end())
                near[count++] = std::next(above);
        } else if (above != known_.begin()) {
            near[count++] = std::prev(above);
            if (near[0] != known_.begin())
                near[count++] = std::prev(near[0]);
        }
        if (count == 0)
            return std::numeric_limits<double>::infinity();
        const double start = std::log(near[0]->second.estimate);
        const double from = logTableScale(near[0]->first);
        const double slope = count == 2 ? (std::log(near[1]->second.estimate) - start) / (logTableScale(near[1]->first) - from)
                                        : kLengthPerTableScale;
        return std::exp(start + slope * (logTableScale(quality) - from));
    }

    // The quality the search asks for after `quality` if that one goes as
    // guessed, found by replaying the search over what is known.
    std::optional<std::int32_t> likelyNext(std::int32_t quality) const
    {
        const bool guessFits = estimateAt(quality) <= static_cast<double>(limit_);
        std::optional<std::int32_t> next;
        SearchJpegQuality(limit_, [&](std::int32_t asked, std::size_t& length) {
            if (const auto found = known_.find(asked); found != known_.end()) {
                length = found->second.length;
                return true;
            }
            if (asked == quality) {
                length = guessFits ? 0 : stop_ + 1;
                return true;
            }
            next = asked;
            return false;
        });
        return next;
    }

    JpegJob job_;
    std::int64_t limit_;
    std::size_t stop_;
    std::map<std::int32_t, TrialOutcome> known_;
    std::vector<std::uint8_t> fitted_;
    std::vector<std::uint8_t> lastComplete_;
    std::int32_t fittedQuality_ = 0;
    bool anyFitted_ = false;
    bool outOfMemory_ = false;
    std::array<TrialSlot, 2> slots_;
};

// The working state of one size-limited write, in one place because its
// lifetimes depend on each other: a trial may still be encoding on its
// thread, reading the 24-bit pixels (their converted copy or the image's
// own) and the component planes. The destructor stops the trials first,
// so nothing they read is freed under them, whatever order the members
// are declared in.
class SizeSearch {
public:
    SizeSearch() = default;
    SizeSearch(const SizeSearch&) = delete;
    SizeSearch& operator=(const SizeSearch&) = delete;
    ~SizeSearch()
    {
        if (trials_)
            trials_->stop();
    }

    // Searches the quality and keeps the encoding to write; `record`, when
    // given, gets what the search tried once it has run.
    Status run(const ImageView& image, const JpegEncoding& encoding, std::int64_t limit, JpegSearchRecord* record);
    std::span<const std::uint8_t> kept() const { return trials_->kept(); }

private:
    PageBuffer converted_;
    ComponentPlanes planes_;
    std::optional<SizeSearchTrials> trials_;
};

}  // namespace

std::int32_t SearchJpegQuality(std::int64_t limit, const JpegTrial& encodeAt)
{
    std::size_t length = 0;
    auto fits = [&] { return static_cast<std::int64_t>(length) <= limit; };
    if (!encodeAt(kTopQuality, length))
        return 0;
    if (fits())
        return kTopQuality;

    // Each fitting trial halves the step and tries that far below the
    // lowest quality found too large; too-large trials walk down by the
    // step, and one at a time below 7.
    std::int32_t highest = kTopQuality;
    std::int32_t base = kTopQuality;
    std::int32_t step = 31;
    std::int32_t quality = 69;
    std::int32_t lastFitting = 0;
    for (;;) {
        if (!encodeAt(quality, length))
            return 0;
        if (!fits()) {
            base = highest = quality;
            if (quality == 7)
                step = 1;
        } else {
            lastFitting = quality;
            if (step == 1)
                return quality;
            step /= 2;
            base = highest;
        }
        const std::int32_t next = base - step;
        if (next < 1)
            return lastFitting ? lastFitting : quality;
        quality = next;
    }
}

Status WriteJpegWithLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                          std::int32_t kilobytes, JpegSearchRecord* record)
{
    return WriteJpegWithByteLimit(image, path, encoding, std::int64_t{kilobytes} * 1024, record);
}

Status SizeSearch::run(const ImageView& image, const JpegEncoding& encoding, std::int64_t limit,
                       JpegSearchRecord* record)
{
    Result<const std::uint8_t*> rows = Pixels24(image, converted_);
    if (!rows)
        return rows.error();

    const auto uncompressed = static_cast<std::uint64_t>(rowLayout(image.width, image.height, 24).imageSize);
    const std::uint64_t target = limit > 0 ? static_cast<std::uint64_t>(limit) : 0;

    // A trial stopped at the target needs one byte more than it; larger
    // encodings (quality 1 runs to its end) grow the buffer.
    SizeSearchTrials& trials = trials_.emplace(JpegJob{image.width, image.height, *rows, encoding, nullptr, image.iccProfile}, limit);
    if (!trials.reserve(static_cast<std::size_t>(std::clamp<std::uint64_t>(target + 1, 1u << 16, std::max<std::uint64_t>(uncompressed, 1u << 16)))))
        return CodecError::noMemory;
    // The search's first trial converts the pixels itself while the planes
    // for the other trials are built beside it. Without memory for the
    // planes every trial converts the pixels.
    trials.begin(kTopQuality);
    if (buildPlanes(image.width, image.height, *rows, encoding, planes_))
        trials.usePlanes(planes_);
    JpegSearchRecord search;
    search.writtenQuality = SearchJpegQuality(limit, [&](std::int32_t quality, std::size_t& length) {
        search.qualitiesTried.push_back(quality);
        return trials.encodeAt(quality, length);
    });
    if (record)
        *record = search;
    if (search.writtenQuality == 0)
        return trials.outOfMemory() ? CodecError::noMemory : CodecError::cannotWrite;
    return {};
}

static Status writeJpegWithByteLimitBody(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, JpegSearchRecord* record)
{
    SizeSearch sizeSearch;
    if (Status searched = sizeSearch.run(image, encoding, limit, record); !searched)
        return searched;

    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(sizeSearch.kept());
    return out->finish();
}

Status WriteJpegWithByteLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, JpegSearchRecord* record)
{
    return withoutExceptions([&] { return writeJpegWithByteLimitBody(image, path, encoding, limit, record); });
}

}  // namespace vrelk
