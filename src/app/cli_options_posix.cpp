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

#include "app/cli_option_table_posix.h"
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

using Handler = OptionHandler;

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

// Both sides within the settings' bounds, as WIDTHxHEIGHT.
std::string setFit(RunOptions& o, std::string_view v)
{
    const std::size_t cross = v.find('x');
    const auto width =
        cross == std::string_view::npos ? std::nullopt : parseNumberOption(v.substr(0, cross), keys::kRszSize);
    const auto height = width ? parseNumberOption(v.substr(cross + 1), keys::kRszSize) : std::nullopt;
    if (!height)
        return "box must be WIDTHxHEIGHT in pixels, each " + boundsText(keys::kRszSize);
    o.resizeMode = kReduceToFit;
    o.resizeSize = *width;
    o.boxHeight = *height;
    o.noResize = false;
    return "";
}

// A reduction only: 100% keeps the size.
constexpr NumberKey kScalePercent{"scale", 100, 1, 100, OnLoad::asStored};

std::string setScale(RunOptions& o, std::string_view v)
{
    if (!v.empty() && v.back() == '%')
        v.remove_suffix(1);
    const auto percent = parseNumberOption(v, kScalePercent);
    if (!percent)
        return "scale must be a percentage " + boundsText(kScalePercent);
    o.resizeMode = kReduceByPercent;
    o.resizeSize = *percent;
    o.noResize = false;
    return "";
}

std::string setNoResize(RunOptions& o, std::string_view)
{
    o.noResize = true;
    o.resizeMode.reset();
    return "";
}

