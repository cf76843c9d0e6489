// How codecs reach their files: the input read into memory, and the output
// a writer fills.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "codecs/decode_memory.h"
#include "picture/picture.h"
#include "platform/platform.h"

namespace vrelk {

// The whole input, read into memory. It is read rather than mapped: a
// mapped file that shrinks, or a share that goes away, kills the process on
// the next touch, where a read only comes up short and fails this file.
class InputFile {
public:
    // cannotOpen when the file cannot be opened or read in full (an empty
    // file included), noMemory when its bytes do not fit in memory or in
    // what `limits` grant; they are kept in the file's reservation before
    // they are read.
    static Result<InputFile> read(const platform::Path& path, const ReadLimits& limits = {});

    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), bytes_.size()}; }
    ByteCursor cursor() const { return ByteCursor(bytes()); }

private:
    PageBuffer bytes_;  // pages, so that a batch worker reuses them
};

// Test seam: when set, runs once an input is open and its size known, just
// before its bytes are read.
using InputSizedHook = void (*)(const platform::Path& path);
void setInputSizedHook(InputSizedHook hook);

// The file a writer creates. Writes after a failed one are dropped, and
// finish() reports the failure, so a writer checks once at the end.
class OutputFile {
public:
    // Creates or truncates; cannotCreate on failure.
    static Result<OutputFile> create(const platform::Path& path);

    void write(std::span<const std::uint8_t> bytes);
    void writeU32BE(std::uint32_t value);
    bool failed() const { return failed_; }
    // Closes the file; cannotWrite when any write came up short, noSpace
    // when the disk was full.
    Status finish();

private:
    platform::File file_;
    bool failed_ = false;
    CodecError failure_ = CodecError::cannotWrite;
};

}  // namespace vrelk
