#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <zlib.h>

#include "codecs/png.h"
#include "codecs/icc_profile.h"
#include "codecs/metadata.h"
#include "codecs/png_reader.h"
#include "codecs/decode_memory.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

constexpr ChunkType kgAMA{'g', 'A', 'M', 'A'};
constexpr ChunkType ktRNS{'t', 'R', 'N', 'S'};

constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFFu;

// ---- Failure and chunk plumbing --------------------------------------------

struct Chunk {
    ChunkType type{};
    std::span<const std::uint8_t> data;
    std::uint32_t storedCrc = 0;
};

enum class ChunkRead { ok, tooLong, pastEnd };

// Takes the chunk at the cursor, which must lie wholly inside the file;
// the cursor is left behind its CRC, or where it was when the chunk is
// refused.
ChunkRead takeChunk(ByteCursor& in, Chunk& chunk)
{
    ByteCursor at = in;
    auto length = at.u32be();
    if (!length)
        return ChunkRead::pastEnd;
    if (*length > kMaxChunkLength)
        return ChunkRead::tooLong;
    auto type = at.take(4);
    auto data = at.take(*length);
    auto crc = at.u32be();
    if (!type || !data || !crc)
        return ChunkRead::pastEnd;
    std::copy(type->begin(), type->end(), chunk.type.begin());
    chunk.data = *data;
    chunk.storedCrc = *crc;
    in = at;
    return ChunkRead::ok;
}

bool crcMatches(const PngReader& reader, const Chunk& chunk)
{
    return ChunkCrc(reader.crcTable, chunk.type, chunk.data) == chunk.storedCrc;
}

// ---- Header and format ------------------------------------------------------

Status readHeader(PngReader& reader, ByteCursor& in, std::int32_t& width, std::int32_t& height)
{
    auto start = in.peek(kPngSignature.size());
    if (!start || !std::equal(kPngSignature.begin(), kPngSignature.end(), start->begin()))
        return CodecError::notThisFormat;
    auto signature = in.peek(33);
    if (!signature)
        return CodecError::truncated;
    if (!in.skip(kPngSignature.size()) || LoadU32BE(signature->data() + kPngSignature.size()) != 13)
        return CodecError::pngHeaderLength;
    // The 33 bytes hold the whole 25-byte IHDR chunk.
    Chunk chunk;
    if (takeChunk(in, chunk) != ChunkRead::ok || chunk.type != kIHDR)
        return CodecError::pngHeaderMissing;
    if (!crcMatches(reader, chunk))
        return CodecError::pngBadCrc;

    const std::uint8_t* d = chunk.data.data();
    const std::uint32_t w = LoadU32BE(d), h = LoadU32BE(d + 4);
    if (Status admitted = reader.limits.admit(w, h); !admitted)
        return admitted;
    width = static_cast<std::int32_t>(w);
    height = static_cast<std::int32_t>(h);
    reader.bitDepth = d[8];
    reader.colourType = d[9];
    if (d[10] != 0)
        return CodecError::pngBadCompression;
    if (d[11] != 0)
        return CodecError::pngBadFilterMethod;
    if (d[12] > 1)
        return CodecError::pngBadInterlace;
    reader.interlaced = d[12] == 1;
    return {};
}

void fillGreyRamp(Palette& palette, int bitDepth)
{
    const int step = bitDepth == 1 ? 255 : bitDepth == 2 ? 85 : bitDepth == 4 ? 17 : 1;
    for (int k = 0; k * step < 256; ++k) {
        auto level = static_cast<std::uint8_t>(k * step);
        palette[static_cast<std::size_t>(k)] = RgbQuad{level, level, level, 0};
    }
}

// The picture, the alpha plane, two unfiltered rows and, when the data is
// split over several chunks, the gathered copy of it.
std::uint64_t readerNeed(const PngReader& reader, std::uint64_t compressedMost)
{
    const auto width = static_cast<std::uint64_t>(reader.width);
    const auto height = static_cast<std::uint64_t>(reader.height);
    std::uint64_t need = addNeeds(multiplyNeeds(static_cast<std::uint64_t>(reader.outputStride), height), compressedMost);
    need = addNeeds(need, multiplyNeeds(static_cast<std::uint64_t>(2 * reader.bytesPerPixel + 2), width));
    need = addNeeds(need, PngInflateAheadBytes(reader));
    return reader.hasAlpha ? addNeeds(need, multiplyNeeds(width, height)) : need;
}

