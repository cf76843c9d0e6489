#include "codecs/size_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "codecs/codec.h"
#include "platform/platform.h"

namespace vrelk {

// The search's first step down from the highest quality, and how near the
// lowest it goes one quality at a time.
constexpr std::int32_t kFirstStep = 31;
constexpr std::int32_t kSingleStepsAbove = 6;

std::int32_t SearchQuality(QualityRange range, std::int64_t limit, const QualityTrial& lengthAt)
{
    std::size_t length = 0;
    auto fits = [&] { return static_cast<std::int64_t>(length) <= limit; };
    if (!lengthAt(range.highest, length))
        return 0;
    if (fits())
        return range.highest;

    // Each fitting trial halves the step and tries that far below the
    // lowest quality found too large; too-large trials walk down by the
    // step, and one at a time from the lowest seven on. Nothing fitting
    // ends at the lowest quality.
    std::int32_t tooLarge = range.highest;
    std::int32_t base = range.highest;
    std::int32_t step = kFirstStep;
    std::int32_t quality = std::max(range.highest - step, range.lowest);
    std::int32_t lastFitting = 0;
    for (;;) {
        if (!lengthAt(quality, length))
            return 0;
        if (!fits()) {
            base = tooLarge = quality;
            if (quality == range.lowest + kSingleStepsAbove)
                step = 1;
        } else {
            lastFitting = quality;
            if (step == 1)
                return quality;
            step /= 2;
            base = tooLarge;
        }
        std::int32_t next = base - step;
        if (next < range.lowest) {
            if (lastFitting || quality == range.lowest)
                return lastFitting ? lastFitting : quality;
            next = range.lowest;
        }
        quality = next;
    }
}

namespace {

bool copyWithoutThrowing(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> from)
{
    return withoutExceptions([&] { return (to.assign(from.begin(), from.end()), Status{}); }).ok();
}

}  // namespace

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
    std::int32_t quality() const { return quality_; }
    std::span<const std::uint8_t> bytes() const
    {
        return result_ && result_.value().complete ? std::span(buffer_).first(result_.value().length)
                                                   : std::span<const std::uint8_t>{};
    }

    void start(const TrialEncoder& encoder, std::int32_t quality, std::size_t stopAfter,
               platform::WorkerSlots* workers, bool holdsSlot)
    {
        encoder_ = encoder;
        quality_ = quality;
        stopAfter_ = stopAfter;
        workers_ = workers;
        holdsSlot_ = holdsSlot;
        result_ = CodecError::cannotWrite;
        cancel_ = false;
        work_ = std::make_unique<platform::BackgroundWork>([this] {
            if (workers_)
                workers_->encodingStarted();
            result_ = encoder_(TrialRequest{quality_, stopAfter_, cancel_, buffer_});
            if (workers_)
                workers_->encodingEnded();
        });
    }

    // Waits for the trial; its failure when it failed otherwise than by
    // passing its stop. A trial stopped is one byte past the stop.
    Status finish(std::size_t& length, double& estimate, bool& complete)
    {
        end();
        if (!result_)
            return result_.error();
        const TrialEnd& ended = result_.value();
        complete = ended.complete;
        if (ended.complete) {
            if (ended.length > buffer_.size())
                return CodecError::cannotWrite;
            length = ended.length;
            estimate = static_cast<double>(length);
            return {};
        }
        if (stopAfter_ == SIZE_MAX)
            return CodecError::cannotWrite;
        length = stopAfter_ + 1;
        estimate = ended.outputDone > 0 ? static_cast<double>(length) / ended.outputDone
                                        : std::numeric_limits<double>::infinity();
        return {};
    }

    void cancel()
    {
        cancel_ = true;
        end();
    }

    // The caller now waits for this trial, which so runs in its stead and
    // needs no worker slot of its own.
    void releaseSlot()
    {
        if (holdsSlot_)
            workers_->give();
        holdsSlot_ = false;
    }

private:
    void end()
    {
        work_.reset();
        releaseSlot();
    }

    TrialEncoder encoder_;
    std::int32_t quality_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t stopAfter_ = SIZE_MAX;
    platform::WorkerSlots* workers_ = nullptr;
    Result<TrialEnd> result_{CodecError::cannotWrite};
    bool holdsSlot_ = false;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<platform::BackgroundWork> work_;
};

SizeSearch::SizeSearch(const SizeTarget& target, TrialEncoder encoder)
    : target_(target),
      encoder_(std::move(encoder)),
      stop_(static_cast<std::size_t>(std::clamp<std::int64_t>(target.limit, 0, PTRDIFF_MAX))),
      slots_{std::make_unique<TrialSlot>(), std::make_unique<TrialSlot>()}
{
}

SizeSearch::~SizeSearch() { stop(); }

