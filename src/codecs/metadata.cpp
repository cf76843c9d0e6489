#include "codecs/metadata.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace vrelk {
namespace {

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kThumbnailOffsetTag = 0x0201;
constexpr std::uint16_t kThumbnailLengthTag = 0x0202;
constexpr std::uint16_t kExifPointerTag = 0x8769;
constexpr std::uint16_t kGpsPointerTag = 0x8825;
constexpr std::uint16_t kInteropPointerTag = 0xA005;
constexpr std::uint16_t kPixelXTag = 0xA002;
constexpr std::uint16_t kPixelYTag = 0xA003;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTypeIfd = 13;

// Bytes of one value of each TIFF type 1..13; 0 marks a type no reader knows.
constexpr std::array<std::uint32_t, 14> kTypeBytes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
// IFD0, Exif, GPS and Interoperability, with room for a maker's own.
constexpr std::size_t kMaxDirectories = 8;
constexpr std::size_t kMaxEntries = 1000;

struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::size_t valueAt = 0;  // inside the entry when four bytes or fewer
};

struct Directory {
    std::size_t at = 0;
    std::vector<Entry> entries;
    std::size_t nextAt = 0;  // where the offset of the next directory is
};

class ExifEditor {
public:
    explicit ExifEditor(std::span<const std::uint8_t> tiff) : tiff_(tiff.begin(), tiff.end()) {}

    bool edit(const ExifEdit& edit);
    std::vector<std::uint8_t> result() &&
    {
        tiff_.resize(keptEnd_);
        return std::move(tiff_);
    }

private:
    std::optional<std::uint32_t> read(std::size_t at, std::size_t bytes) const;
    void write(std::size_t at, std::size_t bytes, std::uint32_t value);
    std::optional<Directory> directoryAt(std::size_t at);
    void keepDirectory(const Directory& directory, std::vector<Range>& into);
    std::optional<Directory> subDirectory(const Directory& parent, std::uint16_t tag);
    void dropThumbnail(const Directory& first);
    void removeEntry(const Directory& directory, std::size_t index);
    bool setShort(const Directory& directory, std::uint16_t tag, std::uint32_t value);

    std::vector<std::uint8_t> tiff_;
    bool bigEndian_ = false;
    std::vector<std::size_t> visited_;
    std::vector<Range> kept_;
    std::vector<Range> dropped_;
    std::size_t keptEnd_ = 8;
};

std::optional<std::uint32_t> ExifEditor::read(std::size_t at, std::size_t bytes) const
{
    if (at > tiff_.size() || bytes > tiff_.size() - at)
        return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::size_t from = bigEndian_ ? at + i : at + bytes - 1 - i;
        value = value << 8 | tiff_[from];
    }
    return value;
}

