// Tables built once per batch: alpha blending for the PNG reader, and the
// divide, scaled-difference and clamp tables of the sharpening filter.
#pragma once

#include <array>
#include <cstdint>

namespace vrelk {

struct LookupTables {
    LookupTables() = default;
    LookupTables(const LookupTables&) = delete;
    LookupTables& operator=(const LookupTables&) = delete;

    static constexpr int kClampOffset = 1600;
    static constexpr int kClampSize = 3444;

    // blendTable[i][j] ~ i * j / 255.
    std::array<std::array<std::uint8_t, 256>, 256> blendTable{};
    // div25Table[n] ~ n / 25 for n in 0..6375 (= 25 * 255).
    std::array<std::uint8_t, 6376> div25Table{};
    // scaledDiffTable[r][k] = ((k - 128) * r) >> 3.
    std::array<std::array<std::int16_t, 256>, 101> scaledDiffTable{};
    std::array<std::uint8_t, kClampSize> clampTable{};
    // clampBase[v] for v in -1600..1843: v limited to 0..255.
    const std::uint8_t* clampBase = nullptr;
};

void buildBlendTable(LookupTables& tables);
const std::uint8_t* buildScaledDiffTable(LookupTables& tables);
void buildDiv25Table(LookupTables& tables);

// All three builders in their order.
void buildLookupTables(LookupTables& tables);

}  // namespace vrelk
