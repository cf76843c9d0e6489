#include "codecs/size_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "codecs/codec.h"
#include "platform/platform.h"

namespace vrelk {

namespace {

// What a walk has seen: the length at each quality tried, the highest
// quality known to fit and the lowest known not to (one past the range
// when none is known yet), and on which side its recent trials fell.
class Walk {
public:
    Walk(QualityRange range, std::int64_t limit, const LengthModel& model)
        : range_(range), limit_(static_cast<double>(limit)), model_(model), fitting_(range.lowest - 1),
          tooLarge_(range.highest + 1)
    {
    }

    void record(std::int32_t quality, std::size_t length)
    {
        const bool fits = static_cast<double>(length) <= limit_;
        lengths_[quality] = std::log(std::max(static_cast<double>(length), 1.0));
        (fits ? fitting_ : tooLarge_) = quality;
        sameSide_ = fits == lastFitted_ ? sameSide_ + 1 : 1;
        lastFitted_ = fits;
    }

    // The quality proven to be the answer, once there is one.
    std::optional<std::int32_t> chosen() const
    {
        if (fitting_ == range_.highest || (fitting_ >= range_.lowest && tooLarge_ == fitting_ + 1))
            return fitting_;
        if (tooLarge_ == range_.lowest)
            return range_.lowest;
        return std::nullopt;
    }

    // The next trial: the highest quality the lengths seen put under the
    // limit, inside what is still open. Trials that keep landing on one
    // side of it lean towards the middle of what is open, then halve it,
    // so that a poor model costs little more than a bisection. `shift`
    // moves the aim up by a share of a quality.
    std::int32_t next(double shift = 0) const
    {
        const std::int32_t low = fitting_ + 1;
        const std::int32_t high = tooLarge_ - 1;
        const std::int32_t middle = low + (high - low + 1) / 2;
        if (sameSide_ >= kSameSideBeforeHalving)
            return middle;
        const auto aimed = static_cast<std::int32_t>(std::clamp<double>(std::floor(crossing() + shift + 1e-9), low, high));
        // An aim at either end of what is open never leans: there the
        // next trial often settles the answer.
        const bool bracketed = fitting_ >= range_.lowest && tooLarge_ <= range_.highest;
        const bool inside = aimed > low && aimed < high;
        return bracketed && inside && sameSide_ >= kSameSideBeforeLeaning ? (aimed + middle) / 2 : aimed;
    }

private:
    static constexpr int kSameSideBeforeLeaning = 2;
    static constexpr int kSameSideBeforeHalving = 3;
    using Seen = std::map<std::int32_t, double>::const_iterator;

    // Where the logarithm of the length, straight along the model's axis,
    // meets the limit's: through the trials either side of the open range,
    // or the two nearest on the one side seen, or one with the model's
    // slope.
    double crossing() const
    {
        const Seen below = fitting_ >= range_.lowest ? lengths_.find(fitting_) : lengths_.end();
        const Seen above = tooLarge_ <= range_.highest ? lengths_.find(tooLarge_) : lengths_.end();
        Seen from = below != lengths_.end() ? below : above;
        Seen to = below != lengths_.end() ? above : lengths_.end();
        if (to == lengths_.end())
            to = nearestBeside(from);
        double slope = model_.slope;
        const double apart = to != lengths_.end() ? model_.axis(to->first) - model_.axis(from->first) : 0.0;
        if (apart != 0) {
            const double measured = (to->second - from->second) / apart;
            if (below != lengths_.end() && above != lengths_.end())
                slope = measured;
            else if (measured * model_.slope > 0)
                slope = std::clamp(std::abs(measured), std::abs(model_.slope) / 4, std::abs(model_.slope) * 4) *
                        (model_.slope > 0 ? 1 : -1);
        }
        const double along = (std::log(limit_ > 1 ? limit_ : 1.0) - from->second) / slope;
        return inverseAxis(model_.axis(from->first) + along);
    }

