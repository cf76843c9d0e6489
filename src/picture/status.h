// One way to report failure, for the pixel routines and the codecs alike:
// a value or Status, or the named reason there is none.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

namespace vrelk {

// Why a pixel routine, a reader or a writer gave up. The numbers are the codec error codes the
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

// Runs a codec's or pixel routine's work so that memory exhaustion inside
// the standard library comes back as noMemory: no exception leaves them.
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

}  // namespace vrelk
