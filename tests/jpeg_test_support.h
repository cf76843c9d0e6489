// JPEG files made and taken apart with libjpeg directly, independently of
// the program's codec, for the JPEG tests.
#pragma once

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

namespace vrelk::test {

struct JpegRecipe {
    int width = 16;
    int height = 16;
    int components = 3;
    J_COLOR_SPACE space = JCS_RGB;
    int quality = 90;
    bool progressive = false;
    std::uint8_t densityUnit = 0;
    std::uint16_t xDensity = 1;
    std::uint16_t yDensity = 1;
    std::vector<std::pair<int, std::string>> markers;  // marker code, payload
    std::vector<std::uint8_t> icc;  // written by libjpeg's own ICC support
};

// `samples` are interleaved in the recipe's colour space, top row first.
inline std::vector<std::uint8_t> makeJpeg(const JpegRecipe& recipe, const std::vector<std::uint8_t>& samples)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = static_cast<JDIMENSION>(recipe.width);
    info.image_height = static_cast<JDIMENSION>(recipe.height);
    info.input_components = recipe.components;
    info.in_color_space = recipe.space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, recipe.quality, TRUE);
    if (recipe.progressive)
        jpeg_simple_progression(&info);
    info.density_unit = recipe.densityUnit;
    info.X_density = recipe.xDensity;
    info.Y_density = recipe.yDensity;
    jpeg_start_compress(&info, TRUE);
    if (!recipe.icc.empty())
        jpeg_write_icc_profile(&info, recipe.icc.data(), static_cast<unsigned>(recipe.icc.size()));
    for (const auto& [code, payload] : recipe.markers)
        jpeg_write_marker(&info, code, reinterpret_cast<const JOCTET*>(payload.data()),
                          static_cast<unsigned>(payload.size()));
    const std::size_t rowSize = static_cast<std::size_t>(recipe.width * recipe.components);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + info.next_scanline * rowSize);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<std::uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

struct DecodedJpeg {
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<std::uint8_t> samples;  // RGB or grey, top row first
};

// Default decoding; components 0 when libjpeg refuses the data.
inline DecodedJpeg decodeJpeg(const std::vector<std::uint8_t>& bytes)
{
    struct Error {
        jpeg_error_mgr library;
        std::jmp_buf jump;
    } error{};
    DecodedJpeg decoded;
    jpeg_decompress_struct info{};
    info.err = jpeg_std_error(&error.library);
    error.library.error_exit = [](j_common_ptr object) { std::longjmp(reinterpret_cast<Error*>(object->err)->jump, 1); };
    error.library.output_message = [](j_common_ptr) {};
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return DecodedJpeg{};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    decoded.width = static_cast<int>(info.output_width);
    decoded.height = static_cast<int>(info.output_height);
    decoded.components = info.output_components;
    decoded.samples.resize(static_cast<std::size_t>(decoded.width) * decoded.height * decoded.components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = decoded.samples.data() + static_cast<std::size_t>(info.output_scanline) * decoded.width *
                                                    decoded.components;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return decoded;
}

struct Coefficients {
    std::vector<std::vector<std::uint16_t>> quantTables;  // of each component
    std::vector<std::vector<JCOEF>> blocks;               // of each component
};

inline Coefficients readCoefficients(const std::vector<std::uint8_t>& bytes)
{
    Coefficients result;
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
    for (int c = 0; c < info.num_components; ++c) {
        jpeg_component_info& component = info.comp_info[c];
        result.quantTables.emplace_back(component.quant_table->quantval, component.quant_table->quantval + DCTSIZE2);
        std::vector<JCOEF>& blocks = result.blocks.emplace_back();
        for (JDIMENSION y = 0; y < component.height_in_blocks; ++y) {
            JBLOCKARRAY row = (*info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&info), arrays[c], y, 1,
                                                                FALSE);
            for (JDIMENSION x = 0; x < component.width_in_blocks; ++x)
                blocks.insert(blocks.end(), row[0][x], row[0][x] + DCTSIZE2);
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return result;
}

struct Segment {
    std::uint8_t marker = 0;
    std::vector<std::uint8_t> payload;  // without the length field
};

// The markers of a file in order, entropy-coded data skipped.
inline std::vector<Segment> jpegSegments(const std::vector<std::uint8_t>& bytes)
{
    std::vector<Segment> segments;
    std::size_t at = 2;
    segments.push_back({0xD8, {}});
    while (at + 1 < bytes.size()) {
        if (bytes[at] != 0xFF) {
            ++at;
            continue;
        }
        std::uint8_t marker = bytes[at + 1];
        if (marker == 0x00 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD7)) {
            ++at;
            continue;
        }
        at += 2;
        if (marker == 0xD9) {
            segments.push_back({marker, {}});
            break;
        }
        if (at + 2 > bytes.size())
            break;
        std::size_t length = std::size_t{bytes[at]} << 8 | bytes[at + 1];
        if (length < 2 || at + length > bytes.size())
            break;
        segments.push_back({marker, std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                                              bytes.begin() + static_cast<std::ptrdiff_t>(at + length))});
        at += length;
    }
    return segments;
}

// Sampling factors (horizontal, vertical) of each component, from the frame header.
inline std::vector<std::pair<int, int>> samplingFactors(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::pair<int, int>> factors;
    for (const Segment& segment : jpegSegments(bytes)) {
        if (segment.marker < 0xC0 || segment.marker > 0xC2 || segment.payload.size() < 6)
            continue;
        int count = segment.payload[5];
        for (int c = 0; c < count && 6 + 3 * c + 2 < static_cast<int>(segment.payload.size()); ++c) {
            std::uint8_t f = segment.payload[static_cast<std::size_t>(6 + 3 * c + 1)];
            factors.emplace_back(f >> 4, f & 15);
        }
    }
    return factors;
}

// A file whose frame header claims another size: the entropy data runs out
// early and libjpeg fills the rest.
inline std::vector<std::uint8_t> withFrameSize(std::vector<std::uint8_t> bytes, int width, int height)
{
    for (std::size_t at = 2; at + 9 < bytes.size(); ++at) {
        if (bytes[at] == 0xFF && bytes[at + 1] >= 0xC0 && bytes[at + 1] <= 0xC2) {
            bytes[at + 5] = static_cast<std::uint8_t>(height >> 8);
            bytes[at + 6] = static_cast<std::uint8_t>(height);
            bytes[at + 7] = static_cast<std::uint8_t>(width >> 8);
            bytes[at + 8] = static_cast<std::uint8_t>(width);
            break;
        }
    }
    return bytes;
}

// Deterministic noise.
inline std::vector<std::uint8_t> noise(std::size_t count, std::uint32_t seed = 12345)
{
    std::vector<std::uint8_t> out(count);
    for (std::uint8_t& byte : out) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

// A smooth colour picture with distinct corners, RGB, top row first.
inline std::vector<std::uint8_t> gradient(int width, int height)
{
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(width * height * 3));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            out.push_back(static_cast<std::uint8_t>(x * 255 / std::max(width - 1, 1)));
            out.push_back(static_cast<std::uint8_t>(y * 255 / std::max(height - 1, 1)));
            out.push_back(static_cast<std::uint8_t>(128 + (x - y) / 4));
        }
    return out;
}

}  // namespace vrelk::test