void ExifEditor::write(std::size_t at, std::size_t bytes, std::uint32_t value)
{
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::size_t to = bigEndian_ ? at + bytes - 1 - i : at + i;
        tiff_[to] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Every entry's value checked to lie inside the structure; a directory
// met twice is a loop.
std::optional<Directory> ExifEditor::directoryAt(std::size_t at)
{
    if (visited_.size() >= kMaxDirectories || std::find(visited_.begin(), visited_.end(), at) != visited_.end())
        return std::nullopt;
    visited_.push_back(at);
    const auto count = read(at, 2);
    if (!count || *count > kMaxEntries || !read(at + 2 + 12 * std::size_t{*count}, 4))
        return std::nullopt;
    Directory directory{at, {}, at + 2 + 12 * std::size_t{*count}};
    for (std::size_t i = 0; i < *count; ++i) {
        const std::size_t entryAt = at + 2 + 12 * i;
        Entry entry{static_cast<std::uint16_t>(*read(entryAt, 2)), static_cast<std::uint16_t>(*read(entryAt + 2, 2)),
                    *read(entryAt + 4, 4), entryAt + 8};
        if (entry.type == 0 || entry.type >= kTypeBytes.size() || entry.count > tiff_.size())
            return std::nullopt;
        const std::size_t bytes = std::size_t{kTypeBytes[entry.type]} * entry.count;
        if (bytes > 4)
            entry.valueAt = *read(entryAt + 8, 4);
        if (entry.valueAt > tiff_.size() || bytes > tiff_.size() - entry.valueAt)
            return std::nullopt;
        directory.entries.push_back(entry);
    }
    return directory;
}

std::size_t valueBytes(const Entry& entry) { return std::size_t{kTypeBytes[entry.type]} * entry.count; }

void ExifEditor::keepDirectory(const Directory& directory, std::vector<Range>& into)
{
    into.push_back({directory.at, directory.nextAt + 4});
    for (const Entry& entry : directory.entries)
        if (valueBytes(entry) > 4)
            into.push_back({entry.valueAt, entry.valueAt + valueBytes(entry)});
}

std::optional<Directory> ExifEditor::subDirectory(const Directory& parent, std::uint16_t tag)
{
    for (const Entry& entry : parent.entries)
        if (entry.tag == tag) {
            if ((entry.type != kTypeLong && entry.type != kTypeIfd) || entry.count != 1)
                return std::nullopt;
            return directoryAt(*read(entry.valueAt, 4));
        }
    return std::nullopt;
}

bool hasTag(const Directory& directory, std::uint16_t tag)
{
    return std::any_of(directory.entries.begin(), directory.entries.end(),
                       [tag](const Entry& entry) { return entry.tag == tag; });
}

// The thumbnail's directory and picture are zeroed where they can be found
// and cut off with the rest beyond the kept structure.
void ExifEditor::dropThumbnail(const Directory& first)
{
    const std::uint32_t next = *read(first.nextAt, 4);
    write(first.nextAt, 4, 0);
    if (next == 0)
        return;
    std::optional<Directory> thumbnail = directoryAt(next);
    if (!thumbnail)
        return;
    dropped_.push_back({thumbnail->at, thumbnail->nextAt + 4});
    std::optional<std::uint32_t> offset;
    std::optional<std::uint32_t> length;
    for (const Entry& entry : thumbnail->entries) {
        if (valueBytes(entry) > 4)
            dropped_.push_back({entry.valueAt, entry.valueAt + valueBytes(entry)});
        if (entry.count == 1 && (entry.type == kTypeLong || entry.type == kTypeShort)) {
            const std::uint32_t value = *read(entry.valueAt, kTypeBytes[entry.type]);
            if (entry.tag == kThumbnailOffsetTag)
                offset = value;
            else if (entry.tag == kThumbnailLengthTag)
                length = value;
        }
    }
    if (offset && length && *offset <= tiff_.size() && *length <= tiff_.size() - *offset)
        dropped_.push_back({*offset, std::size_t{*offset} + *length});
}

void ExifEditor::removeEntry(const Directory& directory, std::size_t index)
{
    const std::size_t entryAt = directory.at + 2 + 12 * index;
    std::copy(tiff_.begin() + static_cast<std::ptrdiff_t>(entryAt + 12),
              tiff_.begin() + static_cast<std::ptrdiff_t>(directory.nextAt + 4),
              tiff_.begin() + static_cast<std::ptrdiff_t>(entryAt));
    std::fill_n(tiff_.begin() + static_cast<std::ptrdiff_t>(directory.nextAt - 8), 12, 0);
    write(directory.at, 2, static_cast<std::uint32_t>(directory.entries.size() - 1));
}

bool ExifEditor::setShort(const Directory& directory, std::uint16_t tag, std::uint32_t value)
{
    for (const Entry& entry : directory.entries)
        if (entry.tag == tag && entry.count == 1) {
            if (entry.type == kTypeShort && value <= 0xFFFF)
                write(entry.valueAt, 2, value);
            else if (entry.type == kTypeLong)
                write(entry.valueAt, 4, value);
            return true;
        }
    return false;
}

bool overlaps(const std::vector<Range>& a, const std::vector<Range>& b)
{
    for (const Range& x : a)
        for (const Range& y : b)
            if (x.begin < y.end && y.begin < x.end)
                return true;
    return false;
}

bool ExifEditor::edit(const ExifEdit& edit)
{
    if (tiff_.size() < 8)
        return false;
    if (tiff_[0] == 'M' && tiff_[1] == 'M' && tiff_[2] == 0 && tiff_[3] == 42)
        bigEndian_ = true;
    else if (!(tiff_[0] == 'I' && tiff_[1] == 'I' && tiff_[2] == 42 && tiff_[3] == 0))
        return false;
    kept_.push_back({0, 8});

    std::optional<Directory> first = directoryAt(*read(4, 4));
    if (!first)
        return false;
    keepDirectory(*first, kept_);
    std::optional<Directory> exif;
    if (hasTag(*first, kExifPointerTag)) {
        exif = subDirectory(*first, kExifPointerTag);
        if (!exif)
            return false;
        keepDirectory(*exif, kept_);
        if (hasTag(*exif, kInteropPointerTag)) {
            std::optional<Directory> interop = subDirectory(*exif, kInteropPointerTag);
            if (!interop)
                return false;
            keepDirectory(*interop, kept_);
        }
    }
    std::optional<Directory> gps;
    if (hasTag(*first, kGpsPointerTag)) {
        gps = subDirectory(*first, kGpsPointerTag);
        if (!gps)
            return false;
        keepDirectory(*gps, edit.dropLocation ? dropped_ : kept_);
    }

    dropThumbnail(*first);
    if (edit.shownUpright)
        setShort(*first, kOrientationTag, 1);
    if (exif) {
        setShort(*exif, kPixelXTag, static_cast<std::uint32_t>(edit.width));
        setShort(*exif, kPixelYTag, static_cast<std::uint32_t>(edit.height));
    }
    if (gps && edit.dropLocation) {
        const auto at = std::find_if(first->entries.begin(), first->entries.end(),
                                     [](const Entry& entry) { return entry.tag == kGpsPointerTag; });
        removeEntry(*first, static_cast<std::size_t>(at - first->entries.begin()));
    }
    // A dropped block that shares bytes with a kept one cannot be taken out
    // without damaging it: such a structure is not copied at all.
    if (overlaps(kept_, dropped_))
        return false;
    for (const Range& range : dropped_)
        std::fill(tiff_.begin() + static_cast<std::ptrdiff_t>(range.begin),
                  tiff_.begin() + static_cast<std::ptrdiff_t>(range.end), 0);
    for (const Range& range : kept_)
        keptEnd_ = std::max(keptEnd_, range.end);
    return true;
}

// ---- XMP ----------------------------------------------------------------------------

// Where a picture was taken, in the schemas cameras and editors write.
struct LocationName {
    std::string_view name;
    bool prefix;  // every property whose name starts so
};
constexpr std::array<LocationName, 9> kLocationNames{{
    {"exif:GPS", true},
    {"photoshop:City", false},
    {"photoshop:State", false},
    {"photoshop:Country", false},
    {"Iptc4xmpCore:Location", false},
    {"Iptc4xmpCore:CountryCode", false},
    {"Iptc4xmpExt:LocationCreated", false},
    {"Iptc4xmpExt:LocationShown", false},
    {"Iptc4xmpCore:CountryName", false},
}};

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

bool isValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || lead == 0 || length > text.size() - i)
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

