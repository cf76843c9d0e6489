#include "codecs/files.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <limits>
#include <new>

namespace vrelk {
namespace {

std::atomic<InputSizedHook> inputSizedHook{nullptr};

}  // namespace

void setInputSizedHook(InputSizedHook hook) { inputSizedHook = hook; }

Result<InputFile> InputFile::read(const platform::Path& path, const ReadLimits& limits)
{
    platform::File file = platform::File::openRead(path);
    const std::int64_t size = file.size();
    if (size <= 0)
        return CodecError::cannotOpen;
    if (static_cast<std::uint64_t>(size) > std::numeric_limits<std::size_t>::max() / 2)
        return CodecError::noMemory;
    if (Status kept = limits.keep(static_cast<std::uint64_t>(size)); !kept)
        return kept.error();
    if (InputSizedHook hook = inputSizedHook.load())
        hook(path);
    InputFile input;
    input.bytes_ = PageBuffer::allocate(static_cast<std::size_t>(size));
    if (!input.bytes_)
        return CodecError::noMemory;
    if (file.read({input.bytes_.data(), input.bytes_.size()}) != input.bytes_.size())
        return CodecError::cannotOpen;
    return input;
}

Result<OutputFile> OutputFile::create(const platform::Path& path)
{
    OutputFile output;
    output.file_ = platform::File::createWrite(path);
    if (!output.file_.isOpen())
        return CodecError::cannotCreate;
    return output;
}

void OutputFile::write(std::span<const std::uint8_t> bytes)
{
    if (!failed_ && !file_.write(bytes)) {
        failed_ = true;
        if (platform::lastIoFailure() == platform::IoFailure::noSpace)
            failure_ = CodecError::noSpace;
    }
}

void OutputFile::writeU32BE(std::uint32_t value)
{
    std::array<std::uint8_t, 4> bytes{};
    StoreU32BE(bytes.data(), value);
    write(bytes);
}

Status OutputFile::finish()
{
    file_.close();
    if (failed_)
        return failure_;
    return {};
}

}  // namespace vrelk
