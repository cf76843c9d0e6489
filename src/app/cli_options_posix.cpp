// Options of vrelk, parsed with getopt_long. Each option has one handler
// that checks its value and records it; nothing here touches the settings
// file.
#include <getopt.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <span>
#include <iterator>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>

#include "app/cli_posix.h"
#include "app/version.h"
#include "convert/format_table.h"
#include "convert/options.h"

namespace vrelk {
namespace {

// Not a setting: how many files a run converts at a time.
constexpr NumberKey kJobs{"jobs", 1, 1, 256, OnLoad::asStored};

std::optional<std::int32_t> parseChoice(std::string_view text, std::span<const NamedValue> choices)
{
    for (const NamedValue& choice : choices)
        if (choice.cliName == text)
            return choice.value;
    return std::nullopt;
}

std::string choicesText(std::span<const NamedValue> choices)
{
    std::string text;
    for (std::size_t i = 0; i < choices.size(); ++i)
        text += std::string(i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + std::string(choices[i].cliName);
    return text;
}

// A handler returns the problem with its value, or an empty string.
using Handler = std::string (*)(RunOptions& options, std::string_view value);

std::string setFormat(RunOptions& o, std::string_view v)
{
    if (const OutputFormat* format = OutputForCliName(v)) {
        o.outputType = format->outputType;
        return "";
    }
    std::string names;
    const auto formats = OutputFormats();
    for (std::size_t i = 0; i < formats.size(); ++i)
        names += std::string(i == 0 ? "" : i + 1 == formats.size() ? " or " : ", ") + std::string(formats[i].cliName);
    return "format must be " + names;
}

std::string setQuality(RunOptions& o, std::string_view v)
{
    o.quality = parseNumberOption(v, keys::kQuality);
    return o.quality ? "" : "quality must be a number " + boundsText(keys::kQuality);
}

std::string setSampling(RunOptions& o, std::string_view v)
{
    o.sampling = parseChoice(v, keys::kSamplings);
    return o.sampling ? "" : "sampling must be " + choicesText(keys::kSamplings);
}

std::string setMaxKilobytes(RunOptions& o, std::string_view v)
{
    o.limitKilobytes = parseNumberOption(v, keys::kLmtVal);
    return o.limitKilobytes ? "" : "size target must be a number of KB " + boundsText(keys::kLmtVal);
}

std::string setReduction(RunOptions& o, std::string_view v, std::int32_t mode)
{
    auto size = parseNumberOption(v, keys::kRszSize);
    if (!size)
        return "size must be a number of pixels " + boundsText(keys::kRszSize);
    o.resizeMode = mode;
    o.resizeSize = *size;
    o.noResize = false;
    return "";
}

std::string setWidth(RunOptions& o, std::string_view v) { return setReduction(o, v, kReduceWidth); }
std::string setHeight(RunOptions& o, std::string_view v) { return setReduction(o, v, kReduceHeight); }
std::string setLongSide(RunOptions& o, std::string_view v) { return setReduction(o, v, kReduceLongerSide); }

std::string setNoResize(RunOptions& o, std::string_view)
{
    o.noResize = true;
    o.resizeMode.reset();
    return "";
}

std::string setOutput(RunOptions& o, std::string_view v)
{
    platform::Path folder(v);
    if (v.empty() || !platform::folderExists(folder))
        return "output folder is not an existing folder";
    std::error_code ec;
    o.outputFolder = std::filesystem::absolute(folder, ec).lexically_normal();
    return ec ? "output folder cannot be resolved" : "";
}

// One level below the output folder, as the batch makes it.
std::string setSubFolder(RunOptions& o, std::string_view v)
{
    if (v.empty() || v == "." || v == ".." || v.find('/') != std::string_view::npos)
        return "sub-folder must be one plain folder name";
    o.subFolder = platform::fromUtf8(v);
    return "";
}

std::string setJobs(RunOptions& o, std::string_view v)
{
    auto jobs = parseNumberOption(v, kJobs);
    if (!jobs)
        return "jobs must be a number " + boundsText(kJobs);
    o.jobs = static_cast<unsigned>(*jobs);
    return "";
}

// Bytes, or a number followed by K, M or G (1024-based).
std::optional<std::uint64_t> parseMemorySize(std::string_view text)
{
    struct Unit {
        char letter;
        int shift;
    };
    constexpr Unit kUnits[] = {{'K', 10}, {'M', 20}, {'G', 30}, {'k', 10}, {'m', 20}, {'g', 30}};
    int shift = 0;
    for (const Unit& unit : kUnits)
        if (!text.empty() && text.back() == unit.letter) {
            shift = unit.shift;
            text.remove_suffix(1);
            break;
        }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    constexpr std::uint64_t kLeast = std::uint64_t{1} << 20;
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > (std::numeric_limits<std::uint64_t>::max() >> shift))
        return std::nullopt;
    value <<= shift;
    return value >= kLeast ? std::optional(value) : std::nullopt;
}

std::string setMaxMemory(RunOptions& o, std::string_view v)
{
    o.maxMemory = parseMemorySize(v);
    return o.maxMemory ? "" : "memory must be a size of at least 1M, such as 512M or 2G";
}

std::string setReport(RunOptions& o, std::string_view v)
{
    o.jsonReport = v == "json";
    return o.jsonReport ? "" : "report must be json";
}

std::string setVerbose(RunOptions& o, std::string_view)
{
    o.verbosity = Verbosity::verbose;
    return "";
}

std::string setQuiet(RunOptions& o, std::string_view)
{
    o.verbosity = Verbosity::quiet;
    return "";
}

enum OptionId : int { kHelp = 'h', kVersion = 256, kWidth = 259, kHeight = 260, kLongSide = 261 };

// Each names the one side a run reduces by.
constexpr int kReductionOptions[] = {kWidth, kHeight, kLongSide};

bool isReductionOption(int id)
{
    return std::find(std::begin(kReductionOptions), std::end(kReductionOptions), id) != std::end(kReductionOptions);
}

struct OptionEntry {
    option longOption;
    Handler handler;  // null for --help and --version
};

const std::array<OptionEntry, 18> kOptions{{
    {{"help", no_argument, nullptr, 'h'}, nullptr},
    {{"version", no_argument, nullptr, kVersion}, nullptr},
    {{"format", required_argument, nullptr, 'f'}, setFormat},
    {{"quality", required_argument, nullptr, 'q'}, setQuality},
    {{"sampling", required_argument, nullptr, 257}, setSampling},
    {{"max-kb", required_argument, nullptr, 258}, setMaxKilobytes},
    {{"width", required_argument, nullptr, kWidth}, setWidth},
    {{"height", required_argument, nullptr, kHeight}, setHeight},
    {{"long-side", required_argument, nullptr, kLongSide}, setLongSide},
    {{"no-resize", no_argument, nullptr, 262}, setNoResize},
    {{"output", required_argument, nullptr, 'o'}, setOutput},
    {{"subfolder", required_argument, nullptr, 263}, setSubFolder},
    {{"jobs", required_argument, nullptr, 'j'}, setJobs},
    {{"verbose", no_argument, nullptr, 'v'}, setVerbose},
    {{"quiet", no_argument, nullptr, 264}, setQuiet},
    {{"report", required_argument, nullptr, 265}, setReport},
    {{"max-memory", required_argument, nullptr, 266}, setMaxMemory},
    {{nullptr, 0, nullptr, 0}, nullptr},
}};

std::array<option, kOptions.size()> longOptions()
{
    std::array<option, kOptions.size()> options{};
    for (std::size_t i = 0; i < kOptions.size(); ++i)
        options[i] = kOptions[i].longOption;
    return options;
}

const OptionEntry* entryFor(int id)
{
    for (const OptionEntry& entry : kOptions)
        if (entry.longOption.name && entry.longOption.val == id)
            return &entry;
    return nullptr;
}

unsigned defaultJobs()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

CommandLine usageError(std::string problem)
{
    CommandLine line;
    line.action = CliAction::usageError;
    line.problem = std::move(problem);
    return line;
}

std::string quotedArgument(std::string_view argument)
{
    std::string text = "'";
    text += argument;
    text += '\'';
    return text;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char** argv)
{
    static const std::array<option, kOptions.size()> options = longOptions();
    CommandLine line;
    line.options.jobs = defaultJobs();
    opterr = 0;
    optind = 0;  // 0 rather than 1 also resets GNU getopt's scanning state
    std::optional<int> reduction;
    for (;;) {
        int id = getopt_long(argc, argv, "hf:q:o:j:v", options.data(), nullptr);
        if (id == -1)
            break;
        if (id == '?') {
            const OptionEntry* wanted = optopt != 0 ? entryFor(optopt) : nullptr;
            if (wanted && wanted->longOption.has_arg == required_argument)
                return usageError("option needs a value: " + quotedArgument(argv[optind - 1]));
            if (optopt != 0)
                return usageError("unknown option " + quotedArgument(std::string{'-', static_cast<char>(optopt)}));
            return usageError("unknown option " + quotedArgument(argv[optind - 1]));
        }
        if (id == kHelp || id == kVersion) {
            line.action = id == kHelp ? CliAction::help : CliAction::version;
            continue;
        }
        if (isReductionOption(id)) {
            if (reduction && *reduction != id)
                return usageError("--width, --height and --long-side cannot be combined: give one of them");
            reduction = id;
        }
        const OptionEntry* entry = entryFor(id);
        if (!entry || !entry->handler)
            return usageError("unknown option");
        std::string problem = entry->handler(line.options, optarg ? std::string_view(optarg) : std::string_view());
        if (!problem.empty())
            return usageError(problem + " (got '" + (optarg ? optarg : "") + "')");
    }
    if (line.action != CliAction::convert)
        return line;
    for (int i = optind; i < argc; ++i)
        line.files.push_back(platform::fromUtf8(argv[i]));
    return line;
}

void ApplyRunOptions(const RunOptions& o, Settings& s)
{
    if (o.outputType)
        s.outputType = *o.outputType;
    if (o.quality)
        s.Quality = *o.quality;
    if (o.sampling)
        s.Sampling = *o.sampling;
    if (o.limitKilobytes) {
        s.Limit = true;
        s.LmtVal = *o.limitKilobytes;
    }
    if (o.noResize)
        s.Resize = false;
    if (o.resizeMode) {
        s.Resize = true;
        s.RszOpt = *o.resizeMode;
        s.RszSize = o.resizeSize;
    }
    if (o.outputFolder)
        s.OutDir = *o.outputFolder;
    if (o.subFolder) {
        s.MkDirAdd = true;
        s.MkDirStr = *o.subFolder;
    }
}

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

