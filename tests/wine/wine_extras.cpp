// Shortcuts in Send To and on the desktop (with the move from the former
// Send To name), the version window, and the calls into HTML Help through a
// stub control registered in the test prefix.
#include "wine_ui.h"

#include "app/version.h"

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <array>
#include <optional>

namespace {

using namespace wine_ui;
// The shell headers declare a Folder of their own.
using Dir = wine_harness::Folder;

constexpr wchar_t kShortcut[] = L"Tessaly.lnk";
constexpr wchar_t kFormer[] = L"Convert (BMP PNG JPEG).lnk";
constexpr wchar_t kShellLinkServer[] = L"Software\\Classes\\CLSID\\{00021401-0000-0000-C000-000000000046}\\InprocServer32";
constexpr wchar_t kHelpServer[] = L"Software\\Classes\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

Dir shellFolder(int id)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, id | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return Dir(path);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Replaces the default value of an HKLM key for the life of the object.
class RegistryValue {
public:
    RegistryValue(const wchar_t* key, DWORD type, const std::wstring& value)
    {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle_, nullptr);
        DWORD bytes = sizeof(old_);
        had_ = RegQueryValueExW(handle_, nullptr, nullptr, &oldType_, reinterpret_cast<BYTE*>(old_), &bytes) ==
               ERROR_SUCCESS;
        oldBytes_ = bytes;
        RegSetValueExW(handle_, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    ~RegistryValue()
    {
        if (had_)
            RegSetValueExW(handle_, nullptr, 0, oldType_, reinterpret_cast<const BYTE*>(old_), oldBytes_);
        else
            RegDeleteValueW(handle_, nullptr);
        RegCloseKey(handle_);
    }
    RegistryValue(const RegistryValue&) = delete;
    RegistryValue& operator=(const RegistryValue&) = delete;

private:
    HKEY handle_ = nullptr;
    bool had_ = false;
    DWORD oldType_ = 0;
    DWORD oldBytes_ = 0;
    wchar_t old_[MAX_PATH] = {};
};

struct LinkFacts {
    std::wstring target, arguments, icon;
    int iconIndex = -1;
    int showCommand = 0;
};

std::optional<LinkFacts> readLink(const std::wstring& path)
{
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return std::nullopt;
    IPersistFile* file = nullptr;
    std::optional<LinkFacts> facts;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH] = {};
            LinkFacts got;
            link->GetPath(text, MAX_PATH, nullptr, 0);
            got.target = text;
            text[0] = 0;
            link->GetArguments(text, MAX_PATH);
            got.arguments = text;
            text[0] = 0;
            link->GetIconLocation(text, MAX_PATH, &got.iconIndex);
            got.icon = text;
            link->GetShowCmd(&got.showCommand);
            facts = got;
        }
        file->Release();
    }
    link->Release();
    return facts;
}

bool writeLink(const std::wstring& path, const std::wstring& target)
{
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return false;
    IPersistFile* file = nullptr;
    bool saved = false;
    link->SetPath(target.c_str());
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        saved = SUCCEEDED(file->Save(path.c_str(), TRUE));
        file->Release();
    }
    link->Release();
    return saved;
}

std::wstring lower(std::wstring text)
{
    CharLowerW(text.data());
    return text;
}

struct Session {
    Process process;
    Window settings;
    Window convert;
};

// Starts the installed program without files (settings window) or on one
// picture (format window).
Session start(const Dir& folder, bool withFile = false)
{
    std::vector<std::wstring> inputs;
    if (withFile)
        inputs.push_back(folder.writeFile(L"pic.bmp", std::vector<unsigned char>(64, 0)));
    Session s{Process::start(folder.file(L"Vrelk.exe"), inputs, folder.path()), {}, {}};
    (void)s.process.waitForWindow(withFile ? L"Vrelk_convert_class" : L"Vrelk_setting_class", 10000);
    s.settings = s.process.findWindow(L"Vrelk_setting_class");
    s.convert = s.process.findWindow(L"Vrelk_convert_class");
    return s;
}

bool closeSettings(Session& s)
{
    s.settings.command(1070);
    return s.process.waitForExit(10000);
}

class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComScope() { CoUninitialize(); }
};

}  // namespace

