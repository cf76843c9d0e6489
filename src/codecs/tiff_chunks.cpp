#include "codecs/tiff_chunks.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "picture/checked.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// Whether every strip of the range decoded to its whole rows, each put in
// its place. A strip that decodes short moves the rows after it, which
// only reading the file in order gives.
bool readWholeStrips(TIFF* tiff, const TiffRanges& job, std::span<std::uint8_t> chunk, std::uint32_t first,
                     std::uint32_t end, TiffRowSink& sink)
{
    const auto height = static_cast<std::uint32_t>(job.image->height);
    for (std::uint32_t i = first; i < end; ++i) {
        const std::uint32_t rows = std::min(job.rowsPerStrip, height - i * job.rowsPerStrip);
        const tmsize_t got = TIFFReadEncodedStrip(tiff, i, chunk.data(), static_cast<tmsize_t>(chunk.size()));
        if (got < 0 || static_cast<std::uint64_t>(got) != std::uint64_t{rows} * job.rowBytes)
            return false;
        for (std::uint32_t r = 0; r < rows; ++r)
            sink.put(chunk.data() + r * job.rowBytes);
    }
    return true;
}

// One plane's samples of `pixels` pixels into their places among the others.
template <std::size_t kBytes>
void scatterSamples(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels, std::size_t step)
{
    for (std::size_t x = 0; x < pixels; ++x, in += kBytes, out += step)
        std::memcpy(out, in, kBytes);
}

using ScatterRoutine = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t, std::size_t);

ScatterRoutine scatterFor(std::uint16_t bits)
{
    return bits == 8 ? scatterSamples<1> : bits == 16 ? scatterSamples<2> : scatterSamples<4>;
}

class BandReader {
public:
    BandReader(TIFF* tiff, const TiffFields& f, std::size_t rowBytes, std::span<std::uint8_t> chunk,
               std::span<std::uint8_t> band)
        : tiff_(tiff), f_(f), bands_(TiffBandsOf(tiff, f)), rowBytes_(rowBytes), chunk_(chunk), band_(band),
          separate_(f.planar == PLANARCONFIG_SEPARATE && f.samples > 1),
          chunkRowBytes_(separate_ ? std::size_t{bands_.width} * (f.bits / 8)
                                   : static_cast<std::size_t>((std::uint64_t{bands_.width} * f.bits * f.samples + 7) / 8))
    {
    }

    // Rows [fromY, toY), fromY at the top of a band.
    Status read(TiffRowSink& sink, std::uint32_t fromY = 0, std::uint32_t toY = UINT32_MAX)
    {
        if (bands_.width == 0 || bands_.rows == 0 || band_.size() < rowBytes_ * bands_.rows)
            return CodecError::damaged;
        const std::uint32_t planes = separate_ ? f_.samples : 1;
        const std::uint32_t end = std::min(f_.height, toY);
        for (std::uint32_t y = fromY; y < end && !sink.full(); y += bands_.rows) {
            const std::uint32_t rows = std::min(bands_.rows, f_.height - y);
            for (std::uint32_t plane = 0; plane < planes; ++plane) {
                for (std::uint32_t x = 0; x < f_.width; x += bands_.width) {
                    if (Status placed = placeChunk(x, y, rows, plane); !placed)
                        return placed;
                }
            }
            for (std::uint32_t r = 0; r < rows; ++r)
                sink.put(band_.data() + r * rowBytes_);
        }
        return {};
    }

private:
    Status placeChunk(std::uint32_t x, std::uint32_t y, std::uint32_t rows, std::uint32_t plane)
    {
        const auto size = static_cast<tmsize_t>(chunk_.size());
        const tmsize_t got =
            f_.tiled ? TIFFReadEncodedTile(tiff_, TIFFComputeTile(tiff_, x, y, 0, static_cast<std::uint16_t>(plane)),
                                           chunk_.data(), size)
                     : TIFFReadEncodedStrip(tiff_, TIFFComputeStrip(tiff_, y, static_cast<std::uint16_t>(plane)),
                                            chunk_.data(), size);
        if (got < 0 || static_cast<std::uint64_t>(got) < std::uint64_t{rows} * chunkRowBytes_)
            return CodecError::damaged;
        const std::size_t pixels = std::min(bands_.width, f_.width - x);
        if (separate_) {
            const std::size_t sampleBytes = f_.bits / 8;
            const ScatterRoutine scatter = scatterFor(f_.bits);
            const std::size_t at = (std::size_t{x} * f_.samples + plane) * sampleBytes;
            for (std::uint32_t r = 0; r < rows; ++r)
                scatter(chunk_.data() + r * chunkRowBytes_, band_.data() + r * rowBytes_ + at, pixels,
                        f_.samples * sampleBytes);
            return {};
        }
        // Tile widths are multiples of 16 pixels, so each tile starts on a byte.
        const std::size_t at = static_cast<std::size_t>(std::uint64_t{x} * f_.bits * f_.samples / 8);
        const std::size_t length = std::min(chunkRowBytes_, rowBytes_ - at);
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memcpy(band_.data() + r * rowBytes_ + at, chunk_.data() + r * chunkRowBytes_, length);
        return {};
    }

