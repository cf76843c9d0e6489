// The whole-batch messages, in English and Japanese side by side, and how
// a batch's outcome maps to them. The Windows program speaks Japanese;
// vrelk speaks the language its locale names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "convert/batch.h"
#include "convert/format_table.h"

namespace vrelk {

enum ErrorCode : int {
    kErrorNoMemory = 0,
    kErrorStartup = 1,
    kErrorNothingConverted = 2,
    kErrorBadOutputFolder = 3,
    kErrorFolderCreate = 4,
};

enum class Language { japanese, english };

// The language of the messages from here on; Japanese until set.
void setMessageLanguage(Language language);
Language messageLanguage();

// The language a POSIX locale asks for: the first of LC_ALL, LC_MESSAGES
// and LANG that is set and not empty decides; Japanese for "ja" and its
// regional forms, English for everything else (also when none is set).
Language languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang);

std::string_view errorText(ErrorCode code);
std::string_view errorText(ErrorCode code, Language language);
inline constexpr std::string_view kErrorCaption = "Error";

// Message box with the code's text, caption "Error", owned by `owner`.
void ShowError(void* owner, ErrorCode code);

// What a stopped batch says: how many files it converted.
std::string cancelledText(std::size_t converted);
std::string cancelledText(std::size_t converted, Language language);

// What a batch refused for a size setting says: the key, the value it
// holds and the values it may take (from `low` on when there is no `high`).
std::string badSettingText(std::string_view key, std::int32_t value, std::int32_t low,
                           std::optional<std::int32_t> high);
std::string badSettingText(std::string_view key, std::int32_t value, std::int32_t low,
                           std::optional<std::int32_t> high, Language language);

// The message a batch's outcome shows; none when it converted something.
std::optional<ErrorCode> batchMessage(BatchOutcome outcome);

// The words of the Linux desktop program's windows, notices and file
// manager entries.
enum class UiText : int {
    reduce,
    settings,
    converting,
    stopping,
    cancel,
    openFolder,
    convertWith,
    convertTo,
    notConverted,
    close,
    outputFormat,
    chooseEachTime,
    quality,
    sampling,
    sizeTarget,
    kilobytes,
    reduceTo,
    side,
    sideWidth,
    sideHeight,
    sideLonger,
    pixels,
    outputFolder,
    sameFolder,
    subFolder,
    metadata,
    metadataNone,
    metadataAll,
    metadataNoLocation,
    keepTime,
    keepAlpha,
};
std::string_view uiText(UiText text, Language language);
std::string_view uiText(UiText text);

// A format button's text: the format table's, with the words in the
// message language.
std::string_view buttonLabel(const OutputFormat& format, Language language);

enum class UiCount { files, converted, more };
// "3 files", "Files converted: 3.", "and 3 more", in either language.
std::string countText(UiCount what, std::size_t count, Language language);
std::string countText(UiCount what, std::size_t count);

}  // namespace vrelk
