#include "codecs/heif.h"
#include "codecs/decode_memory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <libheif/heif.h>

#include "codecs/heif_check.h"
#include "codecs/heif_items.h"
#include "codecs/icc_profile.h"
#include "codecs/metadata.h"
#include "picture/byte_order.h"
#include "picture/checked.h"
#include "pixel/colour_manage.h"
#include "pixel/orient.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// Main brands of HEVC and AV1 coded stills and sequences, and the generic
// ones that such files also use as their main brand.
// The most threads a grid's tiles are decoded on; a libheif built without
// threads decodes them on the caller's alone.
#ifdef VRELK_HEIF_ONE_THREAD
constexpr int kHeifThreads = 1;
#else
constexpr int kHeifThreads = 8;
#endif

constexpr std::array<std::array<char, 4>, 13> kHeifBrands{{
    {'h', 'e', 'i', 'c'}, {'h', 'e', 'i', 'x'}, {'h', 'e', 'i', 'm'}, {'h', 'e', 'i', 's'},
    {'h', 'e', 'v', 'c'}, {'h', 'e', 'v', 'x'}, {'h', 'e', 'v', 'm'}, {'h', 'e', 'v', 's'},
    {'m', 'i', 'f', '1'}, {'m', 's', 'f', '1'}, {'m', 'i', 'f', '2'}, {'a', 'v', 'i', 'f'},
    {'a', 'v', 'i', 's'},
}};

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Decoded = std::unique_ptr<heif_image, ImageRelease>;

CodecError codecErrorOf(const heif_error& error)
{
    switch (error.code) {
    case heif_error_Memory_allocation_error:
        return error.subcode == heif_suberror_Security_limit_exceeded ? CodecError::tooLarge : CodecError::noMemory;
    case heif_error_Unsupported_feature:
    case heif_error_Unsupported_filetype: return CodecError::unsupported;
    default: return error.subcode == heif_suberror_End_of_data ? CodecError::truncated : CodecError::damaged;
    }
}

// libheif refuses pictures and grids larger than its limit before it
// allocates them; its grid test admits only sizes below the limit.
Result<Context> openContext(std::span<const std::uint8_t> bytes)
{
    Context context(heif_context_alloc());
    if (!context)
        return CodecError::noMemory;
    heif_context_set_maximum_image_size_limit(context.get(), kMaxDimension + 1);
    // Tiles are decoded one after another unless the picture has cores lent.
    heif_context_set_max_decoding_threads(context.get(), 0);
    const heif_error read = heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr);
    if (read.code != heif_error_Ok)
        return codecErrorOf(read);
    return context;
}

// The item the file names as its picture, never a thumbnail or an
// auxiliary picture that libheif might offer in its place.
Result<Handle> primaryPicture(heif_context* context, std::uint32_t id)
{
    heif_image_handle* handle = nullptr;
    const heif_error got = heif_context_get_image_handle(context, id, &handle);
    if (got.code != heif_error_Ok || handle == nullptr)
        return got.code != heif_error_Ok ? codecErrorOf(got) : CodecError::damaged;
    return Handle(handle);
}

// While a coded item decodes, its decoder's memory (`decoderBytes`) comes
// on top of the picture assembled so far: a grid's, or the colour planes
// while the alpha plane decodes. Afterwards libheif keeps the coded planes
// and their RGB conversion, each sample in one or two bytes, besides the
// image this reader returns and, when the item is turned or cropped, the
// image as shown. Claiming the larger first turns an impossible picture
// into a clean refusal before any decoding.
Status checkMemoryFor(const heif_image_handle* handle, const PrimaryItem& item, std::uint64_t decoderBytes,
                      const ReadLimits& limits, bool keepAlpha)
{
    const int sampleBytes = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    const int alpha = heif_image_handle_has_alpha_channel(handle) ? 1 : 0;
    const int pixelBytes = keepAlpha && alpha ? 4 : 3;
    const int shown = item.transforms.empty() ? pixelBytes : 2 * pixelBytes;
    const std::uint64_t pixels = static_cast<std::uint64_t>(item.codedWidth) * static_cast<std::uint64_t>(item.codedHeight);
    const std::uint64_t decoding =
        addNeeds(decoderBytes, multiplyNeeds(pixels, static_cast<std::uint64_t>(sampleBytes * (3 + alpha))));
    const std::uint64_t converting =
        multiplyNeeds(pixels, static_cast<std::uint64_t>(sampleBytes * (3 + 3 + alpha) + shown));
    return limits.claim(std::max(decoding, converting));
}

