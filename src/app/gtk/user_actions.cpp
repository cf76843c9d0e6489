#include "app/gtk/user_actions.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "convert/format_table.h"

namespace vrelk::desktop {
namespace {

using platform::Path;

// The selection goes to the format window, or straight to one format.
struct UserAction {
    std::string_view id;
    std::string_view format;  // vrelk -f name; empty for the window
};

constexpr std::array<UserAction, 4> kUserActions{{
    {"convert", ""}, {"jpeg", "jpeg"}, {"png", "png"}, {"webp", "webp"},
}};

// Marks the scripts and actions that are ours to replace and remove.
constexpr std::string_view kScriptMark = "# vrelk-gtk --install-user-actions";
constexpr std::string_view kThunarIdPrefix = "tessaly-";
constexpr std::string_view kScriptsFolder = "Tessaly";
constexpr std::string_view kEmptyThunarFile = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n";

std::optional<Path> xdgFolder(const char* variable, std::string_view underHome)
{
    if (const char* value = std::getenv(variable); value && *value == '/')
        return Path(value);
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return Path(home) / underHome;
    return std::nullopt;
}

std::string actionLabel(const UserAction& action, Language language)
{
    if (action.format.empty())
        return std::string(uiText(UiText::convertWith, language));
    return std::string(uiText(UiText::convertTo, language)) + std::string(OutputForCliName(action.format)->name);
}

std::string commandWords(const Path& program, const UserAction& action)
{
    std::string words = shellQuoted(program.native());
    if (!action.format.empty())
        words += " --format=" + std::string(action.format);
    return words + " --";
}

std::string xmlEscaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

std::optional<std::string> readWhole(const Path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return in.bad() ? std::nullopt : std::optional(text.str());
}

// Written under a name of its own and then renamed, so that a reader never
// sees half a file and a failure leaves the old one.
bool writeWhole(const Path& file, std::string_view text, mode_t mode)
{
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    const Path staged = file.parent_path() / (".vrelk-" + file.filename().native() + ".new");
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (out.fail() || ::chmod(staged.c_str(), mode) != 0)
        error = std::make_error_code(std::errc::io_error);
    else
        std::filesystem::rename(staged, file, error);
    if (error)
        platform::deleteFile(staged);
    return !error;
}

// ---- Nautilus -------------------------------------------------------------------

bool isOurScript(const Path& file)
{
    const std::optional<std::string> text = readWhole(file);
    return text && text->find(kScriptMark) != std::string::npos;
}

std::optional<std::string> removeScripts(const Path& scripts)
{
    const Path folder = scripts / kScriptsFolder;
    std::error_code error;
    if (!platform::folderExists(folder))
        return std::nullopt;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.is_regular_file(error) && isOurScript(entry.path()) && !platform::deleteFile(entry.path()))
            return "cannot remove " + entry.path().string();
    if (std::filesystem::is_empty(folder, error))
        platform::removeFolder(folder);
    return std::nullopt;
}

std::optional<std::string> installScripts(const Path& program, const Path& scripts, Language language)
{
    for (const UserAction& action : kUserActions) {
        const std::string script = "#!/bin/sh\n" + std::string(kScriptMark) + "\nexec " +
                                   commandWords(program, action) + " \"$@\"\n";
        const Path file = scripts / kScriptsFolder / actionLabel(action, language);
        if (!writeWhole(file, script, 0755))
            return "cannot write " + file.string();
    }
    return std::nullopt;
}

// ---- Thunar ---------------------------------------------------------------------

// Where the line of `at` starts when only blanks come before it there, so
// that an entry goes in and out with its indentation.
std::size_t indentedStart(const std::string& text, std::size_t at)
{
    const std::size_t newline = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    const std::size_t lineStart = newline == std::string::npos ? 0 : newline + 1;
    const bool blanks = text.find_first_not_of(" \t", lineStart) >= at;
    return blanks ? lineStart : at;
}

// `text` without the <action> elements whose unique id is ours.
std::string withoutOurActions(std::string text)
{
    constexpr std::string_view kEnd = "</action>";
    const std::string ourId = "<unique-id>" + std::string(kThunarIdPrefix);
    for (std::size_t id = text.find(ourId); id != std::string::npos; id = text.find(ourId)) {
        const std::size_t start = text.rfind("<action>", id);
        const std::size_t end = text.find(kEnd, id);
        if (start == std::string::npos || end == std::string::npos)
            break;
        std::size_t stop = end + kEnd.size();
        if (stop < text.size() && text[stop] == '\n')
            ++stop;
        const std::size_t from = indentedStart(text, start);
        text.erase(from, stop - from);
    }
    return text;
}

std::string thunarAction(const Path& program, const UserAction& action, Language language)
{
    std::string block = "<action>\n";
    block += "\t<icon>image-x-generic</icon>\n";
    block += "\t<name>" + xmlEscaped(actionLabel(action, language)) + "</name>\n";
    block += "\t<unique-id>" + std::string(kThunarIdPrefix) + std::string(action.id) + "</unique-id>\n";
    block += "\t<command>" + xmlEscaped(commandWords(program, action)) + " %F</command>\n";
    block += "\t<description></description>\n\t<patterns>*</patterns>\n\t<image-files/>\n</action>\n";
    return block;
}

std::optional<std::string> editThunarFile(const Path& file, const std::string* added)
{
    std::optional<std::string> text = readWhole(file);
    if (!text) {
        if (platform::pathExists(file))
            return "cannot read " + file.string();
        if (!added)
            return std::nullopt;
        text = std::string(kEmptyThunarFile);
    }
    std::string edited = withoutOurActions(*text);
    if (added) {
        const std::size_t end = edited.rfind("</actions>");
        if (end == std::string::npos)
            return file.string() + " holds no list of actions";
        edited.insert(indentedStart(edited, end), *added);
    }
    if (edited == *text)
        return std::nullopt;
    return writeWhole(file, edited, 0644) ? std::nullopt : std::optional("cannot write " + file.string());
}

}  // namespace

std::string shellQuoted(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::optional<UserActionFolders> userActionFolders()
{
    const std::optional<Path> data = xdgFolder("XDG_DATA_HOME", ".local/share");
    const std::optional<Path> config = xdgFolder("XDG_CONFIG_HOME", ".config");
    if (!data || !config)
        return std::nullopt;
    return UserActionFolders{*data / "nautilus" / "scripts", *config / "Thunar" / "uca.xml"};
}

std::optional<std::string> InstallUserActions(const Path& program, const UserActionFolders& folders,
                                              Language language)
{
    if (auto problem = removeScripts(folders.nautilusScripts))
        return problem;
    if (auto problem = installScripts(program, folders.nautilusScripts, language))
        return problem;
    std::string actions;
    for (const UserAction& action : kUserActions)
        actions += thunarAction(program, action, language);
    return editThunarFile(folders.thunarActions, &actions);
}

std::optional<std::string> RemoveUserActions(const UserActionFolders& folders)
{
    if (auto problem = removeScripts(folders.nautilusScripts))
        return problem;
    return editThunarFile(folders.thunarActions, nullptr);
}

}  // namespace vrelk::desktop
