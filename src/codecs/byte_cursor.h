// The one way readers look at their input: a bounded cursor over the mapped
// file whose every read says whether it could be made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vrelk {

class ByteCursor {
public:
    ByteCursor() = default;
    explicit ByteCursor(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t size() const { return data_.size(); }
    std::size_t offset() const { return position_; }
    std::size_t left() const { return data_.size() - position_; }
    bool has(std::size_t count) const { return count <= left(); }
    bool atEnd() const { return position_ == data_.size(); }
    std::span<const std::uint8_t> whole() const { return data_; }
    std::span<const std::uint8_t> rest() const { return data_.subspan(position_); }

    // These fail, leaving the cursor where it was, when the target lies
    // beyond the end.
    [[nodiscard]] bool seek(std::size_t offset);
    [[nodiscard]] bool skip(std::size_t count);
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> take(std::size_t count);
    // The next bytes without consuming them.
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> peek(std::size_t count) const;

    [[nodiscard]] std::optional<std::uint8_t> u8();
    [[nodiscard]] std::optional<std::uint16_t> u16le();
    [[nodiscard]] std::optional<std::uint16_t> u16be();
    [[nodiscard]] std::optional<std::uint32_t> u32le();
    [[nodiscard]] std::optional<std::uint32_t> u32be();

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

// The byte order of a file that declares its own, chosen once per file.
struct ByteOrderReaders {
    std::optional<std::uint16_t> (ByteCursor::*read16)();
    std::optional<std::uint32_t> (ByteCursor::*read32)();

    std::optional<std::uint16_t> u16(ByteCursor& in) const { return (in.*read16)(); }
    std::optional<std::uint32_t> u32(ByteCursor& in) const { return (in.*read32)(); }
};
inline constexpr ByteOrderReaders kLittleEndianReaders{&ByteCursor::u16le, &ByteCursor::u32le};
inline constexpr ByteOrderReaders kBigEndianReaders{&ByteCursor::u16be, &ByteCursor::u32be};

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