// One plane of the decoded picture, its samples brought to 8 bits a row
// at a time.
class Plane {
public:
    static std::optional<Plane> of(const heif_image* image, heif_channel channel, int width, int height);

    // The row in 8-bit samples: the plane's own memory when it stores 8
    // bits, otherwise `spare`, filled.
    const std::uint8_t* row(int y, std::uint8_t* spare) const;

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t stride_ = 0;
    int width_ = 0;
    bool twoBytes_ = false;  // samples stored in 16 bits
    bool narrowed_ = false;  // samples go through to8_
    std::vector<std::uint8_t> to8_;  // samples, masked to their range, to 8 bits
    unsigned mask_ = 0;
};

std::optional<Plane> Plane::of(const heif_image* image, heif_channel channel, int width, int height)
{
    if (!heif_image_has_channel(image, channel) || heif_image_get_width(image, channel) < width ||
        heif_image_get_height(image, channel) < height)
        return std::nullopt;
    int stride = 0;
    const std::uint8_t* data = heif_image_get_plane_readonly(image, channel, &stride);
    const int storage = heif_image_get_bits_per_pixel(image, channel);
    const int range = heif_image_get_bits_per_pixel_range(image, channel);
    const bool wide = storage == 16;
    if (data == nullptr || (storage != 8 && !wide) || range < 1 || range > storage ||
        stride < width * (storage / 8))
        return std::nullopt;

    Plane plane;
    plane.data_ = data;
    plane.stride_ = static_cast<std::size_t>(stride);
    plane.width_ = width;
    plane.twoBytes_ = wide;
    plane.narrowed_ = wide || range != 8;
    plane.mask_ = (1u << range) - 1;
    if (plane.narrowed_) {
        plane.to8_.resize(std::size_t{plane.mask_} + 1);
        for (unsigned v = 0; v <= plane.mask_; ++v)
            plane.to8_[v] = static_cast<std::uint8_t>((v * 255 + plane.mask_ / 2) / plane.mask_);
    }
    return plane;
}

const std::uint8_t* Plane::row(int y, std::uint8_t* spare) const
{
    const std::uint8_t* source = data_ + static_cast<std::size_t>(y) * stride_;
    if (!narrowed_)
        return source;
    if (!twoBytes_) {
        for (int x = 0; x < width_; ++x)
            spare[x] = to8_[source[x] & mask_];
        return spare;
    }
    for (int x = 0; x < width_; ++x) {
        std::uint16_t sample;
        std::memcpy(&sample, source + 2 * x, 2);
        spare[x] = to8_[sample & mask_];
    }
    return spare;
}

// Over white: v * a / 255 + (255 - a), from the same table the PNG reader
// blends with; a premultiplied sample already holds v * a / 255.
template <bool Premultiplied>
std::uint8_t overWhite(const LookupTables& tables, std::uint8_t value, std::uint8_t alpha)
{
    const int shown = Premultiplied ? value : tables.blendTable[alpha][value];
    return static_cast<std::uint8_t>(std::min(shown + 255 - alpha, 255));
}

struct Rows {
    const std::uint8_t* channel[3];  // red, green, blue; only [0] for grey
    const std::uint8_t* alpha;
};

using RowWriter = void (*)(const Rows& rows, std::uint8_t* out, int width, const LookupTables& tables);

void writeColour(const Rows& rows, std::uint8_t* out, int width, const LookupTables&)
{
    for (int x = 0; x < width; ++x, out += 3) {
        out[0] = rows.channel[2][x];
        out[1] = rows.channel[1][x];
        out[2] = rows.channel[0][x];
    }
}

template <bool Premultiplied>
void writeColourOverWhite(const Rows& rows, std::uint8_t* out, int width, const LookupTables& tables)
{
    for (int x = 0; x < width; ++x, out += 3) {
        const std::uint8_t a = rows.alpha[x];
        out[0] = overWhite<Premultiplied>(tables, rows.channel[2][x], a);
        out[1] = overWhite<Premultiplied>(tables, rows.channel[1][x], a);
        out[2] = overWhite<Premultiplied>(tables, rows.channel[0][x], a);
    }
}

void writeGrey(const Rows& rows, std::uint8_t* out, int width, const LookupTables&)
{
    std::memcpy(out, rows.channel[0], static_cast<std::size_t>(width));
}

template <bool Premultiplied>
void writeGreyOverWhite(const Rows& rows, std::uint8_t* out, int width, const LookupTables& tables)
{
    for (int x = 0; x < width; ++x)
        out[x] = overWhite<Premultiplied>(tables, rows.channel[0][x], rows.alpha[x]);
}

