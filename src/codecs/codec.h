// The shape every reader and writer shares: one way to report failure.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "pixel/image.h"

namespace vrelk {

// Why a reader or writer gave up. The numbers are the codec error codes the
// program has always used; the PNG codec adds its own from 9 on.
enum class CodecError : std::int32_t {
    noMemory = 1,
    unsupported = 2,  // a variant this program does not read, or too large
    cannotOpen = 4,
    cannotCreate = 5,
    badData = 6,      // damaged, truncated or not of the format
    writeFailed = 7,  // a short write, or pixels the writer cannot take
    pngBadCrc = 9,
    pngChunkTooLong = 10,
    pngHeaderLength = 11,
    pngHeaderMissing = 12,
    pngBadColourType = 14,
    pngBadBitDepth = 15,
    pngBadCompression = 16,
    pngBadFilterMethod = 17,
    pngBadInterlace = 18,
    pngChunkOrder = 20,
    pngMissingData = 21,
    pngBrokenDataRun = 22,
    pngZlib = 23,
    pngDeflate = 24,
};

// A few words for a person: "unrecognised format", "damaged file", ...
std::string_view describe(CodecError error);

// Either a value or the reason there is none.
template <class T, class E = CodecError>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(E error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const E& error() const { return std::get<1>(state_); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    T& operator*() { return value(); }

private:
    std::variant<T, E> state_;
};

// Success, or the reason of a failure.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(CodecError error) : error_(error) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    CodecError error() const { return *error_; }

private:
    std::optional<CodecError> error_;
};

// Runs a codec's work so that memory exhaustion inside the standard library
// comes back as noMemory: no exception leaves a codec.
template <class Work>
auto withoutExceptions(Work&& work) -> decltype(work())
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return CodecError::noMemory;
    } catch (const std::length_error&) {
        return CodecError::noMemory;
    }
}

// A zero-filled image of width x height at `bits` per pixel in the standard
// row layout. Sizes outside 1..kMaxDimension are unsupported.
Result<DibImage> allocateImage(std::int32_t width, std::int32_t height, int bits, FormatCode source);

// The image's pixels as 24-bit rows: its own when they already are, else
// `converted` filled through the palette.
Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted);

}  // namespace vrelk
