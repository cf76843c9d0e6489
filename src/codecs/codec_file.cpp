#include "codecs/codec_file.h"

#include <array>

namespace vrelk {

bool ReadCursor::seek(std::size_t to)
{
    if (to > static_cast<std::size_t>(end - begin))
        return false;
    cursor = begin + to;
    return true;
}

bool ReadCursor::skip(std::size_t count)
{
    if (!has(count))
        return false;
    cursor += count;
    return true;
}

std::span<const std::uint8_t> ReadCursor::take(std::size_t count)
{
    if (!has(count))
        return {};
    std::span<const std::uint8_t> bytes(cursor, count);
    cursor += count;
    return bytes;
}

namespace {

template <std::size_t N>
bool takeBytes(ReadCursor& in, std::array<std::uint8_t, N>& bytes)
{
    if (!in.has(N)) {
        in.cursor = in.end;
        return false;
    }
    for (std::uint8_t& byte : bytes)
        byte = *in.cursor++;
    return true;
}

}  // namespace

std::uint16_t ReadU16LE(ReadCursor& in)
{
    std::array<std::uint8_t, 2> b{};
    takeBytes(in, b);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint16_t ReadU16BE(ReadCursor& in)
{
    std::array<std::uint8_t, 2> b{};
    takeBytes(in, b);
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::uint32_t ReadU32LE(ReadCursor& in)
{
    std::array<std::uint8_t, 4> b{};
    takeBytes(in, b);
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}

std::uint32_t ReadU32BE(ReadCursor& in)
{
    std::array<std::uint8_t, 4> b{};
    takeBytes(in, b);
    return LoadU32BE(b.data());
}

std::size_t MapInputFile(const platform::Path& path, CodecObject& codec, ReadCursor& cursor)
{
    cursor = ReadCursor{};
    codec.inputFile = platform::File::openRead(path);
    if (codec.inputFile.isOpen())
        codec.mapping = platform::FileMapping::map(codec.inputFile);
    if (!codec.mapping.isMapped()) {
        codec.errorCode = kCodecCannotOpen;
        return 0;
    }
    const std::uint8_t* view = codec.mapping.data();
    std::size_t size = codec.mapping.size();
    codec.inputFileSize = static_cast<std::int64_t>(size);
    cursor = ReadCursor{view, view, view + size};
    return size;
}

bool CreateOutputFile(const platform::Path& path, CodecObject& codec)
{
    codec.outputFile = platform::File::createWrite(path);
    if (!codec.outputFile.isOpen()) {
        codec.errorCode = kCodecCannotCreate;
        return false;
    }
    return true;
}

bool WriteU32BE(CodecObject& codec, std::uint32_t value)
{
    std::array<std::uint8_t, 4> bytes{};
    StoreU32BE(bytes.data(), value);
    return codec.outputFile.write(bytes);
}

void FillBitmapHeader(CodecObject& codec, std::int32_t width, std::int32_t height, int bitCount,
                      std::int32_t xPelsPerMeter, std::int32_t yPelsPerMeter)
{
    BitmapInfoHeader& h = codec.image.header;
    h.biSize = 40;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<std::uint16_t>(bitCount);
    h.biCompression = 0;
    h.biSizeImage = 0;
    h.biXPelsPerMeter = xPelsPerMeter;
    h.biYPelsPerMeter = yPelsPerMeter;
    h.biClrUsed = 0;
    h.biClrImportant = 0;
}

void ReleaseCodecFiles(CodecObject& codec)
{
    codec.mapping.reset();
    codec.inputFile.close();
    codec.outputFile.close();
}

}  // namespace vrelk
