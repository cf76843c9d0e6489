#include "codecs/heif_check.h"

#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "codecs/byte_cursor.h"
#include "codecs/decode_memory.h"
#include "codecs/heif_items.h"
#include "codecs/heif_streams.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

using StreamCheck = Result<StreamPictures> (*)(std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                                               PictureSize);

// Bytes per coded pixel while an item decodes, libheif's copy of its
// picture included, with a margin. dav1d on more than one thread keeps the
// whole frame's coefficients and block data besides the frame: 155 MB at
// 8 bits and 272 MB at 10 for 4032x3024 (heaptrack), 12.7 and 22.3 bytes
// a pixel, whatever the chroma; libde265 keeps block data beside its
// picture.
struct Decoder {
    const char type[5];
    StreamCheck check;
    std::uint64_t shallowBytes, deepBytes;
};
constexpr Decoder kDecoders[] = {
    {"hvc1", CheckHevcStream, 6, 10},
    {"av01", CheckAv1Stream, 15, 27},
};

const Decoder* decoderOf(const HeifItem& item)
{
    const auto found = std::find_if(std::begin(kDecoders), std::end(kDecoders),
                                    [&](const Decoder& decoder) { return item.is(decoder.type); });
    return found == std::end(kDecoders) ? nullptr : &*found;
}

// The item's data as libheif reads it: its extents one after another.
std::span<const std::uint8_t> dataOf(const HeifItem& item, std::vector<std::uint8_t>& joined)
{
    if (item.extents.size() == 1)
        return item.extents.front();
    for (std::span<const std::uint8_t> extent : item.extents)
        joined.insert(joined.end(), extent.begin(), extent.end());
    return joined;
}

Result<std::uint64_t> decoderBytes(const HeifItem& item, const Decoder& decoder)
{
    if (!item.size || !item.config)
        return CodecError::damaged;
    if (!item.dataReadable)
        return CodecError::unsupported;
    std::vector<std::uint8_t> joined;
    const Result<StreamPictures> stream =
        decoder.check(*item.config, dataOf(item, joined), PictureSize{(*item.size)[0], (*item.size)[1]});
    if (!stream)
        return stream.error();
    return multiplyNeeds(stream.value().pixels, stream.value().deep ? decoder.deepBytes : decoder.shallowBytes);
}

struct GridLayout {
    std::int64_t rows = 0, columns = 0, width = 0, height = 0;
};

std::optional<std::uint32_t> outputLength(ByteCursor& in, bool wide)
{
    if (wide)
        return in.u32be();
    const std::optional<std::uint16_t> narrow = in.u16be();
    return narrow ? std::optional<std::uint32_t>(*narrow) : std::nullopt;
}

std::optional<GridLayout> gridLayoutOf(const HeifItem& grid)
{
    std::vector<std::uint8_t> joined;
    ByteCursor in(dataOf(grid, joined));
    const std::optional<std::uint8_t> version = in.u8();
    const std::optional<std::uint8_t> flags = in.u8();
    const std::optional<std::uint8_t> rows = in.u8();
    const std::optional<std::uint8_t> columns = in.u8();
    if (!version || !flags || !rows || !columns)
        return std::nullopt;
    const bool wide = (*flags & 1) != 0;
    const std::optional<std::uint32_t> width = outputLength(in, wide);
    const std::optional<std::uint32_t> height = outputLength(in, wide);
    if (!width || !height)
        return std::nullopt;
    return GridLayout{*rows + 1, *columns + 1, *width, *height};
}

// A grid is its tiles, rows x columns of coded pictures of one size,
// covering the picture its ispe and its data both state. Tiles that cover
// less leave the rest of a picture libheif has allocated unwritten.
Status checkGrid(const HeifItems& items, const HeifItem& grid)
{
    const std::optional<GridLayout> layout = grid.dataReadable ? gridLayoutOf(grid) : std::nullopt;
    if (layout && !dimensionsAllowed(layout->width, layout->height))
        return CodecError::tooLarge;
    if (!layout || !grid.size || (*grid.size)[0] != layout->width || (*grid.size)[1] != layout->height ||
        static_cast<std::int64_t>(grid.derivedFrom.size()) != layout->rows * layout->columns)
        return CodecError::damaged;
    std::optional<std::array<std::int64_t, 2>> tileSize;
    for (std::uint32_t id : grid.derivedFrom) {
        const auto tile = items.find(id);
        if (tile == items.end() || !decoderOf(tile->second) || !tile->second.size ||
            (tileSize && *tileSize != *tile->second.size))
            return CodecError::damaged;
        tileSize = tile->second.size;
    }
    if (layout->columns * (*tileSize)[0] < layout->width || layout->rows * (*tileSize)[1] < layout->height)
        return CodecError::damaged;
    return {};
}

