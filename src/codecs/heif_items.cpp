#include "codecs/heif_items.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include "codecs/byte_cursor.h"
#include "pixel/orient.h"

namespace vrelk {
namespace {

using FourCc = std::array<char, 4>;

struct Box {
    FourCc type{};
    ByteCursor body;

    bool is(const char (&name)[5]) const { return std::memcmp(type.data(), name, 4) == 0; }
};

// The next box of `in`; nothing when its header or body runs past the end.
std::optional<Box> nextBox(ByteCursor& in)
{
    const std::size_t start = in.offset();
    const std::optional<std::uint32_t> size32 = in.u32be();
    const auto type = in.take(4);
    if (!size32 || !type)
        return std::nullopt;
    Box box;
    std::memcpy(box.type.data(), type->data(), 4);
    std::uint64_t size = *size32;
    if (size == 1) {
        const std::optional<std::uint32_t> high = in.u32be();
        const std::optional<std::uint32_t> low = in.u32be();
        if (!high || !low)
            return std::nullopt;
        size = std::uint64_t{*high} << 32 | *low;
    } else if (size == 0) {
        size = in.offset() - start + in.left();
    }
    const std::size_t header = in.offset() - start;
    if (size < header || size - header > in.left())
        return std::nullopt;
    box.body = ByteCursor(*in.take(static_cast<std::size_t>(size - header)));
    return box;
}

// Every box of `in`, or nothing when one of them is cut short.
std::optional<std::vector<Box>> childrenOf(ByteCursor in)
{
    std::vector<Box> boxes;
    while (!in.atEnd()) {
        std::optional<Box> box = nextBox(in);
        if (!box)
            return std::nullopt;
        boxes.push_back(*box);
    }
    return boxes;
}

const Box* find(const std::vector<Box>& boxes, const char (&name)[5])
{
    const auto found = std::find_if(boxes.begin(), boxes.end(), [&](const Box& box) { return box.is(name); });
    return found == boxes.end() ? nullptr : &*found;
}

struct FullBoxHeader {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
};

std::optional<FullBoxHeader> fullBoxHeader(ByteCursor& in)
{
    const std::optional<std::uint32_t> word = in.u32be();
    if (!word)
        return std::nullopt;
    return FullBoxHeader{static_cast<std::uint8_t>(*word >> 24), *word & 0xFFFFFF};
}

std::optional<std::uint32_t> itemId(ByteCursor& in, bool wide)
{
    if (wide)
        return in.u32be();
    const std::optional<std::uint16_t> narrow = in.u16be();
    return narrow ? std::optional<std::uint32_t>(*narrow) : std::nullopt;
}

std::optional<std::uint32_t> primaryId(const Box& pitm)
{
    ByteCursor in = pitm.body;
    const std::optional<FullBoxHeader> header = fullBoxHeader(in);
    return header ? itemId(in, header->version != 0) : std::nullopt;
}

// An association's property index, without its "essential" bit.
std::optional<std::uint16_t> propertyIndex(ByteCursor& in, bool wide)
{
    if (wide) {
        const std::optional<std::uint16_t> entry = in.u16be();
        return entry ? std::optional<std::uint16_t>(*entry & 0x7FFF) : std::nullopt;
    }
    const std::optional<std::uint8_t> entry = in.u8();
    return entry ? std::optional<std::uint16_t>(*entry & 0x7F) : std::nullopt;
}

std::optional<CleanAperture> cleanAperture(ByteCursor in)
{
    std::array<std::uint32_t, 8> fields{};
    for (std::uint32_t& field : fields) {
        const std::optional<std::uint32_t> value = in.u32be();
        if (!value)
            return std::nullopt;
        field = *value;
    }
    // The offsets' numerators are signed: the crop may lie left of centre.
    auto signedOf = [](std::uint32_t v) { return static_cast<std::int64_t>(static_cast<std::int32_t>(v)); };
    return CleanAperture{fields[0], fields[1], fields[2], fields[3],
                         signedOf(fields[4]), fields[5], signedOf(fields[6]), fields[7]};
}

// A crop, turn or mirroring among an item's properties, kept in order;
// other properties pass. False when one of these is cut short.
bool takeTransform(const Box& property, std::vector<HeifTransform>& transforms)
{
    ByteCursor in = property.body;
    if (property.is("irot") || property.is("imir")) {
        const std::optional<std::uint8_t> value = in.u8();
        if (!value)
            return false;
        const bool rotate = property.is("irot");
        transforms.push_back({rotate ? HeifTransform::Kind::rotate : HeifTransform::Kind::mirror,
                              *value & (rotate ? 3 : 1), {}});
        return true;
    }
    if (property.is("clap")) {
        const std::optional<CleanAperture> aperture = cleanAperture(in);
        if (!aperture)
            return false;
        transforms.push_back({HeifTransform::Kind::crop, 0, *aperture});
    }
    return true;
}

struct Rect {
    std::int64_t left, top, width, height;
};

// The clean aperture as whole pixels of a width x height picture, or
// nothing when it is not whole pixels inside it.
std::optional<Rect> apertureRect(const CleanAperture& c, std::int64_t width, std::int64_t height)
{
    if (c.widthD <= 0 || c.heightD <= 0 || c.horizontalOffsetD <= 0 || c.verticalOffsetD <= 0 ||
        c.widthN % c.widthD != 0 || c.heightN % c.heightD != 0)
        return std::nullopt;
    const std::int64_t w = c.widthN / c.widthD;
    const std::int64_t h = c.heightN / c.heightD;
    if (w < 1 || h < 1 || w > width || h > height)
        return std::nullopt;
    // The crop's first column: its centre, offset + (width - 1) / 2, less
    // (w - 1) / 2; kept in halves of offsetD so that it stays exact.
    auto firstOf = [](std::int64_t offsetN, std::int64_t offsetD, std::int64_t whole, std::int64_t part) {
        const std::int64_t numerator = 2 * offsetN + (whole - part) * offsetD;
        const std::int64_t denominator = 2 * offsetD;
        return numerator % denominator == 0 ? std::optional<std::int64_t>(numerator / denominator) : std::nullopt;
    };
    const std::optional<std::int64_t> left = firstOf(c.horizontalOffsetN, c.horizontalOffsetD, width, w);
    const std::optional<std::int64_t> top = firstOf(c.verticalOffsetN, c.verticalOffsetD, height, h);
    if (!left || !top || *left < 0 || *top < 0 || *left + w > width || *top + h > height)
        return std::nullopt;
    return Rect{*left, *top, w, h};
}

// The orientations, as Exif numbers them, of the turns and mirrorings.
constexpr std::array<std::uint16_t, 4> kAnticlockwiseTurns{1, 8, 3, 6};
constexpr std::array<std::uint16_t, 2> kMirrors{4, 2};

// Crops what is shown so far: the shown rectangle is taken back to the
// coded picture through the orientation, which maps rectangles to
// rectangles.
void cropShown(HeifPlacement& p, const CleanAperture& aperture)
{
    const bool transposed = orientationTransposes(p.orientation);
    const std::int64_t shownWidth = transposed ? p.height : p.width;
    const std::int64_t shownHeight = transposed ? p.width : p.height;
    const std::optional<Rect> crop = apertureRect(aperture, shownWidth, shownHeight);
    if (!crop)
        return;
    const std::uint16_t back = inverseOrientation(p.orientation);
    const auto first = uprightPosition(back, crop->left, crop->top, shownWidth, shownHeight);
    const auto last = uprightPosition(back, crop->left + crop->width - 1, crop->top + crop->height - 1, shownWidth,
                                      shownHeight);
    p.left += std::min(first[0], last[0]);
    p.top += std::min(first[1], last[1]);
    p.width = std::max(first[0], last[0]) - std::min(first[0], last[0]) + 1;
    p.height = std::max(first[1], last[1]) - std::min(first[1], last[1]) + 1;
}

// ---- Every item, for the checks made before decoding

// A value of 0, 4 or 8 bytes, as iloc sizes its fields.
std::optional<std::uint64_t> sizedValue(ByteCursor& in, unsigned bytes)
{
    if (bytes == 0)
        return 0;
    const std::optional<std::uint32_t> high = bytes == 8 ? in.u32be() : std::optional<std::uint32_t>(0);
    const std::optional<std::uint32_t> low = bytes == 4 || bytes == 8 ? in.u32be() : std::nullopt;
    return high && low ? std::optional<std::uint64_t>(std::uint64_t{*high} << 32 | *low) : std::nullopt;
}

bool readItemInfos(const Box& iinf, HeifItems& items)
{
    ByteCursor in = iinf.body;
    const std::optional<FullBoxHeader> header = fullBoxHeader(in);
    if (!header || !in.skip(header->version == 0 ? 2 : 4))  // entry_count
        return false;
    const std::optional<std::vector<Box>> entries = childrenOf(ByteCursor(in.rest()));
    if (!entries)
        return false;
    for (const Box& infe : *entries) {
        if (!infe.is("infe"))
            continue;
        ByteCursor entry = infe.body;
        const std::optional<FullBoxHeader> version = fullBoxHeader(entry);
        const std::optional<std::uint32_t> id = version ? itemId(entry, version->version >= 3) : std::nullopt;
        if (!id || !entry.skip(2))  // item_protection_index
            return false;
        HeifItem item;
        item.id = *id;
        if (version->version >= 2) {
            const auto type = entry.take(4);
            if (!type)
                return false;
            std::memcpy(item.type.data(), type->data(), 4);
        }
        if (!items.emplace(*id, std::move(item)).second)
            return false;
    }
    return true;
}

// An extent as bytes of `source`: the file, or the idat box for
// construction method 1. Length 0 stands for the rest of the source.
std::optional<std::span<const std::uint8_t>> extentOf(std::span<const std::uint8_t> source, std::uint64_t base,
                                                      std::uint64_t offset, std::uint64_t length)
{
    if (base > source.size() || offset > source.size() - base)
        return std::nullopt;
    const std::uint64_t start = base + offset;
    const std::uint64_t size = length == 0 ? source.size() - start : length;
    if (size > source.size() - start)
        return std::nullopt;
    return source.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(size));
}

struct LocationSizes {
    unsigned offset, length, base, index;
};

// One iloc entry's extents into its item, when the iinf box lists it.
Status readLocation(ByteCursor& in, std::uint8_t version, const LocationSizes& sizes, std::span<const std::uint8_t> file,
                  std::span<const std::uint8_t> idat, HeifItems& items, std::set<std::uint32_t>& located)
{
    const std::optional<std::uint32_t> id = itemId(in, version >= 2);
    const std::optional<std::uint16_t> method = version >= 1 ? in.u16be() : std::optional<std::uint16_t>(0);
    const std::optional<std::uint16_t> reference = in.u16be();
    const std::optional<std::uint64_t> base = sizedValue(in, sizes.base);
    const std::optional<std::uint16_t> count = in.u16be();
    if (!id || !method || !reference || !base || !count || !located.insert(*id).second)
        return CodecError::damaged;
    const auto found = items.find(*id);
    HeifItem* item = found == items.end() ? nullptr : &found->second;
    const unsigned construction = *method & 15;
    const bool readable = *reference == 0 && construction <= 1;
    for (int e = 0; e < *count; ++e) {
        const bool indexed = version >= 1 && sizes.index != 0;
        const std::optional<std::uint64_t> index =
            indexed ? sizedValue(in, sizes.index) : std::optional<std::uint64_t>(0);
        const std::optional<std::uint64_t> offset = sizedValue(in, sizes.offset);
        const std::optional<std::uint64_t> length = sizedValue(in, sizes.length);
        if (!index || !offset || !length)
            return CodecError::damaged;
        if (!item || !readable)
            continue;
        const auto extent = extentOf(construction == 0 ? file : idat, *base, *offset, *length);
        if (!extent)
            return CodecError::truncated;
        item->extents.push_back(*extent);
    }
    if (item)
        item->dataReadable = readable;
    return {};
}

Status readLocations(const Box& iloc, std::span<const std::uint8_t> file, std::span<const std::uint8_t> idat,
                   HeifItems& items)
{
    ByteCursor in = iloc.body;
    const std::optional<FullBoxHeader> header = fullBoxHeader(in);
    const std::optional<std::uint16_t> packed = in.u16be();
    if (!header || !packed || header->version > 2)
        return CodecError::damaged;
    const unsigned fields = *packed;
    const LocationSizes sizes{fields >> 12, fields >> 8 & 15, fields >> 4 & 15, fields & 15};
    const std::optional<std::uint32_t> count = itemId(in, header->version >= 2);  // sized as the ids are
    if (!count)
        return CodecError::damaged;
    std::set<std::uint32_t> located;
    for (std::uint32_t i = 0; i < *count; ++i)
        if (Status read = readLocation(in, header->version, sizes, file, idat, items, located); !read)
            return read;
    return {};
}

bool readReferences(const Box& iref, HeifItems& items)
{
    ByteCursor in = iref.body;
    const std::optional<FullBoxHeader> header = fullBoxHeader(in);
    const std::optional<std::vector<Box>> references = header ? childrenOf(ByteCursor(in.rest())) : std::nullopt;
    if (!references)
        return false;
    std::set<std::pair<std::uint32_t, bool>> seen;
    for (const Box& reference : *references) {
        ByteCursor body = reference.body;
        const std::optional<std::uint32_t> from = itemId(body, header->version != 0);
        const std::optional<std::uint16_t> count = body.u16be();
        if (!from || !count)
            return false;
        std::vector<std::uint32_t> to;
        for (int i = 0; i < *count; ++i) {
            const std::optional<std::uint32_t> id = itemId(body, header->version != 0);
            if (!id)
                return false;
            to.push_back(*id);
        }
        const bool derived = reference.is("dimg");
        if (!derived && !reference.is("auxl"))
            continue;
        if (!seen.insert({*from, derived}).second)
            return false;
        if (const auto found = items.find(*from); found != items.end())
            (derived ? found->second.derivedFrom : found->second.auxiliaryOf) = std::move(to);
    }
    return true;
}

// Every item's 1-based property indices, in association order; nothing
// when an ipma box is cut short or an item has two entries.
std::optional<std::map<std::uint32_t, std::vector<std::uint16_t>>> everyAssociation(const std::vector<Box>& iprp)
{
    std::map<std::uint32_t, std::vector<std::uint16_t>> associations;
    for (const Box& ipma : iprp) {
        if (!ipma.is("ipma"))
            continue;
        ByteCursor in = ipma.body;
        const std::optional<FullBoxHeader> header = fullBoxHeader(in);
        const std::optional<std::uint32_t> entries = in.u32be();
        if (!header || !entries)
            return std::nullopt;
        for (std::uint32_t e = 0; e < *entries; ++e) {
            const std::optional<std::uint32_t> id = itemId(in, header->version >= 1);
            const std::optional<std::uint8_t> count = in.u8();
            if (!id || !count || associations.count(*id) != 0)
                return std::nullopt;
            std::vector<std::uint16_t>& indices = associations[*id];
            for (int a = 0; a < *count; ++a) {
                const std::optional<std::uint16_t> index = propertyIndex(in, (header->flags & 1) != 0);
                if (!index)
                    return std::nullopt;
                indices.push_back(*index);
            }
        }
    }
    return associations;
}

bool namesAlpha(const Box& auxC)
{
    ByteCursor in = auxC.body;
    if (!fullBoxHeader(in))
        return false;
    const std::span<const std::uint8_t> rest = in.rest();
    const auto end = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    const std::string_view type(reinterpret_cast<const char*>(rest.data()),
                                static_cast<std::size_t>(end - rest.begin()));
    return type == "urn:mpeg:avc:2015:auxid:1" || type == "urn:mpeg:hevc:2015:auxid:1" ||
           type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

// The properties the decoder goes by, each the first of its kind.
bool takeItemProperties(HeifItem& item, const std::vector<std::uint16_t>& indices, const std::vector<Box>& properties)
{
    bool sized = false, aux = false;
    const char* config = item.is("av01") ? "av1C" : "hvcC";
    for (std::uint16_t index : indices) {
        if (index == 0)
            continue;
        if (index > properties.size())
            return false;
        const Box& property = properties[index - 1u];
        ByteCursor in = property.body;
        if (property.is("ispe") && !sized) {
            const std::optional<FullBoxHeader> header = fullBoxHeader(in);
            const std::optional<std::uint32_t> width = in.u32be();
            const std::optional<std::uint32_t> height = in.u32be();
            if (!header || !width || !height)
                return false;
            item.size = std::array<std::int64_t, 2>{*width, *height};
            sized = true;
        } else if (std::memcmp(property.type.data(), config, 4) == 0 && !item.config) {
            item.config = property.body.whole();
        } else if (property.is("auxC") && !aux) {
            item.alpha = namesAlpha(property);
            aux = true;
        } else if (!takeTransform(property, item.transforms)) {
            return false;
        }
    }
    return true;
}

bool readProperties(const Box& iprp, HeifItems& items)
{
    const std::optional<std::vector<Box>> inIprp = childrenOf(iprp.body);
    const Box* ipco = inIprp ? find(*inIprp, "ipco") : nullptr;
    const std::optional<std::vector<Box>> properties = ipco ? childrenOf(ipco->body) : std::nullopt;
    const auto associations = properties ? everyAssociation(*inIprp) : std::nullopt;
    if (!associations)
        return false;
    for (const auto& [id, indices] : *associations)
        if (const auto found = items.find(id); found != items.end())
            if (!takeItemProperties(found->second, indices, *properties))
                return false;
    return true;
}

}  // namespace

HeifPlacement PlacementOf(const PrimaryItem& item)
{
    HeifPlacement p{0, 0, item.codedWidth, item.codedHeight, 1};
    for (const HeifTransform& t : item.transforms) {
        switch (t.kind) {
        case HeifTransform::Kind::crop: cropShown(p, t.aperture); break;
        case HeifTransform::Kind::rotate: p.orientation = composeOrientations(p.orientation, kAnticlockwiseTurns[t.value & 3]); break;
        case HeifTransform::Kind::mirror: p.orientation = composeOrientations(p.orientation, kMirrors[t.value & 1]); break;
        }
    }
    return p;
}

bool HeifItem::is(const char (&name)[5]) const { return std::memcmp(type.data(), name, 4) == 0; }

Result<HeifFile> ReadHeifFile(std::span<const std::uint8_t> file)
{
    const std::optional<std::vector<Box>> top = childrenOf(ByteCursor(file));
    const Box* meta = top ? find(*top, "meta") : nullptr;
    ByteCursor metaBody = meta ? meta->body : ByteCursor();
    const std::optional<std::vector<Box>> inMeta =
        meta && fullBoxHeader(metaBody) ? childrenOf(metaBody) : std::nullopt;
    const Box* iinf = inMeta ? find(*inMeta, "iinf") : nullptr;
    const Box* iloc = inMeta ? find(*inMeta, "iloc") : nullptr;
    const Box* iprp = inMeta ? find(*inMeta, "iprp") : nullptr;
    const Box* pitm = inMeta ? find(*inMeta, "pitm") : nullptr;
    const std::optional<std::uint32_t> primary = pitm ? primaryId(*pitm) : std::nullopt;
    if (!iinf || !iloc || !iprp || !primary)
        return CodecError::damaged;
    const Box* idat = find(*inMeta, "idat");
    const Box* iref = find(*inMeta, "iref");
    const std::span<const std::uint8_t> idatBytes = idat ? idat->body.whole() : std::span<const std::uint8_t>();
    HeifItems items;
    if (!readItemInfos(*iinf, items))
        return CodecError::damaged;
    if (Status located = readLocations(*iloc, file, idatBytes, items); !located)
        return located.error();
    if (!readProperties(*iprp, items) || (iref && !readReferences(*iref, items)))
        return CodecError::damaged;
    return HeifFile{*primary, std::move(items)};
}

Result<PrimaryItem> PrimaryItemOf(const HeifFile& file)
{
    const auto found = file.items.find(file.primary);
    if (found == file.items.end() || !found->second.size)
        return CodecError::damaged;
    const HeifItem& item = found->second;
    return PrimaryItem{file.primary, (*item.size)[0], (*item.size)[1], item.transforms};
}

}  // namespace vrelk