// Alpha kept: straight samples, a premultiplied one divided back.
template <bool Premultiplied>
std::uint8_t straight(std::uint8_t value, std::uint8_t alpha)
{
    if (!Premultiplied)
        return value;
    return alpha == 0 ? 0 : static_cast<std::uint8_t>(std::min((value * 255 + alpha / 2) / alpha, 255));
}

template <bool Premultiplied, bool Grey>
void writeKeepingAlpha(const Rows& rows, std::uint8_t* out, int width, const LookupTables&)
{
    for (int x = 0; x < width; ++x, out += 4) {
        const std::uint8_t a = rows.alpha[x];
        out[0] = straight<Premultiplied>(rows.channel[Grey ? 0 : 2][x], a);
        out[1] = straight<Premultiplied>(rows.channel[Grey ? 0 : 1][x], a);
        out[2] = straight<Premultiplied>(rows.channel[0][x], a);
        out[3] = a;
    }
}

//                                         opaque       straight alpha                    premultiplied alpha
constexpr RowWriter kColourWriters[3] = {writeColour, writeColourOverWhite<false>, writeColourOverWhite<true>};
constexpr RowWriter kGreyWriters[3] = {writeGrey, writeGreyOverWhite<false>, writeGreyOverWhite<true>};
constexpr RowWriter kColourKeepingAlpha[3] = {writeColour, writeKeepingAlpha<false, false>, writeKeepingAlpha<true, false>};
constexpr RowWriter kGreyKeepingAlpha[3] = {writeGrey, writeKeepingAlpha<false, true>, writeKeepingAlpha<true, true>};

// The planes a decoded picture delivers: R, G and B for colour, Y for
// monochrome, either with an optional alpha plane.
struct DecodedPlanes {
    std::vector<Plane> colour;
    std::optional<Plane> alpha;
    bool grey = false;
};

std::optional<DecodedPlanes> planesOf(const heif_image* image, int width, int height)
{
    const heif_colorspace space = heif_image_get_colorspace(image);
    const heif_chroma chroma = heif_image_get_chroma_format(image);
    DecodedPlanes planes;
    planes.grey = space == heif_colorspace_monochrome;
    if (!planes.grey && !(space == heif_colorspace_RGB && chroma == heif_chroma_444))
        return std::nullopt;
    static constexpr heif_channel kGrey[] = {heif_channel_Y};
    static constexpr heif_channel kColour[] = {heif_channel_R, heif_channel_G, heif_channel_B};
    for (heif_channel channel : planes.grey ? std::span<const heif_channel>(kGrey) : std::span<const heif_channel>(kColour)) {
        std::optional<Plane> plane = Plane::of(image, channel, width, height);
        if (!plane)
            return std::nullopt;
        planes.colour.push_back(std::move(*plane));
    }
    if (heif_image_has_channel(image, heif_channel_Alpha)) {
        planes.alpha = Plane::of(image, heif_channel_Alpha, width, height);
        if (!planes.alpha)
            return std::nullopt;
    }
    return planes;
}

PixelLayout layoutFor(const DecodedPlanes& planes, bool keepAlpha)
{
    if (keepAlpha && planes.alpha)
        return PixelLayout::bgra32;
    return planes.grey ? PixelLayout::grey8 : PixelLayout::bgr24;
}

RowWriter rowWriterFor(const DecodedPlanes& planes, bool keepAlpha, bool premultiplied)
{
    const int kind = !planes.alpha ? 0 : premultiplied ? 2 : 1;
    if (keepAlpha)
        return (planes.grey ? kGreyKeepingAlpha : kColourKeepingAlpha)[kind];
    return (planes.grey ? kGreyWriters : kColourWriters)[kind];
}

Result<Picture> convertPicture(heif_image* image, const LookupTables& tables, bool keepAlpha)
{
    const int width = heif_image_get_primary_width(image);
    const int height = heif_image_get_primary_height(image);
    if (!dimensionsAllowed(width, height))
        return CodecError::tooLarge;
    std::optional<DecodedPlanes> planes = planesOf(image, width, height);
    if (!planes)
        return CodecError::unsupported;
    Result<Picture> result = allocatePicture(width, height, layoutFor(*planes, keepAlpha));
    if (!result)
        return result;
    Picture& out = *result;

    const RowWriter write = rowWriterFor(*planes, keepAlpha, heif_image_is_premultiplied_alpha(image) != 0);
    const auto stride = static_cast<std::size_t>(out.stride);
    platform::ForRowRanges(height, static_cast<std::int64_t>(stride), [&](std::int64_t first, std::int64_t end) {
        std::vector<std::uint8_t> spare(static_cast<std::size_t>(width) * 4);
        for (auto y = static_cast<int>(first); y < end; ++y) {
            Rows rows{};
            for (std::size_t c = 0; c < planes->colour.size(); ++c)
                rows.channel[c] = planes->colour[c].row(y, spare.data() + c * static_cast<std::size_t>(width));
            if (planes->alpha)
                rows.alpha = planes->alpha->row(y, spare.data() + 3 * static_cast<std::size_t>(width));
            write(rows, out.pixels.data() + static_cast<std::size_t>(height - 1 - y) * stride, width, tables);
        }
    });
    return result;
}

