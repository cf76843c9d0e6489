#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <libdeflate.h>

#include "codecs/files.h"
#include "codecs/icc_profile.h"
#include "codecs/png.h"

namespace vrelk {
namespace {

// Length, type, data and CRC, each written as it stands. A short write
// fails the file (when the output finishes) so that no truncated PNG is
// delivered.
void writeChunk(PngWriter& writer, const ChunkType& type, std::span<const std::uint8_t> data)
{
    OutputFile& out = *writer.out;
    out.writeU32BE(static_cast<std::uint32_t>(data.size()));
    out.write(type);
    out.write(data);
    out.writeU32BE(ChunkCrc(writer.crcTable, type, data));
}

void writeHeader(PngWriter& writer)
{
    writer.out->write(kPngSignature);
    std::array<std::uint8_t, 13> header{};
    StoreU32BE(header.data(), static_cast<std::uint32_t>(writer.width));
    StoreU32BE(header.data() + 4, static_cast<std::uint32_t>(writer.height));
    header[8] = static_cast<std::uint8_t>(writer.bitDepth);
    header[9] = static_cast<std::uint8_t>(writer.colourType);
    writeChunk(writer, kIHDR, header);
}

// The colour profile goes before the palette and the image data.
Status writeProfile(PngWriter& writer, std::span<const std::uint8_t> icc)
{
    if (icc.empty())
        return {};
    const std::vector<std::uint8_t> data = IccpChunkData(icc);
    if (data.empty())
        return CodecError::noMemory;
    writeChunk(writer, kiCCP, data);
    return {};
}

// The resolution, Exif and XMP go before the image data, where viewers
// look for them.
void writeMetadata(PngWriter& writer, const Resolution& resolution, std::span<const std::uint8_t> exif,
                   std::span<const std::uint8_t> xmp)
{
    if (resolution.unit != DensityUnit::none && resolution.xPerMetre > 0 && resolution.yPerMetre > 0) {
        std::array<std::uint8_t, 9> density{};
        StoreU32BE(density.data(), static_cast<std::uint32_t>(resolution.xPerMetre));
        StoreU32BE(density.data() + 4, static_cast<std::uint32_t>(resolution.yPerMetre));
        density[8] = 1;  // per metre
        writeChunk(writer, kpHYs, density);
    }
    if (!exif.empty())
        writeChunk(writer, keXIf, exif);
    if (!xmp.empty())
        writeChunk(writer, kiTXt, ItxtForXmp(xmp));
}

Status allocateFilteredData(PngWriter& writer)
{
    writer.rowSize = PngRowSize(writer.width, writer.bitDepth, writer.bytesPerPixel);
    writer.filteredSize = writer.rowSize * writer.height;
    writer.filteredData = PageBuffer::allocate(static_cast<std::size_t>(writer.filteredSize + 6 * writer.rowSize));
    if (!writer.filteredData)
        return CodecError::noMemory;
    std::uint8_t* rows = writer.filteredData.data() + writer.filteredSize;
    for (std::uint8_t** row : {&writer.previousRow, &writer.rawRow, &writer.subRow, &writer.upRow,
                               &writer.averageRow, &writer.paethRow}) {
        *row = rows;
        rows += writer.rowSize;
    }
    return {};
}

// ---- Palette images -----------------------------------------------------------

// Merges colours that occur more than once among the first `entries`
// palette entries; `mapping` sends each old index to its place in the
// shortened list, which is built in place in `palette`.
int mergeDuplicateColours(Palette& palette, int entries, std::array<std::uint8_t, 256>& mapping)
{
    int count = 1;
    mapping[0] = 0;
    for (int i = 1; i < entries; ++i) {
        const RgbQuad c = palette[static_cast<std::size_t>(i)];
        int found = 0;
        while (found < count) {
            const RgbQuad& kept = palette[static_cast<std::size_t>(found)];
            if (kept.rgbBlue == c.rgbBlue && kept.rgbGreen == c.rgbGreen && kept.rgbRed == c.rgbRed)
                break;
            ++found;
        }
        if (found == count)
            palette[static_cast<std::size_t>(count++)] = c;
        mapping[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(found);
    }
    return count;
}

// A byte of packed indices with every field sent through `mapping`; the
// zero padding of a row's last byte stays zero since index 0 keeps place 0.
std::array<std::uint8_t, 256> byteMapping(const std::array<std::uint8_t, 256>& mapping, int bits)
{
    std::array<std::uint8_t, 256> byteMap{};
    for (int v = 0; v < 256; ++v) {
        int mapped = 0;
        for (int shift = 0; shift < 8; shift += bits)
            mapped |= mapping[static_cast<std::size_t>((v >> shift) & ((1 << bits) - 1))] << shift;
        byteMap[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(mapped);
    }
    return byteMap;
}

// Palette rows are stored unfiltered, top row first, with the merged
// indices written straight into the filtered data.
void filterPaletteImage(PngWriter& writer, const Palette& imagePalette, std::span<const std::uint8_t> pixels)
{
    Palette palette = imagePalette;
    std::array<std::uint8_t, 256> mapping{};
    for (std::size_t i = 0; i < mapping.size(); ++i)
        mapping[i] = static_cast<std::uint8_t>(i);
    if (writer.bitDepth == 1)
        writer.paletteCount = 2;
    else
        writer.paletteCount = mergeDuplicateColours(palette, 1 << writer.bitDepth, mapping);
    const std::array<std::uint8_t, 256> byteMap = byteMapping(mapping, writer.bitDepth);

    std::vector<std::uint8_t> entries;
    entries.reserve(static_cast<std::size_t>(3 * writer.paletteCount));
    for (int i = 0; i < writer.paletteCount; ++i) {
        const RgbQuad& c = palette[static_cast<std::size_t>(i)];
        entries.insert(entries.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
    }
    writeChunk(writer, kPLTE, entries);

    std::uint8_t* to = writer.filteredData.data();
    const std::int64_t rowBytes = writer.rowSize - 1;
    for (std::int64_t y = writer.height - 1; y >= 0; --y, to += writer.rowSize) {
        const std::uint8_t* from = pixels.data() + y * writer.stride;
        to[0] = 0;
        for (std::int64_t x = 0; x < rowBytes; ++x)
            to[1 + x] = byteMap[from[x]];
    }
}

// ---- RGB images -----------------------------------------------------------------

// A run of a repeated small value (-4..3 as a signed byte) is the pattern
// deflate compresses best; each such repeat scores one. The loops below are
// kept simple so that the compiler vectorises them.
int scoreRow(const std::uint8_t* row, std::int64_t size)
{
    int score = 0;
    for (std::int64_t i = 1; i < size; ++i)
        score += (row[i] == row[i - 1]) & (static_cast<std::uint8_t>(row[i] + 4) < 8);
    return score;
}

// The pixel size is fixed at compile time for the colour layouts, so that
// the loops below vectorise as they did for RGB alone.
template <std::int64_t Fixed>
void fillFilterRows(PngWriter& writer)
{
    const std::int64_t n = Fixed > 0 ? Fixed : writer.bytesPerPixel;
    const std::uint8_t* r = writer.rawRow;
    const std::uint8_t* p = writer.previousRow;
    std::uint8_t* s = writer.subRow;
    std::uint8_t* u = writer.upRow;
    std::uint8_t* a = writer.averageRow;
    std::uint8_t* t = writer.paethRow;
    s[0] = 1;
    u[0] = 2;
    a[0] = 3;
    t[0] = 4;
    const std::int64_t size = writer.rowSize;
    const std::int64_t lead = std::min(size, n + 1);
    for (std::int64_t i = 1; i < lead; ++i) {
        s[i] = r[i];
        a[i] = static_cast<std::uint8_t>(r[i] - (p[i] >> 1));
        t[i] = static_cast<std::uint8_t>(r[i] - PaethPredictor(0, p[i], 0));
    }
    for (std::int64_t i = 1; i < size; ++i)
        u[i] = static_cast<std::uint8_t>(r[i] - p[i]);
    for (std::int64_t i = n + 1; i < size; ++i)
        s[i] = static_cast<std::uint8_t>(r[i] - r[i - n]);
    for (std::int64_t i = n + 1; i < size; ++i)
        a[i] = static_cast<std::uint8_t>(r[i] - ((r[i - n] + p[i]) >> 1));
    for (std::int64_t i = n + 1; i < size; ++i)
        t[i] = static_cast<std::uint8_t>(r[i] - PaethPredictor(r[i - n], p[i], p[i - n]));
}

// Output row `index` counts from the top; the image's rows are stored
// bottom-up, blue, green, red (and alpha) in memory; red, green, blue (and
// alpha) in the file.
template <int PixelBytes>
void loadRawRow(PngWriter& writer, std::span<const std::uint8_t> pixels, std::int64_t index)
{
    const std::uint8_t* bgr = pixels.data() + (writer.height - 1 - index) * writer.stride;
    std::uint8_t* raw = writer.rawRow + 1;
    for (std::int64_t x = 0; x < writer.width; ++x, bgr += PixelBytes, raw += PixelBytes) {
        raw[0] = bgr[2];
        raw[1] = bgr[1];
        raw[2] = bgr[0];
        if constexpr (PixelBytes == 4)
            raw[3] = bgr[3];
    }
}

// Rows [first, end) into `to`. A range that starts below the top loads the
// row above it first, so it filters exactly as one pass over all rows.
template <int PixelBytes>
void filterPixelRows(PngWriter& writer, std::span<const std::uint8_t> pixels, std::int64_t first, std::int64_t end,
                     std::uint8_t* to)
{
    const std::array<std::uint8_t*, 5> buffers{writer.rawRow, writer.subRow, writer.upRow, writer.averageRow,
                                               writer.paethRow};
    const auto rowBytes = static_cast<std::size_t>(writer.rowSize);
    if (first > 0) {
        loadRawRow<PixelBytes>(writer, pixels, first - 1);
        std::memcpy(writer.previousRow, writer.rawRow, rowBytes);
    }
    for (std::int64_t index = first; index < end; ++index, to += writer.rowSize) {
        loadRawRow<PixelBytes>(writer, pixels, index);
        std::memcpy(to, buffers[static_cast<std::size_t>(ChooseFilter(writer))], rowBytes);
        std::memcpy(writer.previousRow, writer.rawRow, rowBytes);
    }
}

void filterColourRows(PngWriter& writer, std::span<const std::uint8_t> pixels, std::int64_t first, std::int64_t end,
                      std::uint8_t* to)
{
    if (writer.bytesPerPixel == 4)
        filterPixelRows<4>(writer, pixels, first, end, to);
    else
        filterPixelRows<3>(writer, pixels, first, end, to);
}

// ---- Compression -------------------------------------------------------------

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// The whole filtered image in one call, into a block of the compressor's
// worst-case bound, so the image data is one IDAT chunk.
Status compressAndWrite(PngWriter& writer)
{
    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(writer.compressionLevel));
    if (!compressor)
        return CodecError::pngDeflate;

    const auto n = static_cast<std::size_t>(writer.filteredSize);
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), n);
    PageBuffer output;
    if (bound > n)
        output = PageBuffer::allocate(bound);
    if (!output)
        return CodecError::noMemory;
    const std::size_t written =
        libdeflate_zlib_compress(compressor.get(), writer.filteredData.data(), n, output.data(), bound);
    if (written == 0)
        return CodecError::pngDeflate;
    writeChunk(writer, kIDAT, std::span<const std::uint8_t>(output.data(), written));
    return {};
}

}  // namespace

PngWriter::PngWriter() { BuildCrcTable(crcTable); }

int ChooseFilter(PngWriter& writer)
{
    if (writer.bytesPerPixel == 3)
        fillFilterRows<3>(writer);
    else if (writer.bytesPerPixel == 4)
        fillFilterRows<4>(writer);
    else
        fillFilterRows<0>(writer);
    const std::array<const std::uint8_t*, 5> buffers{writer.rawRow, writer.subRow, writer.upRow, writer.averageRow,
                                                     writer.paethRow};
    std::array<int, 5> scores{};
    for (std::size_t f = 0; f < 5; ++f)
        scores[f] = scoreRow(buffers[f], writer.rowSize);
    // The first of equal scores wins: None, Sub, Up, Average, Paeth.
    return static_cast<int>(std::max_element(scores.begin(), scores.end()) - scores.begin());
}

static Status writePngBody(const ImageView& image, const platform::Path& path, std::int64_t pieceBytes)
{
    std::unique_ptr<PngWriter> made = tryAllocate<PngWriter>();
    if (!made)
        return CodecError::noMemory;
    PngWriter& writer = *made;
    // The file exists from here on, also when the image is refused.
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    const int bits = image.bitCount;
    if (bits == 1 || bits == 2 || bits == 4 || bits == 8) {
        writer.bitDepth = bits;
        writer.colourType = 3;
        writer.bytesPerPixel = 1;
    } else if (bits == 24) {
        writer.bitDepth = 8;
        writer.colourType = 2;
        writer.bytesPerPixel = 3;
    } else if (bits == 32) {
        writer.bitDepth = 8;
        writer.colourType = 6;
        writer.bytesPerPixel = 4;
    } else {
        return CodecError::cannotWrite;
    }
    writer.width = image.width;
    writer.height = image.height;
    writer.pieceBytes = pieceBytes;
    const RowLayout layout = rowLayout(image.width, image.height, bits);
    writer.stride = layout.stride;
    if (image.width < 1 || image.height < 1 || !image.palette ||
        image.pixels.size() < static_cast<std::uint64_t>(layout.imageSize))
        return CodecError::cannotWrite;

    writer.out = &*out;
    writeHeader(writer);
    if (Status status = writeProfile(writer, image.iccProfile); !status)
        return status;
    writeMetadata(writer, image.resolution, image.exif, image.xmp);
    if (Status status = allocateFilteredData(writer); !status)
        return status;
    const bool palette = writer.colourType == 3;
    if (palette)
        filterPaletteImage(writer, *image.palette, image.pixels);
    if (PngImageDataInPieces(writer)) {
        const auto filterRows = [&](PngWriter& rows, std::int64_t first, std::int64_t end) {
            filterColourRows(rows, image.pixels, first, end, writer.filteredData.data() + first * writer.rowSize);
        };
        if (Status status = WriteImageDataInPieces(writer, palette ? PngRowFilter{} : PngRowFilter{filterRows});
            !status)
            return status;
    } else {
        if (!palette)
            filterColourRows(writer, image.pixels, 0, writer.height, writer.filteredData.data());
        if (Status status = compressAndWrite(writer); !status)
            return status;
    }
    writer.filteredData.reset();
    writeChunk(writer, kIEND, {});
    return out->finish();
}

Status WritePng(const ImageView& image, const platform::Path& path, std::int64_t pieceBytes)
{
    return withoutExceptions([&] { return writePngBody(image, path, pieceBytes); });
}

}  // namespace vrelk
