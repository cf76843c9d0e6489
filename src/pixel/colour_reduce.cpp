#include "pixel/colour_reduce.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <span>

#include "pixel/bit_depth.h"

namespace vrelk {
namespace {

struct Bgr {
    std::uint8_t b, g, r;
};

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

struct PaletteChoice {
    std::span<const Bgr> seeds;
    int size;
    std::int32_t distanceLimit;
};

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

constexpr std::uint32_t colourKey(const std::uint8_t* bgr)
{
    return std::uint32_t{bgr[2]} << 16 | std::uint32_t{bgr[1]} << 8 | bgr[0];
}

constexpr int brightness(const RgbQuad& c) { return c.rgbBlue + c.rgbGreen + c.rgbRed; }

constexpr bool sameColour(const RgbQuad& a, const RgbQuad& b)
{
    return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed;
}

void setColour(RgbQuad& entry, std::uint8_t blue, std::uint8_t green, std::uint8_t red)
{
    entry.rgbBlue = blue;
    entry.rgbGreen = green;
    entry.rgbRed = red;
}

// ---- Where the indices go ---------------------------------------------------

using PackRow = void (*)(const std::uint8_t* indices, std::uint8_t* target, std::int32_t width);

// Into zero-filled rows, leftmost pixel in the most significant bits.
template <int Bits>
void packRow(const std::uint8_t* indices, std::uint8_t* target, std::int32_t width)
{
    constexpr int kPerByte = 8 / Bits;
    for (std::int32_t x = 0; x < width; ++x)
        target[x / kPerByte] |= static_cast<std::uint8_t>(indices[x] << (8 - Bits - (x % kPerByte) * Bits));
}

// One index per pixel is produced row by row; packed targets get each row
// through the routine chosen for their depth, byte targets take it in place.
class IndexRows {
public:
    IndexRows(std::uint8_t* pixels, std::int64_t stride, PackRow pack, std::int32_t width)
        : pixels_(pixels), stride_(stride), pack_(pack), row_(pack ? static_cast<std::size_t>(width) : 0)
    {
    }

    std::uint8_t* row(std::int32_t y) { return pack_ ? row_.data() : pixels_ + y * stride_; }
    void finish(std::int32_t y, std::int32_t width)
    {
        if (pack_)
            pack_(row_.data(), pixels_ + y * stride_, width);
    }

private:
    std::uint8_t* pixels_;
    std::int64_t stride_;
    PackRow pack_;
    std::vector<std::uint8_t> row_;
};

// ---- Error diffusion ---------------------------------------------------------

template <int Channels>
struct Spreader {
    const std::uint8_t* clamp;  // at index 0
    const std::int32_t* share1;
    const std::int32_t* share3;
    const std::int32_t* share5;
    const std::int32_t* share7;

