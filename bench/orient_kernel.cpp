// Placing the rows of a 4000 x 3000 24-bit picture upright, per Exif
// orientation, in the 64-row strips the JPEG reader places.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "picture/picture.h"
#include "pixel/orient.h"

namespace {

using namespace vrelk;

constexpr std::int32_t kWidth = 4000;
constexpr std::int32_t kHeight = 3000;

void Orient(benchmark::State& state)
{
    const auto orientation = static_cast<std::uint16_t>(state.range(0));
    const UprightPlacement placement = uprightPlacement(kWidth, kHeight, 24, orientation);
    PageBuffer target = PageBuffer::allocate(static_cast<std::size_t>(
        rowLayout(placement.uprightWidth, placement.uprightHeight, 24).imageSize));
    std::vector<std::uint8_t> strip(64 * 3 * kWidth + 1);
    for (std::size_t i = 0; i < strip.size(); ++i)
        strip[i] = static_cast<std::uint8_t>(i * 31);
    std::array<const std::uint8_t*, 64> rows{};
    for (std::size_t r = 0; r < rows.size(); ++r)
        rows[r] = strip.data() + r * 3 * kWidth;
    for (auto _ : state) {
        for (std::int32_t first = 0; first < kHeight; first += 64) {
            const auto count = static_cast<std::size_t>(std::min(64, kHeight - first));
            placeStoredRows(placement, std::span(rows).first(count), first, target.data());
        }
        benchmark::DoNotOptimize(target.data());
    }
}
BENCHMARK(Orient)->DenseRange(2, 8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
