#include "pixel/palette_builder.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <utility>

#include "pixel/colour_reduce.h"
#include "platform/picture_cores.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

// Seed colours by palette size; each table runs through blue fastest where
// it is a grid of levels.
template <std::size_t N, std::size_t B, std::size_t G, std::size_t R>
constexpr std::array<Bgr, N> gridSeeds(const std::array<std::uint8_t, B>& blue, const std::array<std::uint8_t, G>& green,
                                       const std::array<std::uint8_t, R>& red)
{
    std::array<Bgr, N> seeds{};
    std::size_t i = 0;
    for (std::uint8_t r : red)
        for (std::uint8_t g : green)
            for (std::uint8_t b : blue)
                seeds[i++] = {b, g, r};
    return seeds;
}

constexpr std::array<std::uint8_t, 2> kLevels2{0, 255};
constexpr std::array<std::uint8_t, 3> kLevels3{0, 128, 255};
constexpr std::array<std::uint8_t, 4> kLevels4{0, 85, 170, 255};
constexpr std::array<std::uint8_t, 5> kLevels5{0, 85, 140, 195, 255};
constexpr std::array<std::uint8_t, 4> kRedLevels125{0, 85, 140, 255};
constexpr std::array<std::uint8_t, 6> kLevels6{0, 85, 135, 175, 215, 255};

constexpr std::array<Bgr, 4> kSeeds4{{{0, 0, 0}, {255, 64, 0}, {0, 64, 255}, {255, 255, 255}}};
constexpr auto kSeeds8 = gridSeeds<8>(kLevels2, kLevels2, kLevels2);
constexpr std::array<Bgr, 15> kSeeds15{{{0, 0, 0},
                                        {255, 0, 0},
                                        {255, 128, 0},
                                        {0, 255, 0},
                                        {128, 255, 0},
                                        {255, 255, 0},
                                        {255, 0, 128},
                                        {128, 128, 128},
                                        {0, 255, 128},
                                        {0, 0, 255},
                                        {128, 0, 255},
                                        {255, 0, 255},
                                        {0, 128, 255},
                                        {0, 255, 255},
                                        {255, 255, 255}}};
constexpr auto kSeeds27 = gridSeeds<27>(kLevels3, kLevels3, kLevels3);
constexpr auto kSeeds64 = gridSeeds<64>(kLevels4, kLevels4, kLevels4);
// 100 grid colours and 25 blacks.
constexpr auto kSeeds125 = gridSeeds<125>(kLevels5, kLevels5, kRedLevels125);
constexpr auto kSeeds216 = gridSeeds<216>(kLevels6, kLevels6, kLevels6);

// By target bits 2..8.
const std::array<PaletteChoice, 9> kPaletteChoices{{
    {},
    {},
    {kSeeds4, 4, 34560},
    {kSeeds8, 8, 32512},
    {kSeeds15, 16, 16129},
    {kSeeds27, 32, 8064},
    {kSeeds64, 64, 3612},
    {kSeeds125, 128, 1512},
    {kSeeds216, 256, 800},
}};

// Index of each of at most 256 colours, by open addressing.
class ColourIndex {
public:
    void add(std::uint32_t key, std::uint8_t index)
    {
        std::size_t slot = hash(key);
        while (keys_[slot] != 0)
            slot = (slot + 1) & (kSlots - 1);
        keys_[slot] = key + 1;
        values_[slot] = index;
    }
    std::uint8_t find(std::uint32_t key) const
    {
        std::size_t slot = hash(key);
        while (keys_[slot] != key + 1)
            slot = (slot + 1) & (kSlots - 1);
        return values_[slot];
    }

private:
    static constexpr std::size_t kSlots = 1024;
    static std::size_t hash(std::uint32_t key) { return (key * 2654435761u) >> 22; }
    std::array<std::uint32_t, kSlots> keys_{};
    std::array<std::uint8_t, kSlots> values_{};
};

struct Cell {
    std::uint64_t blue = 0, green = 0, red = 0;  // sums, then averages
    std::uint64_t count = 0;
};