    void add(std::uint8_t* pixel, const std::int32_t* share, const int* error) const
    {
        for (int c = 0; c < Channels; ++c)
            pixel[c] = clamp[pixel[c] + share[error[c]]];
    }
};

// Maps one row left to right and hands each error on to the pixels not yet
// visited: right 7/16, and on the next row in memory left 3/16, same 5/16,
// right 1/16. The edges are taken apart so the inner loops do not branch.
template <int Channels, class Map>
void mapRow(const Spreader<Channels>& s, std::uint8_t* row, std::uint8_t* next, std::int32_t width,
            std::uint8_t* out, Map& map)
{
    constexpr int C = Channels;
    int e[C];
    out[0] = map(row, e);
    if (width == 1) {
        if (next)
            s.add(next, s.share5, e);
        return;
    }
    s.add(row + C, s.share7, e);
    const std::int32_t last = width - 1;
    if (next) {
        s.add(next, s.share5, e);
        s.add(next + C, s.share1, e);
        for (std::int32_t x = 1; x < last; ++x) {
            std::uint8_t* p = row + x * C;
            std::uint8_t* q = next + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
            s.add(q - C, s.share3, e);
            s.add(q, s.share5, e);
            s.add(q + C, s.share1, e);
        }
        std::uint8_t* q = next + last * C;
        out[last] = map(row + last * C, e);
        s.add(q - C, s.share3, e);
        s.add(q, s.share5, e);
    } else {
        for (std::int32_t x = 1; x < last; ++x) {
            std::uint8_t* p = row + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
        }
        out[last] = map(row + last * C, e);
    }
}

template <int Channels, class Map>
void diffuse(const PixelConverter& converter, std::uint8_t* work, std::int64_t workStride, IndexRows& out, Map map)
{
    const Spreader<Channels> spreader{converter.clamp.data() + 255, converter.share1, converter.share3,
                                      converter.share5, converter.share7};
    const std::int32_t height = converter.height;
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = work + y * workStride;
        mapRow(spreader, row, y + 1 < height ? row + workStride : nullptr, converter.width, out.row(y), map);
        out.finish(y, converter.width);
    }
}

// ---- Two levels ------------------------------------------------------------------

bool reduceTwoLevels(PixelConverter& converter, IndexRows& out)
{
    const std::size_t size = static_cast<std::size_t>(converter.width) * static_cast<std::size_t>(converter.height);
    PageBuffer grey = PageBuffer::allocate(size);
    if (!grey)
        return false;
    PixelConverter greyConverter;
    greyConverter.width = converter.width;
    greyConverter.height = converter.height;
    greyConverter.sourceBits = converter.sourceBits;
    greyConverter.targetBits = 8;
    if (!convertToGrey(greyConverter, converter.sourcePalette, converter.sourcePixels, grey.data()))
        return false;
    setColour(converter.targetPalette[0], 0, 0, 0);
    setColour(converter.targetPalette[1], 255, 255, 255);
    diffuse<1>(converter, grey.data(), converter.width, out, [](const std::uint8_t* p, int* error) {
        const int v = p[0];
        const int bit = v >> 7;
        error[0] = v - 255 * bit;
        return static_cast<std::uint8_t>(bit);
    });
    return true;
}

// ---- Counting colours ------------------------------------------------------------

// Marks each colour in the 2^24-bit presence set; returns how many differ.
class PresenceSet {
public:
    PresenceSet() : bits_(PageBuffer::allocate(std::size_t{1} << 21)) {}
    explicit operator bool() const { return static_cast<bool>(bits_); }

    // True the first time a colour is seen.
    bool insert(std::uint32_t key)
    {
        std::uint8_t& byte = bits_.data()[key >> 3];
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (key & 7));
        const bool fresh = (byte & bit) == 0;
        byte |= bit;
        return fresh;
    }

private:
    PageBuffer bits_;
};

struct Source {
    const std::uint8_t* pixels;
    std::int64_t stride;
};

// ---- Exact palettes --------------------------------------------------------------------

