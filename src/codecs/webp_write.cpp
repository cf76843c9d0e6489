#include <new>
#include <stdexcept>
#include <vector>

#include <webp/encode.h>
#include <webp/mux.h>

#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/webp.h"

namespace vrelk {
namespace {

// A picture in libwebp's own YUV form, converted once from the image's
// rows and reusable for any number of encodings: the encoder changes a
// picture only where it has alpha, and ours never has.
class Picture {
public:
    Picture() { WebPPictureInit(&picture_); }
    ~Picture() { WebPPictureFree(&picture_); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    Status import(const ImageView& image, const std::uint8_t* rows)
    {
        picture_.width = image.width;
        picture_.height = image.height;
        picture_.use_argb = 0;
        const auto stride = static_cast<int>(rowLayout(image.width, 1, 24).stride);
        // The top row of the picture is the last row in memory.
        const std::uint8_t* top = rows + static_cast<std::size_t>(image.height - 1) * static_cast<std::size_t>(stride);
        if (!WebPPictureImportBGR(&picture_, top, -stride))
            return CodecError::noMemory;
        return {};
    }

    WebPPicture& get() { return picture_; }

private:
    WebPPicture picture_;
};

// The settings cwebp uses by default, at a quality.
bool configure(WebPConfig& config, std::int32_t quality)
{
    if (!WebPConfigInit(&config))
        return false;
    config.quality = static_cast<float>(quality);
    return WebPValidateConfig(&config) != 0;
}

// libwebp's writer callback into the vector given as the picture's
// custom pointer; no exception may cross the library.
int appendToVector(const std::uint8_t* data, std::size_t size, const WebPPicture* picture)
{
    auto* into = static_cast<std::vector<std::uint8_t>*>(picture->custom_ptr);
    try {
        into->insert(into->end(), data, data + size);
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const std::length_error&) {
        return 0;
    }
    return 1;
}

Status encodeInto(Picture& picture, std::int32_t quality, std::vector<std::uint8_t>& into)
{
    WebPConfig config;
    if (!configure(config, quality))
        return CodecError::cannotWrite;
    into.clear();
    WebPPicture& p = picture.get();
    p.writer = appendToVector;
    p.custom_ptr = &into;
    if (WebPEncode(&config, &p))
        return {};
    return p.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY || p.error_code == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY
               ? CodecError::noMemory
               : CodecError::cannotWrite;
}

struct MuxDeleter {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
using Mux = std::unique_ptr<WebPMux, MuxDeleter>;

// A file the muxer assembled, freed by libwebp.
struct Assembled {
    Assembled() { WebPDataInit(&data); }
    ~Assembled() { WebPDataClear(&data); }
    Assembled(const Assembled&) = delete;
    Assembled& operator=(const Assembled&) = delete;
    WebPData data;
};

// The encoded file with the picture's colour profile in an ICCP chunk, in
// place; nothing changes without a profile.
Status attachProfile(std::vector<std::uint8_t>& encoded, std::span<const std::uint8_t> icc)
{
    if (icc.empty())
        return {};
    const WebPData bitstream{encoded.data(), encoded.size()};
    const Mux mux(WebPMuxCreate(&bitstream, 0));
    if (!mux)
        return CodecError::cannotWrite;
    const WebPData profile{icc.data(), icc.size()};
    if (WebPMuxSetChunk(mux.get(), "ICCP", &profile, 0) != WEBP_MUX_OK)
        return CodecError::cannotWrite;
    Assembled assembled;
    if (const WebPMuxError error = WebPMuxAssemble(mux.get(), &assembled.data); error != WEBP_MUX_OK)
        return error == WEBP_MUX_MEMORY_ERROR ? CodecError::noMemory : CodecError::cannotWrite;
    encoded.assign(assembled.data.bytes, assembled.data.bytes + assembled.data.size);
    return {};
}

// One whole file at a quality: the encoding and the profile.
Status encodeFile(Picture& picture, std::int32_t quality, std::span<const std::uint8_t> icc,
                  std::vector<std::uint8_t>& into)
{
    if (Status done = encodeInto(picture, quality, into); !done)
        return done;
    return attachProfile(into, icc);
}

Status writeFile(const platform::Path& path, std::span<const std::uint8_t> bytes)
{
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(bytes);
    return out->finish();
}

// WebP stores sides of at most 16383 pixels; larger pictures are refused
// before any work.
bool fitsWebp(const ImageView& image)
{
    return image.width <= WEBP_MAX_DIMENSION && image.height <= WEBP_MAX_DIMENSION;
}

// The image's pixels in libwebp's picture, which keeps its own copy.
Status loadPicture(const ImageView& image, Picture& picture)
{
    if (!fitsWebp(image))
        return CodecError::unsupported;
    PageBuffer converted;
    Result<const std::uint8_t*> rows = Pixels24(image, converted);
    if (!rows)
        return rows.error();
    return picture.import(image, *rows);
}

Status writeWebpBody(const ImageView& image, const platform::Path& path, std::int32_t quality)
{
    Picture picture;
    if (Status loaded = loadPicture(image, picture); !loaded)
        return loaded;
    std::vector<std::uint8_t> encoded;
    if (Status done = encodeFile(picture, webpQuality(quality), image.iccProfile, encoded); !done)
        return done;
    return writeFile(path, encoded);
}

// Keeps the last encoding that fitted and the last one that did not; the
// search writes one of them.
Status writeWebpWithLimitBody(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              WebpSearchRecord* record)
{
    Picture picture;
    if (Status loaded = loadPicture(image, picture); !loaded)
        return loaded;

    std::vector<std::uint8_t> trial, fitted, tooLarge;
    std::int32_t fittedQuality = 0;
    Status failure;
    WebpSearchRecord search;
    search.writtenQuality = SearchJpegQuality(limit, [&](std::int32_t quality, std::size_t& length) {
        search.qualitiesTried.push_back(quality);
        // The profile counts against the limit.
        if (failure = encodeFile(picture, quality, image.iccProfile, trial); !failure)
            return false;
        length = trial.size();
        if (static_cast<std::int64_t>(length) <= limit) {
            fitted.swap(trial);
            fittedQuality = quality;
        } else {
            tooLarge.swap(trial);
        }
        return true;
    });
    if (record)
        *record = search;
    if (search.writtenQuality == 0)
        return failure.ok() ? Status{CodecError::cannotWrite} : failure;
    return writeFile(path, search.writtenQuality == fittedQuality ? fitted : tooLarge);
}

}  // namespace

std::int32_t webpQuality(std::int32_t quality)
{
    if (quality > kHighestQuality)
        return kDefaultQuality;
    return quality < kLowestQuality ? kLowestQuality : quality;
}

Status WriteWebp(const ImageView& image, const platform::Path& path, std::int32_t quality)
{
    return withoutExceptions([&] { return writeWebpBody(image, path, quality); });
}

Status WriteWebpWithByteLimit(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              WebpSearchRecord* record)
{
    return withoutExceptions([&] { return writeWebpWithLimitBody(image, path, limit, record); });
}

}  // namespace vrelk
