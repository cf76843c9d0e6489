// Reads and writes through the real codec entries, with the outcome kept
// where the tests look at it.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <utility>

#include "codecs/codec.h"
#include "codecs/files.h"
#include "picture/picture.h"

namespace vrelk {

// Failures in test messages by name and number.
inline std::ostream& operator<<(std::ostream& out, CodecError error)
{
    return out << describe(error) << " (" << static_cast<int>(error) << ")";
}

inline std::ostream& operator<<(std::ostream& out, const std::optional<CodecError>& error)
{
    return error ? out << *error : out << "no failure";
}

}  // namespace vrelk

namespace vrelk::test {

// The last read: its image, or why there is none.
struct ReadOutcome {
    Picture image;
    std::optional<CodecError> errorCode;

    // The image of a successful read, null after a failure.
    Picture* keep(Result<Picture> result)
    {
        image = Picture{};
        errorCode.reset();
        if (!result) {
            errorCode = result.error();
            return nullptr;
        }
        image = std::move(*result);
        return &image;
    }
};

// Maps a file as the read entries do and hands its cursor to `read`.
template <class Read>
Result<Picture> readThrough(const std::filesystem::path& path, Read read)
{
    Result<InputFile> input = InputFile::read(path);
    if (!input)
        return input.error();
    return read(input->cursor());
}

// The outcome of the last write.
struct WriteOutcome {
    std::optional<CodecError> errorCode;

    bool keep(Status status)
    {
        errorCode.reset();
        if (!status)
            errorCode = status.error();
        return status.ok();
    }
};

inline ImageView imageView(std::int32_t width, std::int32_t height, std::int32_t bits, const Palette& palette,
                           std::span<const std::uint8_t> pixels)
{
    return ImageView{width, height, bits, &palette, pixels};
}

}  // namespace vrelk::test
