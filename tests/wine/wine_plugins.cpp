// Susie import plug-ins in the Windows program, with our own test plug-ins
// (tests/plugins): conversion, the calls and their arguments, what results
// are refused, which libraries are listed, non-ANSI paths, and the built-in
// readers' priority; and filters that fault or spin, which cost only their
// own file.
#include "wine_harness.h"

#include <tlhelp32.h>

#include <cstdint>
#include <string>

#include "../plugins/test_plugin_format.h"

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;
using Line = std::vector<std::string>;

// What the test plug-in is told to hand back (see test_plugin_format.h).
struct Picture {
    std::int32_t width = 8;
    std::int32_t height = 4;
    std::uint16_t bits = 8;
    std::uint16_t colours = 256;
    std::uint32_t compression = 0;
    std::int32_t pixelBytes = 0;
    std::int32_t infoResult = 0;
    std::int32_t pictureResult = 0;
    std::uint32_t flags = 0;
    std::int32_t infoBytes = 0;
    std::string acceptName;
    bool prefixed = false;
};

void put32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t get32(const Bytes& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

Bytes pictureFile(const Picture& p)
{
    Bytes header(TP_HEADER_BYTES, 0);
    std::copy_n(TP_MAGIC, 8, header.begin());
    put32(header, TP_WIDTH, static_cast<std::uint32_t>(p.width));
    put32(header, TP_HEIGHT, static_cast<std::uint32_t>(p.height));
    put32(header, TP_BITS, p.bits | static_cast<std::uint32_t>(p.colours) << 16);
    put32(header, TP_COMPRESSION, p.compression);
    put32(header, TP_PIXEL_BYTES, static_cast<std::uint32_t>(p.pixelBytes));
    put32(header, TP_INFO_RESULT, static_cast<std::uint32_t>(p.infoResult));
    put32(header, TP_PICTURE_RESULT, static_cast<std::uint32_t>(p.pictureResult));
    put32(header, TP_FLAGS, p.flags);
    put32(header, TP_INFO_BYTES, static_cast<std::uint32_t>(p.infoBytes));
    std::copy_n(p.acceptName.begin(), std::min<std::size_t>(p.acceptName.size(), TP_ACCEPT_NAME_BYTES),
                header.begin() + TP_ACCEPT_NAME);
    if (!p.prefixed)
        return header;
    Bytes file(128, 'x');
    file.insert(file.end(), header.begin(), header.end());
    return file;
}

std::wstring pluginBuild(Harness& h, const std::wstring& name)
{
    return h.program().substr(0, h.program().find_last_of(L'\\')) + L"\\plugins\\" + name;
}

void installPlugin(Harness& h, const Folder& spi, const std::wstring& built, const std::wstring& as)
{
    CopyFileW(pluginBuild(h, built).c_str(), spi.file(as).c_str(), FALSE);
}

std::string ansi(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(bytes > 0 ? bytes - 1 : 0));
    return out;
}

// A program folder with its own log of plug-in calls.
struct Setup {
    Folder folder;
    Folder temp;
    std::wstring exe;

    Setup(Harness& h, const std::wstring& name)
        : folder(h.freshFolder(name)), temp(h.freshFolder(name + L"-temp")),
          exe(folder.install(h.program(), L"Vrelk.exe"))
    {
    }

    Folder spi(Harness& h, const std::wstring& name = L"spi") const { return h.freshFolder(folderName() + L"\\" + name); }

    std::wstring folderName() const { return folder.path().substr(folder.path().find_last_of(L'\\') + 1); }

    // Runs the program on the inputs; true when it ended without a message.
    bool run(const std::vector<std::wstring>& inputs) const
    {
        SetEnvironmentVariableW(TP_LOG_VARIABLE, folder.file(L"calls.log").c_str());
        Process process = Process::start(exe, inputs, temp.path());
        // A batch that converts nothing ends with a message box.
        Window box = process.waitForMessageBox(60000);
        if (box.valid())
            box.dismiss();
        bool ended = process.waitForExit(10000);
        SetEnvironmentVariableW(TP_LOG_VARIABLE, nullptr);
        return ended && !box.valid();
    }

