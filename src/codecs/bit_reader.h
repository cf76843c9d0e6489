// Fields of a coded stream's headers, read most significant bit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vrelk {

// A header's fields, most significant bit first. A read that would pass
// the end fails, and so does every read after it, giving 0: a header is
// read through and judged once, by ok().
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t bits(int count)
    {
        if (count < 0 || count > 32 || !has(static_cast<std::size_t>(count))) {
            failed_ = true;
            return 0;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++position_)
            value = value << 1 | (bytes_[position_ >> 3] >> (7 - (position_ & 7)) & 1u);
        return value;
    }

    bool flag() { return bits(1) != 0; }

    void skip(std::size_t count)
    {
        if (has(count))
            position_ += count;
        else
            failed_ = true;
    }

    // ue(v), HEVC's exp-Golomb code, of values below 2^32 - 1.
    std::uint32_t expGolomb()
    {
        int zeros = 0;
        while (bits(1) == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return (1u << zeros) - 1 + bits(zeros);
    }

    // uvlc(), AV1's form of the same code, as dav1d reads it: 32 zeros
    // stand for the largest value, and nothing after them is read.
    std::uint32_t uvlc()
    {
        int zeros = 0;
        while (bits(1) == 0) {
            if (failed_)
                return 0;
            if (++zeros == 32)
                return 0xFFFFFFFF;
        }
        return (1u << zeros) - 1 + bits(zeros);
    }

    bool ok() const { return !failed_; }

private:
    bool has(std::size_t count) const { return count <= bytes_.size() * 8 - position_; }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

}  // namespace vrelk
