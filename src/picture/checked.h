// Size arithmetic that cannot wrap, and the one size cap every reader uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace vrelk {

// Readers accept widths and heights of 1 to this many pixels.
inline constexpr std::int32_t kMaxDimension = 25000;

constexpr bool dimensionAllowed(std::int64_t length) { return length >= 1 && length <= kMaxDimension; }

constexpr bool dimensionsAllowed(std::int64_t width, std::int64_t height)
{
    return dimensionAllowed(width) && dimensionAllowed(height);
}

template <class T>
constexpr bool isNegative(T value)
{
    if constexpr (std::is_signed_v<T>)
        return value < 0;
    else
        return false;
}

// nullopt when an operand is negative or the true result does not fit
// std::size_t.
template <class A, class B>
constexpr std::optional<std::size_t> checkedMul(A a, B b)
{
    std::size_t result = 0;
    if (isNegative(a) || isNegative(b) || __builtin_mul_overflow(a, b, &result))
        return std::nullopt;
    return result;
}

template <class A, class B>
constexpr std::optional<std::size_t> checkedAdd(A a, B b)
{
    std::size_t result = 0;
    if (isNegative(a) || isNegative(b) || __builtin_add_overflow(a, b, &result))
        return std::nullopt;
    return result;
}

// True when [offset, offset + count) lies inside a buffer of `size` bytes.
constexpr bool rangeInside(std::uint64_t offset, std::uint64_t count, std::uint64_t size)
{
    return offset <= size && count <= size - offset;
}

}  // namespace vrelk