    std::vector<Line> log() const
    {
        std::vector<Line> lines;
        Bytes text = folder.readFile(L"calls.log");
        Line line(1);
        for (unsigned char c : text) {
            if (c == '\n') {
                lines.push_back(line);
                line.assign(1, {});
            } else if (c == '\t') {
                line.emplace_back();
            } else {
                line.back() += static_cast<char>(c);
            }
        }
        DeleteFileW(folder.file(L"calls.log").c_str());
        return lines;
    }
};

std::wstring spiSetting(const Folder& spi, const std::wstring& drctCvt = L"1")
{
    return L"DrctCvt=" + drctCvt + L"\r\nUseSpi=1\r\nSPI=" + spi.path() + L"\r\n";
}

std::size_t countCalls(const std::vector<Line>& log, const std::string& call)
{
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const Line& line) { return line[0] == call; }));
}

// BMP pixels as the plug-in's block gives them, as far as it goes, zero
// beyond; palette entries as the plug-in made them.
bool bmpHoldsPicture(const Bytes& bmp, std::size_t imageSize, std::size_t blockSize, std::size_t colours)
{
    if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M')
        return false;
    const std::size_t pixelsAt = get32(bmp, 10);
    if (bmp.size() != pixelsAt + imageSize || pixelsAt < 54)
        return false;
    for (std::size_t k = 0; k < std::min(colours, (pixelsAt - 54) / 4); ++k)
        for (std::uint32_t c = 0; c < 3; ++c)
            if (bmp[54 + 4 * k + c] != tpPaletteByte(static_cast<std::uint32_t>(k), c))
                return false;
    for (std::size_t i = 0; i < imageSize; ++i)
        if (bmp[pixelsAt + i] != (i < blockSize ? tpPixelByte(static_cast<std::uint32_t>(i)) : 0))
            return false;
    return true;
}

bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

}  // namespace

WINE_TEST(pluginPictureConvertsToEveryFormat)
{
    struct Target {
        const wchar_t* drctCvt;
        const wchar_t* extension;
        Bytes signature;
    };
    const Target targets[] = {
        {L"1", L"bmp", {'B', 'M'}},
        {L"2", L"png", {137, 80, 78, 71}},
        {L"3", L"jpg", {0xFF, 0xD8, 0xFF}},
        {L"4", L"gif", {'G', 'I', 'F'}},
    };
    h.check(GetACP() == 932, L"Wine runs with the Japanese code page (932), ACP " + std::to_wstring(GetACP()));
    for (const Target& target : targets) {
        const std::wstring ext = target.extension;
        Setup setup(h, L"plugin-" + ext);
        Folder spi = setup.spi(h);
        installPlugin(h, spi, L"tp_filter.spi", L"tp_filter.spi");
        setup.folder.writeSettings(spiSetting(spi, target.drctCvt).c_str());
        Picture prefixed;
        prefixed.prefixed = true;
        std::vector<std::wstring> inputs{setup.folder.writeFile(L"plain.tpl", pictureFile(Picture{})),
                                         setup.folder.writeFile(L"prefixed.tpl", pictureFile(prefixed))};
        h.check(setup.run(inputs), L"to " + ext + L": ends without a message");
        h.check(startsWith(setup.folder.readFile(L"plain." + ext), target.signature) &&
                    startsWith(setup.folder.readFile(L"prefixed." + ext), target.signature),
                L"to " + ext + L": both pictures written");
        if (ext == L"bmp")
            h.check(bmpHoldsPicture(setup.folder.readFile(L"plain.bmp"), 32, 32, 256) &&
                        bmpHoldsPicture(setup.folder.readFile(L"prefixed.bmp"), 32, 32, 256),
                    L"to bmp: the plug-in's palette and pixels");
        h.check(setup.temp.files().empty(), L"to " + ext + L": no temporary file left");
    }
}

