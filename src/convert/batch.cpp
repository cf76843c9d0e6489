#include "convert/batch.h"

#include <array>
#include <string>

namespace vrelk {
namespace {

constexpr int kMaxOutputNumber = 9999;

platform::Path numberedPath(const platform::Path& path, std::string_view extension, int number)
{
    platform::Path candidate = path;
    candidate.replace_extension();
    std::string suffix(1, '+');
    suffix.append(std::to_string(number));
    candidate += platform::fromUtf8(suffix);
    candidate += platform::fromUtf8(extension);
    return candidate;
}

// The first free name among `path` (when `from` is 0) and "name+N.ext" for
// N = max(from, 1)..9999; `used` receives N (0 for the name itself).
bool findFreeOutputPath(platform::Path& path, std::string_view extension, int from, int& used)
{
    if (from == 0 && !platform::pathExists(path)) {
        used = 0;
        return true;
    }
    for (int number = from < 1 ? 1 : from; number <= kMaxOutputNumber; ++number) {
        platform::Path candidate = numberedPath(path, extension, number);
        if (!platform::pathExists(candidate)) {
            path = std::move(candidate);
            used = number;
            return true;
        }
    }
    return false;
}

// Copies the finished temporary file under a free output name. The copy
// never replaces a file: a name taken after the check moves on to the next
// number.
bool deliverOutput(const platform::Path& tempPath, const platform::Path& outputPath,
                   std::string_view extension)
{
    int next = 0;
    while (next <= kMaxOutputNumber) {
        platform::Path candidate = outputPath;
        int used = 0;
        if (!findFreeOutputPath(candidate, extension, next, used))
            return false;
        switch (platform::copyFileNoOverwrite(tempPath, candidate)) {
        case platform::CopyResult::copied: return true;
        case platform::CopyResult::failed: return false;
        case platform::CopyResult::targetExists: next = used + 1; break;
        }
    }
    return false;
}

// The output folder of the batch, with the sub-folder when one is asked
// for; `created` tells whether this batch made the sub-folder.
std::optional<platform::Path> settleOutputFolder(const platform::Path& firstInput, BatchHost& host,
                                                 bool& created)
{
    const Settings& settings = host.settings;
    platform::Path folder = settings.OutDir;
    if (folder.empty()) {
        folder = firstInput.parent_path();
        if (!platform::folderExists(folder)) {
            host.showError(kErrorBadOutputFolder);
            return std::nullopt;
        }
    }
    if (settings.MkDirAdd && !settings.MkDirStr.empty()) {
        folder /= settings.MkDirStr;
        if (!platform::folderExists(folder)) {
            if (!platform::createFolder(folder)) {
                host.showError(kErrorFolderCreate);
                return std::nullopt;
            }
            created = true;
        }
    }
    return folder;
}

bool reduceCurrentImage(CodecContext& context)
{
    CodecSet& codecs = context.codecs;
    ReductionTools tools{codecs.converter24, codecs.resizeJob, codecs.filterJob, *codecs.tables};
    return reduceImage(tools, context.current, context.settings.RszOpt, context.settings.RszSize);
}

}  // namespace

std::string_view errorText(ErrorCode code)
{
    static constexpr std::array<std::string_view, 5> kTexts{
        "メモリ確保に失敗しました。",
        "ファイル実行に失敗しました。",
        "ファイル変換に失敗しました。",
        "出力フォルダが無効です。",
        "フォルダ作成に失敗しました。",
    };
    auto index = static_cast<std::size_t>(code);
    return index < kTexts.size() ? kTexts[index] : kTexts[kErrorNothingConverted];
}

void ShowError(void* owner, ErrorCode code) { platform::showMessage(owner, errorText(code), kErrorCaption); }

bool MakeUniqueOutputPath(platform::Path& path, std::string_view extension)
{
    int used = 0;
    return findFreeOutputPath(path, extension, 0, used);
}

bool ConvertOneFile(FileJob& job, const platform::Path& tempFolder, const platform::Path& input,
                    platform::Path& tempPath)
{
    CodecContext& context = job.context;
    if (!ReadImage(context, input))
        return false;

    bool result = false;
    if (auto temp = platform::createTempFile(tempFolder)) {
        tempPath = *temp;
        bool reduced = !context.settings.Resize || reduceCurrentImage(context);
        result = reduced && job.write && job.write(context, tempPath);
        if (!result)
            platform::deleteFile(tempPath);
    }
    if (context.current.image)
        context.current.image->pixels.reset();
    context.current.image = nullptr;
    return result;
}

bool RecodeOneFile(FileJob& job, const platform::Path& tempFolder, const platform::Path& input,
                   platform::Path& tempPath)
{
    if (!platform::pathExists(input))
        return false;
    auto temp = platform::createTempFile(tempFolder);
    if (!temp)
        return false;
    tempPath = *temp;
    JpegRecoder& recoder = job.context.codecs.jpegRecoder;
    recoder.resetFileState();
    bool recoded = RecodeJpeg(recoder, input, tempPath);
    ReleaseJpegRecoder(recoder);
    if (!recoded)
        platform::deleteFile(tempPath);
    return recoded;
}

bool RunBatch(std::span<const platform::Path> inputs, BatchHost& host)
{
    OutputChoice choice = SelectOutput(host.settings, host.applyControls);
    if (inputs.empty())
        return true;

    bool createdSubFolder = false;
    auto outputFolder = settleOutputFolder(inputs.front(), host, createdSubFolder);
    if (!outputFolder)
        return false;

    std::unique_ptr<CodecSet> codecs = AllocateCodecSet();
    if (!codecs) {
        host.showError(kErrorNoMemory);
        return false;
    }

    platform::Path tempFolder = platform::tempFolder().value_or(platform::Path());
    CurrentImage current;
    CodecContext context{*codecs, host.settings, current};
    FileJob job{context, choice.write};
    auto step = choice.step == PerFileStep::recode ? RecodeOneFile : ConvertOneFile;

    int converted = 0;
    for (const platform::Path& input : inputs) {
        platform::Path tempPath;
        if (!step(job, tempFolder, input, tempPath))
            continue;
        platform::Path outputPath = *outputFolder / input.filename();
        outputPath.replace_extension(platform::fromUtf8(choice.extension));
        if (deliverOutput(tempPath, outputPath, choice.extension))
            ++converted;
        platform::deleteFile(tempPath);
    }
    codecs.reset();

    if (converted == 0) {
        if (createdSubFolder)
            platform::removeFolder(*outputFolder);
        host.showError(kErrorNothingConverted);
    }
    return true;
}

std::vector<platform::Path> inputsFromArguments(std::span<const platform::NativeString> arguments)
{
    std::vector<platform::Path> inputs;
    inputs.reserve(arguments.size());
    for (const platform::NativeString& argument : arguments)
        inputs.push_back(platform::longPathName(argument).value_or(platform::Path(argument)));
    return inputs;
}

}  // namespace vrelk