// Bits per channel of the histogram: the finest whose next coarser level
// already has no more colours than the palette holds. Each range of rows
// marks its own sets, merged afterwards.
int histogramPrecision(const std::uint8_t* work, std::int64_t workStride, std::int32_t width, std::int32_t height,
                       int paletteSize)
{
    std::vector<std::uint64_t> at4(4096 / 64), at3(512 / 64), at2(1);
    platform::Mutex merging;
    platform::ForRowRanges(height, 3 * width, [&](std::int64_t first, std::int64_t end) {
        std::vector<std::uint64_t> own4(at4.size()), own3(at3.size()), own2(at2.size());
        for (std::int64_t y = first; y < end; ++y) {
            const std::uint8_t* p = work + y * workStride;
            for (std::int32_t x = 0; x < width; ++x, p += 3) {
                const unsigned k4 = (p[2] >> 4) << 8 | (p[1] >> 4) << 4 | (p[0] >> 4);
                const unsigned k3 = (p[2] >> 5) << 6 | (p[1] >> 5) << 3 | (p[0] >> 5);
                const unsigned k2 = (p[2] >> 6) << 4 | (p[1] >> 6) << 2 | (p[0] >> 6);
                own4[k4 >> 6] |= std::uint64_t{1} << (k4 & 63);
                own3[k3 >> 6] |= std::uint64_t{1} << (k3 & 63);
                own2[0] |= std::uint64_t{1} << k2;
            }
        }
        const std::lock_guard lock(merging);
        for (auto [into, from] : {std::pair{&at4, &own4}, std::pair{&at3, &own3}, std::pair{&at2, &own2}})
            for (std::size_t i = 0; i < into->size(); ++i)
                (*into)[i] |= (*from)[i];
    });
    auto count = [](const std::vector<std::uint64_t>& set) {
        int n = 0;
        for (std::uint64_t word : set)
            n += std::popcount(word);
        return n;
    };
    if (count(at4) <= paletteSize)
        return 5;
    if (count(at3) <= paletteSize)
        return 4;
    if (count(at2) <= paletteSize)
        return 3;
    return 2;
}

// Sums are whole numbers, so ranges of rows counted apart and added up
// give the histogram of one pass.
void countColours(const std::uint8_t* work, std::int64_t workStride, std::int32_t width, std::int64_t first,
                  std::int64_t end, int precision, std::vector<Cell>& cells)
{
    const int drop = 8 - precision;
    for (std::int64_t y = first; y < end; ++y) {
        const std::uint8_t* p = work + y * workStride;
        for (std::int32_t x = 0; x < width; ++x, p += 3) {
            const std::size_t index = static_cast<std::size_t>((p[2] >> drop) << (2 * precision) |
                                                               (p[1] >> drop) << precision | (p[0] >> drop));
            Cell& cell = cells[index];
            cell.blue += p[0];
            cell.green += p[1];
            cell.red += p[2];
            ++cell.count;
        }
    }
}

std::vector<Cell> buildHistogram(const std::uint8_t* work, std::int64_t workStride, std::int32_t width,
                                 std::int32_t height, int precision)
{
    std::vector<Cell> cells(std::size_t{1} << (3 * precision));
    platform::Mutex merging;
    platform::ForRowRanges(height, 3 * width, [&](std::int64_t first, std::int64_t end) {
        if (first == 0 && end == height) {
            countColours(work, workStride, width, first, end, precision, cells);
            return;
        }
        std::vector<Cell> own(cells.size());
        countColours(work, workStride, width, first, end, precision, own);
        const std::lock_guard lock(merging);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            cells[i].blue += own[i].blue;
            cells[i].green += own[i].green;
            cells[i].red += own[i].red;
            cells[i].count += own[i].count;
        }
    });
    for (Cell& cell : cells)
        if (cell.count) {
            cell.blue /= cell.count;
            cell.green /= cell.count;
            cell.red /= cell.count;
        }
    return cells;
}