void SizeSearch::stop()
{
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        slot->cancel();
}

Status SizeSearch::begin()
{
    begun_ = true;
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        if (!slot->reserve(target_.trialBuffer))
            return CodecError::noMemory;
    if (takeSpareWorker())
        start(*idleSlot(), target_.qualities.highest, target_.workers != nullptr);
    return {};
}

Result<ChosenTrial> SizeSearch::run(SizeSearchRecord* record)
{
    if (!begun_)
        if (Status begun = begin(); !begun)
            return begun.error();
    SizeSearchRecord search;
    search.writtenQuality = SearchQuality(target_.qualities, target_.limit, [&](std::int32_t quality, std::size_t& length) {
        search.qualitiesTried.push_back(quality);
        return lengthAt(quality, length);
    });
    // A guess at a quality nobody asks for any more would hold its worker
    // while the file is written.
    stop();
    if (record)
        *record = search;
    if (search.writtenQuality == 0)
        return failure_.ok() ? CodecError::cannotWrite : failure_.error();
    const Kept& kept = fitted_.quality ? fitted_ : lastComplete_;
    if (kept.quality != search.writtenQuality)
        return CodecError::cannotWrite;
    return ChosenTrial{kept.quality, kept.bytes};
}

// The lowest quality is written when nothing fits, so it always runs to
// its end.
std::size_t SizeSearch::stopAfter(std::int32_t quality) const
{
    return quality > target_.qualities.lowest ? stop_ : SIZE_MAX;
}

// The caller waits while its own trial runs, so that trial needs no slot
// of its own; one running beside it does.
bool SizeSearch::takeSpareWorker() { return !target_.workers || target_.workers->tryTake(); }

void SizeSearch::start(TrialSlot& slot, std::int32_t quality, bool holdsSlot)
{
    slot.start(encoder_, quality, stopAfter(quality), target_.workers, holdsSlot);
}

TrialSlot* SizeSearch::slotRunning(std::int32_t quality)
{
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        if (slot->busy() && slot->quality() == quality)
            return slot.get();
    return nullptr;
}

TrialSlot* SizeSearch::idleSlot()
{
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        if (!slot->busy())
            return slot.get();
    return nullptr;  // never: at most one other trial runs
}

bool SizeSearch::lengthAt(std::int32_t quality, std::size_t& length)
{
    const auto found = known_.find(quality);
    if (found != known_.end() && (!fits(found->second.length) || fitted_.quality == quality)) {
        length = found->second.length;
        return true;
    }
    const std::optional<std::int32_t> next = likelyNext(quality);
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        if (slot->busy() && slot->quality() != quality && slot->quality() != next)
            slot->cancel();
    TrialSlot* current = slotRunning(quality);
    if (current) {
        current->releaseSlot();
    } else {
        current = idleSlot();
        start(*current, quality, false);
    }
    if (next && !known_.contains(*next) && !slotRunning(*next) && takeSpareWorker())
        start(*idleSlot(), *next, target_.workers != nullptr);

    Outcome outcome;
    if (failure_ = current->finish(outcome.length, outcome.estimate, outcome.complete); !failure_)
        return false;
    known_[quality] = outcome;
    length = outcome.length;
    return !outcome.complete || keep(*current, outcome.length, quality);
}

bool SizeSearch::keep(const TrialSlot& slot, std::size_t length, std::int32_t quality)
{
    Kept& into = fits(length) ? fitted_ : lastComplete_;
    if (!copyWithoutThrowing(into.bytes, slot.bytes())) {
        failure_ = CodecError::noMemory;
        return false;
    }
    into.quality = quality;
    return true;
}

// The whole length at `quality`, taking its logarithm as straight along
// the model's axis through the two nearest trials: on either side of it,
// or both on one side, or one with the model's slope.
double SizeSearch::estimateAt(std::int32_t quality) const
{
    using Known = std::map<std::int32_t, Outcome>::const_iterator;
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
    const LengthModel& model = target_.model;
    const double start = std::log(near[0]->second.estimate);
    const double from = model.axis(near[0]->first);
    const double slope = count == 2 ? (std::log(near[1]->second.estimate) - start) / (model.axis(near[1]->first) - from)
                                    : model.slope;
    return std::exp(start + slope * (model.axis(quality) - from));
}

// The quality the search asks for after `quality` if that one goes as
// guessed, found by replaying the search over what is known.
std::optional<std::int32_t> SizeSearch::likelyNext(std::int32_t quality) const
{
    const bool guessFits = estimateAt(quality) <= static_cast<double>(target_.limit);
    std::optional<std::int32_t> next;
    SearchQuality(target_.qualities, target_.limit, [&](std::int32_t asked, std::size_t& length) {
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

}  // namespace vrelk
