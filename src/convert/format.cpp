#include "convert/format.h"

#include <array>
#include <mutex>

#include "codecs/files.h"

namespace vrelk {
namespace {

// The format of a file whose whole could not be read, from its first bytes;
// one that cannot be opened shows none.
FormatCode formatOfFirstBytes(const platform::Path& path)
{
    platform::File file = platform::File::openRead(path);
    if (!file.isOpen())
        return kFormatUnknown;
    std::array<std::uint8_t, 16> head{};
    return SniffFormat(std::span<const std::uint8_t>(head).first(file.read(head)));
}

}  // namespace

// A path that names no file, or leads nowhere: a loop of links or a name
// the system does not take is not a missing file.
FileFailure UnreachableInput(platform::IoFailure failure)
{
    switch (failure) {
    case platform::IoFailure::symlinkLoop: return {SkipReason::readFailed, CodecError::symlinkLoop};
    case platform::IoFailure::nameTooLong: return {SkipReason::readFailed, CodecError::nameTooLong};
    default: return {SkipReason::missing, std::nullopt};
    }
}

PluginTurns::PluginTurns(std::size_t files) : passed_(files, false) {}

void PluginTurns::await(std::size_t file)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return firstPending_ >= file; });
}

void PluginTurns::passed(std::size_t file)
{
    {
        std::lock_guard lock(mutex_);
        if (file >= passed_.size() || passed_[file])
            return;
        passed_[file] = true;
        while (firstPending_ < passed_.size() && passed_[firstPending_])
            ++firstPending_;
    }
    changed_.notifyAll();
}

namespace {

// Gives up the file's plug-in turn however its read ends.
class TurnPassed {
public:
    explicit TurnPassed(const ReadContext& context) : context_(context) {}
    TurnPassed(const TurnPassed&) = delete;
    TurnPassed& operator=(const TurnPassed&) = delete;
    ~TurnPassed()
    {
        if (context_.turns)
            context_.turns->passed(context_.file);
    }

private:
    const ReadContext& context_;
};

}  // namespace

Result<Picture, FileFailure> ReadImage(const platform::Path& path, const ReadContext& context)
{
    const TurnPassed turnPassed(context);
    if (!platform::pathExists(path))
        return UnreachableInput(platform::lastIoFailure());

    // The whole file is read once; only when that fails are its first
    // bytes read again to name the format and the failure.
    Result<InputFile> input = InputFile::read(path, context.limits);
    const FormatCode code = input ? SniffFormat(input->bytes()) : formatOfFirstBytes(path);
    if (code == kFormatTooShort)
        return FileFailure{SkipReason::tooShort, std::nullopt};

    std::optional<CodecError> builtInError;
    if (const InputFormat* format = InputFormatOf(code)) {
        Result<Picture> image = input ? format->read(input->cursor(), context) : Result<Picture>(input.error());
        if (image)
            return std::move(*image);
        builtInError = image.error();
    }
    if (context.turns && context.options.usePlugins)
        context.turns->await(context.file);
    Result<Picture> image = ReadWithPlugin(path, context.options);
    if (image)
        return std::move(*image);
    if (builtInError)
        return FileFailure{SkipReason::readFailed, builtInError};
    return FileFailure{SkipReason::unrecognised, std::nullopt};
}

}  // namespace vrelk