// Seeds first, each taking the nearest well-filled cell within the limit;
// then the most popular cells; then all entries by brightness.
void choosePalette(PixelConverter& converter, std::vector<Cell>& cells, const PaletteChoice& choice)
{
    RgbQuad* palette = converter.targetPalette;
    const std::int32_t* squares = converter.squares.data() + 255;
    const std::uint64_t minimumCount =
        (static_cast<std::uint64_t>(converter.width) * static_cast<std::uint64_t>(converter.height)) >> 16;
    int taken = 0;
    auto take = [&](Cell& cell) {
        setColour(palette[taken++], static_cast<std::uint8_t>(cell.blue), static_cast<std::uint8_t>(cell.green),
                  static_cast<std::uint8_t>(cell.red));
        cell.count = 0;
    };

    for (const Bgr& seed : choice.seeds) {
        Cell* best = nullptr;
        std::int32_t bestDistance = choice.distanceLimit;
        for (Cell& cell : cells) {
            if (cell.count < minimumCount)
                continue;
            const std::int32_t distance = squares[static_cast<int>(cell.blue) - seed.b] +
                                          squares[static_cast<int>(cell.green) - seed.g] +
                                          squares[static_cast<int>(cell.red) - seed.r];
            if (distance < bestDistance) {
                bestDistance = distance;
                best = &cell;
            }
        }
        if (best)
            take(*best);
    }
    while (taken < choice.size) {
        auto most = std::max_element(cells.begin(), cells.end(),
                                     [](const Cell& a, const Cell& b) { return a.count < b.count; });
        if (most->count == 0)
            break;
        take(*most);
    }
    for (int i = 1; i < choice.size; ++i) {
        const RgbQuad entry = palette[i];
        int j = i;
        for (; j > 0 && brightness(palette[j - 1]) > brightness(entry); --j)
            palette[j] = palette[j - 1];
        palette[j] = entry;
    }
}

}  // namespace

const PaletteChoice& paletteChoice(int bits) { return kPaletteChoices[static_cast<std::size_t>(bits)]; }

// Colours of an 8-bit image: source entry 0, then each entry whose colour is
// new, in source order, so the image's own palette order survives. When that
// list is longer than the target holds, only entries the pixels use are
// listed, so no pixel loses its colour.
void exactFromPalette(PixelConverter& converter, const SourceRows& source, const std::array<bool, 256>& used,
                      int capacity, IndexRows& out)
{
    const RgbQuad* palette = converter.sourcePalette;
    auto build = [&](bool usedOnly, std::array<int, 256>& mapping) {
        int count = 0;
        for (int i = 0; i < 256; ++i) {
            mapping[static_cast<std::size_t>(i)] = -1;
            if (usedOnly && !used[static_cast<std::size_t>(i)])
                continue;
            int found = 0;
            while (found < count && !sameColour(converter.targetPalette[found], palette[i]))
                ++found;
            if (found == count) {
                if (count == capacity)
                    continue;
                setColour(converter.targetPalette[count++], palette[i].rgbBlue, palette[i].rgbGreen,
                          palette[i].rgbRed);
            }
            mapping[static_cast<std::size_t>(i)] = found;
        }
        for (int i = 0; i < 256; ++i)
            if (used[static_cast<std::size_t>(i)] && mapping[static_cast<std::size_t>(i)] < 0)
                return false;
        return true;
    };
    std::array<int, 256> mapping{};
    if (!build(false, mapping))
        build(true, mapping);

    for (std::int32_t y = 0; y < converter.height; ++y) {
        const std::uint8_t* from = source.pixels + y * source.stride;
        std::uint8_t* to = out.row(y);
        for (std::int32_t x = 0; x < converter.width; ++x)
            to[x] = static_cast<std::uint8_t>(mapping[from[x]]);
        out.finish(y, converter.width);
    }
}

// Colours of a 24-bit image in order of first appearance, then by
// brightness, darkest first.
void exactFromColours(PixelConverter& converter, const SourceRows& source, const std::vector<std::uint32_t>& colours,
                      IndexRows& out)
{
    const int count = static_cast<int>(colours.size());
    RgbQuad* palette = converter.targetPalette;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t c = colours[static_cast<std::size_t>(i)];
        setColour(palette[i], static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
                  static_cast<std::uint8_t>(c >> 16));
    }
    for (int i = 0; i < count; ++i) {
        int least = i;
        for (int j = i + 1; j < count; ++j)
            if (brightness(palette[j]) < brightness(palette[least]))
                least = j;
        std::swap(palette[i], palette[least]);
    }
    ColourIndex index;
    for (int i = 0; i < count; ++i) {
        const RgbQuad& c = palette[i];
        index.add(std::uint32_t{c.rgbRed} << 16 | std::uint32_t{c.rgbGreen} << 8 | c.rgbBlue,
                  static_cast<std::uint8_t>(i));
    }
    for (std::int32_t y = 0; y < converter.height; ++y) {
        const std::uint8_t* from = source.pixels + y * source.stride;
        std::uint8_t* to = out.row(y);
        for (std::int32_t x = 0; x < converter.width; ++x, from += 3)
            to[x] = index.find(colourKey(from));
        out.finish(y, converter.width);
    }
}

