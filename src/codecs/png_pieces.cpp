// The PNG writer's image data made in pieces on several cores. Each piece
// is compressed on its own, without the history of the one before it; a
// piece costs a dictionary's worth of matches at its start, which is why
// pieces are large and their number depends on the image alone.
#include <algorithm>
#include <memory>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "codecs/png.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// As many pieces as the filtered data holds piece sizes, rounded up, with
// the rows shared out evenly, so that a picture of a few pieces still
// keeps every core busy to the end.
std::int64_t pieceRows(const PngWriter& writer)
{
    const std::int64_t bytes = writer.rowSize * writer.height;
    const std::int64_t pieces = (bytes + writer.pieceBytes - 1) / std::max<std::int64_t>(writer.pieceBytes, 1);
    return std::max<std::int64_t>(1, (writer.height + pieces - 1) / std::max<std::int64_t>(pieces, 1));
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

struct InflaterEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

// A compressed piece: its bytes, the Adler-32 of the rows it holds, and
// the running CRC register of the IDAT chunk that carries it.
struct Piece {
    std::vector<std::uint8_t> bytes;
    std::uint32_t adler = 1;
    std::int64_t rows = 0;
    std::uint32_t crc = 0;
};

// Where a raw deflate stream's last block begins and how many bits of its
// last byte are left over.
struct StreamEnd {
    std::size_t headerByte = 0;
    int headerBit = 0;
    int unusedBits = 0;
};

// Follows the blocks with zlib's inflate, which stops at each block
// boundary and says how many bits of the last byte it has not used.
Result<StreamEnd> findStreamEnd(std::span<const std::uint8_t> stream)
{
    z_stream inflater{};
    inflater.zalloc = PngZlibAlloc;
    inflater.zfree = PngZlibFree;
    if (inflateInit2(&inflater, -15) != Z_OK)
        return CodecError::noMemory;
    const std::unique_ptr<z_stream, InflaterEnd> ending(&inflater);
    std::vector<std::uint8_t> scratch(std::size_t{1} << 16);
    inflater.next_in = const_cast<Bytef*>(stream.data());
    inflater.avail_in = static_cast<uInt>(stream.size());
    StreamEnd end;
    for (;;) {
        inflater.next_out = scratch.data();
        inflater.avail_out = static_cast<uInt>(scratch.size());
        const int result = inflate(&inflater, Z_BLOCK);
        if (result != Z_OK && !(result == Z_BUF_ERROR && inflater.avail_out == 0))
            return CodecError::pngDeflate;
        if (!(inflater.data_type & 128))
            continue;
        const int unused = inflater.data_type & 7;
        const auto consumed = static_cast<std::size_t>(inflater.next_in - stream.data());
        if (inflater.data_type & 64) {
            end.unusedBits = unused;
            return consumed == stream.size() ? Result<StreamEnd>{end} : Result<StreamEnd>{CodecError::pngDeflate};
        }
        end.headerByte = unused ? consumed - 1 : consumed;
        end.headerBit = unused ? 8 - unused : 0;
    }
}

// Turns a complete deflate stream into one that continues: its last block
// loses its final mark and an empty stored block brings it to a byte
// boundary, as a full flush would.
Status continueAfter(std::vector<std::uint8_t>& stream)
{
    Result<StreamEnd> end = findStreamEnd(stream);
    if (!end)
        return end.error();
    stream[end->headerByte] &= static_cast<std::uint8_t>(~(1u << end->headerBit));
    stream.back() &= static_cast<std::uint8_t>(0xFFu >> end->unusedBits);
    // The stored block's three header bits fit in the unused ones, or
    // spill into one more byte.
    if (end->unusedBits < 3)
        stream.push_back(0);
    stream.insert(stream.end(), {0x00, 0x00, 0xFF, 0xFF});
    return {};
}

// The two bytes libdeflate puts before a zlib stream of this level.
std::array<std::uint8_t, 2> zlibHeader(int level)
{
    const unsigned hint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    unsigned header = (8u << 8) | (7u << 12) | (hint << 6);
    header |= 31 - header % 31;
    return {static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header & 0xFF)};
}