    TIFF* tiff_;
    const TiffFields& f_;
    TiffBands bands_;
    std::size_t rowBytes_;
    std::span<std::uint8_t> chunk_;
    std::span<std::uint8_t> band_;
    bool separate_;
    std::size_t chunkRowBytes_;
};

// Whether strips or bands [first, end) were read whole, through a handle
// and buffers of their own, each row put in its place.
bool readRange(const TiffRanges& job, std::uint32_t first, std::uint32_t end)
{
    MemoryTiff memory{job.file};
    LibtiffReport report;
    TiffHandle tiff = OpenTiff(memory, report);
    auto work = tryAllocateArray<std::uint8_t>(job.chunkBytes + job.bandBytes + job.inkBytes);
    if (!tiff || !work)
        return false;
    const TiffFields fields = ReadTiffFields(tiff.get());  // sets JPEG's colour mode, as on the first handle
    const std::span<std::uint8_t> chunk(work.get(), job.chunkBytes);
    const std::span<std::uint8_t> band(work.get() + job.chunkBytes, job.bandBytes);
    TiffRowSink sink(*job.image, job.routine, job.shape, job.inkProfile,
                     job.inkBytes ? band.data() + job.bandBytes : nullptr);
    const std::uint32_t fromY = first * job.rowsPerStrip;
    sink.startAt(static_cast<std::int32_t>(fromY));
    if (job.bandBytes)
        return BandReader(tiff.get(), fields, job.rowBytes, chunk, band).read(sink, fromY, end * job.rowsPerStrip).ok();
    return readWholeStrips(tiff.get(), job, chunk, first, end, sink);
}

}  // namespace

Status ReadEncodedStrips(TIFF* tiff, std::span<std::uint8_t> chunk, TiffRowAssembler& rows, const TiffRowSink& sink)
{
    const std::uint32_t strips = TIFFNumberOfStrips(tiff);
    for (std::uint32_t i = 0; i < strips && !sink.full(); ++i) {
        const tmsize_t got = TIFFReadEncodedStrip(tiff, i, chunk.data(), static_cast<tmsize_t>(chunk.size()));
        if (got < 0)
            return CodecError::damaged;
        rows.feed(chunk.first(static_cast<std::size_t>(got)));
    }
    rows.finish();
    return {};
}

Status ReadTiffBands(TIFF* tiff, const TiffFields& f, std::size_t rowBytes, std::span<std::uint8_t> chunk,
                     std::span<std::uint8_t> band, TiffRowSink& sink)
{
    return BandReader(tiff, f, rowBytes, chunk, band).read(sink);
}

// How many ranges the strips or bands may be read in: one unless each
// strip holds whole rows, and the extra buffers come to no more than a
// quarter of the picture.
std::size_t TiffRangesAllowed(TIFF* tiff, const TiffFields& f, bool banded, std::uint64_t rowBytes,
                               std::uint64_t rangeBytes, std::uint64_t pictureBytes)
{
    constexpr std::uint64_t kMostRanges = 16;
    const std::uint32_t rowsPerUnit = TiffBandsOf(tiff, f).rows;
    if (rowsPerUnit == 0 || rangeBytes == 0)
        return 1;
    const std::uint64_t units = (std::uint64_t{f.height} + rowsPerUnit - 1) / rowsPerUnit;
    if (units < 2 || (!banded && (TIFFStripSize64(tiff) != rowBytes * rowsPerUnit || TIFFNumberOfStrips(tiff) != units)))
        return 1;
    return static_cast<std::size_t>(1 + std::min({units - 1, kMostRanges - 1, pictureBytes / 4 / rangeBytes}));
}

// false when there was no core to split the strips over, or a range fell
// short; the picture is then as allocated, for the reading in order.
bool ReadTiffInRanges(const TiffRanges& job)
{
    std::atomic<bool> split{false};
    std::atomic<bool> whole{true};
    platform::ForRowRanges(
        job.strips, static_cast<std::int64_t>(job.rowBytes * job.rowsPerStrip),
        [&](std::int64_t first, std::int64_t end) {
            if (first == 0 && end == job.strips)
                return;
            split = true;
            if (!readRange(job, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end)))
                whole = false;
        },
        job.most);
    if (split && !whole)
        std::memset(job.image->pixels.data(), 0, job.image->pixels.size());
    return split && whole;
}

}  // namespace vrelk
