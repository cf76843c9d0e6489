// The plug-in host of the Windows program: filters that fault or spin cost
// only their own file, filters that hang cost one wait in the batch, and the
// host ends with the program.
#include "plugin_setup.h"

#include <tlhelp32.h>

using namespace plugin_setup;
using namespace wine_harness;

namespace {

// Copies of Vrelk.exe still running: a plug-in host left behind shows here.
std::size_t programsRunning()
{
    std::size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += lstrcmpiW(entry.szExeFile, L"Vrelk.exe") == 0;
    CloseHandle(snapshot);
    return count;
}

bool waitUntilNoProgramRuns(DWORD milliseconds)
{
    for (DWORD waited = 0; programsRunning() != 0; waited += 100) {
        if (waited >= milliseconds)
            return false;
        Sleep(100);
    }
    return true;
}

std::vector<std::wstring> listedSpi(const Folder& spi)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(spi.file(L"*.spi").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.emplace_back(entry.cFileName);
    while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

// Installs `built` under a name the folder lists before `other`, so that
// the filters after it are asked only if the program gets past it.
std::wstring installListedBefore(Harness& h, const Folder& spi, const std::wstring& built, const std::wstring& other)
{
    for (int i = 0; i < 50; ++i) {
        const std::wstring name = L"c" + std::to_wstring(i) + L".spi";
        installPlugin(h, spi, built, name);
        std::vector<std::wstring> listed = listedSpi(spi);
        if (std::find(listed.begin(), listed.end(), name) < std::find(listed.begin(), listed.end(), other))
            return name;
        DeleteFileW(spi.file(name).c_str());
    }
    return {};
}

struct BatchEnd {
    bool ended = false;
    std::wstring message;  // the message box's text, empty when none
    DWORD milliseconds = 0;
};

BatchEnd runBatch(const Setup& setup, const std::vector<std::wstring>& inputs)
{
    SetEnvironmentVariableW(TP_LOG_VARIABLE, setup.folder.file(L"calls.log").c_str());
    const DWORD began = GetTickCount();
    Process process = Process::start(setup.exe, inputs, setup.temp.path());
    BatchEnd end;
    Window box = process.waitForMessageBox(60000);
    if (box.valid()) {
        end.message = box.messageText();
        box.dismiss();
    }
    end.ended = process.waitForExit(10000);
    end.milliseconds = GetTickCount() - began;
    SetEnvironmentVariableW(TP_LOG_VARIABLE, nullptr);
    return end;
}

Picture acceptedOnlyBy(const std::wstring& plugin)
{
    Picture picture;
    picture.acceptName = utf8(plugin);
    return picture;
}

}  // namespace

// A filter that faults or never returns costs its own file: the files
// around it convert, the batch ends as one with a refused file ends, and
// no host process or temporary file stays behind.
WINE_TEST(pluginHostFaultCostsOnlyItsFile)
{
    struct Case {
        const wchar_t* label;
        const wchar_t* built;
        DWORD mostMilliseconds;  // the host's time limit is 20 s a file
    };
    const Case cases[] = {
        {L"null write in GetPicture", L"tp_crashpicture.spi", 15000},
        {L"endless loop in GetPicture", L"tp_hangpicture.spi", 30000},
        {L"fault in IsSupported", L"tp_crashsupported.spi", 15000},
    };
    const std::wstring good = L"good.spi";
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring label = c.label;
        Setup setup(h, L"plugin-fault" + std::to_wstring(index++));
        Folder spi = setup.spi(h);
        installPlugin(h, spi, L"tp_filter.spi", good);
        const std::wstring faulty = installListedBefore(h, spi, c.built, good);
        h.check(!faulty.empty(), label + L": the faulty filter is listed first");
        setup.folder.writeSettings(spiSetting(spi).c_str());

        const Picture forGood = acceptedOnlyBy(good);
        const Picture forFaulty = acceptedOnlyBy(faulty);
        const std::wstring png = h.fixture(L"png_alpha.png");
        const std::vector<std::wstring> inputs{
            setup.folder.install(png, L"first.png"), setup.folder.writeFile(L"second.tpl", pictureFile(forGood)),
            setup.folder.writeFile(L"fault.tpl", pictureFile(forFaulty)),
            setup.folder.writeFile(L"fourth.tpl", pictureFile(forGood)), setup.folder.install(png, L"fifth.png")};
        BatchEnd batch = runBatch(setup, inputs);
        h.check(batch.ended && batch.message.empty(), label + L": the batch ends without a message");
        h.check(batch.milliseconds <= c.mostMilliseconds,
                label + L": within the time limit (" + std::to_wstring(batch.milliseconds) + L" ms)");
        h.check(!setup.folder.readFile(L"first.bmp").empty() && !setup.folder.readFile(L"fifth.bmp").empty() &&
                    bmpHoldsPicture(setup.folder.readFile(L"second.bmp"), 32, 32, 256) &&
                    bmpHoldsPicture(setup.folder.readFile(L"fourth.bmp"), 32, 32, 256),
                label + L": the files before and after convert");
        h.check(setup.folder.readFile(L"fault.bmp").empty(), label + L": the faulting file gives nothing");
        h.check(setup.temp.files().empty(), label + L": no temporary file left");
        h.check(waitUntilNoProgramRuns(3000), label + L": no process left");
        setup.log();

        BatchEnd alone = runBatch(setup, {inputs[2]});
        std::vector<Line> log = setup.log();
        h.check(alone.ended && alone.message == L"ファイル変換に失敗しました。",
                label + L": alone, it ends with the nothing-converted message");
        h.check(setup.temp.files().empty() && waitUntilNoProgramRuns(3000),
                label + L": alone, no temporary file or process left");
        // Every filter is identified once, and the one after the faulty
        // filter is still asked: the host that replaces the first goes on
        // where it stopped.
        const std::size_t goodAsked = static_cast<std::size_t>(std::count_if(
            log.begin(), log.end(), [&](const Line& l) { return l[0] == "IsSupported" && l[1] == utf8(good); }));
        const bool faultsWhenAsked = std::wstring(c.built) == L"tp_crashsupported.spi";
        h.check(countCalls(log, "GetPluginInfo") == 2 && goodAsked == (faultsWhenAsked ? 2u : 0u),
                label + L": each filter identified once, the next one asked after a fault in IsSupported");
    }
}

