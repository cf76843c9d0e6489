// The command-line program: the same start-up and batch as the Windows
// program, with standard input and output in place of its windows.
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/controls.h"
#include "app/conversion.h"
#include "app/settings.h"

namespace {

using namespace vrelk;

enum ExitStatus { kExitOk = 0, kExitBatchMessage = 1, kExitStartupFailed = 2 };

struct FormatKey {
    char key;
    int command;
    const char* label;
};

// In the order of the convert window's buttons.
constexpr FormatKey kFormatKeys[] = {
    {'B', kCommandBmp, "BMP(B)"},   {'P', kCommandPng, "PNG(P)"},       {'G', kCommandGif, "GIF(G)"},
    {'J', kCommandJpeg, "JPEG(J)"}, {'T', kCommandRecode, "JPEG変換(T)"},
};

std::optional<std::int32_t> askForOutputType()
{
    for (const FormatKey& format : kFormatKeys)
        std::cout << format.label << "  ";
    std::cout << "\n> " << std::flush;

    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    char key = static_cast<char>(std::toupper(static_cast<unsigned char>(line[first])));
    for (const FormatKey& format : kFormatKeys)
        if (format.key == key)
            return outputTypeForCommand(format.command);
    return std::nullopt;
}

void printSettings(const platform::Path& iniPath, const Settings& settings)
{
    std::cout << "Settings file: " << iniPath.string() << "\n";
    for (const shell::IniEntry& entry : settingsEntries(settings))
        std::cout << entry.key << '=' << platform::toUtf8(entry.value) << "\n";
}

int startConversion(int argc, char** argv, Settings& settings)
{
    std::vector<platform::NativeString> arguments(argv + 1, argv + argc);
    std::vector<platform::Path> inputs = inputsFromArguments(arguments);
    bool messageShown = false;
    BatchHost host{settings, ApplyControlsToSettings, [&](ErrorCode code) {
                       ShowError(nullptr, code);
                       messageShown = true;
                   }};
    StartBatch(inputs, host);
    return messageShown ? kExitBatchMessage : kExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    auto iniPath = LocateSettingsFile();
    if (!iniPath || shell::osVersion().major < 5) {
        ShowError(nullptr, kErrorStartup);
        return kExitStartupFailed;
    }
    Settings settings = LoadSettings(*iniPath);

    int status = kExitOk;
    if (argc < 2) {
        printSettings(*iniPath, settings);
    } else {
        auto outputType = outputTypeForDirectChoice(settings.DrctCvt);
        if (!outputType)
            outputType = askForOutputType();
        if (outputType) {
            settings.outputType = *outputType;
            status = startConversion(argc, argv, settings);
        }
    }
    // A settings file that cannot be written is not reported.
    (void)SaveSettings(settings, *iniPath);
    return status;
}