struct NclxDeleter {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};

// The picture's colour profile: an embedded ICC profile as it is, or the
// profile its nclx code points describe (none for sRGB).
std::vector<std::uint8_t> heifProfile(const heif_image_handle* handle)
{
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size == 0 || size > kMaxIccProfileBytes)
            return {};
        std::vector<std::uint8_t> icc(size);
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
            return {};
        return icc;
    }
    case heif_color_profile_type_nclx: {
        heif_color_profile_nclx* given = nullptr;
        const heif_error error = heif_image_handle_get_nclx_color_profile(handle, &given);
        // libheif hands out the box even when it refuses one of its values.
        const std::unique_ptr<heif_color_profile_nclx, NclxDeleter> nclx(given);
        if (error.code != heif_error_Ok || !nclx)
            return {};
        return ProfileFromCodePoints(nclx->color_primaries, nclx->transfer_characteristics);
    }
    default: return {};
    }
}

// The coded rows inside the placement's rectangle, turned and mirrored
// into a new image. The turning copy reads one byte past each row's last
// pixel; the picture's top row, last in memory, gets a padded copy.
Result<Picture> showPlaced(const Picture& coded, const HeifPlacement& placement)
{
    const int bits = coded.bits();
    const auto width = static_cast<std::int32_t>(placement.width);
    const auto height = static_cast<std::int32_t>(placement.height);
    const UprightPlacement upright = uprightPlacement(width, height, bits, placement.orientation);
    Result<Picture> shown = allocatePicture(upright.uprightWidth, upright.uprightHeight, coded.layout);
    if (!shown)
        return shown;
    shown->palette = coded.palette;
    const std::int64_t codedHeight = coded.height;
    const auto stride = static_cast<std::size_t>(coded.stride);
    const std::size_t bytes = static_cast<std::size_t>(bits / 8);
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(width) * bytes + 1);
    constexpr std::int32_t kRun = 64;
    std::array<const std::uint8_t*, kRun> rows{};
    for (std::int32_t first = 0; first < height; first += kRun) {
        const std::int32_t count = std::min(kRun, height - first);
        for (std::int32_t r = 0; r < count; ++r) {
            const std::int64_t codedRow = placement.top + first + r;
            const std::uint8_t* row = coded.pixels.data() + static_cast<std::size_t>(codedHeight - 1 - codedRow) * stride +
                                      static_cast<std::size_t>(placement.left) * bytes;
            if (codedRow == 0) {
                std::memcpy(padded.data(), row, padded.size() - 1);
                row = padded.data();
            }
            rows[static_cast<std::size_t>(r)] = row;
        }
        placeStoredRows(upright, std::span(rows.data(), static_cast<std::size_t>(count)), first, shown->pixels.data());
    }
    return shown;
}

bool showsAsCoded(const HeifPlacement& placement, const PrimaryItem& item)
{
    return placement.orientation == 1 && placement.left == 0 && placement.top == 0 &&
           placement.width == item.codedWidth && placement.height == item.codedHeight;
}

// The coded picture, undone of nothing: a grid comes assembled, its crop,
// turns and mirrorings are left to this reader.
Result<Decoded> decodeCoded(const heif_image_handle* handle)
{
    struct OptionsFree {
        void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
    };
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    if (!options)
        return CodecError::noMemory;
    options->ignore_transformations = 1;
    // Undefined colour space and chroma keep what the picture is: RGB
    // planes for colour, one Y plane for monochrome.
    heif_image* decoded = nullptr;
    const heif_error error =
        heif_decode_image(handle, &decoded, heif_colorspace_undefined, heif_chroma_undefined, options.get());
    Decoded picture(decoded);
    if (error.code != heif_error_Ok || !picture)
        return error.code != heif_error_Ok ? codecErrorOf(error) : CodecError::damaged;
    return picture;
}

