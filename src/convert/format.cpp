#include "convert/format.h"

#include <array>

#include "codecs/bmp.h"
#include "codecs/codec_file.h"
#include "codecs/gif.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"

namespace vrelk {
namespace {

// The codec of each format is wired in here as it is built; until then its
// entry reports failure like any reader that cannot handle the file.
bool readNotAvailable(CodecContext&, const platform::Path&) { return false; }

// Hands a reader's result to the current image; a failed read keeps no
// pixel buffer.
bool deliverImage(CodecContext& context, CodecObject& reader, DibImage* image)
{
    if (!image)
        reader.image.pixels.reset();
    context.current.image = image;
    return image != nullptr;
}

bool readBmp(CodecContext& context, const platform::Path& path)
{
    BmpReader& reader = context.codecs.bmpReader;
    reader.resetFileState();
    reader.resetForRead();
    reader.pixelsInPages = true;
    DibImage* image = ReadBmp(reader, path);
    ReleaseBmpReader(reader);
    return deliverImage(context, reader, image);
}

// With a size reduction ahead, JPEG can decode at a reduced scale.
void setJpegScaleHint(JpegReader& reader, const Settings& settings)
{
    if (!settings.Resize || settings.RszSize == 0)
        return;
    const auto size = static_cast<std::uint32_t>(settings.RszSize);
    switch (settings.RszOpt) {
    case 0: reader.wantedWidth = size; reader.wantedHeight = 1; break;
    case 1: reader.wantedWidth = 1; reader.wantedHeight = size; break;
    case 2: reader.wantedWidth = size; reader.wantedHeight = size; break;
    default: return;
    }
    reader.scaleHint = true;
}

bool readJpeg(CodecContext& context, const platform::Path& path)
{
    JpegReader& reader = context.codecs.jpegReader;
    reader.resetFileState();
    reader.resetForRead();
    reader.pixelsInPages = true;
    setJpegScaleHint(reader, context.settings);
    DibImage* image = ReadJpeg(reader, path);
    ReleaseJpegReader(reader);
    return deliverImage(context, reader, image);
}

bool readPng(CodecContext& context, const platform::Path& path)
{
    PngReader& reader = context.codecs.pngReader;
    reader.resetFileState();
    reader.resetForRead();
    reader.tables = context.codecs.tables.get();
    reader.pixelsInPages = true;
    reader.useGivenBackground = true;
    reader.backgroundRed = reader.backgroundGreen = reader.backgroundBlue = 255;
    reader.displayGamma = 2200;
    DibImage* image = nullptr;
    ReadCursor cursor;
    if (MapInputFile(path, reader, cursor))
        image = ReadPng(reader, cursor);
    ReleasePngReader(reader);
    return deliverImage(context, reader, image);
}

bool readGif(CodecContext& context, const platform::Path& path)
{
    CodecObject& reader = context.codecs.gifReader;
    reader.image.pixels.reset();
    Result<DibImage> image = ReadGifFile(path);
    if (!image)
        return deliverImage(context, reader, nullptr);
    reader.image = std::move(*image);
    return deliverImage(context, reader, &reader.image);
}

constexpr std::array<ReadEntry, 6> kReadEntries{
    nullptr,           // unknown: plug-ins only
    readBmp,           // BMP
    readPng,           // PNG
    readJpeg,          // JPEG
    readNotAvailable,  // TIFF
    readGif,           // GIF
};

// Reads up to `count` bytes; 0 means the file ended (or failed) first.
std::size_t readSome(platform::File& file, std::uint8_t* into, std::size_t count)
{
    return file.read(std::span<std::uint8_t>(into, count));
}

FormatCode sniffOpenFile(platform::File& file)
{
    // Every test needs both of the first two bytes; the later reads accept
    // whatever part of their bytes is there.
    std::array<std::uint8_t, 4> b{};
    if (readSome(file, b.data(), 2) < 2)
        return kFormatTooShort;

    if (b[0] == 'G' && b[1] == 'I') {
        if (readSome(file, &b[2], 1) == 0)
            return kFormatTooShort;
        return b[2] == 'F' ? kFormatGif : kFormatUnknown;
    }
    if (b[0] == 'I' && b[1] == 'I') {
        if (readSome(file, &b[2], 1) == 0)
            return kFormatTooShort;
        return b[2] == 0x2A ? kFormatTiff : kFormatUnknown;
    }
    if (b[0] == 'M' && b[1] == 'M') {
        if (!file.skip(1) || readSome(file, &b[3], 1) == 0)
            return kFormatTooShort;
        return b[3] == 0x2A ? kFormatTiff : kFormatUnknown;
    }
    if (b[0] == 'B' && b[1] == 'M')
        return kFormatBmp;
    if (b[0] == 0x89 && b[1] == 'P') {
        std::array<std::uint8_t, 2> ng{};
        std::array<std::uint8_t, 4> tail{};
        if (readSome(file, ng.data(), ng.size()) == 0)
            return kFormatTooShort;
        if (readSome(file, tail.data(), tail.size()) == 0)
            return kFormatTooShort;
        constexpr std::array<std::uint8_t, 4> kTail{0x0D, 0x0A, 0x1A, 0x0A};
        return ng[0] == 'N' && ng[1] == 'G' && tail == kTail ? kFormatPng : kFormatUnknown;
    }
    if (b[0] == 0xFF && b[1] == 0xD8)
        return kFormatJpeg;
    return kFormatUnknown;
}

void updateFromImage(CurrentImage& current)
{
    const BitmapInfoHeader& header = current.image->header;
    current.width = header.biWidth;
    current.height = header.biHeight;
    current.bitCount = header.biBitCount;
}

// Gives a writer the current image's geometry; false when there is no image.
bool prepareWriter(CodecObject& writer, const CurrentImage& current, int targetBits)
{
    writer.pixelsInPages = false;
    if (!current.image)
        return false;
    writer.width = current.width;
    writer.height = current.height;
    writer.sourceBits = current.bitCount;
    writer.targetBits = targetBits;
    writer.computeLayout();
    return true;
}

std::span<const std::uint8_t> currentPixels(const CurrentImage& current)
{
    const PageBuffer& pixels = current.image->pixels;
    return {pixels.data(), pixels.size()};
}

}  // namespace

FormatCode SniffFormat(const platform::Path& path)
{
    platform::File file = platform::File::openRead(path);
    if (!file.isOpen())
        return kFormatUnknown;
    return sniffOpenFile(file);
}

bool ReadImage(CodecContext& context, const platform::Path& path)
{
    CurrentImage& current = context.current;
    current.image = nullptr;
    if (!platform::pathExists(path))
        return false;

    FormatCode code = SniffFormat(path);
    if (code == kFormatTooShort)
        return false;

    bool ok = false;
    if (ReadEntry entry = kReadEntries[code])
        ok = entry(context, path);
    if (!ok)
        ok = ReadWithPlugin(context, path);

    if (!ok) {
        if (current.image)
            current.image->pixels.reset();
        current.image = nullptr;
        return false;
    }
    updateFromImage(current);
    return true;
}

bool ReadWithPlugin(CodecContext& context, const platform::Path&)
{
    PluginState& plugins = context.codecs.plugins;
    plugins.image.palette.fill(RgbQuad{});
    plugins.pixelsInPages = true;
    const Settings& settings = context.settings;
    if (!settings.UseSpi || settings.SPI.empty() || !platform::folderExists(settings.SPI))
        return false;
    // No plug-in host yet: every file offered to the plug-ins is refused.
    return false;
}

bool WriteBmpStep(CodecContext& context, const platform::Path& output)
{
    BmpWriter& writer = context.codecs.bmpWriter;
    writer.resetFileState();
    writer.resetForWrite();
    if (!prepareWriter(writer, context.current, context.current.bitCount))
        return false;
    bool written = WriteBmp(writer, output, context.current.image->palette, currentPixels(context.current));
    ReleaseBmpWriter(writer);
    return written;
}

bool WritePngStep(CodecContext& context, const platform::Path& output)
{
    PngWriter& writer = context.codecs.pngWriter;
    writer.resetFileState();
    writer.resetForWrite();
    if (!prepareWriter(writer, context.current, context.current.bitCount))
        return false;
    bool written = WritePng(writer, output, context.current.image->palette, currentPixels(context.current));
    ReleasePngWriter(writer);
    return written;
}

bool WriteJpegStep(CodecContext& context, const platform::Path& output)
{
    JpegWriter& writer = context.codecs.jpegWriter;
    const Settings& settings = context.settings;
    writer.resetFileState();
    writer.resetForWrite();
    if (!prepareWriter(writer, context.current, 24))
        return false;
    SetJpegOptions(writer, settings.Quality, settings.Sampling);
    const Palette& palette = context.current.image->palette;
    auto pixels = currentPixels(context.current);
    bool written = settings.Limit ? WriteJpegWithLimit(writer, output, palette, pixels, settings.LmtVal)
                                  : EncodeJpeg(writer, output, palette, pixels);
    ReleaseJpegWriter(writer);
    return written;
}

bool WriteGifStep(CodecContext& context, const platform::Path& output)
{
    const CurrentImage& current = context.current;
    if (!current.image)
        return false;
    const ImageView image{current.width, current.height, current.bitCount, &current.image->palette,
                          currentPixels(current)};
    return WriteGif(image, output).ok();
}

OutputChoice SelectOutput(Settings& settings, const std::function<void(Settings&)>& applyControls)
{
    if (applyControls)
        applyControls(settings);
    switch (settings.outputType) {
    case kOutputPng: return {".png", PerFileStep::convert, WritePngStep};
    case kOutputJpeg: return {".jpg", PerFileStep::convert, WriteJpegStep};
    case kOutputGif: return {".gif", PerFileStep::convert, WriteGifStep};
    case kOutputRecode: return {".jpg", PerFileStep::recode, nullptr};
    default: return {".bmp", PerFileStep::convert, WriteBmpStep};
    }
}

std::optional<std::int32_t> outputTypeForDirectChoice(std::int32_t drctCvt)
{
    static constexpr std::array<std::int32_t, 5> kTypes{kOutputBmp, kOutputPng, kOutputJpeg, kOutputGif,
                                                       kOutputRecode};
    if (drctCvt < 1 || drctCvt > 5)
        return std::nullopt;
    return kTypes[static_cast<std::size_t>(drctCvt - 1)];
}

std::optional<std::int32_t> outputTypeForCommand(int command)
{
    return outputTypeForDirectChoice(command - 999);
}

}  // namespace vrelk
