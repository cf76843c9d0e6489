// Exif and XMP carried from an input to its output: checked whole before
// anything is copied, and made true of the picture that is written (no
// stale thumbnail, the written size, upright pixels), with the location
// taken out when the user shares without it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vrelk {

// KeepMeta: what the outputs keep of Exif and XMP.
enum class KeepMetadata : std::uint8_t { none = 0, all = 1, allButLocation = 2 };

struct ExifEdit {
    bool shownUpright = false;  // the pixels were turned as the orientation asked
    std::int32_t width = 0;     // of the written picture
    std::int32_t height = 0;
    bool dropLocation = false;
};

// The Exif TIFF structure (no "Exif\0\0" before it) edited for the output:
// the thumbnail directory and its picture dropped, Orientation 1 when the
// pixels were turned, the pixel dimensions those written, and with
// dropLocation the GPS directory gone. Empty when the structure is damaged
// anywhere (a directory or value outside it, a loop of directories, an
// unknown value type), so that nothing is ever copied half.
std::vector<std::uint8_t> EditExif(std::span<const std::uint8_t> tiff, const ExifEdit& edit);

// The XMP packet for the output: tiff:Orientation 1 when the pixels were
// turned, and without its location properties when asked. Empty when it is
// not a well-formed packet of UTF-8 text.
std::vector<std::uint8_t> EditXmp(std::span<const std::uint8_t> xmp, bool shownUpright, bool dropLocation);

// Blocks larger than this are not carried: no camera or editor writes
// them, and a hostile file should not double its memory through them.
inline constexpr std::size_t kMaxMetadataBytes = std::size_t{4} << 20;

// The Exif block of a TIFF file: the descriptive tags of its first
// directory and its Exif and GPS directories, as other formats carry them.
// Empty when the file has none of them or they are damaged.
std::vector<std::uint8_t> ExifFromTiffFile(std::span<const std::uint8_t> file);

// What APP1 segments and the other containers name their blocks with.
inline constexpr std::string_view kExifIdentifier{"Exif\0\0", 6};
inline constexpr std::string_view kXmpIdentifier{"http://ns.adobe.com/xap/1.0/\0", 29};
inline constexpr std::string_view kXmpKeyword = "XML:com.adobe.xmp";

// The payload after `identifier` when `block` starts with it, else empty.
std::span<const std::uint8_t> AfterIdentifier(std::span<const std::uint8_t> block, std::string_view identifier);

// `identifier` followed by `payload`, as one block.
std::vector<std::uint8_t> WithIdentifier(std::string_view identifier, std::span<const std::uint8_t> payload);

}  // namespace vrelk
