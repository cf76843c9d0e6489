// Reading back what the program wrote: bitmaps as pixels, signatures.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace wine_harness {

using Bytes = std::vector<unsigned char>;

struct BmpPicture {
    int width = 0;
    int height = 0;
    int bits = 0;
    Bytes rgb;  // top row first
};

inline std::uint32_t littleEndian(const Bytes& b, std::size_t at, int count)
{
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | (at + i < b.size() ? b[at + i] : 0);
    return value;
}

// 8-bit (palette at 54) or 24-bit bottom-up bitmaps, as the program and
// Pillow write them; an empty picture for anything else.
inline BmpPicture parseBmp(const Bytes& b)
{
    BmpPicture p;
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M')
        return p;
    p.width = static_cast<int>(littleEndian(b, 18, 4));
    p.height = static_cast<int>(littleEndian(b, 22, 4));
    p.bits = static_cast<int>(littleEndian(b, 28, 2));
    if (p.width <= 0 || p.height <= 0 || (p.bits != 8 && p.bits != 24))
        return BmpPicture{};
    const std::size_t offset = littleEndian(b, 10, 4);
    const std::size_t stride = (static_cast<std::size_t>(p.width) * p.bits / 8 + 3) & ~std::size_t{3};
    if (offset + stride * p.height > b.size())
        return BmpPicture{};
    for (int y = 0; y < p.height; ++y) {
        const std::size_t row = offset + static_cast<std::size_t>(p.height - 1 - y) * stride;
        for (int x = 0; x < p.width; ++x) {
            const std::size_t at = p.bits == 24 ? row + 3 * x : 54 + 4 * std::size_t{b[row + x]};
            p.rgb.insert(p.rgb.end(), {b[at + 2], b[at + 1], b[at]});
        }
    }
    return p;
}

// The largest channel difference; 256 when the sizes differ or nothing is there.
inline int largestDifference(const Bytes& a, const Bytes& b)
{
    if (a.size() != b.size() || a.empty())
        return 256;
    int largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        largest = std::max(largest, std::abs(int{a[i]} - int{b[i]}));
    return largest;
}

inline bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

}  // namespace wine_harness
