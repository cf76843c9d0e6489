// The size search on its own, over fake encoders whose file lengths a
// table gives: the walk over the qualities, the trial it keeps, and the
// guessed trials beside it, which must change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "codec_test_support.h"
#include "codecs/size_search.h"

namespace vrelk {
namespace {

// Sizes that fall as the quality falls: the file at quality q has q bytes.
std::pair<std::vector<int>, int> searchWithSizeEqualToQuality(std::int64_t limit)
{
    std::vector<int> tried;
    int kept = SearchQuality({}, limit, [&](std::int32_t quality, std::size_t& length) {
        tried.push_back(quality);
        length = static_cast<std::size_t>(quality);
        return true;
    });
    return {tried, kept};
}

TEST(SizeSearch, QualitiesTriedAndKept)
{
    using Tried = std::vector<int>;
    EXPECT_EQ(searchWithSizeEqualToQuality(100), std::make_pair(Tried{100}, 100));
    EXPECT_EQ(searchWithSizeEqualToQuality(80), std::make_pair(Tried{100, 69, 85, 70, 78, 82, 79, 81, 80}, 80));
    EXPECT_EQ(searchWithSizeEqualToQuality(0), std::make_pair(Tried{100, 69, 38, 7, 6, 5, 4, 3, 2, 1}, 1));
    EXPECT_EQ(searchWithSizeEqualToQuality(6), std::make_pair(Tried{100, 69, 38, 7, 6}, 6));
    EXPECT_EQ(searchWithSizeEqualToQuality(10),
              std::make_pair(Tried{100, 69, 38, 7, 23, 8, 16, 9, 13, 10, 12, 11, 10}, 10));
    EXPECT_EQ(searchWithSizeEqualToQuality(7), std::make_pair(Tried{100, 69, 38, 7, 23, 8}, 7))
        << "the search ends on a larger trial; the one that fitted is kept";

    int calls = 0;
    EXPECT_EQ(SearchQuality({}, 50, [&](std::int32_t, std::size_t& length) {
                  length = 1000;
                  return ++calls < 3;
              }),
              0);
    EXPECT_EQ(calls, 3) << "a failed encoding ends the search";
}

// A fake format: the file at quality q is `length(q)` bytes of q. It stops
// past the stop as a real encoder does, fails where the case says, and
// holds a guess the search never asks for until it is cancelled.
struct FakeFormat {
    std::function<std::size_t(std::int32_t)> length;
    std::int32_t failsAt = 0;
    std::vector<std::int32_t> asked;  // the qualities a guess may wait at
    std::atomic<int> encodings{0};

    Result<TrialEnd> encode(const TrialRequest& trial)
    {
        ++encodings;
        if (trial.quality == failsAt)
            return CodecError::noMemory;
        if (std::find(asked.begin(), asked.end(), trial.quality) == asked.end())
            waitForCancel(trial.cancel);
        const std::size_t whole = length(trial.quality);
        if (whole > trial.stopAfter)
            return TrialEnd{false, 0, static_cast<double>(trial.stopAfter) / static_cast<double>(whole)};
        trial.into.assign(whole, static_cast<std::uint8_t>(trial.quality));
        return TrialEnd{true, whole, 0};
    }