WINE_TEST(extrasShortcutsMoveAndFollowTheChecks)
{
    ComScope com;
    Dir sendTo = shellFolder(CSIDL_SENDTO), desktop = shellFolder(CSIDL_DESKTOP);
    h.check(!sendTo.path().empty() && !desktop.path().empty(), L"Send To and desktop folders named");
    for (const Dir* f : {&sendTo, &desktop})
        DeleteFileW(f->file(kShortcut).c_str());
    sendTo.writeFile(kFormer, std::vector<unsigned char>(16, 0));

    Dir folder = h.freshFolder(L"shortcuts");
    const std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings("");
    {
        RegistryValue broken(kShellLinkServer, REG_SZ, L"C:\\nowhere\\missing.dll");
        Session s = start(folder);
        h.check(s.settings.valid() && !checked(s.settings.child(1061)), L"COM refused: Send To unchecked");
        h.check(closeSettings(s), L"COM refused: program ends");
        h.check(exists(sendTo.file(kFormer)) && !exists(sendTo.file(kShortcut)),
                L"COM refused: the former shortcut stays, none made");
        h.check(savedAs(textFile(folder, L"Vrelk.ini"), "OldCheck=0"), L"COM refused: the move is left for later");
    }

    Session first = start(folder);
    h.check(checked(first.settings.child(1061)) && !checked(first.settings.child(1060)),
            L"first start: Send To checked, desktop not");
    h.check(!exists(sendTo.file(kFormer)), L"first start: former shortcut removed");
    std::optional<LinkFacts> made = readLink(sendTo.file(kShortcut));
    h.check(made && lower(made->target) == lower(exe) && made->arguments.empty() && lower(made->icon) == lower(exe) &&
                made->iconIndex == 0 && made->showCommand == SW_SHOWNORMAL,
            L"Tessaly.lnk: the program, no arguments, its first icon, shown normally");
    click(first.settings.child(1061));
    click(first.settings.child(1060));
    h.check(closeSettings(first), L"first start: program ends");
    h.check(savedAs(textFile(folder, L"Vrelk.ini"), "OldCheck=1"), L"first start: OldCheck=1 saved");
    h.check(!exists(sendTo.file(kShortcut)) && exists(desktop.file(kShortcut)),
            L"unchecked Send To removed, checked desktop created");

    Session onlyConvert = start(folder, true);
    h.check(checked(onlyConvert.settings.child(1060)), L"desktop shortcut found at the next start");
    click(onlyConvert.settings.child(1060));
    click(onlyConvert.settings.child(1061));
    onlyConvert.convert.close();
    h.check(onlyConvert.process.waitForExit(10000), L"format window closed");
    h.check(exists(desktop.file(kShortcut)) && !exists(sendTo.file(kShortcut)),
            L"closing only the format window changes no shortcut");

    const std::wstring elsewhere = L"C:\\elsewhere\\Vrelk.exe";
    h.check(writeLink(sendTo.file(kShortcut), elsewhere), L"a Send To shortcut to another copy");
    Session again = start(folder);
    h.check(checked(again.settings.child(1061)), L"foreign shortcut shows as registered");
    click(again.settings.child(1060));
    h.check(closeSettings(again), L"program ends");
    std::optional<LinkFacts> kept = readLink(sendTo.file(kShortcut));
    h.check(kept && lower(kept->target) == lower(elsewhere), L"an existing shortcut is never rewritten");
    h.check(!exists(desktop.file(kShortcut)), L"unchecked desktop removed");

    Session recreate = start(folder);
    click(recreate.settings.child(1060));
    h.check(closeSettings(recreate) && exists(desktop.file(kShortcut)), L"checked desktop created again");
    for (const Dir* f : {&sendTo, &desktop})
        DeleteFileW(f->file(kShortcut).c_str());
}

namespace {

// The tip that lists the libraries inside the program: a tooltip window
// owned by the version window, with one tool.
struct TipSearch {
    HWND owner;
    HWND tip;
};

BOOL CALLBACK findTip(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TipSearch*>(data);
    if (GetWindow(window, GW_OWNER) != search->owner || Window(window).className() != L"tooltips_class32")
        return TRUE;
    search->tip = window;
    return FALSE;
}

LRESULT libraryTipToolCount(HWND version)
{
    TipSearch search{version, nullptr};
    EnumWindows(findTip, reinterpret_cast<LPARAM>(&search));
    return search.tip ? SendMessageW(search.tip, TTM_GETTOOLCOUNT, 0, 0) : -1;
}

}  // namespace

