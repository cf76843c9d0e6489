// PNG image data made in pieces on lent cores: whatever the piece size and
// the number of helpers, the IDAT chunks join into one zlib stream that
// inflates (Adler-32 checked) to the rows of the one-piece file, and Pillow
// reads the same pixels from both.
#include <gtest/gtest.h>

#include <zlib.h>

#include <random>

#include "codecs/png.h"
#include "platform/picture_cores.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct PieceCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::int32_t bits;
    std::int64_t pieceBytes;
    int slots;  // the writer's own included
};

const PieceCase kCases[] = {
    {"one row", 37, 1, 24, 1, 3},
    {"fewer rows than helpers", 5, 3, 24, 1, 8},
    {"odd width, a row a piece", 333, 41, 24, 1, 2},
    {"odd width, rows shared unevenly", 1001, 97, 24, 10000, 3},
    {"palette, 8 bits", 517, 300, 8, 20000, 2},
    {"palette, 1 bit", 1023, 200, 1, 100, 2},
    {"palette, 4 bits", 999, 64, 4, 3000, 4},
    {"no helper: pieces on the writer's core", 640, 480, 24, 65536, 1},
    {"pieces of the default size", 1500, 1200, 24, kPngPieceBytes, 2},
};

// Noise, flat runs and gradients side by side, so that the pieces end in
// stored, fixed and dynamic blocks at every bit position.
Bytes pixelsFor(const PieceCase& c, std::uint32_t seed)
{
    const RowLayout layout = rowLayout(c.width, c.height, c.bits);
    Bytes pixels(static_cast<std::size_t>(layout.imageSize));
    std::mt19937 random(seed);
    for (std::int64_t y = 0; y < c.height; ++y)
        for (std::int64_t x = 0; x < layout.rowBytes; ++x) {
            const std::int64_t band = (x * 4 / std::max<std::int64_t>(layout.rowBytes, 1) + y / 16) % 3;
            const auto value = band == 0 ? random() : band == 1 ? 77u : static_cast<unsigned>(x + 3 * y);
            pixels[static_cast<std::size_t>(y * layout.stride + x)] = static_cast<std::uint8_t>(value);
        }
    return pixels;
}

Palette paletteFor()
{
    Palette palette{};
    for (int i = 0; i < 256; ++i)
        palette[static_cast<std::size_t>(i)] = RgbQuad{static_cast<std::uint8_t>(i * 7), static_cast<std::uint8_t>(255 - i),
                                                       static_cast<std::uint8_t>(i / 3), 0};
    return palette;
}

struct Chunks {
    std::vector<std::pair<std::string, Bytes>> other;
    Bytes imageData;  // every IDAT's data, joined
    std::size_t idatCount = 0;
};

Chunks chunksOf(const fs::path& path)
{
    const std::string text = test::readText(path);
    const Bytes bytes(text.begin(), text.end());
    Chunks chunks;
    for (std::size_t pos = 8; pos + 12 <= bytes.size();) {
        const std::uint32_t length =
            std::uint32_t{bytes[pos]} << 24 | bytes[pos + 1] << 16 | bytes[pos + 2] << 8 | bytes[pos + 3];
        const std::string type(text, pos + 4, 4);
        const auto data = bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8);
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(crc32(0, bytes.data() + pos + 4, 4), bytes.data() + pos + 8, static_cast<uInt>(length)));
        const std::size_t end = pos + 8 + length;
        EXPECT_EQ(crc, std::uint32_t{bytes[end]} << 24 | bytes[end + 1] << 16 | bytes[end + 2] << 8 | bytes[end + 3])
            << type;
        if (type == "IDAT") {
            chunks.imageData.insert(chunks.imageData.end(), data, data + length);
            ++chunks.idatCount;
        } else {
            chunks.other.push_back({type, Bytes(data, data + length)});
        }
        pos = end + 4;
    }
    return chunks;
}

Bytes inflated(const Bytes& stream, std::size_t size)
{
    Bytes rows(size + 1);
    uLongf length = static_cast<uLongf>(rows.size());
    EXPECT_EQ(uncompress(rows.data(), &length, stream.data(), static_cast<uLong>(stream.size())), Z_OK);
    rows.resize(length);
    return rows;
}

Status writeWithCores(const ImageView& view, const fs::path& path, const PieceCase& c, bool split)
{
    platform::WorkerSlots slots(c.slots);
    const platform::HeldWorkerSlot own(&slots);
    const platform::PictureCoresScope lent({&slots, split});
    return WritePng(view, path, c.pieceBytes);
}

TEST(PngPieces, JoinIntoOneStreamOfTheSameRows)
{
    test::ScratchFolder folder;
    const Palette palette = paletteFor();
    std::string pairs;
    int number = 0;
    for (const PieceCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string stem = std::to_string(++number);
        const Bytes pixels = pixelsFor(c, static_cast<std::uint32_t>(c.width));
        const ImageView view{c.width, c.height, c.bits, &palette, pixels};
        const fs::path whole = folder / (stem + "-whole.png");
        const fs::path pieces = folder / (stem + "-pieces.png");
        ASSERT_TRUE(writeWithCores(view, whole, c, false).ok());
        ASSERT_TRUE(writeWithCores(view, pieces, c, true).ok());

        const Chunks one = chunksOf(whole);
        const Chunks many = chunksOf(pieces);
        EXPECT_EQ(many.other, one.other);
        const std::int64_t rowSize = (static_cast<std::int64_t>(c.width) * c.bits + 7) / 8 + 1;
        const std::int64_t shares = (rowSize * c.height + c.pieceBytes - 1) / c.pieceBytes;
        const std::int64_t rowsEach = (c.height + shares - 1) / shares;
        const std::int64_t expectedPieces = (c.height + rowsEach - 1) / rowsEach;
        EXPECT_EQ(static_cast<std::int64_t>(many.idatCount), expectedPieces);
        const auto size = static_cast<std::size_t>(rowSize * c.height);
        const Bytes rows = inflated(one.imageData, size);
        EXPECT_EQ(rows.size(), size);
        EXPECT_EQ(inflated(many.imageData, size), rows);
        if (expectedPieces == 1) {
            EXPECT_EQ(test::readText(pieces), test::readText(whole)) << "one piece is the file of one core";
        }
        if (c.pieceBytes == kPngPieceBytes) {
            EXPECT_LE(static_cast<double>(many.imageData.size()), 1.005 * static_cast<double>(one.imageData.size()));
        }
        pairs += test::quoted(whole) + " " + test::quoted(pieces) + " ";
    }
    VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow");
    const std::string script = R"(
import sys
from PIL import Image
names = sys.argv[1:]
for whole, pieces in zip(names[::2], names[1::2]):
    a, b = Image.open(whole), Image.open(pieces)
    b.load()
    if a.mode != b.mode or a.tobytes() != b.tobytes() or a.getpalette() != b.getpalette():
        print("differs:", pieces)
)";
    const test::CommandResult result = test::runCommand(test::python() + " -c '" + script + "' " + pairs);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "");
}

}  // namespace
}  // namespace vrelk