// A grid's tiles decode on as many threads as the picture has cores; each
// is decoded on its own, so the pixels are the same however many there are.
Result<Decoded> decodeTiles(heif_context* context, const heif_image_handle* handle)
{
    const platform::LibraryThreads threads(kHeifThreads);
    heif_context_set_max_decoding_threads(context, threads.count() > 1 ? threads.count() : 0);
    return decodeCoded(handle);
}

// One metadata block of the item, whole, or nothing.
std::vector<std::uint8_t> metadataBlock(const heif_image_handle* handle, heif_item_id id)
{
    const std::size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size == 0 || size > kMaxMetadataBytes)
        return {};
    std::vector<std::uint8_t> block(size);
    if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return {};
    return block;
}

// An Exif block starts with the offset of its TIFF header; XMP is the
// block of type "mime" holding RDF. The container's transforms replace
// the Exif orientation, so the picture counts as shown upright.
void takeMetadata(const heif_image_handle* handle, PictureMeta& meta)
{
    meta.shownUpright = true;
    constexpr int kMaxBlocks = 16;
    std::array<heif_item_id, kMaxBlocks> ids{};
    const int count = heif_image_handle_get_list_of_metadata_block_IDs(handle, nullptr, ids.data(), kMaxBlocks);
    for (int i = 0; i < count; ++i) {
        const auto text = [](const char* name) { return name ? std::string_view(name) : std::string_view(); };
        const std::string_view type = text(heif_image_handle_get_metadata_type(handle, ids[i]));
        const std::string_view content = text(heif_image_handle_get_metadata_content_type(handle, ids[i]));
        if (type == "Exif" && meta.exif.empty()) {
            const std::vector<std::uint8_t> block = metadataBlock(handle, ids[i]);
            if (block.size() < 4)
                continue;
            const std::size_t offset = LoadU32BE(block.data());
            if (offset <= block.size() - 4)
                meta.exif.assign(block.begin() + 4 + static_cast<std::ptrdiff_t>(offset), block.end());
        } else if (type == "mime" && content == "application/rdf+xml" && meta.xmp.empty()) {
            meta.xmp = metadataBlock(handle, ids[i]);
        }
    }
}

Result<Picture> readHeifBody(ByteCursor in, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
{
    Result<Context> context = openContext(in.whole());
    if (!context)
        return context.error();
    const Result<HeifFile> file = ReadHeifFile(in.whole());
    if (!file)
        return file.error();
    Result<PrimaryItem> item = PrimaryItemOf(file.value());
    if (!item)
        return item.error();
    if (Status admitted = limits.admit(item->codedWidth, item->codedHeight); !admitted)
        return admitted.error();
    const Result<std::uint64_t> decoderBytes = CheckHeifItems(file.value());
    if (!decoderBytes)
        return decoderBytes.error();
    Result<Handle> handle = primaryPicture(context->get(), item->id);
    if (!handle)
        return handle.error();
    if (Status memory = checkMemoryFor(handle->get(), *item, decoderBytes.value(), limits, keepAlpha); !memory)
        return memory.error();
    Result<Decoded> picture = decodeTiles(context->get(), handle->get());
    if (!picture)
        return picture.error();
    // The coded stream states its own size; one that disagrees with the
    // container's is damaged, and the memory claimed above would not cover it.
    if (heif_image_get_primary_width(picture->get()) != item->codedWidth ||
        heif_image_get_primary_height(picture->get()) != item->codedHeight)
        return CodecError::damaged;
    Result<Picture> result = convertPicture(picture->get(), tables, keepAlpha);
    if (!result)
        return result;
    picture->reset();
    const HeifPlacement placement = PlacementOf(*item);
    if (!showsAsCoded(placement, *item)) {
        result = showPlaced(*result, placement);
        if (!result)
            return result;
    }
    result->meta.iccProfile = heifProfile(handle->get());
    takeMetadata(handle->get(), result->meta);
    return result;
}

}  // namespace

bool IsHeifSignature(std::span<const std::uint8_t> first)
{
    if (first.size() < kHeifSignatureBytes || std::memcmp(first.data() + 4, "ftyp", 4) != 0)
        return false;
    return std::any_of(kHeifBrands.begin(), kHeifBrands.end(),
                       [&](const std::array<char, 4>& brand) { return std::memcmp(first.data() + 8, brand.data(), 4) == 0; });
}

Result<Picture> ReadHeif(ByteCursor in, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
{
    return withoutExceptions([&] { return readHeifBody(in, tables, limits, keepAlpha); });
}

}  // namespace vrelk
