// Feeds arbitrary bytes to the bitmap reader, and writes back what it reads.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "codecs/bmp.h"

namespace {

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
    static const ScratchFile output{std::filesystem::temp_directory_path() /
                                    ("vrelk_bmp_fuzz_" + std::to_string(::getpid()) + "_out.bmp")};
    vrelk::Result<vrelk::Picture> image = vrelk::ReadBmp(vrelk::ByteCursor({data, size}));
    // Writing back the full 25000 x 25000 images the reader accepts would
    // only measure the disk.
    if (image && image->pixels.size() <= (1u << 20)) {
        (void)vrelk::WriteBmp(vrelk::viewOf(*image), output.path);
    }
    return 0;
}
