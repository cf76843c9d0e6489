// One way to report failure, for the pixel routines and the codecs alike:
// a value or Status, or the named reason there is none.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>

namespace vrelk {

// Why a pixel routine, a reader or a writer gave up, named by cause. The
// first numbers are the codec error codes the program has always used; the
// PNG reader adds its own from 9 on, each a kind of damage it found.
enum class CodecError : std::int32_t {
    noMemory = 1,
    unsupported = 2,    // a variant of the format this program does not read
    notThisFormat = 3,  // the file does not carry the format's signature
    cannotOpen = 4,
    cannotCreate = 5,
    damaged = 6,        // the data contradicts itself or its format
    cannotWrite = 7,    // a short write, or pixels the writer cannot take
    truncated = 8,      // the data ends before the picture does
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
    tooLarge = 25,      // sides beyond the size cap, or a need beyond any budget
    nameTooLong = 26,   // a path beyond what the system takes
    symlinkLoop = 27,   // symbolic links that lead round in a circle
    noSpace = 28,       // the disk (or the user's quota) is full
    badSizeSetting = 29,  // a reduction to less than one pixel
};

// Either a value or the reason there is none.
template <class T, class E = CodecError>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(E error) : state_(std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Asking a result for what it does not hold is a fault of the caller:
    // the program stops there, whichever of the two is asked.
    const E& error() const { return *checked(std::get_if<1>(&state_)); }
    T& value() { return *checked(std::get_if<0>(&state_)); }
    const T& value() const { return *checked(std::get_if<0>(&state_)); }
    T* operator->() { return &value(); }
    T& operator*() { return value(); }

private:
    template <class P>
    static P* checked(P* held)
    {
        if (!held)
            std::abort();
        return held;
    }

    std::variant<T, E> state_;
};

// Success, or the reason of a failure.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(CodecError error) : error_(error) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    CodecError error() const
    {
        if (!error_)
            std::abort();
        return *error_;
    }

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
