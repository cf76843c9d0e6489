#include "app/process_win32.h"

#include "app/app_win32.h"

#include <commctrl.h>
#include <shellapi.h>

#include <utility>

#include "app/commands.h"
#include "app/batch_start.h"
#include "app/shell_os_win32.h"
#include "convert/plugin_host_win32.h"

namespace vrelk {
namespace {

int classifyOs(shell::OsVersion version)
{
    if (version.major == 5)
        return version.minor == 1 ? 1 : 0;
    if (version.major == 6)
        return 2;
    return version.major >= 7 ? 3 : 0;
}

HFONT createUiFont()
{
    return CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"MS UI Gothic");
}

// None when the command line cannot be split.
std::optional<std::vector<std::wstring>> splitFileArguments()
{
    std::vector<std::wstring> files;
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return std::nullopt;
    for (int i = 1; i < count; ++i)
        files.emplace_back(arguments[i]);
    LocalFree(arguments);
    return files;
}

bool buildUserInterface(AppState& state)
{
    state.settings = LoadSettings(state.iniPath);
    if (!state.fileArguments.empty())
        StartPluginHostAhead(optionsFromSettings(state.settings));
    if (!registerWindowClasses(state.ui.instance))
        return false;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_UPDOWN_CLASS | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    state.convertWindow = createConvertWindow(state);
    if (!state.convertWindow)
        return false;
    state.settingsWindow = createSettingsWindow(state, state.convertWindow);
    if (!state.settingsWindow)
        return false;
    updateReductionEnables(state);
    return true;
}

void chooseStart(AppState& state)
{
    if (state.fileArguments.empty()) {
        DragAcceptFiles(state.settingsWindow, TRUE);
        ShowWindow(state.settingsWindow, SW_SHOW);
        return;
    }
    if (const OutputFormat* format = OutputForDirectChoice(state.settings.DrctCvt)) {
        state.settings.outputType = format->outputType;
        StartConversion(state);
        return;
    }
    ShowWindow(state.convertWindow, SW_SHOWNORMAL);
    UpdateWindow(state.convertWindow);
}

int runMessageLoop()
{
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

// The plug-in host of a batch ends with its last file, before any message.
BatchHost batchHost(AppState& state)
{
    BatchHost host{state.settings,
                   [settingsWindow = state.settingsWindow](Settings& settings) {
                       ApplyControlsToSettings(settingsWindow, settings);
                   },
                   [&state](ErrorCode code) { ShowError(visibleWindow(state), code); }};
    host.run = [&state](std::span<const platform::Path> inputs, const ConvertOptions& options) {
        BatchReport report = RunBatchWithProgress(state, inputs, options);
        EndPluginHost();
        return report;
    };
    host.showCancelled = [&state](std::size_t converted) { ShowCancelled(visibleWindow(state), converted); };
    host.showBadSetting = [&state](const BadSetting& bad) {
        shell::showMessage(visibleWindow(state), badSettingMessage(bad), kErrorCaption);
    };
    return host;
}

// Marks the program busy for the life of a batch and its message.
class BusyScope {
public:
    explicit BusyScope(AppState& state) : state_(state) { state_.busy = true; }
    ~BusyScope() { state_.busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    AppState& state_;
};

// Converts `inputs`, then each file list handed over meanwhile, with the
// same output choice. Stopping a batch stops the lists waiting too.
void runBatches(AppState& state, std::vector<platform::Path> inputs)
{
    BatchHost host = batchHost(state);
    BusyScope busy(state);
    for (;;) {
        BatchReport report;
        StartBatch(inputs, host, &report);
        if (report.cancelled)
            state.handedOver.clear();
        if (state.handedOver.empty())
            return;
        inputs = std::move(state.handedOver.front());
        state.handedOver.pop_front();
    }
}

void runPendingDrop(AppState& state)
{
    std::vector<platform::Path> inputs = std::move(*state.pendingDrop);
    state.pendingDrop.reset();
    runBatches(state, std::move(inputs));
    ShowWindow(state.settingsWindow, SW_SHOW);
    ShowWindow(state.convertWindow, SW_HIDE);
    if (std::exchange(state.closeAfterBatch, false))
        PostMessageW(state.convertWindow, WM_CLOSE, 0, 0);
}

void runCommandLine(AppState& state)
{
    std::vector<platform::NativeString> arguments(state.fileArguments.begin(), state.fileArguments.end());
    runBatches(state, inputsFromArguments(arguments));
    state.closeAfterBatch = false;
    SendMessageW(state.convertWindow, WM_CLOSE, 0, 0);
}

}  // namespace

void StartConversion(AppState& state)
{
    if (state.busy)
        return;
    if (state.pendingDrop)
        runPendingDrop(state);
    else
        runCommandLine(state);
}

int RunProcess(void* instance)
{
    // Libraries loaded by name must not come from the current folder, which
    // for a Send To start is wherever the user's files are.
    SetDllDirectoryW(L"");
    AppState state;
    state.ui.instance = static_cast<HINSTANCE>(instance);
    state.osClass = classifyOs(shell::osVersion());
    state.ui.font = createUiFont();
    initialiseHtmlHelp(state.helpCookie);
    auto fileArguments = splitFileArguments();

    int exitCode = 0;
    auto iniPath = LocateSettingsFile();
    if (state.osClass == 0 || !iniPath || !fileArguments) {
        ShowError(nullptr, kErrorStartup);
    } else if (!HandedOverToRunningProgram(*fileArguments)) {
        state.iniPath = *iniPath;
        state.fileArguments = std::move(*fileArguments);
        // The settings window moves and reads shortcuts while it is created.
        shell::ComApartment apartment;
        if (buildUserInterface(state)) {
            chooseStart(state);
            exitCode = runMessageLoop();
            EndPluginHost();
        }
    }

    uninitialiseHtmlHelp(state.helpCookie);
    if (state.ui.font)
        DeleteObject(state.ui.font);
    return exitCode;
}

}  // namespace vrelk