void choosePaletteFor(PixelConverter& converter, const std::uint8_t* work, const PaletteChoice& choice)
{
    const std::int32_t width = converter.width;
    const std::int32_t height = converter.height;
    const std::int64_t workStride = converter.workStride;
    const int precision = histogramPrecision(work, workStride, width, height, choice.size);
    std::vector<Cell> cells = buildHistogram(work, workStride, width, height, precision);
    choosePalette(converter, cells, choice);
}

void buildSquares(PixelConverter& converter)
{
    for (int d = -255; d <= 255; ++d)
        converter.squares[static_cast<std::size_t>(d + 255)] = d * d;
    converter.squaresReady = converter.squares.data() + 255;
}

int nearestEntry(const PixelConverter& converter, const std::uint8_t* pixel, int count)
{
    const std::int32_t* squares = converter.squaresReady;
    const RgbQuad* palette = converter.targetPalette;
    std::int32_t best = 195076;
    int found = 0;
    for (int i = 0; i < count; ++i) {
        const std::int32_t distance = squares[palette[i].rgbBlue - pixel[0]] +
                                      squares[palette[i].rgbGreen - pixel[1]] + squares[palette[i].rgbRed - pixel[2]];
        if (distance < best) {
            best = distance;
            found = i;
        }
    }
    return found;
}

NearestSearch::NearestSearch(const RgbQuad* palette, int count)
    : palette_(palette),
      count_(count),
      cellStart_(std::size_t{1} << (3 * (8 - kCellShift)), -1),
      cellCount_(cellStart_.size())
{
}

// An entry can be nearest somewhere in the cube only if its least distance
// to the cube is within the greatest distance from the cube of the entry
// whose greatest distance is smallest. The kept entries stay in index order,
// so the first one wins ties as in the plain scan.
void NearestSearch::buildCell(std::size_t cell, int blue, int green, int red)
{
    constexpr int kSide = (1 << kCellShift) - 1;
    const int low[3] = {blue & ~kSide, green & ~kSide, red & ~kSide};
    auto channelDistances = [&](int value, int lowEdge, int& nearest, int& farthest) {
        const int highEdge = lowEdge + kSide;
        const int below = lowEdge - value;
        const int above = value - highEdge;
        const int outside = std::max({below, above, 0});
        nearest = outside * outside;
        const int far = std::max(value - lowEdge, highEdge - value);
        farthest = far * far;
    };
    std::array<std::int32_t, 256> nearest{};
    std::int32_t bound = 195076;
    for (int i = 0; i < count_; ++i) {
        const RgbQuad& c = palette_[i];
        int n0, f0, n1, f1, n2, f2;
        channelDistances(c.rgbBlue, low[0], n0, f0);
        channelDistances(c.rgbGreen, low[1], n1, f1);
        channelDistances(c.rgbRed, low[2], n2, f2);
        nearest[static_cast<std::size_t>(i)] = n0 + n1 + n2;
        bound = std::min(bound, f0 + f1 + f2);
    }
    cellStart_[cell] = static_cast<std::int32_t>(candidates_.size());
    for (int i = 0; i < count_; ++i)
        if (nearest[static_cast<std::size_t>(i)] <= bound)
            candidates_.push_back(static_cast<std::uint8_t>(i));
    cellCount_[cell] = static_cast<std::uint16_t>(candidates_.size() - static_cast<std::size_t>(cellStart_[cell]));
}

int NearestSearch::find(const std::uint8_t* bgr)
{
    const std::size_t cell = static_cast<std::size_t>((bgr[2] >> kCellShift) << (2 * (8 - kCellShift)) |
                                                      (bgr[1] >> kCellShift) << (8 - kCellShift) |
                                                      (bgr[0] >> kCellShift));
    if (cellStart_[cell] < 0)
        buildCell(cell, bgr[0], bgr[1], bgr[2]);
    const std::uint8_t* candidate = candidates_.data() + cellStart_[cell];
    const std::uint8_t* end = candidate + cellCount_[cell];
    std::int32_t best = 195076;
    int found = 0;
    for (; candidate != end; ++candidate) {
        const RgbQuad& c = palette_[*candidate];
        const int db = c.rgbBlue - bgr[0];
        const int dg = c.rgbGreen - bgr[1];
        const int dr = c.rgbRed - bgr[2];
        const std::int32_t distance = db * db + dg * dg + dr * dr;
        if (distance < best) {
            best = distance;
            found = *candidate;
        }
    }
    return found;
}

}  // namespace vrelk
