#include "pixel/lookup_tables.h"

namespace vrelk {

void buildBlendTable(LookupTables& tables)
{
    auto& blend = tables.blendTable;
    for (int i = 0; i < 256; ++i) {
        blend[0][i] = blend[i][0] = 0;
        blend[255][i] = blend[i][255] = static_cast<std::uint8_t>(i);
    }
    for (std::uint32_t i = 1; i <= 254; ++i) {
        std::uint32_t scaled = (65536u * i) / 255u;
        for (std::uint32_t j = i; j <= 254; ++j) {
            auto value = static_cast<std::uint8_t>((scaled * j + 32768u) >> 16);
            blend[i][j] = blend[j][i] = value;
        }
    }
}

const std::uint8_t* buildScaledDiffTable(LookupTables& tables)
{
    for (int r = 0; r <= 100; ++r)
        for (int k = 0; k < 256; ++k)
            tables.scaledDiffTable[r][k] = static_cast<std::int16_t>(((k - 128) * r) >> 3);

    for (int index = 0; index < LookupTables::kClampSize; ++index) {
        int value = index - LookupTables::kClampOffset;
        tables.clampTable[index] = static_cast<std::uint8_t>(value <= 0 ? 0 : value >= 255 ? 255 : value);
    }
    tables.clampBase = tables.clampTable.data() + LookupTables::kClampOffset;
    return tables.clampBase;
}

void buildDiv25Table(LookupTables& tables)
{
    tables.div25Table[0] = 0;
    for (std::uint32_t n = 1; n < tables.div25Table.size(); ++n)
        tables.div25Table[n] = static_cast<std::uint8_t>((2621u * n + 32768u) >> 16);
}

void buildLookupTables(LookupTables& tables)
{
    buildBlendTable(tables);
    buildScaledDiffTable(tables);
    buildDiv25Table(tables);
}

}  // namespace vrelk