    // Another trial on the same side as `from`, the nearest to it.
    Seen nearestBeside(Seen from) const
    {
        if (from == lengths_.end())
            return lengths_.end();
        if (from->first == tooLarge_)
            return std::next(from);
        return from == lengths_.begin() ? lengths_.end() : std::prev(from);
    }

    // The quality at a point of the axis, which runs one way along the
    // qualities; one past the range where the point lies beyond it.
    double inverseAxis(double point) const
    {
        std::int32_t low = range_.lowest, high = range_.highest;
        const double direction = model_.axis(high) >= model_.axis(low) ? 1.0 : -1.0;
        auto before = [&](std::int32_t quality) { return direction * (model_.axis(quality) - point) <= 0; };
        if (std::isnan(point) || !before(low))
            return low - 1.0;
        if (before(high))
            return high + 1.0;
        while (high - low > 1) {
            const std::int32_t middle = low + (high - low) / 2;
            (before(middle) ? low : high) = middle;
        }
        const double a = model_.axis(low), b = model_.axis(high);
        return low + (b != a ? (point - a) / (b - a) : 0.0);
    }

    QualityRange range_;
    double limit_;
    LengthModel model_;
    std::map<std::int32_t, double> lengths_;
    std::int32_t fitting_;
    std::int32_t tooLarge_;
    int sameSide_ = 0;
    bool lastFitted_ = false;
};

}  // namespace

std::int32_t SearchQuality(QualityRange range, std::int64_t limit, const SearchPlan& plan, const QualityTrial& lengthAt)
{
    Walk walk(range, limit, plan.model);
    std::int32_t quality = std::clamp(plan.first ? plan.first : range.highest, range.lowest, range.highest);
    for (;;) {
        std::size_t length = 0;
        if (!lengthAt(quality, length))
            return 0;
        walk.record(quality, length);
        if (const std::optional<std::int32_t> chosen = walk.chosen())
            return *chosen;
        quality = walk.next();
    }
}

namespace {

// A length estimated in floating point, held inside what a length can be.
std::size_t lengthOf(double estimate)
{
    constexpr auto kLongest = static_cast<double>(SIZE_MAX / 2);
    return estimate > 0 ? static_cast<std::size_t>(std::min(estimate, kLongest)) : 0;
}

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

    void start(const TrialEncoder& encoder, std::int32_t quality, platform::WorkerSlots* workers, bool holdsSlot)
    {
        encoder_ = encoder;
        quality_ = quality;
        workers_ = workers;
        holdsSlot_ = holdsSlot;
        result_ = CodecError::cannotWrite;
        cancel_ = false;
        work_ = std::make_unique<platform::BackgroundWork>([this] {
            if (workers_)
                workers_->encodingStarted();
            result_ = encoder_(TrialRequest{quality_, SIZE_MAX, cancel_, buffer_});
            if (workers_)
                workers_->encodingEnded();
        });
    }

