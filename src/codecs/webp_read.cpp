#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "codecs/icc_profile.h"
#include "codecs/metadata.h"
#include "codecs/webp.h"
#include "codecs/decode_memory.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

// libwebp's verdicts as the program's failures; the rest are bad data.
struct StatusMapping {
    VP8StatusCode status;
    CodecError error;
};
constexpr std::array<StatusMapping, 3> kStatusErrors{{
    {VP8_STATUS_OUT_OF_MEMORY, CodecError::noMemory},
    {VP8_STATUS_UNSUPPORTED_FEATURE, CodecError::unsupported},
    {VP8_STATUS_NOT_ENOUGH_DATA, CodecError::truncated},
}};

CodecError errorFor(VP8StatusCode status)
{
    for (const StatusMapping& mapping : kStatusErrors)
        if (mapping.status == status)
            return mapping.error;
    return CodecError::damaged;
}

struct DemuxDeleter {
    void operator()(WebPDemuxer* demuxer) const { WebPDemuxDelete(demuxer); }
};
using Demuxer = std::unique_ptr<WebPDemuxer, DemuxDeleter>;

// The ICCP chunk's profile; none when the chunk is missing, larger than
// any profile is read, or not a sound profile, so that the picture shows
// as sRGB.
std::vector<std::uint8_t> embeddedProfile(std::span<const std::uint8_t> data)
{
    const WebPData whole{data.data(), data.size()};
    const Demuxer demuxer(WebPDemux(&whole));
    if (!demuxer || !(WebPDemuxGetI(demuxer.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG))
        return {};
    WebPChunkIterator chunk;
    if (!WebPDemuxGetChunk(demuxer.get(), "ICCP", 1, &chunk))
        return {};
    const std::span<const std::uint8_t> icc(chunk.chunk.bytes, chunk.chunk.size);
    std::vector<std::uint8_t> profile;
    if (IccProfileLooksWhole(icc))
        profile.assign(icc.begin(), icc.end());
    WebPDemuxReleaseChunkIterator(&chunk);
    return profile;
}

// The EXIF and XMP chunks as they are; an EXIF chunk that starts with the
// JPEG identifier, as some writers make it, loses it.
void takeMetadata(std::span<const std::uint8_t> data, PictureMeta& meta)
{
    const WebPData whole{data.data(), data.size()};
    const Demuxer demuxer(WebPDemux(&whole));
    if (!demuxer)
        return;
    const std::uint32_t flags = WebPDemuxGetI(demuxer.get(), WEBP_FF_FORMAT_FLAGS);
    for (auto [flag, fourcc, into] : {std::tuple{EXIF_FLAG, "EXIF", &meta.exif}, std::tuple{XMP_FLAG, "XMP ", &meta.xmp}}) {
        WebPChunkIterator chunk;
        if (!(flags & flag) || !WebPDemuxGetChunk(demuxer.get(), fourcc, 1, &chunk))
            continue;
        std::span<const std::uint8_t> bytes(chunk.chunk.bytes, chunk.chunk.size);
        if (const auto tiff = AfterIdentifier(bytes, kExifIdentifier); into == &meta.exif && !tiff.empty())
            bytes = tiff;
        if (bytes.size() <= kMaxMetadataBytes)
            into->assign(bytes.begin(), bytes.end());
        WebPDemuxReleaseChunkIterator(&chunk);
    }
}

struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
using AnimDecoder = std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter>;

// Blue-green-red-alpha rows, top-down, composited over white into the
// image's bottom-up 24-bit rows.
void compositeOverWhite(const std::uint8_t* bgra, std::size_t sourceStride, Picture& image, const LookupTables& tables)
{
    const auto& blend = tables.blendTable;
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    const auto stride = static_cast<std::size_t>(image.stride);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* in = bgra + y * sourceStride;
        std::uint8_t* out = image.pixels.data() + (height - 1 - y) * stride;
        for (std::size_t x = 0; x < width; ++x, in += 4, out += 3) {
            const std::uint8_t a = in[3];
            const auto& over = blend[a];
            const auto& under = blend[255 - a];
            for (std::size_t c = 0; c < 3; ++c)
                out[c] = static_cast<std::uint8_t>(std::min(over[in[c]] + under[255], 255));
        }
    }
}