// Made, like mkdir -p, once the run starts.
std::string setOutput(RunOptions& o, std::string_view v)
{
    platform::Path folder(v);
    if (v.empty() || (platform::pathExists(folder) && !platform::folderExists(folder)))
        return "output folder is not a folder";
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

std::string setFilesFrom(RunOptions& o, std::string_view v)
{
    if (v.empty())
        return "file list must name a file, or - for standard input";
    o.filesFrom = std::string(v);
    return "";
}

std::string setNull(RunOptions& o, std::string_view)
{
    o.nullSeparated = true;
    return "";
}

std::string setRecursive(RunOptions& o, std::string_view)
{
    o.recursive = true;
    return "";
}

std::string setSkipExisting(RunOptions& o, std::string_view)
{
    o.skipExisting = true;
    return "";
}

std::string setKeepMetadata(RunOptions& o, std::string_view v)
{
    if (v.empty())
        o.keepMetadata = 1;
    else if (v == "no-location")
        o.keepMetadata = 2;
    else
        return "--keep-metadata takes nothing or =no-location";
    return "";
}

std::string setKeepTime(RunOptions& o, std::string_view)
{
    o.keepTime = true;
    return "";
}

std::string setKeepAlpha(RunOptions& o, std::string_view)
{
    o.keepAlpha = true;
    return "";
}

std::string setKeepAll(RunOptions& o, std::string_view)
{
    o.keepAlpha = true;
    o.keepMetadata = 1;
    o.keepTime = true;
    return "";
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

enum OptionId : int {
    kHelp = 'h',
    kVersion = 256,
    kWidth = 259,
    kHeight = 260,
    kLongSide = 261,
    kFit = 269,
    kScale = 270,
    kCompletion = 271,
    kKeepTime = 272,
    kKeepMetadata = 273,
    kKeepAlpha = 274,
    kKeepAll = 275,
};

// Each names the one reduction a run makes.
constexpr int kReductionOptions[] = {kWidth, kHeight, kLongSide, kFit, kScale};

bool isReductionOption(int id)
{
    return std::find(std::begin(kReductionOptions), std::end(kReductionOptions), id) != std::end(kReductionOptions);
}

std::string formatWords()
{
    std::string words;
    for (const OutputFormat& format : OutputFormats())
        words += std::string(words.empty() ? "" : " ") + std::string(format.cliName);
    return words;
}

std::string samplingWords()
{
    std::string words;
    for (const NamedValue& choice : keys::kSamplings)
        words += std::string(words.empty() ? "" : " ") + std::string(choice.cliName);
    return words;
}

std::string reportWords() { return "json"; }
std::string completionWords() { return "bash"; }

constexpr auto kNone = ValueKind::none;
constexpr auto kWords = ValueKind::words;

const std::array<OptionEntry, 28> kOptions{{
    {{"format", required_argument, nullptr, 'f'}, " FORMAT",
     "bmp, png, jpeg, gif, webp, avif, or recode\n(lossless re-encode of JPEG files only); without\n"
     "it DrctCvt decides, and DrctCvt=0 asks (no\nanswer: nothing converted)",
     kWords, formatWords, setFormat},
    {{"quality", required_argument, nullptr, 'q'}, " N", "JPEG, WebP and AVIF quality, 1..100", kNone, nullptr, setQuality},
    {{"sampling", required_argument, nullptr, 257}, " S", "JPEG chroma sampling: 2x2 or 1x1", kWords, samplingWords,
     setSampling},
    {{"max-kb", required_argument, nullptr, 258}, " N",
     "aim each JPEG, WebP or AVIF at N KB at most\n(searches the quality); a file no quality brings\n"
     "there is written at the lowest, with a warning",
     kNone, nullptr, setMaxKilobytes},
    {{"width", required_argument, nullptr, kWidth}, " N", "reduce to N pixels wide", kNone, nullptr, setWidth},
    {{"height", required_argument, nullptr, kHeight}, " N", "reduce to N pixels high", kNone, nullptr, setHeight},
    {{"long-side", required_argument, nullptr, kLongSide}, " N", "reduce the longer side to N pixels", kNone, nullptr,
     setLongSide},
    {{"fit", required_argument, nullptr, kFit}, " WxH", "reduce to fit inside W by H pixels, keeping\nthe aspect ratio",
     kNone, nullptr, setFit},
    {{"scale", required_argument, nullptr, kScale}, " N%",
     "reduce both sides to N percent (one of --width,\n--height, --long-side, --fit and --scale at a time)", kNone,
     nullptr, setScale},
    {{"no-resize", no_argument, nullptr, 262}, "", "keep the size, whatever the settings say", kNone, nullptr,
     setNoResize},
    {{"output", required_argument, nullptr, 'o'}, " DIR",
     "write into DIR, made when missing (default: the\nfolder of the first FILE)", ValueKind::folder, nullptr,
     setOutput},
    {{"subfolder", required_argument, nullptr, 263}, " NAME", "write into the sub-folder NAME of the output folder",
     kNone, nullptr, setSubFolder},
    {{"recursive", no_argument, nullptr, 'r'}, "",
     "convert the pictures in each folder FILE and below,\ninto the same folders under the output folder\n"
     "(default: beside each picture); other files are\nskipped silently and counted",
     kNone, nullptr, setRecursive},
    {{"files-from", required_argument, nullptr, 267}, " LIST",
     "also convert the files named in LIST, one a line\n(- reads standard input)", ValueKind::file, nullptr,
     setFilesFrom},
    {{"null", no_argument, nullptr, '0'}, "",
     "names in LIST end with NUL rather than newline,\nas find -print0 writes them", kNone, nullptr, setNull},
    {{"skip-existing", no_argument, nullptr, 268}, "",
     "leave out a file whose output name (without +N)\nexists already",
     kNone, nullptr, setSkipExisting},
    {{"keep-alpha", no_argument, nullptr, kKeepAlpha}, "",
     "keep transparency in PNG, WebP and GIF outputs\n(the KeepAlpha setting)", kNone, nullptr, setKeepAlpha},
    {{"keep-metadata", optional_argument, nullptr, kKeepMetadata}, "[=no-location]",
     "carry Exif and XMP into JPEG, PNG and WebP\noutputs, or all but where the picture was taken\n(the KeepMeta setting)",
     kNone, nullptr, setKeepMetadata},
    {{"keep-time", no_argument, nullptr, kKeepTime}, "",
     "give each output its input's modification time\n(the KeepTime setting)", kNone, nullptr, setKeepTime},
    {{"keep", no_argument, nullptr, kKeepAll}, "", "all three: --keep-alpha --keep-metadata --keep-time", kNone,
     nullptr, setKeepAll},
    {{"jobs", required_argument, nullptr, 'j'}, " N", "convert N files at a time (default: number of cores)", kNone,
     nullptr, setJobs},
    {{"max-memory", required_argument, nullptr, 266}, " SIZE",
     "the most memory the pictures being converted take\nat once, such as 512M or 2G (default: half the\n"
     "physical memory); a file that needs more fails",
     kNone, nullptr, setMaxMemory},
    {{"verbose", no_argument, nullptr, 'v'}, "", "name each file written", kNone, nullptr, setVerbose},
    {{"quiet", no_argument, nullptr, 264}, "", "no per-file lines and no progress", kNone, nullptr, setQuiet},
    {{"report", required_argument, nullptr, 265}, "=json",
     "one JSON object per FILE on standard output, in\norder: input, status (converted or skipped),\n"
     "output, reason, width, height, bytes, target_met",
     kWords, reportWords, setReport},
    {{"completion", required_argument, nullptr, kCompletion}, "=bash", "print the bash completion script and exit",
     kWords, completionWords, nullptr},
    {{"help", no_argument, nullptr, 'h'}, "", "show this help and exit", kNone, nullptr, nullptr},
    {{"version", no_argument, nullptr, kVersion}, "", "show the version and exit", kNone, nullptr, nullptr},
}};

using GetoptOptions = std::array<option, kOptions.size() + 1>;

GetoptOptions longOptions()
{
    GetoptOptions options{};
    for (std::size_t i = 0; i < kOptions.size(); ++i)
        options[i] = kOptions[i].longOption;
    return options;  // ends with the zeroed entry getopt_long looks for
}

// The letters of the options that have one, for getopt_long.
std::string shortOptions()
{
    std::string letters;
    for (const OptionEntry& entry : kOptions) {
        const int id = entry.longOption.val;
        if (id > 0 && id < 128) {
            letters += static_cast<char>(id);
            if (entry.longOption.has_arg == required_argument)
                letters += ':';
        }
    }
    return letters;
}

const OptionEntry* entryFor(int id)
{
    for (const OptionEntry& entry : kOptions)
        if (entry.longOption.val == id)
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

// An unknown option as the user wrote it, with a likely meaning when one
// is near.
CommandLine unknownOption(std::string_view written)
{
    std::string problem = "unknown option " + quotedArgument(written);
    if (written.substr(0, 2) == "--") {
        const std::string suggestion = SuggestedOption(written.substr(2, written.find('=') - 2));
        if (!suggestion.empty())
            problem += "; did you mean --" + suggestion + "?";
    }
    return usageError(problem);
}

}  // namespace

std::span<const OptionEntry> OptionTable() { return kOptions; }

CommandLine ParseCommandLine(int argc, char** argv)
{
    static const GetoptOptions options = longOptions();
    static const std::string letters = shortOptions();
    CommandLine line;
    line.options.jobs = defaultJobs();
    opterr = 0;
    optind = 0;  // 0 rather than 1 also resets GNU getopt's scanning state
    std::optional<int> reduction;
    for (;;) {
        int id = getopt_long(argc, argv, letters.c_str(), options.data(), nullptr);
        if (id == -1)
            break;
        if (id == '?') {
            const OptionEntry* wanted = optopt != 0 ? entryFor(optopt) : nullptr;
            if (wanted && wanted->longOption.has_arg == required_argument)
                return usageError("option needs a value: " + quotedArgument(argv[optind - 1]));
            if (optopt != 0)
                return usageError("unknown option " + quotedArgument(std::string{'-', static_cast<char>(optopt)}));
            return unknownOption(argv[optind - 1]);
        }
        if (id == kHelp || id == kVersion) {
            line.action = id == kHelp ? CliAction::help : CliAction::version;
            continue;
        }
        if (id == kCompletion) {
            if (std::string_view(optarg) != "bash")
                return usageError("completion is only made for bash (got '" + std::string(optarg) + "')");
            line.action = CliAction::completion;
            continue;
        }
        if (isReductionOption(id)) {
            if (reduction && *reduction != id)
                return usageError("--width, --height, --long-side, --fit and --scale cannot be combined: give one of "
                                  "them");
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
    if (line.options.nullSeparated && !line.options.filesFrom)
        return usageError("--null needs --files-from");
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
    if (o.keepAlpha)
        s.KeepAlpha = true;
    if (o.keepMetadata)
        s.KeepMeta = *o.keepMetadata;
    if (o.keepTime)
        s.KeepTime = true;
}

void ApplyReduction(const RunOptions& o, ConvertOptions& convert)
{
    if (!o.resizeMode)
        return;
    convert.resize = true;
    convert.resizeMode = *o.resizeMode;
    convert.resizeSize = o.resizeSize;
    convert.boxHeight = o.boxHeight;
}

}  // namespace vrelk