Status selectFormat(PngReader& reader, std::uint64_t compressedMost)
{
    const int depth = reader.bitDepth;
    if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16)
        return CodecError::pngBadBitDepth;
    const PngPixelFormat* format = findPngPixelFormat(depth, reader.colourType);
    if (!format)
        return CodecError::pngBadColourType;

    reader.bytesPerSample = depth / 8;
    reader.isGrey = (reader.colourType & 2) == 0;
    reader.hasAlpha = (reader.colourType & 4) != 0;
    reader.bytesPerPixel = format->bytesPerPixel;
    reader.outputBits = format->outputBits;
    reader.filterRoutines = *format->routines;
    reader.outputStride = rowLayout(reader.width, 1, format->outputBits).stride;
    if (reader.isGrey)
        fillGreyRamp(reader.image.palette, depth);
    if (Status claimed = reader.limits.claim(readerNeed(reader, compressedMost)); !claimed)
        return claimed;
    if (reader.hasAlpha) {
        reader.alphaPlane = PageBuffer::allocate(static_cast<std::size_t>(std::int64_t{reader.width} * reader.height));
        if (!reader.alphaPlane)
            return CodecError::noMemory;
    }
    return {};
}

// ---- Image data -------------------------------------------------------------

// The IDAT run starting with `first`: every chunk of it checked, its data
// decoded where it lies in the input or, when split, from one gathered block.
Status readImageData(PngReader& reader, ByteCursor& in, const Chunk& first)
{
    if (reader.seenIDAT)
        return CodecError::pngChunkOrder;
    if (!crcMatches(reader, first))
        return CodecError::pngBadCrc;
    reader.seenIDAT = true;
    reader.pixelBuffer = PageBuffer::allocate(static_cast<std::size_t>(reader.outputStride * reader.height));
    if (!reader.pixelBuffer)
        return CodecError::noMemory;

    const ByteCursor runStart = in;
    std::uint64_t total = first.data.size();
    std::size_t chunks = 1;
    for (;;) {
        ByteCursor probe = in;
        Chunk next;
        if (takeChunk(probe, next) != ChunkRead::ok)
            return CodecError::pngBrokenDataRun;
        if (next.type != kIDAT)
            break;
        if (!crcMatches(reader, next))
            return CodecError::pngBrokenDataRun;
        total += next.data.size();
        ++chunks;
        in = probe;
    }
    reader.idatLength = static_cast<std::int64_t>(total);

    if (chunks == 1)
        return DecodePngImageData(reader, first.data.data(), total);

    PageBuffer gathered = PageBuffer::allocate(static_cast<std::size_t>(total));
    if (!gathered)
        return CodecError::noMemory;
    std::uint8_t* to = gathered.data();
    std::memcpy(to, first.data.data(), first.data.size());
    to += first.data.size();
    ByteCursor run = runStart;
    for (Chunk chunk; run.offset() < in.offset() && takeChunk(run, chunk) == ChunkRead::ok;) {
        std::memcpy(to, chunk.data.data(), chunk.data.size());
        to += chunk.data.size();
    }
    return DecodePngImageData(reader, gathered.data(), total);
}

// ---- Ancillary chunks ---------------------------------------------------------

void readPalette(PngReader& reader, const Chunk& chunk)
{
    const std::size_t limit = std::size_t{1} << std::min(reader.bitDepth, 8);
    const std::size_t entries = std::min(chunk.data.size() / 3, limit);
    const std::uint8_t* d = chunk.data.data();
    for (std::size_t i = 0; i < entries; ++i, d += 3)
        reader.image.palette[i] = RgbQuad{d[2], d[1], d[0], 0};
    reader.paletteCount = static_cast<std::int32_t>(entries);
    reader.seenPLTE = true;
}