// Blue-green-red-alpha rows, top-down, into the bgra32 image's bottom-up rows.
void copyFlipped(const std::uint8_t* bgra, std::size_t sourceStride, Picture& image)
{
    const auto height = static_cast<std::size_t>(image.height);
    const auto rowBytes = static_cast<std::size_t>(image.width) * 4;
    const auto stride = static_cast<std::size_t>(image.stride);
    for (std::size_t y = 0; y < height; ++y)
        std::memcpy(image.pixels.data() + (height - 1 - y) * stride, bgra + y * sourceStride, rowBytes);
}

// The canvas as the picture takes it: composited into 24 bits, or kept
// with its alpha in a bgra32 picture.
void takeCanvas(const std::uint8_t* bgra, std::size_t sourceStride, Picture& image, const LookupTables& tables)
{
    if (image.layout == PixelLayout::bgra32)
        copyFlipped(bgra, sourceStride, image);
    else
        compositeOverWhite(bgra, sourceStride, image, tables);
}

// Decodes a picture with its alpha kept straight into the bgra32 image,
// bottom-up as libwebp flips it.
Status decodeKeepingAlpha(std::span<const std::uint8_t> data, Picture& image)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return CodecError::unsupported;
    config.output.is_external_memory = 1;
    config.output.colorspace = MODE_BGRA;
    config.options.flip = 1;
    config.output.u.RGBA = {image.pixels.data(), static_cast<int>(image.stride), image.pixels.size()};
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    return status == VP8_STATUS_OK ? Status{} : Status{errorFor(status)};
}

// Decodes a still picture straight into the image: bottom-up (libwebp
// flips it) blue-green-red rows, or, with alpha, through a top-down
// blue-green-red-alpha copy.
Status decodeStill(std::span<const std::uint8_t> data, Picture& image, bool alpha, const LookupTables& tables)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return CodecError::unsupported;
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    PageBuffer bgra;
    WebPRGBABuffer& target = config.output.u.RGBA;
    config.output.is_external_memory = 1;
    if (alpha) {
        bgra = PageBuffer::allocate(width * height * 4);
        if (!bgra)
            return CodecError::noMemory;
        config.output.colorspace = MODE_BGRA;
        target = {bgra.data(), static_cast<int>(width * 4), bgra.size()};
    } else {
        config.output.colorspace = MODE_BGR;
        config.options.flip = 1;
        target = {image.pixels.data(), static_cast<int>(image.stride),
                  image.pixels.size()};
    }
    const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        return errorFor(status);
    if (alpha)
        compositeOverWhite(bgra.data(), width * 4, image, tables);
    return {};
}

// Where the first frame lies on the canvas, and whether its bitstream
// declares alpha.
struct FirstFrame {
    std::size_t left = 0, top = 0, width = 0, height = 0;
    bool declaresAlpha = false;
};

Result<FirstFrame> firstFrame(const WebPDemuxer* demuxer, const WebPAnimInfo& info)
{
    WebPIterator iterator;
    if (!WebPDemuxGetFrame(demuxer, 1, &iterator))
        return CodecError::damaged;
    // A negative value becomes one past any canvas.
    const auto asSize = [](int value) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(value)); };
    const bool inside = rangeInside(asSize(iterator.x_offset), asSize(iterator.width), info.canvas_width) &&
                        rangeInside(asSize(iterator.y_offset), asSize(iterator.height), info.canvas_height);
    const FirstFrame frame{static_cast<std::size_t>(iterator.x_offset), static_cast<std::size_t>(iterator.y_offset),
                           static_cast<std::size_t>(iterator.width), static_cast<std::size_t>(iterator.height),
                           iterator.has_alpha != 0};
    WebPDemuxReleaseIterator(&iterator);
    if (!inside)
        return CodecError::damaged;
    return frame;
}

// The first frame shows as it does on its own, where dwebp drops the alpha
// of a bitstream that declares none. libwebp's canvas keeps it: a lossless
// frame's palette indices past the palette come out transparent black
// there, declared or not.
void showOpaqueUnlessDeclared(const FirstFrame& frame, std::uint8_t* canvas, const WebPAnimInfo& info)
{
    if (frame.declaresAlpha)
        return;
    const std::size_t stride = std::size_t{info.canvas_width} * 4;
    for (std::size_t y = 0; y < frame.height; ++y) {
        std::uint8_t* alpha = canvas + (frame.top + y) * stride + frame.left * 4 + 3;
        for (std::size_t x = 0; x < frame.width; ++x)
            alpha[4 * x] = 255;
    }
}

