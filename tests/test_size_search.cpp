// The size search on its own, over fake encoders whose file lengths a
// table gives: the walk over the qualities, the trial it keeps, and the
// guessed trials beside it, which must change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <tuple>
#include <cmath>
#include <thread>

#include "codec_test_support.h"
#include "codecs/size_search.h"
#include "codecs/size_sketch.h"
#include "picture/picture.h"

namespace vrelk {
namespace {

double linearAxis(std::int32_t quality) { return quality; }
const SearchPlan kLinear{LengthModel{linearAxis, 0.05}, 0};

// Sizes that fall as the quality falls: the file at quality q has q bytes.
std::pair<std::vector<int>, int> searchWithSizeEqualToQuality(std::int64_t limit, SearchPlan plan = kLinear)
{
    std::vector<int> tried;
    int kept = SearchQuality({}, limit, plan, [&](std::int32_t quality, std::size_t& length) {
        tried.push_back(quality);
        length = static_cast<std::size_t>(quality);
        return true;
    });
    return {tried, kept};
}

// The walk proves its answer: the quality kept was tried, and so was the
// next one up, unless it is the highest or nothing fitted.
void expectProven(const std::vector<int>& tried, int kept, const char* name)
{
    EXPECT_NE(std::find(tried.begin(), tried.end(), kept), tried.end()) << name;
    if (kept < 100 && kept > 1) {
        EXPECT_NE(std::find(tried.begin(), tried.end(), kept + 1), tried.end()) << name;
    }
    EXPECT_EQ(std::set<int>(tried.begin(), tried.end()).size(), tried.size()) << name << ": a quality asked twice";
}

TEST(SizeSearch, QualitiesTriedAndKept)
{
    const struct {
        std::int64_t limit;
        int kept;
        std::size_t mostTrials;
        std::int32_t first = 0;
    } cases[] = {
        {100, 100, 1}, {80, 80, 6}, {0, 1, 4}, {6, 6, 9}, {10, 10, 9}, {7, 7, 9},
        {55, 55, 3, 55}, {55, 55, 4, 54}, {55, 55, 5, 90}, {1000, 100, 2, 60},
    };
    for (const auto& c : cases) {
        const auto [tried, kept] = searchWithSizeEqualToQuality(c.limit, {kLinear.model, c.first});
        EXPECT_EQ(kept, c.kept) << "limit " << c.limit;
        EXPECT_LE(tried.size(), c.mostTrials) << "limit " << c.limit << " first " << c.first;
        EXPECT_EQ(tried.front(), c.first ? c.first : 100) << "limit " << c.limit;
        expectProven(tried, kept, "size equal to quality");
    }

    int calls = 0;
    EXPECT_EQ(SearchQuality({}, 50, kLinear, [&](std::int32_t, std::size_t& length) {
                  length = 1000;
                  return ++calls < 3;
              }),
              0);
    EXPECT_EQ(calls, 3) << "a failed encoding ends the search";
}

// Whatever the model says, the walk finds the boundary of lengths that
// fall with the quality, in no more trials than a bisection's and then
// some, and a model that fits the lengths finds it in fewer.
TEST(SizeSearch, AimedWalkFindsTheBoundaryInFewTrials)
{
    const std::function<std::size_t(std::int32_t)> lengths[] = {
        [](std::int32_t q) { return static_cast<std::size_t>(20000 * std::exp(0.05 * q)); },
        [](std::int32_t q) { return static_cast<std::size_t>(1000 + q * q * q); },
        [](std::int32_t q) { return static_cast<std::size_t>(q < 90 ? 5000 + q : 900000 + q); },
    };
    for (double slope : {0.05, 0.005, 0.5, -0.05}) {
        for (std::size_t shape = 0; shape < std::size(lengths); ++shape) {
            for (std::int32_t boundary = 1; boundary <= 100; boundary += 3) {
                const auto limit = static_cast<std::int64_t>(lengths[shape](boundary));
                std::vector<int> tried;
                const int kept = SearchQuality({}, limit, SearchPlan{LengthModel{linearAxis, slope}, 0},
                                               [&](std::int32_t quality, std::size_t& length) {
                                                   tried.push_back(quality);
                                                   length = lengths[shape](quality);
                                                   return true;
                                               });
                int expected = boundary;
                while (expected < 100 && lengths[shape](expected + 1) <= static_cast<std::size_t>(limit))
                    ++expected;
                EXPECT_EQ(kept, expected) << "shape " << shape << " slope " << slope << " boundary " << boundary;
                EXPECT_LE(tried.size(), 14u) << "shape " << shape << " slope " << slope << " boundary " << boundary;
                if (shape == 0 && slope == 0.05) {
                    EXPECT_LE(tried.size(), 4u) << "boundary " << boundary;
                }
                expectProven(tried, kept, "aimed");
            }
        }
    }
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

struct SearchCase {
    const char* name;
    std::function<std::size_t(std::int32_t)> length;
    std::int64_t limit;
    std::size_t mostTrials;
    std::int32_t written;  // 0: the search fails
    std::int32_t failsAt = 0;
    QualityRange range{};
};

std::size_t thousandPerQuality(std::int32_t quality) { return 1000u * static_cast<std::size_t>(quality); }
std::size_t qualityBytes(std::int32_t quality) { return static_cast<std::size_t>(quality); }
// Small files from 60 to 62: the walk never comes back up to them.
std::size_t dipAbove(std::int32_t quality) { return quality >= 60 && quality <= 62 ? 100 : thousandPerQuality(quality); }

const SearchCase kCases[] = {
    {"fits in the middle", thousandPerQuality, 80000, 6, 80},
    {"small files", qualityBytes, 10, 9, 10},
    {"all fit", thousandPerQuality, 1 << 20, 1, 100},
    {"none fits: the lowest, whole", thousandPerQuality, 500, 4, 1},
    {"not monotone: a dip above is not found", dipAbove, 50000, 7, 50},
    {"an encoding fails", thousandPerQuality, 80000, 3, 0, 95},
    {"a narrower range, none fits", thousandPerQuality, 0, 3, 20, 0, {20, 60}},
};

// The qualities the walk asks for, over the case's lengths.
std::vector<std::int32_t> walkOf(const SearchCase& c)
{
    std::vector<std::int32_t> tried;
    SearchQuality(c.range, c.limit, kLinear, [&](std::int32_t quality, std::size_t& length) {
        tried.push_back(quality);
        length = c.length(quality);
        return quality != c.failsAt;
    });
    return tried;
}

struct SearchRun {
    std::vector<std::int32_t> tried;
    std::int32_t written = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<CodecError> error;
    int encodings = 0;
};

SearchRun search(const SearchCase& c, platform::WorkerSlots* workers)
{
    FakeFormat format{c.length, c.failsAt, walkOf(c)};
    SizeSearch search(SizeTarget{c.range, c.limit, kLinear.model, workers, 0},
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
        EXPECT_EQ(run.tried, walkOf(c)) << c.name;
        EXPECT_LE(run.tried.size(), c.mostTrials) << c.name;
        EXPECT_EQ(run.written, c.written) << c.name;
        EXPECT_EQ(run.encodings, static_cast<int>(run.tried.size())) << c.name;
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

// Lengths that turn sharply, as AV1's do on a noisy photo once its
// quantiser stops smoothing the noise away: 27 is the last under 200000.
std::size_t sharpTurn(std::int32_t quality)
{
    return quality <= 27 ? 40000u + 1000u * static_cast<std::size_t>(quality)
                         : 40000u + 150000u * static_cast<std::size_t>(quality - 26);
}

// A sketch walked to its own bracket puts the first trial at the turn, or
// beside it when the sketch errs by a tenth either way; one that fails
// leaves the walk to find the same answer alone.
TEST(SizeSearch, BracketedSketchLandsOnASharpTurn)
{
    const struct {
        const char* name;
        double sketchError;
        bool sketchFails;
        std::size_t mostTrials;
    } cases[] = {{"exact", 1.0, false, 2}, {"a tenth over", 1.1, false, 3}, {"a tenth under", 0.9, false, 3},
                 {"failing", 1.0, true, 8}};
    constexpr double kShare = 0.125;
    for (const auto& c : cases) {
        const auto encodeAt = [](std::int32_t quality, double scale, const TrialRequest& trial) -> Result<TrialEnd> {
            trial.into.assign(static_cast<std::size_t>(static_cast<double>(sharpTurn(quality)) * scale), 0);
            return TrialEnd{true, trial.into.size(), 0};
        };
        const Sketch sketch{[&](const TrialRequest& trial) -> Result<TrialEnd> {
                                if (c.sketchFails)
                                    return CodecError::cannotWrite;
                                return encodeAt(trial.quality, kShare * c.sketchError, trial);
                            },
                            kShare, 0, true};
        platform::WorkerSlots none(0);
        SizeSearch search(SizeTarget{{1, 64}, 200000, LengthModel{linearAxis, 0.06}, &none, 0, sketch},
                          [&](const TrialRequest& trial) { return encodeAt(trial.quality, 1.0, trial); });
        SizeSearchRecord record;
        ASSERT_TRUE(search.run(&record)) << c.name;
        EXPECT_EQ(record.writtenQuality, 27) << c.name;
        EXPECT_LE(record.qualitiesTried.size(), c.mostTrials) << c.name;
        expectProven(record.qualitiesTried, record.writtenQuality, c.name);
    }
}

// The sketch is bands of 32 whole rows, one in every 8 from the top, in
// the picture's own bottom-up layout; small pictures get none.
TEST(SizeSearch, SketchTakesEveryEighthBandOfRows)
{
    for (auto [width, height, sketched] : {std::tuple{1025, 1030, 134}, std::tuple{1024, 1024, 128},
                                           std::tuple{1023, 1153, 160}, std::tuple{4000, 1100, 160}}) {
        const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
        std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(height));
        for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row)
            std::fill_n(pixels.begin() + static_cast<std::ptrdiff_t>(row * stride), stride,
                        static_cast<std::uint8_t>((height - 1 - static_cast<int>(row)) % 251));
        SketchPicture sketch;
        ASSERT_TRUE(SketchOf(width, height, pixels.data(), sketch)) << width << "x" << height;
        ASSERT_EQ(sketch.height, sketched) << width << "x" << height;
        EXPECT_DOUBLE_EQ(sketch.share, static_cast<double>(sketched) / height);
        ASSERT_EQ(sketch.pixels.size(), stride * static_cast<std::size_t>(sketched));
        for (int to = 0; to < sketched; ++to) {
            const int from = to / 32 * 256 + to % 32;
            const std::uint8_t* row = sketch.pixels.data() + static_cast<std::size_t>(sketched - 1 - to) * stride;
            EXPECT_TRUE(std::all_of(row, row + stride, [&](std::uint8_t v) { return v == from % 251; }))
                << width << "x" << height << " sketch row " << to;
        }
    }
    SketchPicture none;
    std::vector<std::uint8_t> small(static_cast<std::size_t>(rowLayout(4096, 1, 24).stride) * 1000);
    EXPECT_FALSE(SketchOf(4096, 1000, small.data(), none)) << "too few rows";
    std::vector<std::uint8_t> narrow(static_cast<std::size_t>(rowLayout(64, 1, 24).stride) * 4096);
    EXPECT_FALSE(SketchOf(64, 4096, narrow.data(), none)) << "too few pixels";
}

}  // namespace
}  // namespace vrelk