WINE_TEST(pluginCallsInOrderWithTheirArguments)
{
    Setup setup(h, L"plugin-calls");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_filter.spi", L"tp_filter.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    Picture plain;
    plain.flags = TP_TEXT_PACKED;
    Picture prefixed;
    prefixed.prefixed = true;
    prefixed.flags = TP_TEXT_ALIGNED;
    std::wstring first = setup.folder.writeFile(L"plain.tpl", pictureFile(plain));
    std::wstring second = setup.folder.writeFile(L"prefixed.tpl", pictureFile(prefixed));
    h.check(setup.run({first, second}), L"ends without a message");

    const std::string name = "tp_filter.spi";
    auto callsFor = [&](const std::wstring& input, bool withPrefix) {
        const std::string path = ansi(input);
        const std::string offset = withPrefix ? "128" : "0";
        std::vector<Line> calls{{"attach", name},
                                {"GetPluginInfo", name, "0", "8", "zeroed"},
                                {"detach", name, "info=none", "bits=none", "text=none"},
                                {"attach", name}};
        if (withPrefix)
            calls.push_back({"IsSupported", name, path, "78787878", "0"});
        calls.push_back({"IsSupported", name, path, "54504C47", "1"});
        calls.push_back({"GetPictureInfo", name, path, offset, "0", "open=1", "0"});
        calls.push_back({"GetPicture", name, path, offset, "0", "0", "progress=0,0", "open=1", "0"});
        calls.push_back({"detach", name, "info=freed", "bits=freed", "text=freed"});
        return calls;
    };
    std::vector<Line> expected = callsFor(first, false);
    std::vector<Line> secondCalls = callsFor(second, true);
    expected.insert(expected.end(), secondCalls.begin(), secondCalls.end());
    std::vector<Line> log = setup.log();
    h.check(log == expected, L"identify, two IsSupported calls, offsets 0 and 128, flag 0, handles freed and the "
                             L"library unloaded before the next file (" +
                                 std::to_wstring(log.size()) + L" lines)");
}

WINE_TEST(pluginResultsAcceptedOrRefused)
{
    struct Case {
        const wchar_t* label;
        Picture picture;
        bool converts;
        std::size_t imageSize;  // BMP pixel bytes when it converts, 0: size not checked
        std::size_t blockSize;
    };
    auto with = [](auto change) {
        Picture p;
        change(p);
        return p;
    };
    const Case cases[] = {
        {L"16 bits", with([](Picture& p) { p.bits = 16; }), false, 0, 0},
        {L"32 bits", with([](Picture& p) { p.bits = 32; }), false, 0, 0},
        {L"run-length compressed", with([](Picture& p) { p.compression = 1; }), false, 0, 0},
        {L"top-down", with([](Picture& p) { p.height = -4; }), false, 0, 0},
        {L"25001 wide", with([](Picture& p) { p.width = 25001; p.bits = 1; }), false, 0, 0},
        {L"25001 high", with([](Picture& p) { p.height = 25001; p.bits = 1; p.pixelBytes = 64; }), false, 0, 0},
        {L"info block under 40 bytes", with([](Picture& p) { p.infoBytes = 36; }), false, 0, 0},
        {L"GetPicture fails", with([](Picture& p) { p.pictureResult = 3; }), false, 0, 0},
        {L"GetPictureInfo fails", with([](Picture& p) { p.infoResult = 2; }), true, 32, 32},
        {L"short pixel block", with([](Picture& p) { p.pixelBytes = 20; }), true, 32, 20},
        {L"long pixel block", with([](Picture& p) { p.pixelBytes = 1000; }), true, 32, 32},
        {L"palette behind a 108-byte header", with([](Picture& p) { p.flags = TP_V4_HEADER; }), true, 32, 32},
        {L"4 bits, 16 colours", with([](Picture& p) { p.bits = 4; p.colours = 16; }), true, 16, 16},
        {L"25000 x 25000 at 1 bit",
         with([](Picture& p) { p.width = 25000; p.height = 25000; p.bits = 1; p.colours = 2; }), true, 0, 0},
    };
    Setup setup(h, L"plugin-results");
    Folder spi = setup.spi(h);
    // Two filters that take every picture: a refusal must not reach the second.
    installPlugin(h, spi, L"tp_filter.spi", L"tp_one.spi");
    installPlugin(h, spi, L"tp_filter.spi", L"tp_two.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring stem = L"case" + std::to_wstring(index++);
        std::wstring input = setup.folder.writeFile(stem + L".tpl", pictureFile(c.picture));
        setup.run({input});
        std::vector<Line> log = setup.log();
        Bytes bmp = setup.folder.readFile(stem + L".bmp");
        h.check(bmp.empty() != c.converts, std::wstring(c.label) + (c.converts ? L": converts" : L": refused"));
        h.check(countCalls(log, "IsSupported") == 1 && countCalls(log, "GetPicture") == 1,
                std::wstring(c.label) + L": one plug-in asked and run");
        if (c.converts && c.imageSize)
            h.check(bmpHoldsPicture(bmp, c.imageSize, c.blockSize, c.picture.colours),
                    std::wstring(c.label) + L": pixels as far as the block goes, zero beyond");
        if (c.converts && !c.imageSize)
            h.check(bmp.size() == 54 + 8 + std::size_t{3128} * 25000, std::wstring(c.label) + L": full size");
    }
}

