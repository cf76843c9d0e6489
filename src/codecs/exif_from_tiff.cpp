// A TIFF file keeps its camera data in its own first directory and in Exif
// and GPS directories it points to; other files carry the same as one Exif
// block. This makes that block: the descriptive tags of the first
// directory, and the Exif and GPS directories whole, in the file's byte
// order, without any of the picture's own structure (strips, tiles).
#include <algorithm>
#include <array>
#include <iterator>
#include <optional>

#include "codecs/metadata.h"

namespace vrelk {
namespace {

constexpr std::uint16_t kExifPointerTag = 0x8769;
constexpr std::uint16_t kGpsPointerTag = 0x8825;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTypeIfd = 13;
constexpr std::array<std::uint32_t, 14> kTypeBytes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
constexpr std::size_t kMaxEntries = 1000;

// What describes the picture rather than lays it out.
constexpr std::array<std::uint16_t, 9> kDescriptiveTags{
    0x010E,  // ImageDescription
    0x010F,  // Make
    0x0110,  // Model
    0x0112,  // Orientation
    0x0131,  // Software
    0x0132,  // DateTime
    0x013B,  // Artist
    0x8298,  // Copyright
    0x9286,  // UserComment, where some scanners put it
};

struct Entry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::span<const std::uint8_t> value;  // the four bytes of the entry, or the out-of-line bytes
};

class TiffDirectories {
public:
    explicit TiffDirectories(std::span<const std::uint8_t> file) : file_(file) {}

    bool readHeader()
    {
        if (file_.size() < 8)
            return false;
        bigEndian_ = file_[0] == 'M';
        return (file_[0] == 'I' || file_[0] == 'M') && file_[1] == file_[0] && read(2, 2) == 42;
    }
    bool bigEndian() const { return bigEndian_; }
    std::optional<std::uint32_t> firstDirectory() const { return read(4, 4); }

    std::optional<std::uint32_t> read(std::size_t at, std::size_t bytes) const
    {
        if (at > file_.size() || bytes > file_.size() - at)
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = value << 8 | file_[bigEndian_ ? at + i : at + bytes - 1 - i];
        return value;
    }

    // The one LONG an entry holds in its own four bytes.
    std::uint32_t longValue(const Entry& entry) const
    {
        return *read(static_cast<std::size_t>(entry.value.data() - file_.data()), 4);
    }

    // Every value inside the file, or nothing.
    std::optional<std::vector<Entry>> entriesAt(std::uint32_t at) const
    {
        const auto count = read(at, 2);
        if (!count || *count > kMaxEntries || !read(std::size_t{at} + 2 + 12 * std::size_t{*count}, 4))
            return std::nullopt;
        std::vector<Entry> entries;
        for (std::size_t i = 0; i < *count; ++i) {
            const std::size_t entryAt = at + 2 + 12 * i;
            Entry entry{static_cast<std::uint16_t>(*read(entryAt, 2)), static_cast<std::uint16_t>(*read(entryAt + 2, 2)),
                        *read(entryAt + 4, 4), {}};
            if (entry.type == 0 || entry.type >= kTypeBytes.size() || entry.count > file_.size())
                return std::nullopt;
            const std::size_t bytes = std::size_t{kTypeBytes[entry.type]} * entry.count;
            const std::size_t valueAt = bytes > 4 ? *read(entryAt + 8, 4) : entryAt + 8;
            if (valueAt > file_.size() || std::max<std::size_t>(bytes, 4) > file_.size() - valueAt)
                return std::nullopt;
            entry.value = file_.subspan(valueAt, std::max<std::size_t>(bytes, 4));
            entries.push_back(entry);
        }
        return entries;
    }

private:
    std::span<const std::uint8_t> file_;
    bool bigEndian_ = false;
};

// Lays directories out one after the other with their long values behind
// them; a pointer entry is filled in with the directory it names.
class ExifWriter {
public:
    explicit ExifWriter(bool bigEndian) : bigEndian_(bigEndian)
    {
        out_ = {std::uint8_t(bigEndian ? 'M' : 'I'), std::uint8_t(bigEndian ? 'M' : 'I'), 0, 0, 0, 0, 0, 0};
        put(2, 42, 2);
        put(4, 8, 4);
    }

