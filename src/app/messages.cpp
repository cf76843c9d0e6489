#include "app/messages.h"

#include <array>
#include <atomic>

#include "app/shell_os.h"

namespace vrelk {
namespace {

struct MessageText {
    std::string_view japanese;
    std::string_view english;
};

// Indexed by ErrorCode.
constexpr std::array<MessageText, 5> kErrorTexts{{
    {"メモリ確保に失敗しました。", "Out of memory."},
    {"ファイル実行に失敗しました。", "The program cannot start."},
    {"ファイル変換に失敗しました。", "No file was converted."},
    {"出力フォルダが無効です。", "The output folder is not usable."},
    {"フォルダ作成に失敗しました。", "The sub-folder cannot be created."},
}};

// The count goes between the two halves.
constexpr MessageText kCancelledBefore{"変換を中止しました。", "Conversion stopped. Files converted: "};
constexpr MessageText kCancelledAfter{" 個のファイルを変換しました。", "."};

// The key, its value and the bounds go between the parts.
constexpr std::array<MessageText, 3> kBadSettingParts{{
    {"設定 ", "The setting "},
    {" の値 ", " holds "},
    {" は使えません（", ", which is out of range ("},
}};
constexpr MessageText kBadSettingTo{"～", " to "};
constexpr MessageText kBadSettingOrMore{"以上", " or more"};
constexpr MessageText kBadSettingEnd{"）。", ")."};

// Indexed by UiText.
constexpr std::array<MessageText, 31> kUiTexts{{
    {"画像サイズ縮小", "Reduce size"},
    {"設定変更(S)", "Settings(S)"},
    {"変換中…", "Converting…"},
    {"中止しています…", "Stopping…"},
    {"中止", "Cancel"},
    {"フォルダを開く", "Open folder"},
    {"Tessaly で変換", "Convert with Tessaly"},
    {"Tessaly で変換: ", "Convert with Tessaly to "},
    {"変換しなかったファイル:", "Not converted:"},
    {"閉じる", "Close"},
    {"出力形式", "Output format"},
    {"実行時に選択", "Choose each time"},
    {"JPEG画質", "Quality"},
    {"サンプル比", "Chroma sampling"},
    {"ファイルサイズ指定 (KB 以下)", "File size target (KB at most)"},
    {"KB 以下", "KB at most"},
    {"縮小", "Reduce"},
    {"縮小する辺", "Side to reduce"},
    {"横", "Width"},
    {"縦", "Height"},
    {"長辺", "Long side"},
    {"ピクセル（縦横比率保持）", "Pixels (aspect ratio kept)"},
    {"出力フォルダ", "Output folder"},
    {"<入力ファイルと同じフォルダ>", "<the input file's folder>"},
    {"出力先にフォルダを作成して保存", "Save into a sub-folder"},
    {"メタデータ (Exif, XMP)", "Metadata (Exif, XMP)"},
    {"残さない", "Leave out"},
    {"残す", "Keep"},
    {"位置情報を除いて残す", "Keep all but the location"},
    {"更新日時を保持", "Keep the modification time"},
    {"透過を保持", "Keep transparency"},
}};

static_assert(kUiTexts.size() == static_cast<std::size_t>(UiText::keepAlpha) + 1);

// The words of a button that the format table gives in Japanese only.
struct ButtonWords {
    int command;
    std::string_view english;
};
constexpr std::array<ButtonWords, 1> kEnglishButtons{{{kCommandRecode, "Lossless JPEG(T)"}}};

// The count goes between the two halves.
constexpr std::array<std::array<MessageText, 2>, 3> kCountTexts{{
    {{{"", ""}, {" 個のファイル", " files"}}},
    {{{"", "Files converted: "}, {" 個のファイルを変換しました。", "."}}},
    {{{"ほか ", "and "}, {" 個", " more"}}},
}};

std::atomic<Language> currentLanguage{Language::japanese};

std::string_view in(const MessageText& text, Language language)
{
    return language == Language::english ? text.english : text.japanese;
}

}  // namespace

void setMessageLanguage(Language language) { currentLanguage.store(language); }
Language messageLanguage() { return currentLanguage.load(); }

Language languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang)
{
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (!value || !*value)
            continue;
        const std::string_view name(value);
        const bool japanese = name.substr(0, 2) == "ja" && (name.size() == 2 || name[2] == '_' || name[2] == '.' ||
                                                            name[2] == '@');
        return japanese ? Language::japanese : Language::english;
    }
    return Language::english;
}

std::string_view errorText(ErrorCode code, Language language)
{
    auto index = static_cast<std::size_t>(code);
    if (index >= kErrorTexts.size())
        index = kErrorNothingConverted;
    return in(kErrorTexts[index], language);
}

std::string_view errorText(ErrorCode code) { return errorText(code, messageLanguage()); }

void ShowError(void* owner, ErrorCode code) { shell::showMessage(owner, errorText(code), kErrorCaption); }

std::string cancelledText(std::size_t converted, Language language)
{
    std::string text(in(kCancelledBefore, language));
    text += std::to_string(converted);
    text += in(kCancelledAfter, language);
    return text;
}

std::string cancelledText(std::size_t converted) { return cancelledText(converted, messageLanguage()); }

std::string badSettingText(std::string_view key, std::int32_t value, std::int32_t low,
                           std::optional<std::int32_t> high, Language language)
{
    std::string text(in(kBadSettingParts[0], language));
    text += key;
    text += in(kBadSettingParts[1], language);
    text += std::to_string(value);
    text += in(kBadSettingParts[2], language);
    text += std::to_string(low);
    if (high) {
        text += in(kBadSettingTo, language);
        text += std::to_string(*high);
    } else {
        text += in(kBadSettingOrMore, language);
    }
    text += in(kBadSettingEnd, language);
    return text;
}

std::string badSettingText(std::string_view key, std::int32_t value, std::int32_t low,
                           std::optional<std::int32_t> high)
{
    return badSettingText(key, value, low, high, messageLanguage());
}

std::string_view uiText(UiText text, Language language)
{
    const auto index = static_cast<std::size_t>(text);
    return index < kUiTexts.size() ? in(kUiTexts[index], language) : std::string_view();
}

std::string_view uiText(UiText text) { return uiText(text, messageLanguage()); }

std::string_view buttonLabel(const OutputFormat& format, Language language)
{
    if (language == Language::english)
        for (const ButtonWords& words : kEnglishButtons)
            if (words.command == format.command)
                return words.english;
    return format.label;
}

std::string countText(UiCount what, std::size_t count, Language language)
{
    const auto& halves = kCountTexts[static_cast<std::size_t>(what)];
    std::string text(in(halves[0], language));
    text += std::to_string(count);
    text += in(halves[1], language);
    return text;
}

std::string countText(UiCount what, std::size_t count) { return countText(what, count, messageLanguage()); }

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