WINE_TEST(pluginSwitchesAndFolder)
{
    Setup setup(h, L"plugin-settings");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_filter.spi", L"tp_filter.spi");
    std::wstring input = setup.folder.writeFile(L"picture.tpl", pictureFile(Picture{}));
    struct Case {
        const wchar_t* label;
        std::wstring settings;
        bool converts;
    };
    const Case cases[] = {
        {L"UseSpi off", L"DrctCvt=1\r\nUseSpi=0\r\nSPI=" + spi.path() + L"\r\n", false},
        {L"SPI empty", L"DrctCvt=1\r\nUseSpi=1\r\nSPI=\r\n", false},
        {L"relative SPI", L"DrctCvt=1\r\nUseSpi=1\r\nSPI=spi\r\n", true},
    };
    // The current folder holds an "spi" folder without plug-ins: a relative
    // folder must be taken from the program's folder, not from here.
    Folder elsewhere = h.freshFolder(L"plugin-settings-cwd");
    CreateDirectoryW(elsewhere.file(L"spi").c_str(), nullptr);
    std::vector<wchar_t> previous(MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, previous.data());
    SetCurrentDirectoryW(elsewhere.path().c_str());
    for (const Case& c : cases) {
        setup.folder.writeSettings(c.settings.c_str());
        setup.run({input});
        std::vector<Line> log = setup.log();
        Bytes bmp = setup.folder.readFile(L"picture.bmp");
        DeleteFileW(setup.folder.file(L"picture.bmp").c_str());
        h.check(bmp.empty() != c.converts && log.empty() != c.converts,
                std::wstring(c.label) + (c.converts ? L": the plug-in converts" : L": no plug-in consulted"));
    }
    SetCurrentDirectoryW(previous.data());
}

