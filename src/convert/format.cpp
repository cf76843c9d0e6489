#include "convert/format.h"

#include <array>
#include <mutex>

#include "codecs/bmp.h"
#include "codecs/files.h"
#include "codecs/gif.h"
#include "codecs/heif.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "codecs/tiff.h"
#include "codecs/webp.h"

namespace vrelk {
namespace {

using ReadEntry = Result<Picture> (*)(ByteCursor in, const ReadContext& context);

Result<Picture> readBmp(ByteCursor in, const ReadContext&) { return ReadBmp(in); }

// The reader always composites over white at a display gamma of 2.2,
// whatever background the file asks for.
Result<Picture> readPng(ByteCursor in, const ReadContext& context)
{
    PngReadOptions options;
    options.tables = &context.tables;
    options.useGivenBackground = true;
    options.backgroundRed = options.backgroundGreen = options.backgroundBlue = 255;
    options.displayGamma = 2200;
    return ReadPng(in, options);
}

// With a size reduction ahead, JPEG can decode at a reduced scale.
JpegReadOptions jpegScaleHint(const ConvertOptions& options)
{
    JpegReadOptions hint;
    if (!options.resize || options.resizeSize == 0)
        return hint;
    const auto size = static_cast<std::uint32_t>(options.resizeSize);
    switch (options.resizeMode) {
    case kReduceWidth: hint.wantedWidth = size; hint.wantedHeight = 1; break;
    case kReduceHeight: hint.wantedWidth = 1; hint.wantedHeight = size; break;
    case kReduceLongerSide: hint.wantedWidth = size; hint.wantedHeight = size; break;
    default: return hint;
    }
    hint.scaleHint = true;
    return hint;
}

Result<Picture> readJpeg(ByteCursor in, const ReadContext& context)
{
    return ReadJpeg(in, jpegScaleHint(context.options));
}

Result<Picture> readTiff(ByteCursor in, const ReadContext&) { return ReadTiff(in); }

Result<Picture> readGif(ByteCursor in, const ReadContext&) { return ReadGif(in); }

// Alpha is composited over white, as for PNG.
Result<Picture> readWebp(ByteCursor in, const ReadContext& context) { return ReadWebp(in, context.tables); }
Result<Picture> readHeif(ByteCursor in, const ReadContext& context) { return ReadHeif(in, context.tables); }

constexpr std::array<ReadEntry, 9> kReadEntries{
    nullptr,           // unknown: plug-ins only
    readBmp,           // BMP
    readPng,           // PNG
    readJpeg,          // JPEG
    readTiff,          // TIFF
    readGif,           // GIF
    nullptr,           // too short: never read
    readWebp,          // WebP
    readHeif,          // HEIF: HEIC, AVIF
};

// Reads up to `count` bytes; 0 means the file ended (or failed) first.
std::size_t readSome(platform::File& file, std::uint8_t* into, std::size_t count)
{
    return file.read(std::span<std::uint8_t>(into, count));
}

// ISO media files begin with a box length, so any two bytes can start one;
// the file type box that follows tells what it holds.
FormatCode sniffBoxFile(platform::File& file, std::uint8_t first, std::uint8_t second)
{
    std::array<std::uint8_t, kHeifSignatureBytes> head{first, second};
    const std::size_t got = 2 + readSome(file, head.data() + 2, head.size() - 2);
    return IsHeifSignature(std::span<const std::uint8_t>(head.data(), got)) ? kFormatHeif : kFormatUnknown;
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
    if (b[0] == 'R' && b[1] == 'I') {
        std::array<std::uint8_t, kWebpSignatureLength> riff{'R', 'I'};
        if (readSome(file, &riff[2], riff.size() - 2) == 0)
            return kFormatTooShort;
        if (HasWebpSignature(riff))
            return kFormatWebp;
    }
    return sniffBoxFile(file, b[0], b[1]);
}

Result<Picture> readBuiltIn(const platform::Path& path, ReadEntry entry, const ReadContext& context)
{
    Result<InputFile> input = InputFile::read(path);
    if (!input)
        return input.error();
    return entry(input->cursor(), context);
}

}  // namespace

FormatCode SniffFormat(const platform::Path& path)
{
    platform::File file = platform::File::openRead(path);
    if (!file.isOpen())
        return kFormatUnknown;
    return sniffOpenFile(file);
}

PluginTurns::PluginTurns(std::size_t files) : passed_(files, false) {}

void PluginTurns::await(std::size_t file)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return firstPending_ >= file; });
}

