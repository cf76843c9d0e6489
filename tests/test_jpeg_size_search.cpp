// The JPEG writer's size target: the search over real encodings, the
// component planes its trials share, and its guesses at the next trial.
#include <gtest/gtest.h>

#include "codecs/jpeg.h"
#include "jpeg_test_support.h"
#include "jpeg_write_support.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::dibFromRgb;
using test::EncodeJpegToMemory;
using test::readBytes;
using test::ScratchFolder;
using test::WriterFor;

struct Encodings {
    std::vector<std::vector<std::uint8_t>> byQuality = std::vector<std::vector<std::uint8_t>>(101);
};

Encodings encodeAtEveryQuality(int width, int height, const std::vector<std::uint8_t>& pixels,
                               std::initializer_list<int> qualities)
{
    Encodings out;
    Palette palette{};
    for (int quality : qualities) {
        WriterFor set(width, height, 24);
        set.encoding = jpegEncoding(quality, 0);
        std::vector<std::uint8_t> buffer;
        std::size_t length = 0;
        EXPECT_TRUE(EncodeJpegToMemory(set.view(palette, pixels), set.encoding, buffer, length).ok());
        buffer.resize(length);
        out.byQuality[static_cast<std::size_t>(quality)] = buffer;
    }
    return out;
}

TEST(JpegSizeSearch, WritesTheHighestFittingEncoding)
{
    ScratchFolder folder;
    Palette palette{};
    const int width = 64, height = 64;
    auto pixels = test::noise(static_cast<std::size_t>(rowLayout(width, height, 24).imageSize));
    Encodings sizes = encodeAtEveryQuality(width, height, pixels, {100, 69, 38, 23, 8, 7, 1});

    auto writeWithin = [&](std::int64_t limit, const fs::path& path) {
        WriterFor set(width, height, 24);
        set.encoding = jpegEncoding(30, 0);
        EXPECT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, set.encoding, limit, &set.search).ok());
        return std::make_pair(set.search.qualitiesTried, set.search.writtenQuality);
    };

    auto [tried, written] = writeWithin(1 << 30, folder / "roomy.jpg");
    EXPECT_EQ(written, 100) << "the user's quality plays no part";
    EXPECT_EQ(readBytes(folder / "roomy.jpg"), sizes.byQuality[100]);

    const std::int64_t fitsAt7 = static_cast<std::int64_t>(sizes.byQuality[7].size());
    ASSERT_GT(sizes.byQuality[8].size(), sizes.byQuality[7].size()) << "noise grows with quality";
    std::tie(tried, written) = writeWithin(fitsAt7, folder / "seven.jpg");
    EXPECT_EQ(tried, (std::vector<std::int32_t>{100, 69, 38, 7, 23, 8}));
    EXPECT_EQ(written, 7);
    EXPECT_EQ(readBytes(folder / "seven.jpg"), sizes.byQuality[7]) << "the last encoding that fitted";

    std::tie(tried, written) = writeWithin(10, folder / "never.jpg");
    EXPECT_EQ(written, 1);
    EXPECT_EQ(readBytes(folder / "never.jpg"), sizes.byQuality[1]) << "nothing fits: quality 1";

    WriterFor viaKilobytes(width, height, 24);
    ASSERT_TRUE(viaKilobytes.outcome.keep(WriteJpegWithLimit(viaKilobytes.view(palette, pixels), folder / "kb.jpg", viaKilobytes.encoding, 4, &viaKilobytes.search)));
    EXPECT_LE(fs::file_size(folder / "kb.jpg"), 4096u);
    EXPECT_GT(viaKilobytes.search.writtenQuality, 1);
}

TEST(JpegSizeSearch, EncodingLargerThanTheUncompressedImageFits)
{
    ScratchFolder folder;
    Palette palette{};
    const int width = 48, height = 48;
    const auto uncompressed = static_cast<std::size_t>(rowLayout(width, height, 24).imageSize);
    auto pixels = test::noise(uncompressed, 99);
    WriterFor set(width, height, 24);
    set.encoding = jpegEncoding(100, 2);
    ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), folder / "noisy.jpg", set.encoding, 1 << 20, &set.search).ok());
    EXPECT_EQ(set.search.writtenQuality, 100);
    auto bytes = readBytes(folder / "noisy.jpg");
    EXPECT_GT(bytes.size(), uncompressed) << "the case the buffer has to grow for";
    test::DecodedJpeg decoded = test::decodeJpeg(bytes);
    EXPECT_EQ(decoded.width, width);
    EXPECT_EQ(decoded.height, height);
}