bool looksLikeXmpPacket(std::string_view text)
{
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return isValidUtf8(text) && last != std::string_view::npos && text[last] == '>' &&
           (text.find("<x:xmpmeta") != std::string_view::npos || text.find("<rdf:RDF") != std::string_view::npos);
}

// The length of the location name at `at`, or 0.
std::size_t locationNameAt(std::string_view text, std::size_t at)
{
    for (const LocationName& location : kLocationNames) {
        if (text.compare(at, location.name.size(), location.name) != 0)
            continue;
        std::size_t end = at + location.name.size();
        if (location.prefix)
            while (end < text.size() && isNameCharacter(text[end]))
                ++end;
        if (end == text.size() || !isNameCharacter(text[end]))
            return end - at;
    }
    return 0;
}

// The end of the element whose start tag opens at `open` and whose name
// is `name`; npos when it never closes.
std::size_t elementEnd(std::string_view text, std::size_t open, std::string_view name)
{
    const std::size_t tagEnd = text.find('>', open);
    if (tagEnd == std::string_view::npos)
        return tagEnd;
    if (text[tagEnd - 1] == '/')
        return tagEnd + 1;
    const std::string closing = "</" + std::string(name) + ">";
    const std::size_t close = text.find(closing, tagEnd);
    return close == std::string_view::npos ? close : close + closing.size();
}