// An overlay is a canvas its data sizes, which libheif allocates as it
// stands: it must be the size its ispe states, for which memory is claimed.
Status checkOverlay(const HeifItem& overlay)
{
    std::vector<std::uint8_t> joined;
    ByteCursor in(overlay.dataReadable ? dataOf(overlay, joined) : std::span<const std::uint8_t>{});
    const std::optional<std::uint8_t> version = in.u8();
    const std::optional<std::uint8_t> flags = in.u8();
    if (!version || !flags || !in.skip(8))
        return CodecError::damaged;
    const bool wide = (*flags & 1) != 0;
    const std::optional<std::uint32_t> width = outputLength(in, wide);
    const std::optional<std::uint32_t> height = outputLength(in, wide);
    if (!width || !height || !overlay.size || (*overlay.size)[0] != *width || (*overlay.size)[1] != *height)
        return CodecError::damaged;
    return dimensionsAllowed(*width, *height) ? Status{} : Status{CodecError::tooLarge};
}

// An identity derivation shows the one picture it names; its size is that
// picture's, which is what libheif decodes.
Status checkIdentity(const HeifItems& items, const HeifItem& identity)
{
    if (identity.derivedFrom.size() != 1)
        return CodecError::damaged;
    const auto shown = items.find(identity.derivedFrom.front());
    if (shown == items.end() || !shown->second.size || shown->second.size != identity.size)
        return CodecError::damaged;
    return {};
}

bool isPicture(const HeifItem& item)
{
    return decoderOf(item) || item.is("grid") || item.is("iovl") || item.is("iden");
}

// libheif decodes an alpha item along with the picture it belongs to, at
// its own size.
Status checkAlpha(const HeifItem& alpha, const HeifItem& primary)
{
    if (!isPicture(alpha))
        return CodecError::unsupported;
    return alpha.size == primary.size ? Status{} : CodecError::damaged;
}

}  // namespace

Result<std::uint64_t> CheckHeifItems(const HeifFile& file)
{
    const HeifItems& items = file.items;
    const std::uint32_t primaryId = file.primary;
    const auto primary = items.find(primaryId);
    if (primary == items.end())
        return CodecError::damaged;
    if (!isPicture(primary->second))
        return CodecError::unsupported;
    // Only what the primary picture is made of is decoded: its tiles or the
    // picture it derives from, and its alpha plane; thumbnails and other
    // pictures of the file are not.
    std::set<std::uint32_t> used{primaryId};
    for (std::vector<std::uint32_t> next{primaryId}; !next.empty();) {
        const auto at = items.find(next.back());
        next.pop_back();
        if (at == items.end())
            continue;
        for (std::uint32_t part : at->second.derivedFrom)
            if (used.insert(part).second)
                next.push_back(part);
    }
    for (const auto& [id, item] : items)
        if (item.alpha && !item.auxiliaryOf.empty() && item.auxiliaryOf.front() == primaryId)
            used.insert(id);
    std::uint64_t largest = 0;
    for (const auto& [id, item] : items) {
        if (!used.count(id))
            continue;
        if (const Decoder* decoder = decoderOf(item)) {
            const Result<std::uint64_t> bytes = decoderBytes(item, *decoder);
            if (!bytes)
                return bytes.error();
            largest = std::max(largest, bytes.value());
        } else if (item.is("grid")) {
            if (Status grid = checkGrid(items, item); !grid)
                return grid.error();
        } else if (item.is("iovl")) {
            if (Status overlay = checkOverlay(item); !overlay)
                return overlay.error();
        } else if (item.is("iden")) {
            if (Status identity = checkIdentity(items, item); !identity)
                return identity.error();
        }
        if (item.alpha && !item.auxiliaryOf.empty() && item.auxiliaryOf.front() == primaryId)
            if (Status alpha = checkAlpha(item, primary->second); !alpha)
                return alpha.error();
    }
    return largest;
}

}  // namespace vrelk
