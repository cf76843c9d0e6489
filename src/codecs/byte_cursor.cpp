#include "codecs/byte_cursor.h"

namespace vrelk {

bool ByteCursor::seek(std::size_t offset)
{
    if (offset > data_.size())
        return false;
    position_ = offset;
    return true;
}

bool ByteCursor::skip(std::size_t count)
{
    if (!has(count))
        return false;
    position_ += count;
    return true;
}

std::optional<std::span<const std::uint8_t>> ByteCursor::peek(std::size_t count) const
{
    if (!has(count))
        return std::nullopt;
    return data_.subspan(position_, count);
}

std::optional<std::span<const std::uint8_t>> ByteCursor::take(std::size_t count)
{
    auto bytes = peek(count);
    if (bytes)
        position_ += count;
    return bytes;
}

std::optional<std::uint8_t> ByteCursor::u8()
{
    if (auto bytes = take(1))
        return (*bytes)[0];
    return std::nullopt;
}

std::optional<std::uint16_t> ByteCursor::u16le()
{
    if (auto bytes = take(2))
        return LoadU16LE(bytes->data());
    return std::nullopt;
}

std::optional<std::uint16_t> ByteCursor::u16be()
{
    if (auto bytes = take(2))
        return LoadU16BE(bytes->data());
    return std::nullopt;
}

std::optional<std::uint32_t> ByteCursor::u32le()
{
    if (auto bytes = take(4))
        return LoadU32LE(bytes->data());
    return std::nullopt;
}

std::optional<std::uint32_t> ByteCursor::u32be()
{
    if (auto bytes = take(4))
        return LoadU32BE(bytes->data());
    return std::nullopt;
}

}  // namespace vrelk
