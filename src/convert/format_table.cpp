#include "convert/format_table.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codecs/avif.h"
#include "codecs/bmp.h"
#include "codecs/gif.h"
#include "codecs/heif.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "codecs/tiff.h"
#include "codecs/webp.h"
#include "convert/format.h"

namespace vrelk {
namespace {

// The first two bytes decide which format's signature a file may carry
// (SniffFormat looks at no file shorter); a file that ends before the rest
// of it is too short to tell.
bool opensWith(std::span<const std::uint8_t> bytes, std::uint8_t first, std::uint8_t second)
{
    return bytes[0] == first && bytes[1] == second;
}

Signature yesIf(bool carried) { return carried ? Signature::yes : Signature::no; }

Signature sniffBmp(std::span<const std::uint8_t> bytes) { return yesIf(opensWith(bytes, 'B', 'M')); }
Signature sniffJpeg(std::span<const std::uint8_t> bytes) { return yesIf(opensWith(bytes, 0xFF, 0xD8)); }

Signature sniffGif(std::span<const std::uint8_t> bytes)
{
    if (!opensWith(bytes, 'G', 'I'))
        return Signature::no;
    return bytes.size() < 3 ? Signature::needMore : yesIf(bytes[2] == 'F');
}

// Intel order has its 42 in the third byte, Motorola order in the fourth;
// the byte between is not looked at.
Signature sniffTiff(std::span<const std::uint8_t> bytes)
{
    if (opensWith(bytes, 'I', 'I'))
        return bytes.size() < 3 ? Signature::needMore : yesIf(bytes[2] == 0x2A);
    if (opensWith(bytes, 'M', 'M'))
        return bytes.size() < 4 ? Signature::needMore : yesIf(bytes[3] == 0x2A);
    return Signature::no;
}

// A file that ends before its fifth byte is too short; one that ends later
// but inside the signature is not a PNG.
Signature sniffPng(std::span<const std::uint8_t> bytes)
{
    constexpr std::array<std::uint8_t, 8> kPng{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!opensWith(bytes, kPng[0], kPng[1]))
        return Signature::no;
    if (bytes.size() < 5)
        return Signature::needMore;
    return yesIf(bytes.size() >= kPng.size() && std::equal(kPng.begin(), kPng.end(), bytes.begin()));
}

Signature sniffWebp(std::span<const std::uint8_t> bytes)
{
    if (!opensWith(bytes, 'R', 'I'))
        return Signature::no;
    return bytes.size() < 3 ? Signature::needMore : yesIf(HasWebpSignature(bytes));
}

// ISO media files begin with a box length, so any two bytes can start one;
// the file type box that follows tells what it holds.
Signature sniffHeif(std::span<const std::uint8_t> bytes)
{
    return yesIf(IsHeifSignature(bytes.first(std::min(bytes.size(), kHeifSignatureBytes))));
}

Result<Picture> readBmp(ByteCursor in, const ReadContext& context) { return ReadBmp(in, context.limits); }

// The reader composites over white at a display gamma of 2.2, whatever
// background the file asks for, unless the transparency is kept.
Result<Picture> readPng(ByteCursor in, const ReadContext& context)
{
    PngReadOptions options;
    options.tables = &context.tables;
    options.useGivenBackground = true;
    options.backgroundRed = options.backgroundGreen = options.backgroundBlue = 255;
    options.displayGamma = 2200;
    options.keepAlpha = context.keepAlpha;
    options.limits = context.limits;
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
    case kReduceToFit:
        hint.wantedWidth = size;
        hint.wantedHeight = static_cast<std::uint32_t>(std::max(options.boxHeight, 1));
        break;
    default: return hint;
    }
    hint.scaleHint = true;
    return hint;
}

Result<Picture> readJpeg(ByteCursor in, const ReadContext& context)
{
    JpegReadOptions options = jpegScaleHint(context.options);
    options.limits = context.limits;
    return ReadJpeg(in, options);
}

// Alpha is composited over white, or kept, as for PNG.
Result<Picture> readTiff(ByteCursor in, const ReadContext& context)
{
    return ReadTiff(in, context.tables, context.limits, context.keepAlpha);
}
Result<Picture> readGif(ByteCursor in, const ReadContext& context)
{
    return ReadGif(in, context.limits, context.keepAlpha);
}
// Alpha is composited over white, or kept, as for PNG.
Result<Picture> readWebp(ByteCursor in, const ReadContext& context)
{
    return ReadWebp(in, context.tables, context.limits, context.keepAlpha);
}
Result<Picture> readHeif(ByteCursor in, const ReadContext& context)
{
    return ReadHeif(in, context.tables, context.limits, context.keepAlpha);
}

constexpr std::array<InputFormat, 7> kInputFormats{{
    {kFormatBmp, sniffBmp, readBmp},
    {kFormatPng, sniffPng, readPng},
    {kFormatJpeg, sniffJpeg, readJpeg},
    {kFormatTiff, sniffTiff, readTiff},
    {kFormatGif, sniffGif, readGif},
    {kFormatWebp, sniffWebp, readWebp},
    {kFormatHeif, sniffHeif, readHeif},
}};

Status writeBmp(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WriteBmp(image, output);
}

Status writePng(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WritePng(image, output);
}

Status writeJpeg(const ImageView& image, const platform::Path& output, const ConvertOptions& options)
{
    JpegEncoding encoding = jpegEncoding(options.quality, options.sampling);
    encoding.workers = options.workers;
    if (options.limitSize)
        return WriteJpegWithLimit(image, output, encoding, options.limitKilobytes);
    return WriteJpeg(image, output, encoding);
}

Status writeWebp(const ImageView& image, const platform::Path& output, const ConvertOptions& options)
{
    if (options.limitSize)
        return WriteWebpWithByteLimit(image, output, std::int64_t{options.limitKilobytes} * 1024, options.workers);
    return WriteWebp(image, output, options.quality);
}

// AVIF's encoder runs on as many threads as the run has slots free.
Status writeAvif(const ImageView& image, const platform::Path& output, const ConvertOptions& options)
{
    if (options.limitSize)
        return WriteAvifWithByteLimit(image, output, std::int64_t{options.limitKilobytes} * 1024, options.workers);
    return WriteAvif(image, output, options.quality, options.workers);
}

Status writeGif(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    return WriteGif(image, output);
}

// In DrctCvt's order: type, DrctCvt, button, key, name in the settings'
// list, button text, vrelk -f name and alias, extension, step, writer, keeps.
constexpr std::array<OutputFormat, 7> kOutputFormats{{
    {kOutputBmp, 1, kCommandBmp, 'B', "BMP", "BMP(B)", "bmp", "", ".bmp", PerFileStep::convert, writeBmp, kKeepsNothing},
    {kOutputPng, 2, kCommandPng, 'P', "PNG", "PNG(P)", "png", "", ".png", PerFileStep::convert, writePng,
     kKeepsProfile | kKeepsAlpha | kKeepsMetadata},
    {kOutputJpeg, 3, kCommandJpeg, 'J', "JPEG", "JPEG(J)", "jpeg", "jpg", ".jpg", PerFileStep::convert, writeJpeg,
     kKeepsProfile | kKeepsMetadata | kMeetsSizeTarget},
    {kOutputGif, 4, kCommandGif, 'G', "GIF", "GIF(G)", "gif", "", ".gif", PerFileStep::convert, writeGif, kKeepsAlpha},
    {kOutputRecode, 5, kCommandRecode, 'T', "JPEG変換", "JPEG変換(T)", "recode", "", ".jpg", PerFileStep::recode, nullptr,
     kKeepsProfile | kKeepsMetadata},
    {kOutputWebp, 6, kCommandWebp, 'W', "WebP", "WebP(W)", "webp", "", ".webp", PerFileStep::convert, writeWebp,
     kKeepsProfile | kKeepsAlpha | kKeepsMetadata | kMeetsSizeTarget},
    {kOutputAvif, 7, kCommandAvif, 'A', "AVIF", "AVIF(A)", "avif", "", ".avif", PerFileStep::convert, writeAvif,
     kKeepsProfile | kKeepsMetadata | kMeetsSizeTarget},
}};

std::vector<InputFormat>& inputTable()
{
    static std::vector<InputFormat> table(kInputFormats.begin(), kInputFormats.end());
    return table;
}

std::vector<OutputFormat>& outputTable()
{
    static std::vector<OutputFormat> table(kOutputFormats.begin(), kOutputFormats.end());
    return table;
}

template <class Test>
const OutputFormat* findOutput(Test test)
{
    const std::vector<OutputFormat>& table = outputTable();
    const auto found = std::find_if(table.begin(), table.end(), test);
    return found == table.end() ? nullptr : &*found;
}

}  // namespace