    static void waitForCancel(const std::atomic<bool>& cancel)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!cancel && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

double linearAxis(std::int32_t quality) { return quality; }

struct SearchCase {
    const char* name;
    std::function<std::size_t(std::int32_t)> length;
    std::int64_t limit;
    std::vector<std::int32_t> tried;
    std::int32_t written;  // 0: the search fails
    int encodings;         // without guesses
    std::int32_t failsAt = 0;
    QualityRange range{};
};

std::size_t thousandPerQuality(std::int32_t quality) { return 1000u * static_cast<std::size_t>(quality); }
std::size_t qualityBytes(std::int32_t quality) { return static_cast<std::size_t>(quality); }
// Small files from 60 to 62: the walk never comes back up to them.
std::size_t dipAbove(std::int32_t quality) { return quality >= 60 && quality <= 62 ? 100 : thousandPerQuality(quality); }

const SearchCase kCases[] = {
    {"fits in the middle", thousandPerQuality, 80000, {100, 69, 85, 70, 78, 82, 79, 81, 80}, 80, 9},
    {"a quality asked twice is encoded once", qualityBytes, 10, {100, 69, 38, 7, 23, 8, 16, 9, 13, 10, 12, 11, 10}, 10, 12},
    {"all fit", thousandPerQuality, 1 << 20, {100}, 100, 1},
    {"none fits: the lowest, whole", thousandPerQuality, 500, {100, 69, 38, 7, 6, 5, 4, 3, 2, 1}, 1, 10},
    {"not monotone: a dip above is not found", dipAbove, 50000, {100, 69, 38, 54, 39, 47, 51, 48, 50}, 50, 9},
    {"an encoding fails", thousandPerQuality, 80000, {100, 69, 85}, 0, 3, 85},
    {"a narrower range, none fits", thousandPerQuality, 0, {60, 29, 20}, 20, 3, 0, {20, 60}},
};

struct SearchRun {
    std::vector<std::int32_t> tried;
    std::int32_t written = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<CodecError> error;
    int encodings = 0;
};

SearchRun search(const SearchCase& c, platform::WorkerSlots* workers)
{
    FakeFormat format{c.length, c.failsAt, c.tried};
    SizeSearch search(SizeTarget{c.range, c.limit, LengthModel{linearAxis, 0.05}, workers, 0},
                      [&format](const TrialRequest& trial) { return format.encode(trial); });
    SizeSearchRecord record;
    Result<ChosenTrial> chosen = search.run(&record);
    search.stop();
    SearchRun run{record.qualitiesTried, record.writtenQuality, {}, {}, format.encodings.load()};
    if (chosen)
        run.bytes.assign(chosen->bytes.begin(), chosen->bytes.end());
    else
        run.error = chosen.error();
    return run;
}

TEST(SizeSearch, KeepsTheFileOfTheQualityTheWalkChooses)
{
    platform::WorkerSlots none(0);
    for (const SearchCase& c : kCases) {
        const SearchRun run = search(c, &none);
        EXPECT_EQ(run.tried, c.tried) << c.name;
        EXPECT_EQ(run.written, c.written) << c.name;
        EXPECT_EQ(run.encodings, c.encodings) << c.name;
        if (c.written) {
            EXPECT_EQ(run.bytes, std::vector<std::uint8_t>(c.length(c.written), static_cast<std::uint8_t>(c.written)))
                << c.name;
        } else {
            EXPECT_EQ(run.error, CodecError::noMemory) << c.name << ": the encoder's own failure";
        }
        for (std::int32_t quality : run.tried)
            EXPECT_TRUE(quality >= c.range.lowest && quality <= c.range.highest) << c.name << " tried " << quality;
    }
}

// Guesses run beside the trial asked for, always (no slots) or on the one
// spare slot; wrong ones are cancelled rather than waited for, and a slot
// taken is given back.
TEST(SizeSearch, GuessedTrialsChangeNothing)
{
    platform::WorkerSlots none(0);
    for (const SearchCase& c : kCases) {
        const SearchRun plain = search(c, &none);
        platform::WorkerSlots spare(1);
        for (platform::WorkerSlots* workers : {static_cast<platform::WorkerSlots*>(nullptr), &spare}) {
            const auto began = std::chrono::steady_clock::now();
            const SearchRun guessed = search(c, workers);
            EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5)) << c.name;
            EXPECT_EQ(guessed.tried, plain.tried) << c.name;
            EXPECT_EQ(guessed.written, plain.written) << c.name;
            EXPECT_EQ(guessed.bytes, plain.bytes) << c.name;
            EXPECT_EQ(guessed.error, plain.error) << c.name;
            EXPECT_GE(guessed.encodings, plain.encodings) << c.name;
        }
        EXPECT_TRUE(spare.tryTake()) << c.name << ": the spare slot came back";
        EXPECT_FALSE(spare.tryTake()) << c.name;
        EXPECT_LE(spare.peakEncodings(), 2) << c.name;
    }
}

}  // namespace
}  // namespace vrelk
