// Susie import plug-ins in the Windows program, with our own test plug-ins
// (tests/plugins): conversion, the calls and their arguments, what results
// are refused, which libraries are listed, non-ANSI paths, and the built-in
// readers' priority.
#include "plugin_setup.h"

using namespace plugin_setup;
using namespace wine_harness;

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
