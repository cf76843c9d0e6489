// The command line of vrelk: options for one run, and what it reports per
// file on standard error.
#pragma once

#include <signal.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/settings.h"
#include "convert/batch.h"

namespace vrelk {

enum class Verbosity { quiet, normal, verbose };

// Choices made on the command line; each one replaces its setting for this
// run only.
struct RunOptions {
    std::optional<std::int32_t> outputType;
    std::optional<std::int32_t> quality;
    std::optional<std::int32_t> sampling;
    std::optional<std::int32_t> limitKilobytes;
    std::optional<std::int32_t> resizeMode;  // with resizeSize, and boxHeight for --fit
    std::int32_t resizeSize = 0;
    std::int32_t boxHeight = 0;
    bool noResize = false;
    std::optional<platform::Path> outputFolder;
    std::optional<platform::NativeString> subFolder;
    unsigned jobs = 1;
    std::optional<std::uint64_t> maxMemory;  // bytes; the platform's default when absent
    Verbosity verbosity = Verbosity::normal;
    bool jsonReport = false;  // one JSON object per input on standard output
    std::optional<std::string> filesFrom;  // "-" for standard input
    bool nullSeparated = false;            // names in filesFrom end with NUL, not newline
    bool recursive = false;
    bool skipExisting = false;
    bool keepAlpha = false;
    std::optional<std::int32_t> keepMetadata;  // the KeepMeta value
    bool keepTime = false;
};

enum class CliAction { convert, help, version, completion, usageError };

struct CommandLine {
    CliAction action = CliAction::convert;
    RunOptions options;
    std::vector<platform::NativeString> files;
    std::string problem;  // for usageError
};

CommandLine ParseCommandLine(int argc, char** argv);
void ApplyRunOptions(const RunOptions& options, Settings& settings);
// The reductions no setting can hold (--fit, --scale), onto a run's options.
void ApplyReduction(const RunOptions& options, ConvertOptions& convert);

// The bash completion script, from the same table as --help.
std::string BashCompletion();
// The closest long option to a mistyped one, or empty.
std::string SuggestedOption(std::string_view mistyped);

std::string HelpText(const std::optional<platform::Path>& settingsFile);
// The settings file's location as --help and the settings listing name it.
std::string SettingsFileText(const platform::Path& settingsFile);
std::string_view UsageLine();
std::string_view VersionText();

// A file name as the per-file lines write it: control characters and the
// backslash escaped as `ls -b` escapes them (\n, \033, \\); other bytes,
// UTF-8 included, as they are.
std::string TerminalName(std::string_view name);

// Why a file was skipped, in a few words.
std::string SkipReasonText(const FileFailure& failure);

// The size each output of a run is aimed at, in bytes: the target of the
// writers that meet one, when the settings or --max-kb set it.
std::optional<std::uint64_t> SizeTarget(const Settings& settings);

// What is known of a file once it is written: its size on the disk, and
// whether it came within the run's size target (none without a target,
// or for a skipped file). The writers keep the smallest file they tried
// when none fits, so a missed target is a warning, not a failure.
struct WrittenFile {
    std::optional<std::uint64_t> bytes;
    std::optional<bool> targetMet;
};
WrittenFile InspectWritten(const FileReport& report, std::optional<std::uint64_t> sizeTarget);

// The JSON report's object for one input, and for an input the batch never
// reached because it stopped as a whole.
std::string JsonReportLine(std::string_view input, const FileReport& report, const WrittenFile& written);
std::string JsonUnreachedLine(std::string_view input, BatchOutcome outcome);
// The object for an input skipped before any batch began.
std::string JsonSkippedLine(std::string_view input, std::string_view reason);
// `text` as a JSON string. Bytes that are not UTF-8 become \udc80..\udcff,
// the way Python's os.fsdecode keeps them, so names survive the round trip.
std::string JsonString(std::string_view text);

// Writes the skipped-file lines, the missed size targets, the written names
// under -v and, on a terminal, a progress line, as each file of the batch
// is done.
class FileReporter {
public:
    FileReporter(Verbosity verbosity, std::span<const platform::NativeString> names, bool terminal,
                 std::optional<std::uint64_t> sizeTarget = std::nullopt);
    // `index` names the input; the progress line counts the calls against
    // `count`, the files the run converts.
    void fileDone(const FileReport& report, const WrittenFile& written, std::size_t index, std::size_t count);
    // The line of an input skipped before any batch began.
    void skipped(std::size_t index, std::string_view reason);
    // Clears the progress line.
    void finish();

private:
    void clearProgress();
    void writeSkipped(const std::string& name, std::string_view reason);

    Verbosity verbosity_;
    std::span<const platform::NativeString> names_;
    bool terminal_;
    std::optional<std::uint64_t> sizeTarget_;
    bool progressShown_ = false;
    std::size_t done_ = 0;
};

// While one lives, SIGINT and SIGTERM stop the batch the way the Windows
// program's 中止 button does: the files begun are finished and named, no
// other is started. A second signal ends the program at once.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    const StopFlag* flag() const;
    // The signal that stopped the batch, or 0.
    int received() const;

private:
    std::array<struct sigaction, 2> previous_{};
    std::array<bool, 2> installed_{};
};

std::string_view SignalName(int signal);

}  // namespace vrelk