void readGamma(PngReader& reader, const Chunk& chunk)
{
    if (reader.seenGamma || reader.seenPLTE || reader.seenIDAT || chunk.data.size() != 4 || !crcMatches(reader, chunk))
        return;
    std::uint32_t value = LoadU32BE(chunk.data.data());
    if (value >= 1 && value <= kMaxChunkLength) {
        reader.fileGamma = static_cast<std::int32_t>(value);
        reader.seenGamma = true;
    }
}

void readTransparency(PngReader& reader, const Chunk& chunk)
{
    if (reader.seenTransparency || reader.seenIDAT || !crcMatches(reader, chunk))
        return;
    const std::uint8_t* d = chunk.data.data();
    const std::size_t length = chunk.data.size();
    // Sixteen-bit samples keep only their high byte, and so does the key.
    const int keyByte = reader.bitDepth == 16 ? 0 : 1;
    if (reader.colourType == 0 && length == 2) {
        reader.keyGreen = d[keyByte];
    } else if (reader.colourType == 2 && length == 6) {
        reader.keyRed = d[keyByte];
        reader.keyGreen = d[2 + keyByte];
        reader.keyBlue = d[4 + keyByte];
    } else if (reader.colourType == 3 && reader.seenPLTE && length <= static_cast<std::size_t>(reader.paletteCount)) {
        reader.alphaTable.fill(255);
        std::copy(d, d + length, reader.alphaTable.begin());
    } else {
        return;
    }
    reader.seenTransparency = true;
}

// Only the first profile before the palette and the image data counts; a
// damaged one leaves the picture in sRGB.
void readProfile(PngReader& reader, const Chunk& chunk)
{
    if (reader.seenProfile || reader.seenPLTE || reader.seenIDAT || !crcMatches(reader, chunk))
        return;
    reader.seenProfile = true;
    reader.image.meta.iccProfile = ProfileFromIccpChunk(chunk.data);
}

void readResolution(PngReader& reader, const Chunk& chunk)
{
    if (reader.seenIDAT || chunk.data.size() != 9 || !crcMatches(reader, chunk) || chunk.data[8] != 1)
        return;
    auto x = static_cast<std::int32_t>(LoadU32BE(chunk.data.data()));
    auto y = static_cast<std::int32_t>(LoadU32BE(chunk.data.data() + 4));
    if (x >= 0 && y >= 0)
        reader.image.meta.resolution = {x, y, DensityUnit::perMetre};
}

// The first sound eXIf and XMP text; a chunk with a bad CRC is left out
// rather than copied damaged.
void readMetadata(PngReader& reader, const Chunk& chunk)
{
    PictureMeta& meta = reader.image.meta;
    if (chunk.data.size() > kMaxMetadataBytes)
        return;
    if (chunk.type == keXIf && meta.exif.empty() && crcMatches(reader, chunk)) {
        const std::span<const std::uint8_t> prefixed = AfterIdentifier(chunk.data, kExifIdentifier);
        const std::span<const std::uint8_t> tiff = prefixed.empty() ? chunk.data : prefixed;
        meta.exif.assign(tiff.begin(), tiff.end());
    } else if (chunk.type == kiTXt && meta.xmp.empty() && crcMatches(reader, chunk)) {
        const std::span<const std::uint8_t> xmp = XmpFromItxt(chunk.data);
        meta.xmp.assign(xmp.begin(), xmp.end());
    }
}