// The end of an attribute's quoted value starting after `name` at `at`.
std::size_t attributeEnd(std::string_view text, std::size_t at)
{
    std::size_t i = text.find_first_not_of(" \t\r\n", at);
    if (i == std::string_view::npos || text[i] != '=')
        return std::string_view::npos;
    i = text.find_first_not_of(" \t\r\n", i + 1);
    if (i == std::string_view::npos || (text[i] != '"' && text[i] != '\''))
        return std::string_view::npos;
    const std::size_t close = text.find(text[i], i + 1);
    return close == std::string_view::npos ? close : close + 1;
}

// Removes every location element and attribute; false when one is not
// whole.
bool removeLocation(std::string& text)
{
    for (std::size_t at = 1; at < text.size();) {
        const std::size_t length = locationNameAt(text, at);
        const char before = text[at - 1];
        std::size_t end = std::string::npos;
        if (length != 0 && before == '<') {
            end = elementEnd(text, at - 1, text.substr(at, length));
            if (end == std::string::npos)
                return false;
        } else if (length != 0 && (before == ' ' || before == '\t' || before == '\r' || before == '\n')) {
            end = attributeEnd(text, at + length);  // none: a word in some text, not an attribute
        }
        if (end == std::string::npos) {
            ++at;
            continue;
        }
        text.erase(at - 1, end - (at - 1));
        at = std::max<std::size_t>(at - 1, 1);
    }
    return true;
}

// tiff:Orientation as an attribute (="6") or an element (>6<) becomes 1.
void setOrientationUpright(std::string& text)
{
    constexpr std::string_view kName = "tiff:Orientation";
    for (std::size_t at = text.find(kName); at != std::string::npos; at = text.find(kName, at + kName.size())) {
        std::size_t value = text.find_first_not_of(" \t\r\n", at + kName.size());
        if (value == std::string::npos)
            return;
        if (text[value] == '=') {
            value = text.find_first_not_of(" \t\r\n", value + 1);
            if (value == std::string::npos || (text[value] != '"' && text[value] != '\''))
                continue;
        } else if (text[value] != '>') {
            continue;
        }
        const std::size_t digit = value + 1;
        if (digit < text.size() && text[digit] >= '1' && text[digit] <= '8' && digit + 1 < text.size() &&
            (text[digit + 1] == '"' || text[digit + 1] == '\'' || text[digit + 1] == '<'))
            text[digit] = '1';
    }
}

}  // namespace

std::vector<std::uint8_t> EditExif(std::span<const std::uint8_t> tiff, const ExifEdit& edit)
{
    ExifEditor editor(tiff);
    if (!editor.edit(edit))
        return {};
    std::vector<std::uint8_t> edited = std::move(editor).result();
    // Structures that share bytes can be damaged by the edit itself; what
    // does not read back whole is not copied.
    if (ExifEditor again(edited); !again.edit(edit))
        return {};
    return edited;
}

std::vector<std::uint8_t> EditXmp(std::span<const std::uint8_t> xmp, bool shownUpright, bool dropLocation)
{
    std::string text(xmp.begin(), xmp.end());
    if (!looksLikeXmpPacket(text) || (dropLocation && !removeLocation(text)))
        return {};
    // A removal can join pieces into a name it had passed, or take the
    // packet's own frame with it: what is left must be a packet with no
    // location left in it.
    if (dropLocation) {
        std::string again = text;
        if (!removeLocation(again) || again != text || !looksLikeXmpPacket(text))
            return {};
    }
    if (shownUpright)
        setOrientationUpright(text);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::span<const std::uint8_t> AfterIdentifier(std::span<const std::uint8_t> block, std::string_view identifier)
{
    if (block.size() < identifier.size() || !std::equal(identifier.begin(), identifier.end(), block.begin()))
        return {};
    return block.subspan(identifier.size());
}

std::vector<std::uint8_t> WithIdentifier(std::string_view identifier, std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> block(identifier.begin(), identifier.end());
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

}  // namespace vrelk
