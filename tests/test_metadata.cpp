// Exif and XMP edited for an output: what a sound block keeps and loses,
// and that a damaged or hostile one is dropped whole rather than copied
// half. exiftool checks the sound cases end to end (keep_metadata.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "codecs/exif.h"
#include "codecs/metadata.h"

namespace vrelk {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kAscii = 2;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;

// One entry; a value of more than four bytes goes to the value area. A
// `pointsTo` directory or the thumbnail replaces the value with its offset.
struct Field {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    Bytes value;  // little-endian numbers, converted for big-endian files
    int pointsTo = -1;  // a directory's index, or kThumbnail
};
constexpr int kThumbnail = 100;

Field ascii(std::uint16_t tag, const std::string& text)
{
    Bytes value(text.begin(), text.end());
    value.push_back(0);
    return {tag, kAscii, static_cast<std::uint32_t>(value.size()), value};
}
Field shortField(std::uint16_t tag, std::uint16_t v) { return {tag, kShort, 1, {std::uint8_t(v), std::uint8_t(v >> 8)}}; }
Field pointer(std::uint16_t tag, int target) { return {tag, kLong, 1, {0, 0, 0, 0}, target}; }

// Header, the directories one after the other (IFD0 first, the last one
// the thumbnail's when `thumbnailDirectory`), their values, the thumbnail.
struct Exif {
    bool bigEndian = false;
    std::vector<std::vector<Field>> directories;
    bool thumbnailDirectory = false;
    Bytes thumbnail;