// The size search feeds its trials component planes it made once; the file
// it keeps must be byte for byte the encoding made from the pixels, at
// every sampling, at sizes that need padding on the right and at the
// bottom, for a target met at 100, in the middle, and never.
TEST(JpegSizeSearch, KeptFileIsTheEncodingOfThePixels)
{
    ScratchFolder folder;
    Palette palette{};
    for (auto [width, height] : {std::pair{1, 1}, std::pair{7, 3}, std::pair{17, 9}, std::pair{33, 35}, std::pair{64, 48}}) {
        auto pixels = test::noise(static_cast<std::size_t>(rowLayout(width, height, 24).imageSize),
                                  static_cast<std::uint32_t>(width * 131 + height));
        for (int sampling : {0, 1, 2}) {
            WriterFor set(width, height, 24);
            set.encoding = jpegEncoding(50, sampling);
            std::vector<std::uint8_t> middle;
            std::size_t middleLength = 0;
            ASSERT_TRUE(EncodeJpegToMemory(set.view(palette, pixels), set.encoding, middle, middleLength).ok());
            for (std::int64_t limit : {std::int64_t{1} << 30, static_cast<std::int64_t>(middleLength), std::int64_t{10}}) {
                const fs::path path = folder / "kept.jpg";
                ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, set.encoding, limit, &set.search).ok());
                std::vector<std::uint8_t> expected;
                std::size_t length = 0;
                const JpegEncoding at = jpegEncoding(set.search.writtenQuality, sampling);
                ASSERT_TRUE(EncodeJpegToMemory(set.view(palette, pixels), at, expected, length).ok());
                expected.resize(length);
                EXPECT_EQ(readBytes(path), expected) << width << "x" << height << " sampling " << sampling
                                                     << " quality " << set.search.writtenQuality;
            }
        }
    }
}

// The search's trials run two at a time, on guesses about the next quality,
// and remember what they found: whatever the guesses, the qualities tried,
// the quality written and the file are those of one plain encode per trial.
TEST(JpegSizeSearch, TrialsRunAheadChangeNothing)
{
    ScratchFolder folder;
    Palette palette{};
    const int width = 96, height = 80;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width * height * 3));
    const auto grain = test::noise(rgb.size(), 7);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>(((i / 3) % width) * 2 + (i % 3) * 40 + grain[i] / 8);
    const auto pixels = dibFromRgb(rgb, width, height);
    for (int sampling : {0, 2}) {
        WriterFor set(width, height, 24);
        auto encodedAt = [&](std::int32_t quality, std::vector<std::uint8_t>& bytes) {
            std::size_t length = 0;
            EXPECT_TRUE(EncodeJpegToMemory(set.view(palette, pixels), jpegEncoding(quality, sampling), bytes, length).ok());
            bytes.resize(length);
            return static_cast<std::int64_t>(length);
        };
        std::vector<std::int64_t> limits{10, std::int64_t{1} << 30};
        std::vector<std::uint8_t> bytes;
        for (std::int32_t quality : {1, 4, 12, 25, 40, 60, 75, 90, 100}) {
            const std::int64_t length = encodedAt(quality, bytes);
            limits.insert(limits.end(), {length, length - 1, length + 300});
        }
        for (std::int64_t limit : limits) {
            SizeSearchRecord plain;
            plain.writtenQuality = SearchQuality({}, limit, [&](std::int32_t quality, std::size_t& length) {
                plain.qualitiesTried.push_back(quality);
                length = static_cast<std::size_t>(encodedAt(quality, bytes));
                return true;
            });
            const fs::path path = folder / "kept.jpg";
            ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, jpegEncoding(50, sampling), limit, &set.search).ok());
            EXPECT_EQ(set.search.qualitiesTried, plain.qualitiesTried) << "limit " << limit;
            EXPECT_EQ(set.search.writtenQuality, plain.writtenQuality) << "limit " << limit;
            encodedAt(plain.writtenQuality, bytes);
            EXPECT_EQ(readBytes(path), bytes) << "limit " << limit << " sampling " << sampling;
            fs::remove(path);
        }
    }
}

}  // namespace
}  // namespace vrelk
