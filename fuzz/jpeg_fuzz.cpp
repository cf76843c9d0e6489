// Feeds arbitrary bytes to the JPEG reader and the re-encoder through a
// file, as the program meets them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "codecs/jpeg.h"
#include "codecs/jpeg_lib.h"

namespace {

// Pictures whose header promises more than this are left out: decoding
// them is slow and their whole-image buffers exceed the fuzzer's memory
// limit without telling anything new.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 22;

bool readHeader(vrelk::JpegDecoder& decoder, std::span<const std::uint8_t> input)
{
    if (setjmp(decoder.error.jump))
        return false;
    jpeg_create_decompress(&decoder.info);
    vrelk::InstallMemorySource(decoder.info, input);
    jpeg_read_header(&decoder.info, TRUE);
    return true;
}

bool smallEnough(std::span<const std::uint8_t> input)
{
    vrelk::JpegDecoder decoder;
    if (!readHeader(decoder, input))
        return true;
    return std::uint64_t{decoder.info.image_width} * decoder.info.image_height <= kMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);
    if (!smallEnough(input))
        return 0;
    int fd = memfd_create("jpeg-fuzz", 0);
    if (fd < 0)
        return 0;
    if (size != 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    vrelk::JpegReader reader;
    reader.resetFileState();
    reader.resetForRead();
    if (size != 0 && data[size - 1] & 1) {
        reader.scaleHint = true;
        reader.wantedWidth = data[size - 1];
        reader.wantedHeight = 1;
    }
    vrelk::ReadJpeg(reader, path);
    vrelk::ReleaseJpegReader(reader);
    reader.image.pixels.reset();

    vrelk::JpegRecoder recoder;
    recoder.resetFileState();
    vrelk::RecodeJpeg(recoder, path, "/dev/null");
    vrelk::ReleaseJpegRecoder(recoder);
    close(fd);
    return 0;
}