// Walks the chunks behind IHDR up to IEND.
Status walkChunks(PngReader& reader, ByteCursor& in)
{
    for (;;) {
        Chunk chunk;
        switch (takeChunk(in, chunk)) {
        case ChunkRead::tooLong: return CodecError::pngChunkTooLong;
        case ChunkRead::pastEnd: return CodecError::damaged;
        case ChunkRead::ok: break;
        }
        if (chunk.type == kIHDR)
            return CodecError::pngChunkOrder;
        if (chunk.type == kPLTE && reader.colourType == 3) {
            if (reader.seenPLTE || reader.seenIDAT)
                return CodecError::pngChunkOrder;
            if (!crcMatches(reader, chunk))
                return CodecError::pngBadCrc;
            readPalette(reader, chunk);
        } else if (chunk.type == kgAMA) {
            readGamma(reader, chunk);
        } else if (chunk.type == ktRNS) {
            readTransparency(reader, chunk);
        } else if (chunk.type == kpHYs) {
            readResolution(reader, chunk);
        } else if (chunk.type == kiCCP) {
            readProfile(reader, chunk);
        } else if (chunk.type == keXIf || chunk.type == kiTXt) {
            readMetadata(reader, chunk);
        } else if (chunk.type == kIDAT) {
            if (Status status = readImageData(reader, in, chunk); !status)
                return status;
        } else if (chunk.type == kIEND) {
            if (!crcMatches(reader, chunk))
                return CodecError::pngBadCrc;
            reader.seenIEND = true;
            if (!reader.seenIDAT || (reader.colourType == 3 && !reader.seenPLTE))
                return CodecError::pngMissingData;
            return {};
        }
    }
}

// The bgra32 picture, claimed from the budget before it is made.
Status attachKeptAlpha(PngReader& reader)
{
    if (reader.keptAlpha == KeptPngAlpha::none)
        return {};
    if (Status claimed = reader.limits.claim(pictureNeed(static_cast<std::uint64_t>(reader.width),
                                                         static_cast<std::uint64_t>(reader.height), 32));
        !claimed)
        return claimed;
    if (reader.keptAlpha == KeptPngAlpha::index)
        return addIndexAlpha(reader.image, reader.indexAlpha);
    return addAlphaPlane(reader.image, {reader.alphaPlane.data(), reader.alphaPlane.size()});
}

}  // namespace

static Result<Picture> readPngBody(ByteCursor in, const PngReadOptions& options, bool* streamCutShort)
{
    std::unique_ptr<PngReader> made = tryAllocate<PngReader>();
    if (!made)
        return CodecError::noMemory;
    PngReader& reader = *made;
    BuildCrcTable(reader.crcTable);
    reader.alphaTable.fill(255);
    reader.tables = options.tables;
    reader.limits = options.limits;
    reader.useGivenBackground = options.useGivenBackground;
    reader.backgroundRed = options.backgroundRed;
    reader.backgroundGreen = options.backgroundGreen;
    reader.backgroundBlue = options.backgroundBlue;
    reader.displayGamma = options.displayGamma;
    reader.compositeTransparency = options.compositeTransparency;
    reader.keepAlpha = options.keepAlpha;

    std::int32_t width = 0, height = 0;
    if (Status status = readHeader(reader, in, width, height); !status)
        return status.error();
    reader.width = width;
    reader.height = height;
    if (Status status = selectFormat(reader, in.size()); !status)
        return status.error();
    if (Status status = walkChunks(reader, in); !status)
        return status.error();
    // A profile describes the samples as they are; gAMA is only the
    // fallback for readers without one.
    if (!reader.image.meta.iccProfile.empty())
        reader.seenGamma = false;

    // A reader used on its own builds the blend table it composites with.
    std::unique_ptr<LookupTables> ownTables;
    if (!reader.tables) {
        ownTables = tryAllocate<LookupTables>();
        if (!ownTables)
            return CodecError::noMemory;
        buildBlendTable(*ownTables);
        reader.tables = ownTables.get();
    }
    if (Status settled = settleKeptAlpha(reader); !settled)
        return settled.error();
    applyGammaAndTransparency(reader);

    reader.image.width = width;
    reader.image.height = height;
    reader.image.layout = layoutOfBits(reader.outputBits);
    reader.image.stride = rowLayout(width, 1, reader.outputBits).stride;
    reader.image.pixels = std::move(reader.pixelBuffer);
    if (Status kept = attachKeptAlpha(reader); !kept)
        return kept.error();
    if (streamCutShort)
        *streamCutShort = reader.streamCutShort;
    return std::move(reader.image);
}

Result<Picture> ReadPng(ByteCursor in, const PngReadOptions& options, bool* streamCutShort)
{
    return withoutExceptions([&] { return readPngBody(in, options, streamCutShort); });
}

}  // namespace vrelk
