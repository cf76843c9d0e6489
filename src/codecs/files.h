// How codecs reach their files: the mapped input, and the output a writer
// fills.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "platform/platform.h"

namespace vrelk {

// The whole input, mapped read-only for as long as the object lives.
class InputFile {
public:
    // cannotOpen when the file cannot be opened or mapped (an empty file
    // cannot be mapped either).
    static Result<InputFile> map(const platform::Path& path);

    std::span<const std::uint8_t> bytes() const { return {mapping_.data(), mapping_.size()}; }
    ByteCursor cursor() const { return ByteCursor(bytes()); }

private:
    platform::File file_;
    platform::FileMapping mapping_;
};

// The file a writer creates. Writes after a failed one are dropped, and
// finish() reports the failure, so a writer checks once at the end.
class OutputFile {
public:
    // Creates or truncates; cannotCreate on failure.
    static Result<OutputFile> create(const platform::Path& path);

    void write(std::span<const std::uint8_t> bytes);
    void writeU32BE(std::uint32_t value);
    bool failed() const { return failed_; }
    // Closes the file; writeFailed when any write came up short.
    Status finish();

private:
    platform::File file_;
    bool failed_ = false;
};

}  // namespace vrelk
