// Integers stored in a given byte order, at places the caller has already
// bounds-checked: file headers, colour profiles, plug-in blocks.
#pragma once

#include <cstdint>
#include <vector>

namespace vrelk {

// Values at a place the caller has already bounds-checked.
constexpr std::uint16_t LoadU16LE(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr std::uint16_t LoadU16BE(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

constexpr std::uint32_t LoadU32LE(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

constexpr std::uint32_t LoadU32BE(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
           std::uint32_t{bytes[3]};
}

constexpr void StoreU16LE(std::uint8_t* to, std::uint32_t value)
{
    to[0] = static_cast<std::uint8_t>(value);
    to[1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void StoreU32LE(std::uint8_t* to, std::uint32_t value)
{
    StoreU16LE(to, value & 0xFFFF);
    StoreU16LE(to + 2, value >> 16);
}

inline void AppendU16LE(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    std::uint8_t bytes[2];
    StoreU16LE(bytes, value);
    out.insert(out.end(), bytes, bytes + 2);
}

inline void AppendU32LE(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    std::uint8_t bytes[4];
    StoreU32LE(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

constexpr void StoreU32BE(std::uint8_t* to, std::uint32_t value)
{
    to[0] = static_cast<std::uint8_t>(value >> 24);
    to[1] = static_cast<std::uint8_t>(value >> 16);
    to[2] = static_cast<std::uint8_t>(value >> 8);
    to[3] = static_cast<std::uint8_t>(value);
}

constexpr std::uint16_t Swap16(std::uint16_t value)
{
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

constexpr std::uint32_t Swap32(std::uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

}  // namespace vrelk