  -f, --format FORMAT   bmp, png, jpeg, gif, webp, avif, or recode
                          (lossless re-encode of JPEG files only); without
                          it DrctCvt decides, and DrctCvt=0 asks (no
                          answer: nothing converted)
  -q, --quality N       JPEG, WebP and AVIF quality, 1..100
      --sampling S      JPEG chroma sampling: 2x2 or 1x1
      --max-kb N        aim each JPEG, WebP or AVIF at N KB at most
                          (searches the quality); a file no quality brings
                          there is written at the lowest, with a warning
      --width N         reduce to N pixels wide
      --height N        reduce to N pixels high
      --long-side N     reduce the longer side to N pixels (one of these
                          three at a time: a run reduces by one side)
      --no-resize       keep the size, whatever the settings say
  -o, --output DIR      write into DIR (default: the folder of the first FILE)
      --subfolder NAME  write into the sub-folder NAME of the output folder
  -j, --jobs N          convert N files at a time (default: number of cores)
      --max-memory SIZE the most memory the pictures being converted take
                          at once, such as 512M or 2G (default: half the
                          physical memory); a file that needs more fails
  -v, --verbose         name each file written
      --quiet           no per-file lines and no progress
      --report=json     one JSON object per FILE on standard output, in
                          order: input, status (converted or skipped),
                          output, reason, width, height, bytes, target_met
  -h, --help            show this help and exit
      --version         show the version and exit
      --                end of options: later arguments are files

SIGINT or SIGTERM stops the batch after the files begun; the others are
skipped.

Exit status: 0 when every file converted, 1 when a file was skipped or
missed its size target or nothing converted, 2 on a bad option or when
vrelk cannot start, 130 or 143 when SIGINT or SIGTERM stopped the batch.

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

}  // namespace vrelk