    Bytes build() const
    {
        std::vector<std::size_t> at;
        std::size_t offset = 8;
        for (const auto& directory : directories) {
            at.push_back(offset);
            offset += 2 + 12 * directory.size() + 4;
        }
        std::size_t valueArea = offset;
        for (const auto& directory : directories)
            for (const Field& field : directory)
                valueArea += field.value.size() > 4 ? field.value.size() : 0;
        Bytes out(valueArea, 0);
        const std::size_t thumbnailAt = out.size();
        out.insert(out.end(), thumbnail.begin(), thumbnail.end());
        auto put = [&](std::size_t where, std::uint32_t value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                out[where + (bigEndian ? bytes - 1 - i : i)] = std::uint8_t(value >> (8 * i));
        };
        out[0] = out[1] = bigEndian ? 'M' : 'I';
        put(2, 42, 2);
        put(4, static_cast<std::uint32_t>(at[0]), 4);
        std::size_t nextValue = offset;
        for (std::size_t d = 0; d < directories.size(); ++d) {
            put(at[d], static_cast<std::uint32_t>(directories[d].size()), 2);
            for (std::size_t e = 0; e < directories[d].size(); ++e) {
                const Field& field = directories[d][e];
                const std::size_t entry = at[d] + 2 + 12 * e;
                put(entry, field.tag, 2);
                put(entry + 2, field.type, 2);
                put(entry + 4, field.count, 4);
                if (field.pointsTo >= 0) {
                    put(entry + 8, static_cast<std::uint32_t>(field.pointsTo == kThumbnail ? thumbnailAt
                                                                                           : at[field.pointsTo]),
                        4);
                } else if (field.value.size() > 4) {
                    put(entry + 8, static_cast<std::uint32_t>(nextValue), 4);
                    std::copy(field.value.begin(), field.value.end(), out.begin() + nextValue);
                    nextValue += field.value.size();
                } else if (field.type == kShort) {
                    put(entry + 8, field.value[0] | field.value[1] << 8, 2);
                } else {
                    std::copy(field.value.begin(), field.value.end(), out.begin() + entry + 8);
                }
            }
            const bool linksThumbnail = d == 0 && thumbnailDirectory;
            put(at[d] + 2 + 12 * directories[d].size(), linksThumbnail ? at.back() : 0, 4);
        }
        return out;
    }
};

// IFD0 (Make, Orientation 6, Exif and GPS pointers), Exif (dimensions),
// GPS (a latitude reference and a marker), and a thumbnail directory.
Exif cameraExif(bool bigEndian)
{
    Exif exif;
    exif.bigEndian = bigEndian;
    exif.directories = {
        {ascii(0x010F, "Tessaly Camera"), shortField(0x0112, 6), pointer(0x8769, 1), pointer(0x8825, 2)},
        {shortField(0xA002, 4000), shortField(0xA003, 3000), ascii(0x9003, "2021:05:06 07:08:09")},
        {ascii(0x0001, "N"), ascii(0x001B, "WHERE-IT-WAS-TAKEN")},
        {pointer(0x0201, kThumbnail), {0x0202, kLong, 1, {64, 0, 0, 0}}},
    };
    exif.thumbnailDirectory = true;
    exif.thumbnail = Bytes(64, 0xD8);
    return exif;
}

bool contains(const Bytes& haystack, const std::string& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

ExifOrientation orientationOf(const Bytes& tiff) { return orientationFromExif(WithIdentifier(kExifIdentifier, tiff)); }

TEST(ExifEdit, SoundBlocksLoseTheThumbnailAndWhatTheOutputNoLongerHas)
{
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        const Bytes input = cameraExif(bigEndian).build();
        const struct {
            ExifEdit edit;
            ExifOrientation orientation;
            bool location;
        } cases[] = {
            {{false, 400, 300, false}, 6, true},
            {{true, 300, 400, false}, kUpright, true},
            {{true, 300, 400, true}, kUpright, false},
        };
        for (const auto& c : cases) {
            const Bytes edited = EditExif(input, c.edit);
            ASSERT_FALSE(edited.empty());
            EXPECT_LE(edited.size(), input.size() - 64) << "the thumbnail at the end is cut off";
            EXPECT_TRUE(contains(edited, "Tessaly Camera"));
            EXPECT_TRUE(contains(edited, "2021:05:06 07:08:09"));
            EXPECT_EQ(orientationOf(edited), c.orientation);
            EXPECT_EQ(contains(edited, "WHERE-IT-WAS-TAKEN"), c.location);
            // Kept again unchanged: the edit is stable.
            EXPECT_EQ(EditExif(edited, c.edit), edited);
        }
    }
}

TEST(ExifEdit, DamagedOrHostileBlocksAreDroppedWhole)
{
    using Change = std::function<void(Exif&)>;
    const struct {
        const char* name;
        Change change;
        std::function<void(Bytes&)> damage;
    } cases[] = {
        {"first directory past the end", nullptr, [](Bytes& b) { b[4] = 0xF0; b[5] = 0xFF; }},
        {"entry count past the end", nullptr, [](Bytes& b) { b[8] = 0xFF; b[9] = 0x7F; }},
        {"truncated inside a directory", nullptr, [](Bytes& b) { b.resize(20); }},
        {"not a TIFF header", nullptr, [](Bytes& b) { b[2] = 43; }},
        {"value past the end", [](Exif& e) { e.directories[0][0] = {0x010F, kAscii, 0x7FFFFFF0, Bytes(8, 'x')}; },
         nullptr},
        {"count times size wraps", [](Exif& e) { e.directories[0][0] = {0x010F, 5, 0x40000000, Bytes(8, 1)}; },
         nullptr},
        {"unknown value type", [](Exif& e) { e.directories[0][0].type = 14; }, nullptr},
        {"Exif pointer loops to IFD0", [](Exif& e) { e.directories[0][2].pointsTo = 0; }, nullptr},
        {"GPS pointer of two values", [](Exif& e) { e.directories[0][3].count = 2; }, nullptr},
        {"Exif directory loops to itself",
         [](Exif& e) { e.directories[1].push_back(pointer(0xA005, 1)); }, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Exif exif = cameraExif(false);
        if (c.change)
            c.change(exif);
        Bytes bytes = exif.build();
        if (c.damage)
            c.damage(bytes);
        EXPECT_TRUE(EditExif(bytes, {true, 10, 10, true}).empty());
    }
}

TEST(ExifEdit, ThumbnailsAndLocationThatCannotBeTakenOutCleanly)
{
    Exif brokenThumbnail = cameraExif(false);
    brokenThumbnail.directories[3][0] = {0x0201, kLong, 1, {0xF0, 0xFF, 0xFF, 0x7F}};
    EXPECT_FALSE(EditExif(brokenThumbnail.build(), {}).empty()) << "the thumbnail goes anyway";

    // The GPS value shares its bytes with the camera's name: dropping one
    // would damage the other.
    Bytes shared = cameraExif(false).build();
    const Bytes untouched = EditExif(shared, {});
    ASSERT_FALSE(untouched.empty());
    const std::size_t makeValue = 8 + 2 + 12 * 0 + 8;
    const std::size_t gpsDirectory = 8 + (2 + 12 * 4 + 4) + (2 + 12 * 3 + 4);
    const std::size_t gpsMarkerEntry = gpsDirectory + 2 + 12 + 8;
    std::copy(shared.begin() + makeValue, shared.begin() + makeValue + 4, shared.begin() + gpsMarkerEntry);
    EXPECT_FALSE(EditExif(shared, {}).empty()) << "kept, the location included";
    EXPECT_TRUE(EditExif(shared, {false, 0, 0, true}).empty()) << "without the location: not at all";
}

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string editedXmp(const std::string& xmp, bool upright, bool dropLocation)
{
    const Bytes edited = EditXmp(bytesOf(xmp), upright, dropLocation);
    return std::string(edited.begin(), edited.end());
}

TEST(XmpEdit, LocationAndOrientationAreEditedAndBrokenPacketsDropped)
{
    const std::string head = "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
                             "<rdf:RDF><rdf:Description ";
    const std::string tail = "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    const std::string located = head + "dc:format='image/jpeg' exif:GPSLatitude='35,39.5N' tiff:Orientation='6'\n"
                                       " photoshop:City=\"Tokyo\">" +
                                "<exif:GPSLongitude>139,44.7E</exif:GPSLongitude>"
                                "<Iptc4xmpExt:LocationShown><rdf:Bag><rdf:li>Shiba</rdf:li></rdf:Bag>"
                                "</Iptc4xmpExt:LocationShown><dc:creator>Someone near GPS</dc:creator>" +
                                tail;
    const std::string kept = editedXmp(located, false, false);
    EXPECT_EQ(kept, located);

    const std::string shared = editedXmp(located, true, true);
    for (const char* gone : {"GPSLatitude", "GPSLongitude", "Tokyo", "Shiba", "LocationShown", "139,44"})
        EXPECT_EQ(shared.find(gone), std::string::npos) << gone;
    for (const char* stays : {"dc:format='image/jpeg'", "tiff:Orientation='1'", "Someone near GPS", "</x:xmpmeta>"})
        EXPECT_NE(shared.find(stays), std::string::npos) << stays;

    const std::string large = head + ">" + "<dc:description>" + std::string(60 * 1024, 'x') + "</dc:description>" + tail;
    EXPECT_EQ(editedXmp(large, false, true), large) << "a 60 KB packet is kept whole";

    for (const std::string& broken : {
             head + "dc:x='\xff'>" + tail,                            // not UTF-8
             std::string("<html><body>not xmp</body></html>"),        // not a packet
             head + "><exif:GPSAltitude>12" + tail,                   // location never closed
             (head + ">" + tail).substr(0, head.size() + 10),         // cut short
             head + ">" + std::string(1, '\0') + tail,                // a NUL inside
         })
        EXPECT_TRUE(EditXmp(bytesOf(broken), false, true).empty()) << broken.substr(0, 80);
}

}  // namespace
}  // namespace vrelk