std::size_t callsBy(const std::vector<Line>& log, const std::string& call, const std::wstring& plugin)
{
    return static_cast<std::size_t>(std::count_if(
        log.begin(), log.end(), [&](const Line& l) { return l.size() > 1 && l[0] == call && l[1] == utf8(plugin); }));
}

// A filter that never returns from loading, from GetPluginInfo or from
// IsSupported is waited for once in the batch: then it is refused, the
// filter after it reads every file it accepts, and the hang costs one
// wait and no file.
WINE_TEST(pluginHostHangingFilterCostsOneWait)
{
    struct Case {
        const wchar_t* label;
        const wchar_t* built;
        const char* hangingCall;  // logged once on the way into the hang
    };
    const Case cases[] = {
        {L"DllMain never returns", L"tp_hangmain.spi", "attach"},
        {L"GetPluginInfo never returns", L"tp_hanginfo.spi", "GetPluginInfo"},
        {L"IsSupported never returns", L"tp_hangsupported.spi", "IsSupported"},
    };
    const std::wstring good = L"good.spi";
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring label = c.label;
        Setup setup(h, L"plugin-hang" + std::to_wstring(index++));
        Folder spi = setup.spi(h);
        installPlugin(h, spi, L"tp_filter.spi", good);
        const std::wstring hanging = installListedBefore(h, spi, c.built, good);
        h.check(!hanging.empty(), label + L": the hanging filter is listed first");
        setup.folder.writeSettings(spiSetting(spi).c_str());

        const Bytes picture = pictureFile(Picture{});
        const std::vector<std::wstring> inputs{
            setup.folder.writeFile(L"first.tpl", picture), setup.folder.writeFile(L"second.tpl", picture),
            setup.folder.install(h.fixture(L"png_alpha.png"), L"third.png"),
            setup.folder.writeFile(L"fourth.tpl", picture)};
        BatchEnd batch = runBatch(setup, inputs);
        std::vector<Line> log = setup.log();
        h.check(batch.ended && batch.message.empty(), label + L": the batch ends without a message");
        // The whole batch, the one wait included, within one file's limit.
        h.check(batch.milliseconds <= 20000,
                label + L": one wait for the whole batch (" + std::to_wstring(batch.milliseconds) + L" ms)");
        h.check(bmpHoldsPicture(setup.folder.readFile(L"first.bmp"), 32, 32, 256) &&
                    bmpHoldsPicture(setup.folder.readFile(L"second.bmp"), 32, 32, 256) &&
                    bmpHoldsPicture(setup.folder.readFile(L"fourth.bmp"), 32, 32, 256) &&
                    !setup.folder.readFile(L"third.bmp").empty(),
                label + L": every file converts");
        h.check(callsBy(log, c.hangingCall, hanging) == 1 && callsBy(log, "GetPicture", good) == 3,
                label + L": the hanging filter is reached once, the next one reads every file");
        h.check(setup.temp.files().empty() && waitUntilNoProgramRuns(3000),
                label + L": no temporary file or process left");
    }
}

