#include "codecs/jpeg_icc.h"

#include "codecs/icc_profile.h"

namespace vrelk {
namespace {

constexpr int kApp2 = JPEG_APP0 + 2;

std::vector<std::span<const std::uint8_t>> savedApp2Payloads(const jpeg_decompress_struct& info)
{
    std::vector<std::span<const std::uint8_t>> payloads;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next)
        if (marker->marker == kApp2)
            payloads.emplace_back(marker->data, marker->data_length);
    return payloads;
}

}  // namespace

void KeepIccSegments(jpeg_decompress_struct& info) { jpeg_save_markers(&info, kApp2, 0xFFFF); }

std::vector<std::uint8_t> SavedIccProfile(const jpeg_decompress_struct& info)
{
    return AssembleJpegIccProfile(savedApp2Payloads(info));
}

void WriteIccProfile(jpeg_compress_struct& info, std::span<const std::uint8_t> icc)
{
    for (const std::vector<std::uint8_t>& segment : SplitJpegIccProfile(icc))
        jpeg_write_marker(&info, kApp2, segment.data(), static_cast<unsigned>(segment.size()));
}

void CopyIccSegments(const jpeg_decompress_struct& source, jpeg_compress_struct& target)
{
    const std::vector<std::span<const std::uint8_t>> payloads = savedApp2Payloads(source);
    if (AssembleJpegIccProfile(payloads).empty())
        return;
    for (std::span<const std::uint8_t> payload : payloads)
        if (IsJpegIccSegment(payload))
            jpeg_write_marker(&target, kApp2, payload.data(), static_cast<unsigned>(payload.size()));
}

}  // namespace vrelk
