// Feeds arbitrary bytes to the Exif and XMP editing the outputs' metadata
// goes through, under each way of editing, and to the making of an Exif
// block from a TIFF file's directories; what an edit gives must itself
// be a sound block, that a reader after us takes whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codecs/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    const std::span<const std::uint8_t> block(data + 1, size - 1);
    const vrelk::ExifEdit edit{(flags & 1) != 0, 1 + (flags >> 4), 1 + (flags & 0x0E), (flags & 0x80) != 0};
    const std::vector<std::uint8_t> exif = vrelk::EditExif(block, edit);
    if (!exif.empty() && vrelk::EditExif(exif, edit).empty())
        std::abort();
    const std::vector<std::uint8_t> xmp = vrelk::EditXmp(block, (flags & 1) != 0, (flags & 0x80) != 0);
    if (!xmp.empty() && vrelk::EditXmp(xmp, (flags & 1) != 0, (flags & 0x80) != 0).empty())
        std::abort();
    const std::vector<std::uint8_t> fromTiff = vrelk::ExifFromTiffFile(block);
    if (!fromTiff.empty() && vrelk::EditExif(fromTiff, edit).empty())
        std::abort();
    return 0;
}
