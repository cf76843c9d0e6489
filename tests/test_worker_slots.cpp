// The worker slots of a run: a size-target batch never has more JPEG
// encodings busy than the jobs it was given, guesses included, and the
// slots change no byte of what it writes.
#include <gtest/gtest.h>

#include <map>

#include "convert/batch.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;

// Shading with fine texture, so each trial encodes for a while and the
// search runs its whole course.
test::Bytes photoRows(std::int32_t width, std::int32_t height, std::uint32_t seed)
{
    const std::int32_t stride = (3 * width + 3) & ~3;
    test::Bytes rows(static_cast<std::size_t>(stride * height), 0);
    std::uint32_t noise = seed;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < 3 * width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int shade = (x / 3 * 255 / width + y * 255 / height + x % 3 * 60) / 2;
            rows[static_cast<std::size_t>(y * stride + x)] = static_cast<std::uint8_t>(shade + (noise >> 28));
        }
    return rows;
}

std::map<std::string, std::string> contents(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const std::string& name : test::listFolder(folder))
        files[name] = test::readText(folder / name);
    return files;
}

struct SlotRun {
    const char* name;
    std::size_t files;
    unsigned jobs;
    int slots;           // 0: the run's own, one per job
    int expectedPeak;    // the most encodings at once; -1: at most `jobs`
};

TEST(WorkerSlots, SizeTargetBatchKeepsEncodingsWithinTheJobs)
{
    test::ScratchFolder scratch;
    std::vector<platform::Path> inputs;
    for (std::uint32_t i = 0; i < 5; ++i) {
        std::string name = "p";
        name += std::to_string(i);
        name += ".bmp";
        const fs::path input = scratch / name;
        test::writeBytes(input, test::buildBmp({.width = 900, .height = 700, .pixels = photoRows(900, 700, i)}));
        inputs.push_back(input);
    }
    const SlotRun runs[] = {
        {"sequential", 5, 1, 0, 0},       // the plain batch: no slots, guesses as it likes
        {"one job", 5, 1, 1, 1},          // no core to spare: no guess ever runs
        {"two jobs", 5, 2, 2, -1},        // both cores busy with files: guesses only in the tail
        {"one file, two cores", 1, 2, 2, 2},  // a file alone keeps its guesses
    };
    std::map<std::string, std::string> first;
    for (const SlotRun& run : runs) {
        const fs::path out = scratch / run.name;
        fs::create_directory(out);
        ConvertOptions options;
        options.outputType = kOutputJpeg;
        options.limitSize = true;
        options.limitKilobytes = 60;
        options.outputFolder = out;
        platform::WorkerSlots slots(run.slots);
        if (run.slots)
            options.workers = &slots;
        const std::span<const platform::Path> batch(inputs.data(), run.files);
        const BatchReport report = run.slots ? RunBatchInParallel(batch, options, run.jobs) : RunBatch(batch, options);
        ASSERT_EQ(report.outcome, BatchOutcome::done) << run.name;
        const auto written = contents(out);
        ASSERT_EQ(written.size(), run.files) << run.name;
        if (first.empty())
            first = written;
        for (const auto& [name, bytes] : written)
            EXPECT_EQ(bytes, first[name]) << run.name << ' ' << name;
        if (!run.slots)
            continue;
        if (run.expectedPeak < 0)
            EXPECT_LE(slots.peakEncodings(), static_cast<int>(run.jobs)) << run.name;
        else
            EXPECT_EQ(slots.peakEncodings(), run.expectedPeak) << run.name;
    }
}

}  // namespace
}  // namespace vrelk