// A filter that never returns from GetPicture has taken its file, which
// fails after the file's time limit; the filter is then refused, and the
// filter after it reads the later files it would have taken.
WINE_TEST(pluginHostHangInGetPictureCostsOneFileAndOneWait)
{
    const std::wstring good = L"good.spi";
    Setup setup(h, L"plugin-hang-picture");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_filter.spi", good);
    const std::wstring hanging = installListedBefore(h, spi, L"tp_hangpicture.spi", good);
    h.check(!hanging.empty(), L"hang in GetPicture: the hanging filter is listed first");
    setup.folder.writeSettings(spiSetting(spi).c_str());

    const Bytes picture = pictureFile(Picture{});
    const std::vector<std::wstring> inputs{
        setup.folder.writeFile(L"first.tpl", picture), setup.folder.writeFile(L"second.tpl", picture),
        setup.folder.install(h.fixture(L"png_alpha.png"), L"third.png"), setup.folder.writeFile(L"fourth.tpl", picture)};
    BatchEnd batch = runBatch(setup, inputs);
    std::vector<Line> log = setup.log();
    h.check(batch.ended && batch.message.empty(), L"hang in GetPicture: the batch ends without a message");
    // One file's limit of 20 s, and the rest of the batch.
    h.check(batch.milliseconds <= 30000,
            L"hang in GetPicture: one wait for the whole batch (" + std::to_wstring(batch.milliseconds) + L" ms)");
    h.check(setup.folder.readFile(L"first.bmp").empty(), L"hang in GetPicture: its file gives nothing");
    h.check(bmpHoldsPicture(setup.folder.readFile(L"second.bmp"), 32, 32, 256) &&
                bmpHoldsPicture(setup.folder.readFile(L"fourth.bmp"), 32, 32, 256) &&
                !setup.folder.readFile(L"third.bmp").empty(),
            L"hang in GetPicture: the later files convert");
    h.check(callsBy(log, "GetPicture", hanging) == 1 && callsBy(log, "GetPicture", good) == 2,
            L"hang in GetPicture: the hanging filter is reached once, the next one reads the later files");
    h.check(setup.temp.files().empty() && waitUntilNoProgramRuns(3000),
            L"hang in GetPicture: no temporary file or process left");
}

// A filter whose leftover thread ends the host while it serves the next
// file costs no file: a host that served earlier files and dies is
// replaced, and the file it was serving is asked again from the start.
WINE_TEST(pluginHostEndedByLeftoverThreadFailsNoFile)
{
    Setup setup(h, L"plugin-leftover");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_exitlater.spi", L"later.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    const Bytes picture = pictureFile(Picture{});
    std::vector<std::wstring> inputs;
    const std::vector<std::wstring> names{L"a", L"b", L"c", L"d", L"e", L"f"};
    for (const std::wstring& name : names)
        inputs.push_back(setup.folder.writeFile(name + L".tpl", picture));
    BatchEnd batch = runBatch(setup, inputs);
    setup.log();
    h.check(batch.ended && batch.message.empty(), L"the batch ends without a message");
    for (const std::wstring& name : names)
        h.check(bmpHoldsPicture(setup.folder.readFile(name + L".bmp"), 32, 32, 256), name + L".tpl converts");
    h.check(setup.temp.files().empty() && waitUntilNoProgramRuns(3000), L"no temporary file or process left");
}

WINE_TEST(pluginHostEndsWithTheProgram)
{
    Setup setup(h, L"plugin-orphan");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_hangpicture.spi", L"tp_hangpicture.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    std::wstring input = setup.folder.writeFile(L"spins.tpl", pictureFile(Picture{}));
    {
        Process process = Process::start(setup.exe, {input}, setup.temp.path());
        for (int waited = 0; programsRunning() < 2 && waited < 100; ++waited)
            Sleep(100);
        h.check(programsRunning() == 2, L"the program and its plug-in host run");
        Sleep(500);
    }  // ends the program while its filter spins
    h.check(waitUntilNoProgramRuns(5000), L"the host ends with the program");
    h.check(setup.temp.files().empty(), L"no temporary file left");
}