Status compressPiece(const PngWriter& writer, std::int64_t first, std::int64_t rows, bool last, Piece& piece)
{
    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(writer.compressionLevel));
    if (!compressor)
        return CodecError::pngDeflate;
    const std::uint8_t* data = writer.filteredData.data() + first * writer.rowSize;
    const auto size = static_cast<std::size_t>(rows * writer.rowSize);
    piece.bytes.resize(libdeflate_deflate_compress_bound(compressor.get(), size) + 6);
    const std::size_t written =
        libdeflate_deflate_compress(compressor.get(), data, size, piece.bytes.data(), piece.bytes.size());
    if (written == 0)
        return CodecError::pngDeflate;
    piece.bytes.resize(written);
    piece.adler = libdeflate_adler32(1, data, size);
    piece.rows = rows;
    if (!last)
        if (Status status = continueAfter(piece.bytes); !status)
            return status;
    if (first == 0) {
        const std::array<std::uint8_t, 2> header = zlibHeader(writer.compressionLevel);
        piece.bytes.insert(piece.bytes.begin(), header.begin(), header.end());
    }
    piece.crc = UpdateCrc(writer.crcTable, UpdateCrc(writer.crcTable, 0xFFFFFFFF, kIDAT), piece.bytes);
    return {};
}

// The rows of the piece's own thread: the writer's are shared.
Status filterPiece(const PngWriter& writer, const PngRowFilter& filterRows, std::int64_t first, std::int64_t end)
{
    std::unique_ptr<PngWriter> rows = tryAllocate<PngWriter>();
    if (!rows)
        return CodecError::noMemory;
    rows->width = writer.width;
    rows->height = writer.height;
    rows->stride = writer.stride;
    rows->rowSize = writer.rowSize;
    rows->bytesPerPixel = writer.bytesPerPixel;
    std::vector<std::uint8_t> buffers(static_cast<std::size_t>(6 * writer.rowSize));
    std::uint8_t* row = buffers.data();
    for (std::uint8_t** buffer : {&rows->previousRow, &rows->rawRow, &rows->subRow, &rows->upRow,
                                  &rows->averageRow, &rows->paethRow}) {
        *buffer = row;
        row += writer.rowSize;
    }
    filterRows(*rows, first, end);
    return {};
}

void writePieceChunk(PngWriter& writer, const Piece& piece, std::span<const std::uint8_t> trailer)
{
    OutputFile& out = *writer.out;
    out.writeU32BE(static_cast<std::uint32_t>(piece.bytes.size() + trailer.size()));
    out.write(kIDAT);
    out.write(piece.bytes);
    out.write(trailer);
    out.writeU32BE(UpdateCrc(writer.crcTable, piece.crc, trailer) ^ 0xFFFFFFFF);
}

}  // namespace

bool PngImageDataInPieces(const PngWriter& writer)
{
    return platform::currentPictureCores().splitOutput && writer.rowSize > 0 && pieceRows(writer) < writer.height;
}

Status WriteImageDataInPieces(PngWriter& writer, const PngRowFilter& filterRows)
{
    const std::int64_t rowsEach = pieceRows(writer);
    const auto count = static_cast<std::size_t>((writer.height + rowsEach - 1) / rowsEach);
    std::vector<Piece> pieces(count);
    std::vector<Status> outcomes(count);
    platform::RunParts(count, [&](std::size_t index) {
        const std::int64_t first = static_cast<std::int64_t>(index) * rowsEach;
        const std::int64_t rows = std::min(rowsEach, writer.height - first);
        Status& outcome = outcomes[index];
        if (filterRows)
            outcome = filterPiece(writer, filterRows, first, first + rows);
        if (outcome)
            outcome = compressPiece(writer, first, rows, index + 1 == count, pieces[index]);
    });
    std::uint32_t adler = 1;
    for (std::size_t index = 0; index < count; ++index) {
        if (!outcomes[index])
            return outcomes[index];
        const auto length = static_cast<z_off_t>(pieces[index].rows * writer.rowSize);
        adler = index == 0 ? pieces[index].adler : adler32_combine(adler, pieces[index].adler, length);
    }
    std::array<std::uint8_t, 4> trailer{};
    StoreU32BE(trailer.data(), adler);
    for (std::size_t index = 0; index < count; ++index)
        writePieceChunk(writer, pieces[index], index + 1 == count ? std::span<const std::uint8_t>(trailer)
                                                                   : std::span<const std::uint8_t>());
    return {};
}

}  // namespace vrelk
