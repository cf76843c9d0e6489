#include "app/messages.h"

#include <array>

#include "app/shell_os.h"

namespace vrelk {

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

void ShowError(void* owner, ErrorCode code) { shell::showMessage(owner, errorText(code), kErrorCaption); }

std::string cancelledText(std::size_t converted)
{
    std::string text = "変換を中止しました。";
    text += std::to_string(converted);
    text += " 個のファイルを変換しました。";
    return text;
}

std::optional<ErrorCode> batchMessage(BatchOutcome outcome)
{
    switch (outcome) {
    case BatchOutcome::done: return std::nullopt;
    case BatchOutcome::nothingConverted: return kErrorNothingConverted;
    case BatchOutcome::badOutputFolder: return kErrorBadOutputFolder;
    case BatchOutcome::folderNotCreated: return kErrorFolderCreate;
    case BatchOutcome::badSubFolder: return kErrorFolderCreate;
    case BatchOutcome::noMemory: return kErrorNoMemory;
    }
    return kErrorNothingConverted;
}

}  // namespace vrelk
