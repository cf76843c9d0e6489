#include "codecs/icc_profile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include <libdeflate.h>
#include <zlib.h>

#include "codecs/byte_cursor.h"

namespace vrelk {
namespace {

constexpr std::array<std::uint8_t, 12> kIccSegmentMark{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
constexpr std::size_t kChunkHeaderBytes = kIccSegmentMark.size() + 2;
// Header (128) and tag count (4).
constexpr std::size_t kMinProfileBytes = 132;
constexpr std::size_t kSignatureOffset = 36;
constexpr std::array<std::uint8_t, 4> kProfileSignature{'a', 'c', 's', 'p'};

// iCCP: a name of 1 to 79 bytes, its terminating zero, compression method 0.
constexpr std::size_t kMaxIccpNameBytes = 79;
constexpr char kIccpName[] = "ICC profile";
// Compressed profiles are small; the buffer grows from here as needed.
constexpr std::size_t kFirstInflateBytes = 1 << 16;
constexpr int kIccpCompressionLevel = 9;

struct ChunkView {
    unsigned sequence;
    unsigned count;
    std::span<const std::uint8_t> bytes;
};

// Inflates a zlib stream into at most `limit` bytes; empty when the stream
// is damaged, incomplete or longer.
std::vector<std::uint8_t> inflateBounded(std::span<const std::uint8_t> compressed, std::size_t limit)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return {};
    std::vector<std::uint8_t> out(std::min(kFirstInflateBytes, limit + 1));
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(compressed.size(), 0xFFFFFFFFu));
    int result = Z_OK;
    std::size_t produced = 0;
    while (result == Z_OK) {
        if (produced == out.size()) {
            if (out.size() > limit)
                break;
            out.resize(std::min(out.size() * 2, limit + 1));
        }
        stream.next_out = out.data() + produced;
        stream.avail_out = static_cast<uInt>(out.size() - produced);
        result = inflate(&stream, Z_NO_FLUSH);
        produced = out.size() - stream.avail_out;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced > limit)
        return {};
    out.resize(produced);
    return out;
}

}  // namespace

bool IccProfileLooksWhole(std::span<const std::uint8_t> icc)
{
    if (icc.size() < kMinProfileBytes || icc.size() > kMaxIccProfileBytes)
        return false;
    return LoadU32BE(icc.data()) == icc.size() &&
           std::equal(kProfileSignature.begin(), kProfileSignature.end(), icc.begin() + kSignatureOffset);
}

bool IsJpegIccSegment(std::span<const std::uint8_t> payload)
{
    return payload.size() >= kChunkHeaderBytes &&
           std::equal(kIccSegmentMark.begin(), kIccSegmentMark.end(), payload.begin());
}

std::vector<std::uint8_t> AssembleJpegIccProfile(std::span<const std::span<const std::uint8_t>> payloads)
{
    std::array<std::span<const std::uint8_t>, 256> chunks{};
    std::array<bool, 256> seen{};
    unsigned count = 0;
    std::size_t total = 0;
    for (std::span<const std::uint8_t> payload : payloads) {
        if (!IsJpegIccSegment(payload))
            continue;
        const unsigned sequence = payload[12];
        const unsigned chunkCount = payload[13];
        if (chunkCount == 0 || (count != 0 && chunkCount != count) || sequence == 0 || sequence > chunkCount ||
            seen[sequence])
            return {};
        count = chunkCount;
        seen[sequence] = true;
        chunks[sequence] = payload.subspan(kChunkHeaderBytes);
        total += chunks[sequence].size();
    }
    if (count == 0 || total > kMaxIccProfileBytes)
        return {};
    std::vector<std::uint8_t> profile;
    profile.reserve(total);
    for (unsigned sequence = 1; sequence <= count; ++sequence) {
        if (!seen[sequence])
            return {};
        profile.insert(profile.end(), chunks[sequence].begin(), chunks[sequence].end());
    }
    if (!IccProfileLooksWhole(profile))
        return {};
    return profile;
}

std::vector<std::vector<std::uint8_t>> SplitJpegIccProfile(std::span<const std::uint8_t> icc)
{
    if (icc.empty() || icc.size() > kMaxIccProfileBytes)
        return {};
    const std::size_t count = (icc.size() + kJpegIccChunkBytes - 1) / kJpegIccChunkBytes;
    std::vector<std::vector<std::uint8_t>> segments(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> part =
            icc.subspan(i * kJpegIccChunkBytes, std::min(kJpegIccChunkBytes, icc.size() - i * kJpegIccChunkBytes));
        std::vector<std::uint8_t>& segment = segments[i];
        segment.reserve(kChunkHeaderBytes + part.size());
        segment.assign(kIccSegmentMark.begin(), kIccSegmentMark.end());
        segment.push_back(static_cast<std::uint8_t>(i + 1));
        segment.push_back(static_cast<std::uint8_t>(count));
        segment.insert(segment.end(), part.begin(), part.end());
    }
    return segments;
}

std::vector<std::uint8_t> ProfileFromIccpChunk(std::span<const std::uint8_t> data)
{
    const auto nameEnd = std::find(data.begin(), data.begin() + std::min(data.size(), kMaxIccpNameBytes + 1), 0);
    const auto nameBytes = static_cast<std::size_t>(nameEnd - data.begin());
    if (nameBytes == 0 || nameBytes > kMaxIccpNameBytes || data.size() < nameBytes + 2 || data[nameBytes + 1] != 0)
        return {};
    std::vector<std::uint8_t> profile = inflateBounded(data.subspan(nameBytes + 2), kMaxIccProfileBytes);
    if (!IccProfileLooksWhole(profile))
        return {};
    return profile;
}

std::vector<std::uint8_t> IccpChunkData(std::span<const std::uint8_t> icc)
{
    struct CompressorDeleter {
        void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
    };
    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(kIccpCompressionLevel));
    if (!compressor)
        return {};
    const std::size_t head = sizeof(kIccpName) + 1;  // name, its zero, the method
    std::vector<std::uint8_t> data(head + libdeflate_zlib_compress_bound(compressor.get(), icc.size()));
    std::memcpy(data.data(), kIccpName, sizeof(kIccpName));
    data[sizeof(kIccpName)] = 0;
    const std::size_t written =
        libdeflate_zlib_compress(compressor.get(), icc.data(), icc.size(), data.data() + head, data.size() - head);
    if (written == 0)
        return {};
    data.resize(head + written);
    return data;
}

}  // namespace vrelk