WINE_TEST(pluginListingSkipsOthersAndStopsAtOneHundred)
{
    Setup setup(h, L"plugin-list");
    Folder spi = setup.spi(h);
    for (const wchar_t* variant : {L"tp_archive.spi", L"tp_noinfo.spi", L"tp_failmain.spi"})
        installPlugin(h, spi, variant, variant);
    spi.writeFile(L"broken.spi", Bytes{'n', 'o', 't', ' ', 'a', ' ', 'D', 'L', 'L'});
    for (int i = 0; i < 101; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"f%03d.spi", i);
        installPlugin(h, spi, L"tp_filter.spi", name);
    }
    setup.folder.writeSettings(spiSetting(spi).c_str());

    // The import filters in the order the folder lists them.
    std::vector<std::string> filters;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW(spi.file(L"*.spi").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = utf8(entry.cFileName);
            if (name.size() == 8 && name[0] == 'f')
                filters.push_back(name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    h.check(filters.size() == 101, L"101 import filters installed");
    if (filters.size() != 101)
        return;

    Picture hundredth;
    hundredth.acceptName = filters[99];
    Picture beyond;
    beyond.acceptName = filters[100];
    setup.run({setup.folder.writeFile(L"hundredth.tpl", pictureFile(hundredth))});
    std::vector<Line> log = setup.log();
    h.check(!setup.folder.readFile(L"hundredth.bmp").empty(), L"the 100th import filter converts");
    auto askedBy = [&](const std::string& name) {
        return std::any_of(log.begin(), log.end(),
                           [&](const Line& l) { return l[0] == "IsSupported" && l[1] == name; });
    };
    h.check(!askedBy("tp_archive.spi") && !askedBy("tp_noinfo.spi") && !askedBy("tp_failmain.spi"),
            L"00AM, no GetPluginInfo and a failing DllMain: never asked");
    h.check(countCalls(log, "IsSupported") == 99 * 2 + 1, L"the 99 before it asked twice, at 0 and 128");

    setup.run({setup.folder.writeFile(L"beyond.tpl", pictureFile(beyond))});
    log = setup.log();
    h.check(setup.folder.readFile(L"beyond.bmp").empty() && !askedBy(filters[100]),
            L"the 101st import filter is never asked");
    auto loads = [&](const std::string& call) {
        return std::count_if(log.begin(), log.end(),
                             [&](const Line& l) { return l[0] == call && l[1] != "tp_failmain.spi"; });
    };
    h.check(loads("attach") >= 200 && loads("attach") == loads("detach"),
            L"every library loaded is unloaded (" + std::to_wstring(loads("attach")) + L" loads, " +
                std::to_wstring(loads("detach")) + L" unloads)");

    Setup missing(h, L"plugin-nopicture");
    Folder only = missing.spi(h);
    installPlugin(h, only, L"tp_nopicture.spi", L"tp_nopicture.spi");
    missing.folder.writeSettings(spiSetting(only).c_str());
    missing.run({missing.folder.writeFile(L"picture.tpl", pictureFile(Picture{}))});
    log = missing.log();
    h.check(missing.folder.readFile(L"picture.bmp").empty() && countCalls(log, "IsSupported") == 1,
            L"a filter without GetPicture accepts but cannot convert");
}

WINE_TEST(pluginReachesNonAnsiPaths)
{
    Setup setup(h, L"plugin-names");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_filter.spi", L"tp_filter.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    Folder japanese = h.freshFolder(L"plugin-names\\写真フォルダ");
    const std::wstring inputs[] = {
        japanese.writeFile(L"画像.tpl", pictureFile(Picture{})),
        setup.folder.writeFile(L"한국어 그림.tpl", pictureFile(Picture{})),
    };
    for (const std::wstring& input : inputs) {
        setup.run({input});
        std::vector<Line> log = setup.log();
        auto opened = std::find_if(log.begin(), log.end(), [](const Line& l) { return l[0] == "GetPicture"; });
        const std::wstring name = input.substr(input.find_last_of(L'\\') + 1);
        h.check(opened != log.end() && (*opened)[7] == "open=1", name + L": the plug-in opens the file");
        const std::wstring output = input.substr(0, input.size() - 3) + L"bmp";
        h.check(GetFileAttributesW(output.c_str()) != INVALID_FILE_ATTRIBUTES, name + L": converted under its own name");
    }
}

WINE_TEST(pluginNotAskedForBuiltInFormats)
{
    Setup setup(h, L"plugin-builtin");
    Folder spi = setup.spi(h);
    installPlugin(h, spi, L"tp_filter.spi", L"tp_filter.spi");
    setup.folder.writeSettings(spiSetting(spi).c_str());
    std::wstring png = h.fixture(L"png_alpha.png");
    std::wstring input = setup.folder.file(L"photo.png");
    CopyFileW(png.c_str(), input.c_str(), FALSE);
    setup.run({input});
    h.check(!setup.folder.readFile(L"photo.bmp").empty() && setup.log().empty(),
            L"a PNG converts without any plug-in being loaded");
}

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