    // Returns where each entry's value field is, for pointers to patch.
    std::vector<std::size_t> writeDirectory(const std::vector<Entry>& entries)
    {
        const std::size_t at = out_.size();
        out_.resize(at + 2 + 12 * entries.size() + 4, 0);
        put(at, static_cast<std::uint32_t>(entries.size()), 2);
        std::vector<std::size_t> fields;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry& entry = entries[i];
            const std::size_t entryAt = at + 2 + 12 * i;
            put(entryAt, entry.tag, 2);
            put(entryAt + 2, entry.type, 2);
            put(entryAt + 4, entry.count, 4);
            fields.push_back(entryAt + 8);
            const std::size_t bytes = std::size_t{kTypeBytes[entry.type]} * entry.count;
            if (bytes <= 4) {
                std::copy_n(entry.value.begin(), 4, out_.begin() + static_cast<std::ptrdiff_t>(entryAt + 8));
            } else {
                out_.resize((out_.size() + 1) & ~std::size_t{1});
                put(entryAt + 8, static_cast<std::uint32_t>(out_.size()), 4);
                out_.insert(out_.end(), entry.value.begin(), entry.value.begin() + static_cast<std::ptrdiff_t>(bytes));
            }
        }
        out_.resize((out_.size() + 1) & ~std::size_t{1});
        return fields;
    }

    std::size_t size() const { return out_.size(); }
    void put(std::size_t at, std::uint32_t value, std::size_t bytes)
    {
        for (std::size_t i = 0; i < bytes; ++i)
            out_[bigEndian_ ? at + bytes - 1 - i : at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    std::vector<std::uint8_t> take() && { return std::move(out_); }

private:
    bool bigEndian_;
    std::vector<std::uint8_t> out_;
};

bool isDescriptive(std::uint16_t tag)
{
    return std::find(kDescriptiveTags.begin(), kDescriptiveTags.end(), tag) != kDescriptiveTags.end();
}

std::optional<std::vector<Entry>> pointedDirectory(const TiffDirectories& file, const std::vector<Entry>& first,
                                                   std::uint16_t tag)
{
    for (const Entry& entry : first)
        if (entry.tag == tag && entry.count == 1 && (entry.type == kTypeLong || entry.type == kTypeIfd)) {
            return file.entriesAt(file.longValue(entry));
        }
    return std::vector<Entry>{};
}

}  // namespace

std::vector<std::uint8_t> ExifFromTiffFile(std::span<const std::uint8_t> file)
{
    TiffDirectories directories(file);
    if (!directories.readHeader())
        return {};
    const auto firstAt = directories.firstDirectory();
    const auto first = firstAt ? directories.entriesAt(*firstAt) : std::nullopt;
    if (!first)
        return {};
    const auto exif = pointedDirectory(directories, *first, kExifPointerTag);
    const auto gps = pointedDirectory(directories, *first, kGpsPointerTag);
    if (!exif || !gps)
        return {};

    std::vector<Entry> kept;
    std::copy_if(first->begin(), first->end(), std::back_inserter(kept),
                 [](const Entry& entry) { return isDescriptive(entry.tag); });
    const std::array<std::uint8_t, 4> zero{};
    if (!exif->empty())
        kept.push_back({kExifPointerTag, kTypeLong, 1, zero});
    if (!gps->empty())
        kept.push_back({kGpsPointerTag, kTypeLong, 1, zero});
    if (kept.empty())
        return {};
    std::sort(kept.begin(), kept.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

    ExifWriter writer(directories.bigEndian());
    const std::vector<std::size_t> fields = writer.writeDirectory(kept);
    for (const auto& pointed : {std::pair{kExifPointerTag, &*exif}, std::pair{kGpsPointerTag, &*gps}}) {
        const std::uint16_t tag = pointed.first;
        const std::vector<Entry>* directory = pointed.second;
        if (directory->empty())
            continue;
        const auto entry = std::find_if(kept.begin(), kept.end(), [tag](const Entry& e) { return e.tag == tag; });
        writer.put(fields[static_cast<std::size_t>(entry - kept.begin())], static_cast<std::uint32_t>(writer.size()), 4);
        // Maker notes and the interoperability directory point into the
        // file by offsets that would not survive the move.
        std::vector<Entry> entries;
        std::copy_if(directory->begin(), directory->end(), std::back_inserter(entries),
                     [](const Entry& e) { return e.tag != 0x927C && e.tag != 0xA005; });
        writer.writeDirectory(entries);
    }
    return std::move(writer).take();
}

}  // namespace vrelk