WINE_TEST(extrasVersionWindowOpensAndClosesEachWay)
{
    Dir folder = h.freshFolder(L"version");
    folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings("");
    Session s = start(folder);

    struct Control {
        int id;
        const wchar_t* text;
        int x, y, width, height;
    };
    const std::array<Control, 4> controls{{{102, L"Tessaly  version " VRELK_VERSION, 10, 10, 160, 12},
                                           {103, nullptr, 28, 30, 195, 12},
                                           {101, L"OK", 139, 75, 88, 21},
                                           {100, nullptr, 45, 51, 120, 14}}};
    using Closer = void (*)(HWND window);
    struct Way {
        const wchar_t* name;
        Closer close;
    };
    const std::array<Way, 4> ways{{
        {L"OK", [](HWND w) { PostMessageW(GetDlgItem(w, 101), BM_CLICK, 0, 0); }},
        {L"Enter", [](HWND w) { PostMessageW(GetDlgItem(w, 101), WM_KEYDOWN, VK_RETURN, 0); }},
        {L"Esc", [](HWND w) { PostMessageW(GetDlgItem(w, 101), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {L"close box", [](HWND w) { PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    }};
    for (const Way& way : ways) {
        const std::wstring label = std::wstring(way.name) + L": ";
        s.settings.command(1072);
        Window version = s.process.waitForWindow(L"ver_parent_class", 5000);
        h.check(version.visible() && version.caption() == L"バージョン情報", label + L"version window opened");
        h.check(!IsWindowEnabled(s.settings.handle()), label + L"settings window disabled");
        h.check(GetWindow(version.handle(), GW_OWNER) == s.settings.handle(), label + L"owned by the settings window");
        RECT client{};
        GetClientRect(version.handle(), &client);
        h.check(client.right == 235 && client.bottom == 104, label + L"client area 235 x 104");
        for (const Control& c : controls) {
            HWND control = version.child(c.id);
            h.check(control && sameRect(clientRectOf(control), c.x, c.y, c.width, c.height) &&
                        (!c.text || controlText(control) == c.text),
                    label + L"control " + std::to_wstring(c.id));
        }
        h.check(Window(version.child(100)).className() == L"ver_child_class", label + L"the link's class");
        h.check(!controlText(version.child(103)).empty(), label + L"notice line");
        h.check(libraryTipToolCount(version.handle()) == 1, label + L"the notice line's library tip");
        way.close(version.handle());
        h.check(waitUntil([&] { return !IsWindow(version.handle()); }, 5000), label + L"version window gone");
        h.check(waitUntil([&] { return IsWindowEnabled(s.settings.handle()) != 0; }, 5000),
                label + L"settings window enabled again");
        h.check(waitUntil([&] { return GetForegroundWindow() == s.settings.handle(); }, 5000),
                label + L"settings window in front");
    }
    h.check(closeSettings(s), L"program ends after four openings");
}

WINE_TEST(extrasHelpReachesTheRegisteredControlOnce)
{
    wchar_t driver[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, driver, MAX_PATH);
    std::wstring stub = driver;
    stub = stub.substr(0, stub.find_last_of(L'\\') + 1) + L"hh_stub.dll";

    struct Case {
        const wchar_t* name;
        bool refuse;
    };
    for (const Case& c : std::array<Case, 2>{{{L"help-stub", false}, {L"help-none", true}}}) {
        const std::wstring label = std::wstring(c.name) + L": ";
        Dir folder = h.freshFolder(c.name);
        folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings("");
        const std::wstring library = folder.install(stub, L"hh_stub.dll");
        if (c.refuse)
            folder.writeFile(L"hh_refuse", {});
        // Expanded by the program: the value is text to expand, not a path.
        SetEnvironmentVariableW(L"VRELK_HH_FOLDER", folder.path().c_str());
        RegistryValue server(kHelpServer, REG_EXPAND_SZ, L"%VRELK_HH_FOLDER%\\hh_stub.dll");
        wchar_t overrides[512] = {};
        GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
        // Without the stub nothing else may answer: Wine's own control is off.
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (std::wstring(overrides) + L";hhctrl.ocx=d").c_str());
        Session s = start(folder);
        SetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides);
        s.settings.command(1071);
        s.settings.command(1071);
        Sleep(500);
        h.check(!s.process.findMessageBox().valid(), label + L"no message");
        h.check(closeSettings(s) && s.process.exitCode() == 0, label + L"program ends normally");
        const std::string log = textFile(folder, L"hh_calls.txt");
        const std::string chm = utf8(folder.file(L"Vrelk.chm"));
        const std::string expected = c.refuse ? "refused\n"
                                              : "28 - - cookie\n0 - " + chm + " 0\n0 - " + chm + " 0\n29 - - 4242\n";
        h.check(log == expected, label + L"calls: " + std::wstring(log.begin(), log.end()));
    }
}
