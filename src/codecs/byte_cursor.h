// The one way readers look at their input: a bounded cursor over the bytes
// read into memory, whose every read says whether it could be made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "picture/byte_order.h"

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

}  // namespace vrelk
