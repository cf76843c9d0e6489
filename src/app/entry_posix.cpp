// The command-line program: the start-up and batch of the Windows program,
// with options for one run, per-file lines on standard error and files
// converted in parallel.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "app/cli_posix.h"
#include "platform/memory_budget.h"
#include "app/commands.h"
#include "app/batch_start.h"
#include "app/settings.h"

namespace {

using namespace vrelk;

enum ExitStatus { kExitOk = 0, kExitBatchMessage = 1, kExitStartupFailed = 2, kExitSignalled = 128 };

// The output keys in the order of the convert window's buttons.
constexpr std::string_view kPromptKeys = "BPGJTWA";

constexpr std::string_view kNoFormatChosen = "no format chosen";

// With the JSON report, standard output carries only its lines.
std::ostream& humanStream(const RunOptions& options) { return options.jsonReport ? std::cerr : std::cout; }

std::optional<std::int32_t> askForOutputType(std::ostream& prompt)
{
    for (char key : kPromptKeys)
        prompt << OutputForKey(key)->label << "  ";
    prompt << "\n> " << std::flush;

    std::string line;
    if (!std::getline(std::cin, line)) {
        prompt << std::endl;
        return std::nullopt;
    }
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    char key = static_cast<char>(std::toupper(static_cast<unsigned char>(line[first])));
    const OutputFormat* format = OutputForKey(key);
    if (!format)
        return std::nullopt;
    return format->outputType;
}

void printSettings(std::ostream& out, const platform::Path& iniPath, const Settings& settings)
{
    out << "Settings file: " << SettingsFileText(iniPath) << "\n";
    for (const shell::IniEntry& entry : settingsEntries(settings))
        out << entry.key << '=' << platform::toUtf8(entry.value) << "\n";
}

// The output folder is by default the first input's folder. A relative
// name is taken from the current folder whether or not its file exists, so
// a mistyped first name (a bare one has no folder part) fails alone as
// "no such file" rather than leaving the batch without an output folder.
std::vector<platform::Path> inputsOfRun(std::span<const platform::NativeString> files)
{
    std::vector<platform::Path> inputs = inputsFromArguments(files);
    for (platform::Path& input : inputs) {
        std::error_code error;
        if (input.is_relative())
            if (platform::Path full = std::filesystem::absolute(input, error); !error)
                input = std::move(full);
    }
    return inputs;
}

void writeJsonLine(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A batch stopped by a signal: the files it never reached are skipped, and
// the exit status is the shell's for a program the signal ended.
int reportStopped(const CommandLine& line, const BatchReport& report, int signal)
{
    std::string reason = "not converted: the batch was stopped by ";
    reason += SignalName(signal);
    if (line.options.jsonReport)
        for (std::size_t index = report.files.size(); index < line.files.size(); ++index)
            writeJsonLine(JsonSkippedLine(platform::toUtf8(line.files[index]), reason));
    // Said even under --quiet, like the batch messages: the Windows program
    // tells how many files a stopped batch converted.
    std::cerr << "vrelk: stopped by " << SignalName(signal) << ": " << convertedCount(report) << " of "
              << line.files.size() << " files converted" << std::endl;
    return kExitSignalled + signal;
}

// The whole-batch message as before, and exit status 1 also when any file
// was skipped or missed its size target, so that scripts notice.
int convertFiles(const CommandLine& line, Settings settings)
{
    std::vector<platform::Path> inputs = inputsOfRun(line.files);
    const std::optional<std::uint64_t> sizeTarget = SizeTarget(settings);
    FileReporter reporter(line.options.verbosity, line.files, ::isatty(STDERR_FILENO) == 1, sizeTarget);
    const bool json = line.options.jsonReport;
    bool targetMissed = false;
    const auto fileDone = [&](const FileReport& file, std::size_t index, std::size_t count) {
        const WrittenFile written = InspectWritten(file, sizeTarget);
        targetMissed |= written.targetMet == false;
        reporter.fileDone(file, written, index, count);
        if (json)
            writeJsonLine(JsonReportLine(platform::toUtf8(line.files[index]), file, written));
    };
    if (line.options.maxMemory)
        platform::processMemoryBudget().setTotal(*line.options.maxMemory);
    const StopSignals stopSignals;
    // Read once, when the batch has ended: a signal's own report then
    // replaces the batch message and the unreached inputs' lines.
    int stoppedBy = 0;
    bool messageShown = false;
    // The settings come bounded and checked, with the options applied.
    BatchHost host{settings, nullptr, [&](ErrorCode code) {
                       if (stoppedBy != 0)
                           return;
                       ShowError(nullptr, code);
                       messageShown = true;
                   }};
    host.run = [&](std::span<const platform::Path> files, const ConvertOptions& options) {
        BatchReport ran = RunBatchInParallel(files, options, line.options.jobs, fileDone, stopSignals.flag());
        reporter.finish();
        stoppedBy = stopSignals.received();
        // Inputs the batch never reached, when it stopped as a whole.
        if (json && stoppedBy == 0)
            for (std::size_t index = ran.files.size(); index < line.files.size(); ++index)
                writeJsonLine(JsonUnreachedLine(platform::toUtf8(line.files[index]), ran.outcome));
        return ran;
    };
    BatchReport report;
    StartBatch(inputs, host, &report);
    if (stoppedBy != 0)
        return reportStopped(line, report, stoppedBy);
    if (messageShown)
        return kExitBatchMessage;
    for (const FileReport& file : report.files)
        if (!file.converted())
            return kExitBatchMessage;
    return targetMissed ? kExitBatchMessage : kExitOk;
}

// Declining the format question converts nothing, which a script must be
// able to tell from a batch that converted everything.
int reportNoFormatChosen(const CommandLine& line)
{
    FileReporter reporter(line.options.verbosity, line.files, false);
    for (std::size_t index = 0; index < line.files.size(); ++index) {
        reporter.skipped(index, kNoFormatChosen);
        if (line.options.jsonReport)
            writeJsonLine(JsonSkippedLine(platform::toUtf8(line.files[index]), kNoFormatChosen));
    }
    return kExitBatchMessage;
}

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.action == CliAction::usageError) {
        std::cerr << "vrelk: " << line.problem << "\n" << UsageLine() << std::endl;
        return kExitStartupFailed;
    }
    // Without a home the settings file would go beside the program, in a
    // folder of the system's: vrelk then runs on the defaults and writes
    // nothing.
    auto iniPath = LocateSettingsFile(WithoutUserFolder::nowhere);
    if (line.action == CliAction::help) {
        std::cout << HelpText(iniPath);
        return kExitOk;
    }
    if (line.action == CliAction::version) {
        std::cout << VersionText();
        return kExitOk;
    }
    if (!iniPath) {
        ShowError(nullptr, kErrorStartup);
        return kExitStartupFailed;
    }
    // The file may be shared with the Windows program and hold what only it
    // uses (the plug-in folder), or folders of another machine: it is
    // created when missing and otherwise never written.
    const bool createSettingsFile = !iniPath->empty() && !platform::pathExists(*iniPath);
    Settings settings = LoadSettings(*iniPath);

    int status = kExitOk;
    if (line.files.empty()) {
        printSettings(humanStream(line.options), *iniPath, settings);
    } else {
        auto outputType = line.options.outputType;
        if (!outputType)
            if (const OutputFormat* fixed = OutputForDirectChoice(settings.DrctCvt))
                outputType = fixed->outputType;
        if (!outputType)
            outputType = askForOutputType(humanStream(line.options));
        if (outputType) {
            // The stored values are bounded and checked as before; the
            // options then change only this run's copy.
            applyControlBounds(settings);
            Settings run = settings;
            run.outputType = *outputType;
            ApplyRunOptions(line.options, run);
            status = convertFiles(line, run);
        } else {
            status = reportNoFormatChosen(line);
        }
    }
    // A settings file that cannot be created is not reported.
    if (createSettingsFile)
        (void)SaveSettings(settings, *iniPath);
    return status;
}