    // Waits for the trial and gives the length of its file.
    Status finish(std::size_t& length)
    {
        end();
        if (!result_)
            return result_.error();
        const TrialEnd& ended = result_.value();
        if (!ended.complete || ended.length > buffer_.size())
            return CodecError::cannotWrite;
        length = ended.length;
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
    platform::WorkerSlots* workers_ = nullptr;
    Result<TrialEnd> result_{CodecError::cannotWrite};
    bool holdsSlot_ = false;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<platform::BackgroundWork> work_;
};

SizeSearch::SizeSearch(const SizeTarget& target, TrialEncoder encoder)
    : target_(target),
      encoder_(std::move(encoder)),
      plan_{target.model, 0},
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
    planFromSketch();
    for (const std::unique_ptr<TrialSlot>& slot : slots_)
        if (!slot->reserve(target_.trialBuffer))
            return CodecError::noMemory;
    if (takeSpareWorker())
        start(*idleSlot(), std::clamp(plan_.first, target_.qualities.lowest, target_.qualities.highest),
              target_.workers != nullptr);
    return {};
}

// Two encodings of the sketch, the second where the first puts the
// limit, give the first quality and the slope to aim by. A sketch that
// fails leaves the walk to begin at the highest quality.
void SizeSearch::planFromSketch()
{
    constexpr std::int32_t kLeastSpread = 4;
    const QualityRange range = target_.qualities;
    plan_ = {target_.model, range.highest};
    if (!target_.sketch)
        return;
    const Sketch& sketch = *target_.sketch;
    std::vector<std::uint8_t> buffer;
    const std::atomic<bool> never{false};
    auto wholeLength = [&](std::int32_t quality) -> std::optional<std::size_t> {
        Result<TrialEnd> ended = sketch.encoder(TrialRequest{quality, SIZE_MAX, never, buffer});
        if (!ended || !ended->complete || sketch.share <= 0)
            return std::nullopt;
        const double whole = static_cast<double>(sketch.fixedBytes) + static_cast<double>(ended->length) / sketch.share;
        sketched_[quality] = whole;
        return lengthOf(whole);
    };
    if (sketch.bracketed)
        return planFromBracket(wholeLength);
    Walk walk(range, target_.limit, target_.model);
    const std::int32_t first = range.lowest + (range.highest - range.lowest) * 3 / 4;
    const std::optional<std::size_t> atFirst = wholeLength(first);
    if (!atFirst)
        return;
    walk.record(first, *atFirst);
    std::int32_t second = walk.next();
    if (std::abs(second - first) < kLeastSpread)
        second = std::clamp(second < first ? first - kLeastSpread : first + kLeastSpread, range.lowest, range.highest);
    const std::optional<std::size_t> atSecond = wholeLength(second);
    if (!atSecond || second == first)
        return;
    walk.record(second, *atSecond);
    const double slope = (std::log(std::max<double>(static_cast<double>(*atSecond), 1)) -
                          std::log(std::max<double>(static_cast<double>(*atFirst), 1))) /
                         (target_.model.axis(second) - target_.model.axis(first));
    if (std::isfinite(slope) && slope * target_.model.slope > 0)
        plan_.model.slope = slope;
    // Rounded rather than cut down: a first trial at the boundary or one
    // above it settles the answer with one more, so the sketch may err by
    // half a quality either way at no cost.
    const std::optional<std::int32_t> chosen = walk.chosen();
    plan_.first = chosen ? *chosen : walk.next(0.5);
}

// The sketch's own search gives the highest quality whose sketched length
// fits and the one above it that does not: the first trial goes to the
// fitting one, aimed onward by the slope between the two.
void SizeSearch::planFromBracket(const std::function<std::optional<std::size_t>(std::int32_t)>& wholeLength)
{
    const QualityRange range = target_.qualities;
    const SearchPlan start{target_.model, range.lowest + (range.highest - range.lowest) * 3 / 4};
    const auto sketchedLength = [&](std::int32_t quality, std::size_t& length) {
        const std::optional<std::size_t> whole = wholeLength(quality);
        length = whole.value_or(0);
        return whole.has_value();
    };
    const std::int32_t fitting = SearchQuality(range, target_.limit, start, sketchedLength);
    if (fitting == 0)
        return;
    plan_.first = fitting;
    const auto below = sketched_.find(fitting);
    const auto above = sketched_.find(fitting + 1);
    if (below == sketched_.end() || above == sketched_.end())
        return;
    const double slope = (std::log(std::max(above->second, 1.0)) - std::log(std::max(below->second, 1.0))) /
                         (target_.model.axis(fitting + 1) - target_.model.axis(fitting));
    if (std::isfinite(slope) && slope * target_.model.slope > 0)
        plan_.model.slope = slope;
}

Result<ChosenTrial> SizeSearch::run(SizeSearchRecord* record)
{
    if (!begun_)
        if (Status begun = begin(); !begun)
            return begun.error();
    SizeSearchRecord search;
    search.writtenQuality = SearchQuality(target_.qualities, target_.limit, plan_, [&](std::int32_t quality, std::size_t& length) {
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
    const Kept& kept = fitted_.quality == search.writtenQuality ? fitted_ : lowest_;
    if (kept.quality != search.writtenQuality)
        return CodecError::cannotWrite;
    return ChosenTrial{kept.quality, kept.bytes};
}

// The caller waits while its own trial runs, so that trial needs no slot
// of its own; one running beside it does.
bool SizeSearch::takeSpareWorker() { return !target_.workers || target_.workers->tryTake(); }

void SizeSearch::start(TrialSlot& slot, std::int32_t quality, bool holdsSlot)
{
    slot.start(encoder_, quality, target_.workers, holdsSlot);
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
    if (const auto found = known_.find(quality); found != known_.end()) {
        length = found->second;
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

    if (failure_ = current->finish(length); !failure_)
        return false;
    known_[quality] = length;
    return keep(*current, length, quality);
}

// Only the file that may be written is copied: the highest that fitted,
// and the lowest quality's for when none fits.
bool SizeSearch::keep(const TrialSlot& slot, std::size_t length, std::int32_t quality)
{
    const bool fitted = fits(length);
    if (!fitted && quality != target_.qualities.lowest)
        return true;
    Kept& into = fitted ? fitted_ : lowest_;
    if (!copyWithoutThrowing(into.bytes, slot.bytes())) {
        failure_ = CodecError::noMemory;
        return false;
    }
    into.quality = quality;
    return true;
}

// The whole length at `quality`, taking its logarithm as straight along
// the plan's axis through the two nearest lengths known, measured or else
// sketched: on either side of it, or both on one side, or one with the
// plan's slope.
double SizeSearch::estimateAt(std::int32_t quality) const
{
    std::map<std::int32_t, double> lengths(sketched_);
    for (const auto& [at, length] : known_)
        lengths[at] = static_cast<double>(length);
    using Known = std::map<std::int32_t, double>::const_iterator;
    const Known above = lengths.upper_bound(quality);
    std::array<Known, 2> near{};
    std::size_t count = 0;
    if (above != lengths.begin() && above != lengths.end()) {
        near = {std::prev(above), above};
        count = 2;
    } else if (above != lengths.end()) {
        near[count++] = above;
        if (std::next(above) != lengths.end())
            near[count++] = std::next(above);
    } else if (above != lengths.begin()) {
        near[count++] = std::prev(above);
        if (near[0] != lengths.begin())
            near[count++] = std::prev(near[0]);
    }
    if (count == 0)
        return std::numeric_limits<double>::infinity();
    const LengthModel& model = plan_.model;
    const double start = std::log(std::max(near[0]->second, 1.0));
    const double from = model.axis(near[0]->first);
    const double apart = count == 2 ? model.axis(near[1]->first) - from : 0.0;
    const double slope = apart != 0 ? (std::log(std::max(near[1]->second, 1.0)) - start) / apart : model.slope;
    return std::exp(start + slope * (model.axis(quality) - from));
}

// The quality the search asks for after `quality` if that one's length is
// as estimated, found by replaying the search over what is known.
std::optional<std::int32_t> SizeSearch::likelyNext(std::int32_t quality) const
{
    const std::size_t guessed = lengthOf(estimateAt(quality));
    std::optional<std::int32_t> next;
    SearchQuality(target_.qualities, target_.limit, plan_, [&](std::int32_t asked, std::size_t& length) {
        if (const auto found = known_.find(asked); found != known_.end()) {
            length = found->second;
            return true;
        }
        if (asked == quality) {
            length = guessed;
            return true;
        }
        next = asked;
        return false;
    });
    return next;
}

}  // namespace vrelk