void PluginTurns::passed(std::size_t file)
{
    {
        std::lock_guard lock(mutex_);
        if (file >= passed_.size() || passed_[file])
            return;
        passed_[file] = true;
        while (firstPending_ < passed_.size() && passed_[firstPending_])
            ++firstPending_;
    }
    changed_.notifyAll();
}

namespace {

// Gives up the file's plug-in turn however its read ends.
class TurnPassed {
public:
    explicit TurnPassed(const ReadContext& context) : context_(context) {}
    TurnPassed(const TurnPassed&) = delete;
    TurnPassed& operator=(const TurnPassed&) = delete;
    ~TurnPassed()
    {
        if (context_.turns)
            context_.turns->passed(context_.file);
    }

private:
    const ReadContext& context_;
};

}  // namespace

Result<Picture, FileFailure> ReadImage(const platform::Path& path, const ReadContext& context)
{
    const TurnPassed turnPassed(context);
    if (!platform::pathExists(path))
        return FileFailure{SkipReason::missing, std::nullopt};

    const FormatCode code = SniffFormat(path);
    if (code == kFormatTooShort)
        return FileFailure{SkipReason::tooShort, std::nullopt};

    std::optional<CodecError> builtInError;
    if (ReadEntry entry = kReadEntries[code]) {
        Result<Picture> image = readBuiltIn(path, entry, context);
        if (image)
            return std::move(*image);
        builtInError = image.error();
    }
    if (context.turns && context.options.usePlugins)
        context.turns->await(context.file);
    Result<Picture> image = ReadWithPlugin(path, context.options);
    if (image)
        return std::move(*image);
    if (builtInError)
        return FileFailure{SkipReason::readFailed, builtInError};
    return FileFailure{SkipReason::unrecognised, std::nullopt};
}

Status WriteBmpStep(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WriteBmp(image, output);
}

Status WritePngStep(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WritePng(image, output);
}

Status WriteJpegStep(const ImageView& image, const platform::Path& output, const ConvertOptions& options)
{
    JpegEncoding encoding = jpegEncoding(options.quality, options.sampling);
    encoding.workers = options.workers;
    if (options.limitSize)
        return WriteJpegWithLimit(image, output, encoding, options.limitKilobytes);
    return WriteJpeg(image, output, encoding);
}

Status WriteWebpStep(const ImageView& image, const platform::Path& output, const ConvertOptions& options)
{
    if (options.limitSize)
        return WriteWebpWithByteLimit(image, output, std::int64_t{options.limitKilobytes} * 1024);
    return WriteWebp(image, output, options.quality);
}

Status WriteGifStep(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WriteGif(image, output);
}

bool WriterKeepsProfile(WriteStep write)
{
    return write == WritePngStep || write == WriteJpegStep || write == WriteWebpStep;
}

OutputChoice SelectOutput(std::int32_t outputType)
{
    switch (outputType) {
    case kOutputPng: return {".png", PerFileStep::convert, WritePngStep};
    case kOutputJpeg: return {".jpg", PerFileStep::convert, WriteJpegStep};
    case kOutputGif: return {".gif", PerFileStep::convert, WriteGifStep};
    case kOutputRecode: return {".jpg", PerFileStep::recode, nullptr};
    case kOutputWebp: return {".webp", PerFileStep::convert, WriteWebpStep};
    default: return {".bmp", PerFileStep::convert, WriteBmpStep};
    }
}

}  // namespace vrelk
