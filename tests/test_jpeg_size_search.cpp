// The JPEG writer's size target: the search over real encodings, the
// component planes its trials share, and its guesses at the next trial.
#include <gtest/gtest.h>

#include <algorithm>

#include "codecs/jpeg.h"
#include "platform/worker_slots.h"
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
    EXPECT_EQ(written, 7);
    EXPECT_NE(std::find(tried.begin(), tried.end(), 8), tried.end()) << "the next quality up was seen not to fit";
    EXPECT_LE(tried.size(), 8u);
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
// and remember what they found: whatever the guesses, the qualities tried
// are those of a search without guesses, and the file is the plain encode
// of the highest quality that fits.
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
        std::vector<std::int64_t> lengths(101);
        for (std::int32_t quality = 1; quality <= 100; ++quality)
            lengths[static_cast<std::size_t>(quality)] = encodedAt(quality, bytes);
        for (std::int64_t limit : limits) {
            std::int32_t highestFitting = 1;
            for (std::int32_t quality = 1; quality <= 100; ++quality)
                if (lengths[static_cast<std::size_t>(quality)] <= limit)
                    highestFitting = quality;
            const fs::path path = folder / "kept.jpg";
            platform::WorkerSlots none(0);
            JpegEncoding unguessed = jpegEncoding(50, sampling);
            unguessed.workers = &none;
            SizeSearchRecord plain;
            ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, unguessed, limit, &plain).ok());
            fs::remove(path);
            ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, jpegEncoding(50, sampling), limit, &set.search).ok());
            EXPECT_EQ(set.search.qualitiesTried, plain.qualitiesTried) << "limit " << limit;
            EXPECT_EQ(set.search.writtenQuality, plain.writtenQuality) << "limit " << limit;
            EXPECT_EQ(plain.writtenQuality, highestFitting) << "limit " << limit;
            encodedAt(plain.writtenQuality, bytes);
            EXPECT_EQ(readBytes(path), bytes) << "limit " << limit << " sampling " << sampling;
            fs::remove(path);
        }
    }
}

// A picture large enough for the search to aim its first trial by a
// sketch of its rows: the file kept is still the plain encoding of the
// highest quality that fits, and the aim saves trials.
TEST(JpegSizeSearch, SketchAimedSearchKeepsTheHighestFittingEncoding)
{
    ScratchFolder folder;
    Palette palette{};
    const int width = 1024, height = 1024;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width * height * 3));
    const auto grain = test::noise(rgb.size(), 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        const std::size_t x = (i / 3) % width, y = i / 3 / width;
        rgb[i] = static_cast<std::uint8_t>((x * (1 + i % 3) + y * 2) / 9 + grain[i] / 16);
    }
    const auto pixels = dibFromRgb(rgb, width, height);
    WriterFor set(width, height, 24);
    auto encodedAt = [&](std::int32_t quality, std::vector<std::uint8_t>& bytes) {
        std::size_t length = 0;
        EXPECT_TRUE(EncodeJpegToMemory(set.view(palette, pixels), jpegEncoding(quality, 0), bytes, length).ok());
        bytes.resize(length);
        return static_cast<std::int64_t>(length);
    };
    std::vector<std::uint8_t> bytes;
    for (std::int32_t aimedAt : {12, 47, 83}) {
        const std::int64_t limit = encodedAt(aimedAt, bytes) + 100;
        platform::WorkerSlots none(0);
        JpegEncoding encoding = jpegEncoding(50, 0);
        encoding.workers = &none;
        const fs::path path = folder / "aimed.jpg";
        ASSERT_TRUE(WriteJpegWithByteLimit(set.view(palette, pixels), path, encoding, limit, &set.search).ok());
        const std::int32_t written = set.search.writtenQuality;
        EXPECT_GE(written, aimedAt);
        EXPECT_LE(set.search.qualitiesTried.size(), 4u) << "limit " << limit;
        encodedAt(written, bytes);
        EXPECT_EQ(readBytes(path), bytes) << "limit " << limit;
        EXPECT_GT(encodedAt(written + 1, bytes), limit) << "limit " << limit;
        fs::remove(path);
    }
}

}  // namespace
}  // namespace vrelk
