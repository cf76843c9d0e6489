// Feeds arbitrary bytes to the JPEG reader and the re-encoder.
#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/decode_memory.h"
#include "codecs/jpeg.h"
#include "platform/memory_budget.h"

namespace {

// Pictures whose header promises more than this are left out: decoding
// them is slow without telling anything new.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 22;

bool isFrameHeader(std::uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool standsAlone(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9); }

// The size in the first frame header, found as libjpeg finds it: marker
// after marker, each segment skipped by its length, so that a frame
// header's bytes inside another segment do not count. A file whose frame
// header cannot be reached counts as small.
bool smallEnough(std::span<const std::uint8_t> input)
{
    std::size_t at = 2;
    while (at + 2 <= input.size()) {
        if (input[at] != 0xFF) {
            ++at;
            continue;
        }
        const std::uint8_t marker = input[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (standsAlone(marker)) {
            at += 2;
            continue;
        }
        if (isFrameHeader(marker) && at + 9 <= input.size()) {
            const std::uint64_t height = input[at + 5] << 8 | input[at + 6];
            const std::uint64_t width = input[at + 7] << 8 | input[at + 8];
            return width * height <= kMaxPixels;
        }
        if (at + 4 > input.size())
            return true;
        at += 2 + (std::size_t{input[at + 2]} << 8 | input[at + 3]);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);
    if (!smallEnough(input))
        return 0;
    // The budget a run gives each file, so that the reader's own claims
    // refuse what a hostile header asks for beyond it.
    static vrelk::platform::MemoryBudget budget(std::uint64_t{512} << 20);
    {
        vrelk::DecodeMemory memory(budget);
        vrelk::JpegReadOptions hint;
        hint.limits = vrelk::ReadLimits{vrelk::kMaxDimension, &memory};
        if (size != 0 && data[size - 1] & 1) {
            hint.scaleHint = true;
            hint.wantedWidth = data[size - 1];
            hint.wantedHeight = 1;
        }
        (void)vrelk::ReadJpeg(vrelk::ByteCursor(input), hint);
    }
    vrelk::DecodeMemory memory(budget);
    (void)vrelk::RecodeJpeg(vrelk::ByteCursor(input), "/dev/null", nullptr,
                            vrelk::ReadLimits{vrelk::kMaxDimension, &memory});
    return 0;
}
