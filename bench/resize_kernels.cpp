// Reduction of a 4000 x 3000 24-bit image to long side 1000, with and
// without the sharpening pass.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>

#include "pixel/resize.h"

namespace {

using namespace vrelk;

constexpr std::int32_t kWidth = 4000;
constexpr std::int32_t kHeight = 3000;
constexpr std::int32_t kLongSide = 1000;

// Smooth gradients with mild noise, roughly like a photograph.
PageBuffer makePhoto()
{
    const RowLayout layout = rowLayout(kWidth, kHeight, 24);
    PageBuffer pixels = PageBuffer::allocate(static_cast<std::size_t>(layout.imageSize));
    std::mt19937 random(5);
    for (std::int32_t y = 0; y < kHeight; ++y) {
        std::uint8_t* row = pixels.data() + y * layout.stride;
        for (std::int32_t x = 0; x < kWidth; ++x) {
            const unsigned noise = random() & 15;
            row[3 * x] = static_cast<std::uint8_t>(x / 20 + noise);
            row[3 * x + 1] = static_cast<std::uint8_t>(y / 15 + noise);
            row[3 * x + 2] = static_cast<std::uint8_t>((x + y) / 30 + noise);
        }
    }
    return pixels;
}

const PageBuffer& photo()
{
    static const PageBuffer pixels = makePhoto();
    return pixels;
}

void BM_ReduceAndSharpen(benchmark::State& state)
{
    auto tables = std::make_unique<LookupTables>();
    buildLookupTables(*tables);
    PixelConverter converter;
    ResizeJob resizeJob;
    FilterJob filterJob;
    ReductionTools tools{converter, resizeJob, filterJob, *tables};
    Picture image;
    for (auto _ : state) {
        state.PauseTiming();
        image.pixels = PageBuffer::allocate(photo().size());
        std::memcpy(image.pixels.data(), photo().data(), photo().size());
        image.width = kWidth;
        image.height = kHeight;
        image.layout = PixelLayout::bgr24;
        image.stride = rowLayout(kWidth, 1, 24).stride;
        state.ResumeTiming();
        if (!reduceImage(tools, image, kReduceLongerSide, kLongSide))
            state.SkipWithError("reduction failed");
        benchmark::DoNotOptimize(image.pixels.data());
    }
}
BENCHMARK(BM_ReduceAndSharpen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ResizeOnly(benchmark::State& state)
{
    const std::int32_t newHeight = kHeight * kLongSide / kWidth;
    PageBuffer target = PageBuffer::allocate(static_cast<std::size_t>(rowLayout(kLongSide, newHeight, 24).imageSize));
    for (auto _ : state) {
        ResizeJob job{kWidth, kHeight, photo().data(), target.data()};
        if (!resizeImage(job, kLongSide, newHeight))
            state.SkipWithError("resize failed");
        benchmark::DoNotOptimize(target.data());
    }
}
BENCHMARK(BM_ResizeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SharpenOnly(benchmark::State& state)
{
    auto tables = std::make_unique<LookupTables>();
    buildLookupTables(*tables);
    const std::int32_t newHeight = kHeight * kLongSide / kWidth;
    const std::int64_t size = rowLayout(kLongSide, newHeight, 24).imageSize;
    PageBuffer reduced = PageBuffer::allocate(static_cast<std::size_t>(size));
    ResizeJob job{kWidth, kHeight, photo().data(), reduced.data()};
    if (!resizeImage(job, kLongSide, newHeight)) {
        state.SkipWithError("resize failed");
        return;
    }
    FilterJob filterJob;
    Picture image;
    for (auto _ : state) {
        state.PauseTiming();
        image.pixels = PageBuffer::allocate(reduced.size());
        std::memcpy(image.pixels.data(), reduced.data(), reduced.size());
        image.width = kLongSide;
        image.height = newHeight;
        image.layout = PixelLayout::bgr24;
        image.stride = rowLayout(kLongSide, 1, 24).stride;
        state.ResumeTiming();
        if (!filterReducedImage(filterJob, image, *tables, size))
            state.SkipWithError("filter failed");
        benchmark::DoNotOptimize(image.pixels.data());
    }
}
BENCHMARK(BM_SharpenOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
