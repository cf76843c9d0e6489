// Feeds arbitrary bytes to the bitmap reader, and writes back what it reads.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "codecs/bmp.h"

namespace {

std::filesystem::path scratchPath(const char* suffix)
{
    return std::filesystem::temp_directory_path() /
           ("vrelk_bmp_fuzz_" + std::to_string(::getpid()) + suffix);
}

// Removes the scratch file when the fuzzer exits.
struct ScratchFile {
    std::filesystem::path path;
    ~ScratchFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const ScratchFile inputFile{scratchPath(".bmp")};
    static const ScratchFile outputFile{scratchPath("_out.bmp")};
    const std::filesystem::path& input = inputFile.path;
    const std::filesystem::path& output = outputFile.path;
    {
        std::ofstream file(input, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    static vrelk::BmpReader reader;
    reader.resetFileState();
    reader.resetForRead();
    reader.pixelsInPages = true;
    vrelk::DibImage* image = vrelk::ReadBmp(reader, input);
    vrelk::ReleaseBmpReader(reader);

    // Writing back the full 25000 x 25000 images the reader accepts would
    // only measure the disk.
    if (image && image->pixels.size() <= (1u << 20)) {
        static vrelk::BmpWriter writer;
        writer.resetFileState();
        writer.resetForWrite();
        writer.width = image->header.biWidth;
        writer.height = image->header.biHeight;
        writer.sourceBits = writer.targetBits = image->header.biBitCount;
        writer.computeLayout();
        vrelk::WriteBmp(writer, output, image->palette, std::span(image->pixels.data(), image->pixels.size()));
        vrelk::ReleaseBmpWriter(writer);
    }
    reader.image.pixels.reset();
    return 0;
}
