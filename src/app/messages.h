// The five whole-batch messages and how a batch's outcome maps to them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "convert/batch.h"

namespace vrelk {

enum ErrorCode : int {
    kErrorNoMemory = 0,
    kErrorStartup = 1,
    kErrorNothingConverted = 2,
    kErrorBadOutputFolder = 3,
    kErrorFolderCreate = 4,
};

std::string_view errorText(ErrorCode code);
inline constexpr std::string_view kErrorCaption = "Error";

// Message box with the code's text, caption "Error", owned by `owner`.
void ShowError(void* owner, ErrorCode code);

// What a stopped batch says: how many files it converted.
std::string cancelledText(std::size_t converted);

// The message a batch's outcome shows; none when it converted something.
std::optional<ErrorCode> batchMessage(BatchOutcome outcome);

}  // namespace vrelk
