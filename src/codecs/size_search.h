// The file-size search behind a size target: the highest quality whose file
// fits a byte limit, over any writer that can make its file at a quality.
// It knows no format; each writer hands it an encoder of one trial.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "picture/status.h"
#include "codecs/quality.h"
#include "platform/worker_slots.h"

namespace vrelk {

// The qualities a search may try, from 1 up; it begins at the highest.
struct QualityRange {
    std::int32_t lowest = kLowestQuality;
    std::int32_t highest = kHighestQuality;
};

// Where a format's file length runs nearly straight on a logarithmic
// scale: `axis` places a quality, `slope` is the usual change of the
// logarithm of the length along it. The walk aims its trials with it.
struct LengthModel {
    double (*axis)(std::int32_t quality);
    double slope;
};

// How a walk sets out: its first quality (0: the highest) and the model
// it aims by.
struct SearchPlan {
    LengthModel model;
    std::int32_t first = 0;
};

// The qualities the search asks for, in order. `lengthAt` stores the
// length of the file at a quality and returns false when it could not be
// made. Each trial is aimed where the lengths seen so far put the limit,
// and the walk ends once the highest fitting quality is proven: it fits
// and the next one up was seen not to, or it is the highest. Returns the
// quality whose file is to be written: that one, else the lowest; 0 when
// a file could not be made.
using QualityTrial = std::function<bool(std::int32_t quality, std::size_t& length)>;
std::int32_t SearchQuality(QualityRange range, std::int64_t limit, const SearchPlan& plan, const QualityTrial& lengthAt);

// One trial asked of an encoder: its file at `quality` in `into`, a buffer
// kept from trial to trial that the encoder may size as it likes. It may
// give up once the file is longer than `stopAfter`, and should soon after
// `cancel` is set. It runs on a thread of its own and throws nothing.
struct TrialRequest {
    std::int32_t quality;
    std::size_t stopAfter;
    const std::atomic<bool>& cancel;
    std::vector<std::uint8_t>& into;
};

// A trial's file is the first `length` bytes of its buffer; one given up
// past its stop tells what share of its output it had made (0: unknown).
struct TrialEnd {
    bool complete = true;
    std::size_t length = 0;
    double outputDone = 0;
};

using TrialEncoder = std::function<Result<TrialEnd>(const TrialRequest&)>;

// A small stand-in for the picture, of bands of its rows, whose encodings
// cost a fraction of a trial and tell where to begin: the whole file is
// about `fixedBytes` plus the sketch's length over `share`.
struct Sketch {
    TrialEncoder encoder;
    double share = 1;
    std::size_t fixedBytes = 0;
    // Whether the sketch is walked until two neighbouring qualities bracket
    // the limit, for a format whose length turns sharply along its scale
    // (AV1's quantiser levels on a noisy photo), where two sketch encodings
    // cannot aim the first trial: its encodings cost little beside one
    // trial that lands far off.
    bool bracketed = false;
};

struct SizeTarget {
    QualityRange qualities;
    std::int64_t limit = 0;
    LengthModel model;
    // A guessed trial runs only on a slot free here; null lets it always run.
    platform::WorkerSlots* workers = nullptr;
    // What each trial buffer starts with.
    std::size_t trialBuffer = 0;
    // Without one the walk begins at the highest quality.
    std::optional<Sketch> sketch{};
};

// What a search tried and which quality it wrote.
struct SizeSearchRecord {
    std::vector<std::int32_t> qualitiesTried;
    std::int32_t writtenQuality = 0;
};

// The trial the search chose; its bytes live as long as the search.
struct ChosenTrial {
    std::int32_t quality;
    std::span<const std::uint8_t> bytes;
};

class TrialSlot;

// Each quality the search asks for is encoded whole, since the next aim
// needs its length. A sketch, when the format gives one, chooses the first
// quality before any trial. While one trial runs, the one the search will most
// likely ask for next runs beside it on a spare worker; a guess that
// proves wrong is cancelled. A trial's file depends only on its quality,
// so the qualities asked, their order and the file chosen are the same
// whichever guesses were made, and a quality asked for twice is encoded
// once.
class SizeSearch {
public:
    SizeSearch(const SizeTarget& target, TrialEncoder encoder);
    SizeSearch(const SizeSearch&) = delete;
    SizeSearch& operator=(const SizeSearch&) = delete;
    // Whatever the trials read must outlive this, or their stop().
    ~SizeSearch();

    // Encodes the sketch, sizes the trial buffers and, on a spare worker,
    // starts the first trial, so that the caller can prepare for later
    // ones beside it.
    Status begin();
    // Trials started from now on encode with `encoder`; running ones keep
    // theirs.
    void useEncoder(TrialEncoder encoder) { encoder_ = std::move(encoder); }
    // Runs the search (beginning it if need be); `record`, when given,
    // gets what it tried.
    Result<ChosenTrial> run(SizeSearchRecord* record = nullptr);
    // Cancels and waits for every running trial.
    void stop();

private:
    struct Kept {
        std::vector<std::uint8_t> bytes;
        std::int32_t quality = 0;
    };

    bool fits(std::size_t length) const { return static_cast<std::int64_t>(length) <= target_.limit; }
    void planFromSketch();
    void planFromBracket(const std::function<std::optional<std::size_t>(std::int32_t)>& wholeLength);
    bool takeSpareWorker();
    void start(TrialSlot& slot, std::int32_t quality, bool holdsSlot);
    TrialSlot* slotRunning(std::int32_t quality);
    TrialSlot* idleSlot();
    bool lengthAt(std::int32_t quality, std::size_t& length);
    bool keep(const TrialSlot& slot, std::size_t length, std::int32_t quality);
    double estimateAt(std::int32_t quality) const;
    std::optional<std::int32_t> likelyNext(std::int32_t quality) const;

    SizeTarget target_;
    TrialEncoder encoder_;
    SearchPlan plan_;
    bool begun_ = false;
    std::map<std::int32_t, std::size_t> known_;
    std::map<std::int32_t, double> sketched_;  // whole lengths the sketch suggests
    Kept fitted_;  // the last trial that fitted: the highest yet
    Kept lowest_;  // the lowest quality's, for when none fits
    Status failure_;
    std::array<std::unique_ptr<TrialSlot>, 2> slots_;
};

}  // namespace vrelk