// Colours of an 8-bit image: source entry 0, then each entry whose colour is
// new, in source order, so the image's own palette order survives. When that
// list is longer than the target holds, only entries the pixels use are
// listed, so no pixel loses its colour.
void exactFromPalette(PixelConverter& converter, const Source& source, const std::array<bool, 256>& used,
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

// Colours of a 24-bit image in order of first appearance, then by
// brightness, darkest first.
void exactFromColours(PixelConverter& converter, const Source& source, const std::vector<std::uint32_t>& colours,
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

// ---- Quantising ----------------------------------------------------------------------------

struct Cell {
    std::uint64_t blue = 0, green = 0, red = 0;  // sums, then averages
    std::uint64_t count = 0;
};

// Bits per channel of the histogram: the finest whose next coarser level
// already has no more colours than the palette holds.
int histogramPrecision(const std::uint8_t* work, std::int64_t workStride, std::int32_t width, std::int32_t height,
                       int paletteSize)
{
    std::vector<std::uint64_t> at4(4096 / 64), at3(512 / 64), at2(1);
    for (std::int32_t y = 0; y < height; ++y) {
        const std::uint8_t* p = work + y * workStride;
        for (std::int32_t x = 0; x < width; ++x, p += 3) {
            const unsigned k4 = (p[2] >> 4) << 8 | (p[1] >> 4) << 4 | (p[0] >> 4);
            const unsigned k3 = (p[2] >> 5) << 6 | (p[1] >> 5) << 3 | (p[0] >> 5);
            const unsigned k2 = (p[2] >> 6) << 4 | (p[1] >> 6) << 2 | (p[0] >> 6);
            at4[k4 >> 6] |= std::uint64_t{1} << (k4 & 63);
            at3[k3 >> 6] |= std::uint64_t{1} << (k3 & 63);
            at2[0] |= std::uint64_t{1} << k2;
        }
    }
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

std::vector<Cell> buildHistogram(const std::uint8_t* work, std::int64_t workStride, std::int32_t width,
                                 std::int32_t height, int precision)
{
    std::vector<Cell> cells(std::size_t{1} << (3 * precision));
    const int drop = 8 - precision;
    for (std::int32_t y = 0; y < height; ++y) {
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

bool quantise(PixelConverter& converter, std::uint8_t* work, IndexRows& out, const PaletteChoice& choice)
{
    const std::int32_t width = converter.width;
    const std::int32_t height = converter.height;
    const std::int64_t workStride = converter.workStride;
    const int precision = histogramPrecision(work, workStride, width, height, choice.size);
    std::vector<Cell> cells = buildHistogram(work, workStride, width, height, precision);
    choosePalette(converter, cells, choice);
    cells = {};

    const RgbQuad* palette = converter.targetPalette;
    NearestSearch search(palette, choice.size);
    diffuse<3>(converter, work, workStride, out, [&](const std::uint8_t* p, int* error) {
        const int index = search.find(p);
        const RgbQuad& c = palette[index];
        error[0] = p[0] - c.rgbBlue;
        error[1] = p[1] - c.rgbGreen;
        error[2] = p[2] - c.rgbRed;
        return static_cast<std::uint8_t>(index);
    });
    return true;
}

// ---- Palette reduction ----------------------------------------------------------------------

// The 24-bit working copy that diffusion changes as it goes.
PageBuffer makeWorkCopy(PixelConverter& converter, const Source& source)
{
    converter.workStride = rowLayout(converter.width, 1, 24).stride;
    PageBuffer work = PageBuffer::allocate(static_cast<std::size_t>(converter.workStride * converter.height));
    if (!work)
        return work;
    if (converter.sourceBits == 24) {
        std::memcpy(work.data(), source.pixels, work.size());
        return work;
    }
    PixelConverter expand;
    expand.width = converter.width;
    expand.height = converter.height;
    expand.sourceBits = 8;
    expand.targetBits = 24;
    expand.computeLayout();
    if (!convertPixels(nullptr, work.data(), expand, converter.sourcePalette, source.pixels))
        work.reset();
    return work;
}

// `exactUpTo`: the most colours kept exactly.
bool reducePalette(PixelConverter& converter, IndexRows& out, int exactUpTo, const PaletteChoice* choice)
{
    const Source source{converter.sourcePixels, rowLayout(converter.width, 1, converter.sourceBits).stride};
    if (converter.squaresReady == nullptr)
        buildSquares(converter);

    if (converter.sourceBits == 8) {
        std::array<bool, 256> used{};
        for (std::int32_t y = 0; y < converter.height; ++y) {
            const std::uint8_t* row = source.pixels + y * source.stride;
            for (std::int32_t x = 0; x < converter.width; ++x)
                used[row[x]] = true;
        }
        int distinct = 0;
        for (int i = 0; i < 256; ++i) {
            if (!used[static_cast<std::size_t>(i)])
                continue;
            int j = 0;
            while (j < i && !(used[static_cast<std::size_t>(j)] &&
                              sameColour(converter.sourcePalette[j], converter.sourcePalette[i])))
                ++j;
            distinct += j == i;
        }
        if (distinct <= exactUpTo) {
            exactFromPalette(converter, source, used, 1 << converter.targetBits, out);
            return true;
        }
    } else {
        PresenceSet present;
        if (!present)
            return false;
        std::vector<std::uint32_t> firstSeen;
        std::size_t distinct = 0;
        for (std::int32_t y = 0; y < converter.height; ++y) {
            const std::uint8_t* p = source.pixels + y * source.stride;
            for (std::int32_t x = 0; x < converter.width; ++x, p += 3)
                if (present.insert(colourKey(p)) && ++distinct <= static_cast<std::size_t>(exactUpTo))
                    firstSeen.push_back(colourKey(p));
        }
        if (distinct <= static_cast<std::size_t>(exactUpTo)) {
            exactFromColours(converter, source, firstSeen, out);
            return true;
        }
    }
    if (!choice)
        return false;
    PageBuffer work = makeWorkCopy(converter, source);
    if (!work)
        return false;
    return quantise(converter, work.data(), out, *choice);
}

bool sourceUsable(const PixelConverter& converter)
{
    return converter.width > 0 && converter.height > 0 && converter.sourcePixels && converter.targetPixels &&
           converter.targetPalette &&
           (converter.sourceBits == 24 || (converter.sourceBits == 8 && converter.sourcePalette));
}

template <class Work>
bool guarded(Work work)
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

constexpr std::array<PackRow, 9> kPackRows{nullptr, packRow<1>, packRow<2>, nullptr, packRow<4>,
                                           nullptr, nullptr,    nullptr,    nullptr};

}  // namespace

void buildDiffusionTables(PixelConverter& converter)
{
    for (int i = -255; i <= 512; ++i)
        converter.clamp[static_cast<std::size_t>(i + 255)] = static_cast<std::uint8_t>(std::clamp(i, 0, 255));
    for (int e = -255; e <= 255; ++e) {
        converter.share1[e] = e >> 4;
        converter.share3[e] = (3 * e) >> 4;
        converter.share5[e] = (5 * e) >> 4;
        converter.share7[e] = (7 * e) >> 4;
    }
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

bool reduceToTwoLevels(PixelConverter& converter)
{
    if (converter.targetBits != 1 || !sourceUsable(converter))
        return false;
    return guarded([&] {
        IndexRows out(converter.targetPixels, converter.stride, packRow<1>, converter.width);
        return reduceTwoLevels(converter, out);
    });
}

bool reduceColours(PixelConverter& converter)
{
    const int bits = converter.targetBits;
    if ((bits != 2 && bits != 4 && bits != 8) || !sourceUsable(converter))
        return false;
    return guarded([&] {
        IndexRows out(converter.targetPixels, converter.stride, kPackRows[static_cast<std::size_t>(bits)],
                      converter.width);
        return reducePalette(converter, out, 1 << bits, &kPaletteChoices[static_cast<std::size_t>(bits)]);
    });
}

bool reduceToIndexBytes(const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels, RgbQuad* targetPalette,
                        PixelConverter& converter, std::uint8_t* targetPixels)
{
    converter.sourcePalette = sourcePalette;
    converter.sourcePixels = sourcePixels;
    converter.targetPalette = targetPalette;
    converter.targetPixels = targetPixels;
    const int bits = converter.targetBits;
    if (bits < 1 || bits > 8 || !sourceUsable(converter))
        return false;
    return guarded([&] {
        IndexRows out(targetPixels, converter.width, nullptr, converter.width);
        if (bits == 1)
            return reducePalette(converter, out, 2, nullptr) || reduceTwoLevels(converter, out);
        return reducePalette(converter, out, 1 << bits, &kPaletteChoices[static_cast<std::size_t>(bits)]);
    });
}

}  // namespace vrelk
