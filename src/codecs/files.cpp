#include "codecs/files.h"

#include <array>

namespace vrelk {

Result<InputFile> InputFile::map(const platform::Path& path)
{
    InputFile input;
    input.file_ = platform::File::openRead(path);
    if (input.file_.isOpen())
        input.mapping_ = platform::FileMapping::map(input.file_);
    if (!input.mapping_.isMapped())
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
    if (!failed_ && !file_.write(bytes))
        failed_ = true;
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
        return CodecError::writeFailed;
    return {};
}

}  // namespace vrelk