// The first frame of an animation as shown: on its canvas, which the
// demuxer's own decoder fills.
Status decodeFirstFrame(std::span<const std::uint8_t> data, Picture& image, const LookupTables& tables)
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return CodecError::unsupported;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData whole{data.data(), data.size()};
    AnimDecoder decoder(WebPAnimDecoderNew(&whole, &options));
    if (!decoder)
        return CodecError::damaged;
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info) || info.canvas_width != static_cast<std::uint32_t>(image.width) ||
        info.canvas_height != static_cast<std::uint32_t>(image.height))
        return CodecError::damaged;
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp))
        return CodecError::damaged;
    Result<FirstFrame> frame = firstFrame(WebPAnimDecoderGetDemuxer(decoder.get()), info);
    if (!frame)
        return frame.error();
    showOpaqueUnlessDeclared(*frame, canvas, info);
    takeCanvas(canvas, std::size_t{info.canvas_width} * 4, image, tables);
    return {};
}

// The picture and libwebp's rows for a plain lossy still; a lossless or
// animated picture, or one with alpha, also holds whole pictures of four
// bytes a pixel: libwebp's own and the copy composited from.
std::uint64_t decodeNeed(const WebPBitstreamFeatures& features)
{
    const auto width = static_cast<std::uint64_t>(features.width);
    const auto height = static_cast<std::uint64_t>(features.height);
    constexpr int kLossy = 1;
    const bool wholeCopies = features.has_alpha || features.has_animation || features.format != kLossy;
    return pictureNeed(width, height, 24) + (wholeCopies ? 8 * width * height : 64 * width);
}

Status decode(std::span<const std::uint8_t> data, Picture& image, const WebPBitstreamFeatures& features,
              const LookupTables& tables)
{
    if (features.has_animation)
        return decodeFirstFrame(data, image, tables);
    if (image.layout == PixelLayout::bgra32)
        return decodeKeepingAlpha(data, image);
    return decodeStill(data, image, features.has_alpha != 0, tables);
}

Result<Picture> readWebpBody(ByteCursor in, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
{
    const std::span<const std::uint8_t> data = in.whole();
    if (!HasWebpSignature(data))
        return CodecError::notThisFormat;
    WebPBitstreamFeatures features;
    if (const VP8StatusCode status = WebPGetFeatures(data.data(), data.size(), &features); status != VP8_STATUS_OK)
        return errorFor(status);
    // The header's size is checked, and the pixels allocated, before
    // libwebp decodes anything.
    if (Status admitted = limits.admit(features.width, features.height); !admitted)
        return admitted.error();
    if (Status claimed = limits.claim(decodeNeed(features)); !claimed)
        return claimed.error();
    const bool withAlpha = keepAlpha && (features.has_alpha || features.has_animation);
    Result<Picture> image =
        allocatePicture(features.width, features.height, withAlpha ? PixelLayout::bgra32 : PixelLayout::bgr24);
    if (!image)
        return image.error();
    const Status decoded = decode(data, *image, features, tables);
    if (!decoded)
        return decoded.error();
    image->meta.iccProfile = embeddedProfile(data);
    takeMetadata(data, image->meta);
    return image;
}

}  // namespace

bool HasWebpSignature(std::span<const std::uint8_t> first)
{
    constexpr std::array<std::uint8_t, 4> kRiff{'R', 'I', 'F', 'F'};
    constexpr std::array<std::uint8_t, 4> kWebp{'W', 'E', 'B', 'P'};
    return first.size() >= kWebpSignatureLength && std::equal(kRiff.begin(), kRiff.end(), first.begin()) &&
           std::equal(kWebp.begin(), kWebp.end(), first.begin() + 8);
}

Result<Picture> ReadWebp(ByteCursor in, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
{
    return withoutExceptions([&] { return readWebpBody(in, tables, limits, keepAlpha); });
}

}  // namespace vrelk
