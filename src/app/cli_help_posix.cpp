// What vrelk tells about its options: --help, the bash completion and the
// nearest option to a mistyped one, all from the option table.
#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "app/cli_option_table_posix.h"
#include "app/cli_posix.h"
#include "app/version.h"

namespace vrelk {
namespace {

// --help's columns: the option names, then their text.
constexpr std::size_t kNameColumn = 23;
constexpr std::size_t kContinuationIndent = 26;

std::string optionNames(const OptionEntry& entry)
{
    const int id = entry.longOption.val;
    std::string names = "      --";
    if (id > 0 && id < 128)
        names.replace(2, 3, std::string{'-', static_cast<char>(id), ','});
    names += entry.longOption.name;
    names += entry.argument;
    return names;
}

std::string optionLines(const OptionEntry& entry)
{
    std::string names = optionNames(entry);
    names.resize(std::max(names.size(), kNameColumn), ' ');
    std::string text = names + ' ';
    for (char c : entry.help) {
        text += c;
        if (c == '\n')
            text.append(kContinuationIndent, ' ');
    }
    return text + '\n';
}

std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// An option's names as a case pattern of the completion: --format|-f.
std::string casePattern(const OptionEntry& entry)
{
    std::string pattern = std::string("--") + entry.longOption.name;
    const int id = entry.longOption.val;
    if (id > 0 && id < 128)
        pattern += std::string("|-") + static_cast<char>(id);
    return pattern;
}

// The names of the options whose values are of one kind.
std::string namesTaking(ValueKind kind)
{
    std::string names;
    for (const OptionEntry& entry : OptionTable())
        if (entry.valueKind == kind && entry.longOption.has_arg == required_argument)
            names.append(names.empty() ? "" : "|").append(casePattern(entry));
    return names;
}

}  // namespace

std::string_view UsageLine()
{
    return "Usage: vrelk [OPTION]... FILE...  (vrelk --help lists the options)";
}

std::string_view VersionText() { return "vrelk (Tessaly) " VRELK_VERSION "\n"; }

std::string HelpText(const std::optional<platform::Path>& settingsFile)
{
    std::string text = R"(Usage: vrelk [OPTION]... FILE...
Convert each image FILE (BMP, PNG, JPEG, GIF, TIFF, WebP, HEIC, AVIF) into one
output format.
An existing file is never replaced: a taken name gains +1, +2, ...
Options apply to this run only; the settings file decides everything else.
Without FILE, vrelk prints the settings.

)";
    for (const OptionEntry& entry : OptionTable())
        text += optionLines(entry);
    text += R"(      --                end of options: later arguments are files

SIGINT or SIGTERM stops the batch after the files begun; the others are
skipped. Messages are in English, or in Japanese when LC_ALL, LC_MESSAGES
or LANG names a Japanese locale.

Exit status: 0 when every file converted (or was left out by
--skip-existing), 1 when a file was skipped or missed its size target or
nothing converted, 2 on a bad option or when vrelk cannot start, 130 or 143
when SIGINT or SIGTERM stopped the batch.

)";
    text += "Settings file: ";
    text += settingsFile ? SettingsFileText(*settingsFile) : std::string("none (the program must be named vrelk)");
    text += '\n';
    return text;
}

std::string SettingsFileText(const platform::Path& settingsFile)
{
    return settingsFile.empty() ? "none (no settings folder: the defaults apply and nothing is written)"
                                : settingsFile.string();
}

std::string SuggestedOption(std::string_view mistyped)
{
    // Near enough to be a slip of the fingers, not another word.
    const std::size_t allowed = mistyped.size() <= 4 ? 1 : 2;
    std::string best;
    std::size_t bestDistance = allowed + 1;
    for (const OptionEntry& entry : OptionTable()) {
        const std::size_t distance = editDistance(mistyped, entry.longOption.name);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = entry.longOption.name;
        }
    }
    return best;
}

std::string BashCompletion()
{
    std::string options;
    for (const OptionEntry& entry : OptionTable()) {
        options.append(options.empty() ? "--" : " --").append(entry.longOption.name);
        if (entry.longOption.has_arg == required_argument && entry.argument.starts_with('='))
            options += '=';
        const int id = entry.longOption.val;
        if (id > 0 && id < 128)
            options += std::string(" -") + static_cast<char>(id);
    }
    std::string words;
    for (const OptionEntry& entry : OptionTable())
        if (entry.valueKind == ValueKind::words)
            words.append("        ").append(casePattern(entry)).append(") values='").append(entry.words()).append("' ;;\n");

    std::string script = "# bash completion for vrelk, as `vrelk --completion=bash` prints it\n"
                         "_vrelk()\n{\n"
                         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} option values\n"
                         "    if [[ $cur == --*=* ]]; then\n"
                         "        option=${cur%%=*}\n"
                         "        cur=${cur#*=}\n"
                         "    else\n"
                         "        option=$prev\n"
                         "    fi\n"
                         "    case $option in\n";
    script += words;
    script.append("        ").append(namesTaking(ValueKind::folder)).append(")\n");
    script += "            COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
    script.append("        ").append(namesTaking(ValueKind::file)).append(")\n");
    script += "            COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    script.append("        ").append(namesTaking(ValueKind::none)).append(")\n");
    script += "            return ;;\n";
    script += "    esac\n"
              "    if [[ -n $values ]]; then\n"
              "        COMPREPLY=($(compgen -W \"$values\" -- \"$cur\")); return\n"
              "    fi\n"
              "    if [[ $cur == -* ]]; then\n"
              "        COMPREPLY=($(compgen -W '";
    script += options;
    script += "' -- \"$cur\"))\n"
              "        [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace\n"
              "        return\n"
              "    fi\n"
              "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
              "}\n"
              "complete -o filenames -F _vrelk vrelk\n";
    return script;
}

}  // namespace vrelk
