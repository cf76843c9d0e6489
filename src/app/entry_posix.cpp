// The command-line program: the start-up and batch of the Windows program,
// with options for one run, per-file lines on standard error and files
// converted in parallel.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "app/cli_inputs_posix.h"
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
platform::Path absoluteInput(const platform::NativeString& name)
{
    platform::Path input = inputsFromArguments(std::span(&name, 1)).front();
    std::error_code error;
    if (input.is_relative())
        if (platform::Path full = std::filesystem::absolute(input, error); !error)
            input = std::move(full);
    return input;
}

void writeJsonLine(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

constexpr std::string_view kOutputExists = "output exists";

// Consecutive inputs of the run that share an output folder; the inputs
// --skip-existing leaves out belong to none.
struct BatchPart {
    std::optional<platform::Path> outputFolder;  // none: the run's own
    std::vector<std::size_t> inputs;             // indexes into the run's inputs
};

// What a run has to do: its inputs as named, which of them are left out,
// and the batches the rest make.
struct RunPlan {
    std::vector<platform::NativeString> names;
    std::vector<bool> leftOut;
    std::vector<BatchPart> parts;
    std::size_t toConvert = 0;
};

// The folder an input's output goes to: its own, else the run's (the
// settings' or -o, else the first input's), with the sub-folder inside.
platform::Path outputFolderOf(const RunInput& input, const Settings& settings, const platform::Path& firstInput)
{
    platform::Path folder = input.outputFolder ? *input.outputFolder
                            : !settings.OutDir.empty() ? platform::Path(settings.OutDir)
                                                       : firstInput.parent_path();
    if (settings.MkDirAdd && !settings.MkDirStr.empty())
        folder /= settings.MkDirStr;
    return folder;
}

bool outputExists(const RunInput& input, const Settings& settings, const platform::Path& firstInput)
{
    platform::Path output = outputFolderOf(input, settings, firstInput) / absoluteInput(input.name).filename();
    output.replace_extension(platform::fromUtf8(OutputFormatOf(settings.outputType).extension));
    return platform::pathExists(output);
}

RunPlan planRun(std::vector<RunInput> inputs, const Settings& settings, bool skipExisting)
{
    RunPlan plan;
    if (inputs.empty())
        return plan;
    const auto plain = [](const RunInput& input) { return !input.outputFolder; };
    const auto firstPlain = std::find_if(inputs.begin(), inputs.end(), plain);
    const platform::Path firstInput = absoluteInput((firstPlain != inputs.end() ? *firstPlain : inputs.front()).name);
    // Once inputs are left out or found in folders, the batches are several
    // and the first input of each would choose its own output folder: the
    // first named file's is named for all of them.
    const bool several = skipExisting || firstPlain != inputs.begin() ||
                         std::find_if_not(firstPlain, inputs.end(), plain) != inputs.end();
    if (several && settings.OutDir.empty() && platform::folderExists(firstInput.parent_path()))
        for (RunInput& input : inputs)
            if (plain(input))
                input.outputFolder = firstInput.parent_path();
    for (std::size_t index = 0; index < inputs.size(); ++index) {
        plan.names.push_back(inputs[index].name);
        const bool leftOut = skipExisting && outputExists(inputs[index], settings, firstInput);
        plan.leftOut.push_back(leftOut);
        if (leftOut)
            continue;
        if (plan.parts.empty() || plan.parts.back().outputFolder != inputs[index].outputFolder)
            plan.parts.push_back(BatchPart{inputs[index].outputFolder, {}});
        plan.parts.back().inputs.push_back(index);
        ++plan.toConvert;
    }
    return plan;
}

// A folder found by --recursive is made under the output folder, when
// that exists, before its batch.
bool prepareOutputFolder(const BatchPart& part)
{
    if (!part.outputFolder || platform::folderExists(*part.outputFolder))
        return true;
    std::error_code error;
    std::filesystem::create_directories(*part.outputFolder, error);
    return !error && platform::folderExists(*part.outputFolder);
}

// Runs the parts in order, reporting each input in input order: on
// standard error as it is done, and with --report=json on standard output.
class RunReporter {
public:
    RunReporter(const CommandLine& line, const RunPlan& plan, std::optional<std::uint64_t> sizeTarget)
        : line_(line), plan_(plan), sizeTarget_(sizeTarget),
          files_(line.options.verbosity, plan.names, ::isatty(STDERR_FILENO) == 1, sizeTarget)
    {
    }

    void fileDone(const FileReport& file, std::size_t index)
    {
        reachInput(index);
        const WrittenFile written = InspectWritten(file, sizeTarget_);
        targetMissed_ |= written.targetMet == false || file.timeKept == false;
        failed_ |= !file.converted();
        converted_ += file.converted() ? 1 : 0;
        files_.fileDone(file, written, index, plan_.toConvert);
        if (line_.options.jsonReport)
            writeJsonLine(JsonReportLine(platform::toUtf8(plan_.names[index]), file, written));
        next_ = index + 1;
    }

    // An input a batch never reached: its JSON line.
    void unreached(std::size_t index, const std::string& line)
    {
        reachInput(index);
        if (line_.options.jsonReport)
            writeJsonLine(line);
        failed_ = true;
        next_ = index + 1;
    }

    // The inputs left out up to `index`.
    void reachInput(std::size_t index)
    {
        for (; next_ < index && next_ < plan_.leftOut.size(); ++next_)
            if (plan_.leftOut[next_] && line_.options.jsonReport)
                writeJsonLine(JsonSkippedLine(platform::toUtf8(plan_.names[next_]), kOutputExists));
    }

    void finish() { files_.finish(); }
    std::size_t reached() const { return next_; }
    std::size_t converted() const { return converted_; }
    bool failed() const { return failed_ || targetMissed_; }

private:
    const CommandLine& line_;
    const RunPlan& plan_;
    std::optional<std::uint64_t> sizeTarget_;
    FileReporter files_;
    std::size_t next_ = 0;
    std::size_t converted_ = 0;
    bool failed_ = false;
    bool targetMissed_ = false;
};

// A batch stopped by a signal: the files it never reached are skipped, and
// the exit status is the shell's for a program the signal ended.
int reportStopped(const CommandLine& line, const RunPlan& plan, RunReporter& reporter, int signal)
{
    std::string reason = "not converted: the batch was stopped by ";
    reason += SignalName(signal);
    if (line.options.jsonReport)
        for (std::size_t index = reporter.reached(); index < plan.names.size(); ++index)
            writeJsonLine(JsonSkippedLine(platform::toUtf8(plan.names[index]), reason));
    // Said even under --quiet, like the batch messages: the Windows program
    // tells how many files a stopped batch converted.
    std::cerr << "vrelk: stopped by " << SignalName(signal) << ": " << reporter.converted() << " of "
              << plan.toConvert << " files converted" << std::endl;
    return kExitSignalled + signal;
}

// The message of the run as a whole: a part's trouble with its folders or
// memory, else "nothing converted" when no part converted anything.
std::optional<ErrorCode> runMessage(const std::vector<ErrorCode>& partMessages, std::size_t converted)
{
    for (ErrorCode code : partMessages)
        if (code != kErrorNothingConverted)
            return code;
    if (!partMessages.empty() && converted == 0)
        return kErrorNothingConverted;
    return std::nullopt;
}

void sayCounts(const CommandLine& line, const RunPlan& plan, std::size_t notPictures)
{
    if (line.options.verbosity == Verbosity::quiet)
        return;
    const auto leftOut = static_cast<std::size_t>(std::count(plan.leftOut.begin(), plan.leftOut.end(), true));
    if (notPictures > 0)
        std::cerr << "vrelk: " << notPictures << " files in the folders are not pictures: left alone" << std::endl;
    if (leftOut > 0)
        std::cerr << "vrelk: " << leftOut << " files left out: their output exists" << std::endl;
}

// The whole-batch message as before, and exit status 1 also when any file
// was skipped or missed its size target, so that scripts notice.
int convertFiles(const CommandLine& line, Settings settings)
{
    if (line.options.outputFolder && !platform::folderExists(*line.options.outputFolder)) {
        std::error_code error;
        std::filesystem::create_directories(*line.options.outputFolder, error);
        if (error) {
            std::cerr << "vrelk: cannot create the output folder " << line.options.outputFolder->string() << ": "
                      << error.message() << std::endl;
            return kExitStartupFailed;
        }
    }
    const std::optional<platform::Path> outputRoot =
        settings.OutDir.empty() ? std::nullopt : std::optional(platform::Path(settings.OutDir));
    RunInputs inputs = GatherInputs(line, settings.outputType, outputRoot);
    if (!inputs.problem.empty()) {
        std::cerr << "vrelk: " << inputs.problem << std::endl;
        return kExitStartupFailed;
    }
    const RunPlan plan = planRun(std::move(inputs.files), settings, line.options.skipExisting);
    RunReporter reporter(line, plan, SizeTarget(settings));
    if (line.options.maxMemory)
        platform::processMemoryBudget().setTotal(*line.options.maxMemory);
    const StopSignals stopSignals;
    std::vector<ErrorCode> partMessages;
    for (const BatchPart& part : plan.parts) {
        if (stopSignals.received() != 0)
            break;
        Settings partSettings = settings;
        if (part.outputFolder)
            partSettings.OutDir = *part.outputFolder;
        if (!prepareOutputFolder(part)) {
            partMessages.push_back(kErrorBadOutputFolder);
            for (std::size_t index : part.inputs)
                reporter.unreached(index, JsonUnreachedLine(platform::toUtf8(plan.names[index]),
                                                            BatchOutcome::badOutputFolder));
            continue;
        }
        std::vector<platform::Path> paths;
        for (std::size_t index : part.inputs)
            paths.push_back(absoluteInput(plan.names[index]));
        BatchHost host{partSettings, nullptr, [&](ErrorCode code) { partMessages.push_back(code); }};
        host.run = [&](std::span<const platform::Path> files, const ConvertOptions& options) {
            ConvertOptions reduced = options;
            ApplyReduction(line.options, reduced);
            const auto fileDone = [&](const FileReport& file, std::size_t index, std::size_t) {
                reporter.fileDone(file, part.inputs[index]);
            };
            BatchReport ran = RunBatchInParallel(files, reduced, line.options.jobs, fileDone, stopSignals.flag());
            // Inputs the batch never reached, when it stopped as a whole.
            if (stopSignals.received() == 0)
                for (std::size_t index = ran.files.size(); index < part.inputs.size(); ++index) {
                    const std::size_t input = part.inputs[index];
                    reporter.unreached(input, JsonUnreachedLine(platform::toUtf8(plan.names[input]), ran.outcome));
                }
            return ran;
        };
        StartBatch(paths, host);
    }
    reporter.finish();
    if (const int signal = stopSignals.received(); signal != 0)
        return reportStopped(line, plan, reporter, signal);
    reporter.reachInput(plan.names.size());
    sayCounts(line, plan, inputs.notPictures);
    const std::optional<ErrorCode> message = runMessage(partMessages, reporter.converted());
    if (message)
        ShowError(nullptr, *message);
    return message || reporter.failed() ? kExitBatchMessage : kExitOk;
}

// A stored size the run would use but no option replaced is refused before
// any file, naming its key.
bool refuseBadSizeSetting(const Settings& run)
{
    const std::optional<BadSetting> bad = badSizeSetting(run);
    if (bad)
        shell::showMessage(nullptr, badSettingMessage(*bad), kErrorCaption);
    return bad.has_value();
}

// Declining the format question converts nothing, which a script must be
// able to tell from a batch that converted everything.
int reportNoFormatChosen(const CommandLine& line)
{
    // Every input the run would have taken, also those of a list or a
    // folder, is named; no picture is a picture of no format.
    std::vector<platform::NativeString> names;
    for (RunInput& input : GatherInputs(line, kOutputBmp, std::nullopt).files)
        names.push_back(std::move(input.name));
    FileReporter reporter(line.options.verbosity, names, false);
    for (std::size_t index = 0; index < names.size(); ++index) {
        reporter.skipped(index, kNoFormatChosen);
        if (line.options.jsonReport)
            writeJsonLine(JsonSkippedLine(platform::toUtf8(names[index]), kNoFormatChosen));
    }
    return kExitBatchMessage;
}

}  // namespace

int main(int argc, char** argv)
{
    setMessageLanguage(languageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")));
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
    if (line.action == CliAction::completion) {
        std::cout << BashCompletion();
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
    if (line.files.empty() && !line.options.filesFrom) {
        printSettings(humanStream(line.options), *iniPath, settings);
    } else {
        auto outputType = line.options.outputType;
        if (!outputType)
            if (const OutputFormat* fixed = OutputForDirectChoice(settings.DrctCvt))
                outputType = fixed->outputType;
        // Standard input carrying the file list has no answer to give.
        if (!outputType && line.options.filesFrom != "-")
            outputType = askForOutputType(humanStream(line.options));
        if (outputType) {
            // The stored values are bounded and checked as before; the
            // options then change only this run's copy.
            applyControlBounds(settings);
            Settings run = settings;
            run.outputType = *outputType;
            ApplyRunOptions(line.options, run);
            status = refuseBadSizeSetting(run) ? kExitStartupFailed : convertFiles(line, run);
        } else {
            status = reportNoFormatChosen(line);
        }
    }
    // A settings file that cannot be created is not reported, nor one that
    // appeared during the run, which is left alone.
    if (createSettingsFile)
        (void)CreateSettingsFile(settings, *iniPath);
    return status;
}