std::span<const InputFormat> InputFormats() { return inputTable(); }
std::span<const OutputFormat> OutputFormats() { return outputTable(); }

void RegisterInputFormat(const InputFormat& format) { inputTable().push_back(format); }
void RegisterOutputFormat(const OutputFormat& format) { outputTable().push_back(format); }

FormatCode SniffFormat(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 2)
        return kFormatTooShort;
    for (const InputFormat& format : inputTable()) {
        switch (format.sniff(bytes)) {
        case Signature::yes: return format.code;
        case Signature::needMore: return kFormatTooShort;
        case Signature::no: break;
        }
    }
    return kFormatUnknown;
}

const InputFormat* InputFormatOf(FormatCode code)
{
    const std::vector<InputFormat>& table = inputTable();
    const auto found = std::find_if(table.begin(), table.end(), [&](const InputFormat& format) { return format.code == code; });
    return found == table.end() ? nullptr : &*found;
}

const OutputFormat& OutputFormatOf(std::int32_t outputType)
{
    const OutputFormat* format = findOutput([&](const OutputFormat& f) { return f.outputType == outputType; });
    return format ? *format : outputTable().front();
}

const OutputFormat* OutputForDirectChoice(std::int32_t directChoice)
{
    return findOutput([&](const OutputFormat& f) { return f.directChoice == directChoice; });
}

const OutputFormat* OutputForCommand(int command)
{
    return findOutput([&](const OutputFormat& f) { return f.command == command; });
}

const OutputFormat* OutputForKey(char key)
{
    return findOutput([&](const OutputFormat& f) { return f.key == key; });
}

const OutputFormat* OutputForCliName(std::string_view name)
{
    return findOutput([&](const OutputFormat& f) { return f.cliName == name || (!f.cliAlias.empty() && f.cliAlias == name); });
}

}  // namespace vrelk
