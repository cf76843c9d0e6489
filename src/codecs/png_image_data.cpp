// The PNG image data: the zlib stream inflated row by row and each row
// unfiltered into the picture, the rows of a large picture inflated ahead
// on a lent core.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include <zlib.h>

#include "codecs/png_common.h"
#include "codecs/png_reader.h"
#include "picture/checked.h"
#include "platform/picture_cores.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

// Rows inflated ahead on a lent core, for a picture whose filtered rows
// come to enough bytes to be worth a second thread: none for others, or
// when a handful of rows would already be large.
constexpr std::int64_t kLeastAheadPictureBytes = std::int64_t{4} << 20;
constexpr std::int64_t kAheadRingBytes = std::int64_t{1} << 20;
constexpr std::int64_t kAheadRingMostRows = 64;
constexpr std::int64_t kAheadRingLeastRows = 4;

std::int64_t aheadRingRows(const PngReader& reader)
{
    const std::int64_t fullRow = PngRowSize(reader.width, reader.bitDepth, reader.bytesPerPixel);
    if (reader.interlaced || fullRow * reader.height < kLeastAheadPictureBytes)
        return 0;
    const std::int64_t rows = std::min(kAheadRingMostRows, kAheadRingBytes / fullRow);
    return rows < kAheadRingLeastRows ? 0 : rows;
}

// The ring's rows, the zero row above the first, and each row's outcome.
}  // namespace

std::uint64_t PngInflateAheadBytes(const PngReader& reader)
{
    const std::int64_t rows = aheadRingRows(reader);
    const std::int64_t fullRow = PngRowSize(reader.width, reader.bitDepth, reader.bytesPerPixel);
    return rows == 0 ? 0 : static_cast<std::uint64_t>((rows + 1) * fullRow + rows * std::int64_t{sizeof(int)});
}

namespace {

// Feeds the compressed bytes to zlib in pieces that fit its 32-bit counts.
struct CompressedInput {
    const std::uint8_t* next = nullptr;
    std::uint64_t left = 0;

    void refill(z_stream& stream)
    {
        if (stream.avail_in != 0 || left == 0)
            return;
        auto piece = static_cast<uInt>(std::min<std::uint64_t>(left, 1u << 30));
        stream.next_in = const_cast<Bytef*>(next);
        stream.avail_in = piece;
        next += piece;
        left -= piece;
    }
};

class Inflater {
public:
    explicit Inflater(CompressedInput input) : input_(input)
    {
        stream_.zalloc = PngZlibAlloc;
        stream_.zfree = PngZlibFree;
        stream_.opaque = nullptr;
        started_ = inflateInit(&stream_) == Z_OK;
    }
    ~Inflater()
    {
        if (started_)
            inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool started() const { return started_; }

    // One inflate call for one row. Bytes a short stream leaves unfilled are
    // zeroed, so the row routine sees a defined row.
    int inflateRow(std::uint8_t* row, std::int64_t length)
    {
        input_.refill(stream_);
        stream_.next_out = row;
        stream_.avail_out = static_cast<uInt>(length);
        int result = inflate(&stream_, Z_NO_FLUSH);
        if (stream_.avail_out)
            std::memset(stream_.next_out, 0, stream_.avail_out);
        return result;
    }

private:
    z_stream stream_{};
    CompressedInput input_;
    bool started_ = false;
};

// Where a picture row starts in the bottom-up output and alpha plane.
struct RowTarget {
    std::uint8_t* output;
    std::uint8_t* alpha;
};

RowTarget rowTarget(PngReader& reader, std::int64_t y, std::int64_t x)
{
    const std::int64_t memoryRow = reader.height - 1 - y;
    const std::int64_t pixelBytes = reader.outputBits / 8;
    RowTarget target{reader.pixelBuffer.data() + memoryRow * reader.outputStride + x * pixelBytes, nullptr};
    if (reader.alphaPlane)
        target.alpha = reader.alphaPlane.data() + memoryRow * reader.width + x;
    return target;
}

// The row in row.currentRow, its filter undone against row.previousRow,
// into picture row y from pixel x on.
void unfilterRow(PngReader& reader, PngRowState& row, std::int64_t y, std::int64_t x)
{
    const RowTarget target = rowTarget(reader, y, x);
    row.output = target.output;
    row.alphaCursor = target.alpha;
    const std::uint8_t filter = row.currentRow[0];
    reader.filterRoutines[filter > 4 ? 0 : filter](row);
}

int pixelsPerByte(int bitDepth) { return bitDepth < 8 ? 8 / bitDepth : 1; }

// Decodes `rows` rows of one pass; false when the stream ended or failed,
// which ends every later pass too.
bool decodeRows(PngReader& reader, Inflater& inflater, PngRowState& row, std::int64_t firstY, std::int64_t rows,
                std::int64_t yStep, std::int64_t x)
{
    for (std::int64_t r = 0; r < rows; ++r) {
        int result = inflater.inflateRow(row.currentRow, row.rowLength);
        if (result != Z_OK && result != Z_STREAM_END) {
            reader.streamCutShort = true;  // the rows so far stand
            return false;
        }
        unfilterRow(reader, row, firstY + r * yStep, x);
        if (result == Z_STREAM_END)
            return false;
        std::swap(row.currentRow, row.previousRow);
    }
    return true;
}

// Rows inflated on a lent core into a ring while the calling thread
// unfilters them into the picture. The inflating side stays two rows
// short of a full ring: the row being unfiltered reads the row above it.
class AheadRing {
public:
    AheadRing(std::int64_t rows, std::int64_t rowLength)
        : rows_(rows), rowLength_(rowLength),
          bytes_(tryAllocateArray<std::uint8_t>(static_cast<std::size_t>((rows + 1) * rowLength))),
          results_(tryAllocateArray<int>(static_cast<std::size_t>(rows)))
    {
    }

    bool allocated() const { return bytes_ && results_; }

    void inflate(Inflater& inflater, std::int64_t height)
    {
        for (std::int64_t y = 0; y < height; ++y) {
            platform::SpinUntil([&] { return y - unfiltered_.load(std::memory_order_acquire) < rows_ - 1; });
            const int result = inflater.inflateRow(slot(y), rowLength_);
            results_[static_cast<std::size_t>(y % rows_)] = result;
            inflated_.store(y + 1, std::memory_order_release);
            if (result != Z_OK)
                return;
        }
    }

    // The same rows, outcomes and end as decodeRows gives.
    void unfilter(PngReader& reader, PngRowState& row, std::int64_t height)
    {
        for (std::int64_t y = 0; y < height; ++y) {
            platform::SpinUntil([&] { return inflated_.load(std::memory_order_acquire) > y; });
            const int result = results_[static_cast<std::size_t>(y % rows_)];
            if (result != Z_OK && result != Z_STREAM_END) {
                reader.streamCutShort = true;
                return;
            }
            row.currentRow = slot(y);
            row.previousRow = y == 0 ? bytes_.get() + rows_ * rowLength_ : slot(y - 1);
            unfilterRow(reader, row, y, 0);
            unfiltered_.store(y + 1, std::memory_order_release);
            if (result == Z_STREAM_END)
                return;
        }
    }

private:
    std::uint8_t* slot(std::int64_t y) { return bytes_.get() + (y % rows_) * rowLength_; }

    std::int64_t rows_;
    std::int64_t rowLength_;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::unique_ptr<int[]> results_;
    std::atomic<std::int64_t> inflated_{0};
    std::atomic<std::int64_t> unfiltered_{0};
};

// false, with nothing read, when no core is lent or no thread starts.
bool decodeRowsInflatedAhead(PngReader& reader, Inflater& inflater, PngRowState& row)
{
    const std::int64_t rows = aheadRingRows(reader);
    if (rows == 0)
        return false;
    platform::LibraryThreads helper(2);
    if (helper.count() < 2)
        return false;
    AheadRing ring(rows, row.rowLength);
    if (!ring.allocated())
        return false;
    const std::int64_t height = reader.height;
    platform::BackgroundWork inflating([&] { ring.inflate(inflater, height); }, platform::BackgroundWork::IfNoThread::skip);
    if (!inflating.started())
        return false;
    ring.unfilter(reader, row, height);
    inflating.join();
    return true;
}

}  // namespace

Status DecodePngImageData(PngReader& reader, const std::uint8_t* data, std::uint64_t size)
{
    const CompressedInput input{data, size};
    Inflater inflater(input);
    if (!inflater.started())
        return CodecError::pngZlib;
    const std::int64_t fullRow = PngRowSize(reader.width, reader.bitDepth, reader.bytesPerPixel);
    std::unique_ptr<std::uint8_t[]> block = tryAllocateArray<std::uint8_t>(2 * static_cast<std::size_t>(fullRow));
    if (!block)
        return CodecError::noMemory;

    PngRowState row;
    row.currentRow = block.get();
    row.previousRow = block.get() + fullRow;
    const int perByte = pixelsPerByte(reader.bitDepth);

    if (!reader.interlaced) {
        row.rowLength = fullRow;
        row.xStep = 1;
        row.xStepBytes = 3;
        row.lastBytePixels = static_cast<int>(reader.width % perByte);
        if (!decodeRowsInflatedAhead(reader, inflater, row))
            decodeRows(reader, inflater, row, 0, reader.height, 1, 0);
        return {};
    }
    for (const Adam7Pass& pass : Adam7PassSizes(reader.width, reader.height, reader.bitDepth, reader.bytesPerPixel)) {
        if (pass.rowSize == 0)
            continue;
        std::memset(block.get(), 0, static_cast<std::size_t>(2 * fullRow));
        row.rowLength = pass.rowSize;
        row.xStep = pass.xStep;
        row.xStepBytes = 3 * pass.xStep;
        row.lastBytePixels = static_cast<int>(pass.width % perByte);
        if (!decodeRows(reader, inflater, row, pass.yStart, pass.height, pass.yStep, pass.xStart))
            break;
    }
    return {};
}

}  // namespace vrelk
