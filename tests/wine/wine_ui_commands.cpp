// The command table and the show/hide transitions of the two windows, the
// drop target, and the faults of a second batch, a stray output choice and
// an over-long sub-folder.
#include "wine_ui.h"

#include <array>
#include <cstring>
#include <commctrl.h>

#include "../image_builder.h"

namespace {

using namespace wine_ui;

constexpr wchar_t kConvertFailed[] = L"ファイル変換に失敗しました。";

std::vector<unsigned char> picture(std::int32_t width, std::int32_t height)
{
    vrelk::test::BmpRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.pixels = vrelk::test::patternRows24(width, height);
    return vrelk::test::buildBmp(recipe);
}

struct Run {
    Folder folder;
    Process process;
    Window convert;
    Window settings;
};

// Installs the program with `ini` and starts it on `inputs` (names in its
// folder, written as 8 x 6 pictures unless empty).
Run launch(Harness& h, const wchar_t* name, const wchar_t* ini, std::vector<std::wstring> inputs = {},
           bool emptyInputs = false)
{
    Folder folder = h.freshFolder(name);
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(ini);
    for (std::wstring& input : inputs)
        input = folder.writeFile(input, emptyInputs ? std::vector<unsigned char>{} : picture(8, 6));
    Process process = Process::start(exe, inputs, folder.path());
    (void)process.waitForWindow(inputs.empty() ? L"Vrelk_setting_class" : L"Vrelk_convert_class", 10000);
    Window convert = process.findWindow(L"Vrelk_convert_class");
    Window settings = process.findWindow(L"Vrelk_setting_class");
    return Run{std::move(folder), std::move(process), convert, settings};
}

bool shows(const Run& run, bool convert, bool settings)
{
    return waitUntil([&] { return run.convert.visible() == convert && run.settings.visible() == settings; }, 5000);
}

bool enabled(HWND control) { return IsWindowEnabled(control) != 0; }

}  // namespace

WINE_TEST(uiFormatKeysActEvenOnADisabledButton)
{
    struct Case {
        WPARAM key;
        const wchar_t* output;  // nullptr: the batch fails and says so
    };
    const std::array<Case, 6> cases{{{'B', L"pic+1.bmp"}, {'P', L"pic.png"}, {'J', L"pic.jpg"},
                                     {'G', L"pic.gif"}, {'T', nullptr}, {'W', L"pic.webp"}}};
    for (const Case& c : cases) {
        std::wstring label = std::wstring(L"key ") + static_cast<wchar_t>(c.key);
        Run run = launch(h, L"ui-keys", L"Resize=1\r\nRszSize=1000\r\n", {L"pic.bmp"});
        h.check(!enabled(run.convert.child(1004)), label + L": re-encode button greyed while reduction is on");
        run.convert.key(c.key);
        if (!c.output) {
            Window box = run.process.waitForMessageBox(10000);
            h.check(box.messageText() == kConvertFailed, label + L": the re-encode ran and failed on a BMP");
            box.dismiss();
        }
        h.check(run.process.waitForExit(10000), label + L": program ends after the batch");
        if (c.output)
            h.check(!run.folder.readFile(c.output).empty(), label + L": wrote " + c.output);
    }
}

WINE_TEST(uiWebpButtonWritesAWebp)
{
    Run run = launch(h, L"ui-webp", L"Quality=90\r\n", {L"pic.bmp"});
    click(run.convert.child(1007));
    h.check(run.process.waitForExit(10000), L"WebP button: program ends after the batch");
    std::vector<unsigned char> webp = run.folder.readFile(L"pic.webp");
    h.check(webp.size() > 12 && std::memcmp(webp.data(), "RIFF", 4) == 0 && std::memcmp(webp.data() + 8, "WEBP", 4) == 0,
            L"WebP button: wrote pic.webp");
}

WINE_TEST(uiReductionCheckOfTheConvertWindowReachesTheBatch)
{
    Run run = launch(h, L"ui-reduce", L"RszOpt=2\r\nRszSize=4\r\n", {L"pic.bmp"});
    click(run.convert.child(1005));
    h.check(checked(run.settings.child(1031)), L"reduce: settings check follows the convert window's");
    h.check(!enabled(run.convert.child(1004)) && enabled(run.settings.child(1035)),
            L"reduce: re-encode greyed, size edit live");
    run.convert.key('P');
    h.check(run.process.waitForExit(10000), L"reduce: program ends after the batch");
    auto size = pngSize(run.folder.readFile(L"pic.png"));
    h.check(size.first == 4 && size.second == 3, L"reduce: 8 x 6 input written as 4 x 3");
}

WINE_TEST(uiEnablesFollowTheirCheckBoxesBothWays)
{
    Run run = launch(h, L"ui-enables", L"");
    for (bool on : {true, false}) {
        std::wstring state = on ? L" on" : L" off";
        click(run.settings.child(1019));
        bool quality = enabled(run.settings.child(1013)) || enabled(run.settings.child(1014)) ||
                       enabled(run.settings.child(1015));
        bool target = enabled(run.settings.child(1020)) && enabled(run.settings.child(1021)) &&
                      enabled(run.settings.child(1022));
        h.check(quality == !on && (target == on || !on), L"enables: file-size target" + state);
        click(run.settings.child(1031));
        h.check(checked(run.convert.child(1005)) == on, L"enables: convert check follows 1031" + state);
        h.check(enabled(run.convert.child(1004)) == !on, L"enables: re-encode button" + state);
        bool sides = true;
        for (int id = 1032; id <= 1036; ++id)
            sides = sides && enabled(run.settings.child(id)) == on;
        h.check(sides, L"enables: side choices and size" + state);
    }
    run.settings.close();
    h.check(run.process.waitForExit(10000), L"enables: program ends");
}

WINE_TEST(uiSettingsAndBackToTheConvertWindow)
{
    Run run = launch(h, L"ui-back", L"Quality=60\r\n", {L"pic.bmp"});
    h.check(shows(run, true, false), L"back: convert window first");
    run.convert.key('S');
    h.check(shows(run, false, true), L"back: S shows the settings window");
    run.settings.command(1070);
    h.check(shows(run, true, false), L"back: closing settings returns to the convert window");
    run.convert.key(VK_ESCAPE);
    h.check(run.process.waitForExit(10000), L"back: Esc ends the program");
    h.check(savedAs(textFile(run.folder, L"Vrelk.ini"), "Quality=60"), L"back: Esc saved the settings");
    h.check(run.folder.files().size() == 3, L"back: nothing converted");
}

WINE_TEST(uiControlsAreReadBackIntoTheSavedSettings)
{
    Run run = launch(h, L"ui-apply", L"");
    send(run.settings.child(1015), UDM_SETPOS32, 0, 42);
    click(run.settings.child(1018));
    click(run.settings.child(1019));
    send(run.settings.child(1021), UDM_SETPOS32, 0, 500);
    click(run.settings.child(1031));
    click(run.settings.child(1032));
    setText(run.settings.child(1035), L"321");
    click(run.settings.child(1044));
    setText(run.settings.child(1045), L"Made");
    click(run.settings.child(1050));
    send(run.settings.child(1012), CB_SETCURSEL, 2);
    click(run.settings.child(1093));
    click(run.settings.child(1092));
    click(run.settings.child(1091));
    run.settings.command(1070);
    h.check(run.process.waitForExit(10000), L"apply: closing without files ends the program");
    std::string ini = textFile(run.folder, L"Vrelk.ini");
    for (const char* line : {"Quality=42", "Sampling=2", "Limit=1", "LmtVal=500", "Resize=1", "RszOpt=0",
                             "RszSize=321", "OutDir=", "MkDirAdd=1", "MkDirStr=Made", "UseSpi=0", "SPI=",
                             "OldCheck=1", "DrctCvt=2", "KeepAlpha=1", "KeepMeta=1", "KeepTime=1"})
        h.check(savedAs(ini, line), L"apply: saved " + std::wstring(line, line + std::strlen(line)));

    Run again = launch(h, L"ui-apply", L"Sampling=2\r\n");
    click(again.settings.child(1017));
    again.settings.close();
    h.check(again.process.waitForExit(10000), L"apply: close box ends the program too");
    h.check(savedAs(textFile(again.folder, L"Vrelk.ini"), "Sampling=0"), L"apply: 4:1 saved as 0");
}

// Notepad saves Vrelk.ini in UTF-16 LE or UTF-8 with a byte-order mark. A
// save from the settings window keeps the mark, the encoding, every value
// and the sections that are not the program's.
WINE_TEST(uiSaveKeepsTheEncodingOfTheSettingsFile)
{
    struct Encoding {
        const wchar_t* name;
        std::string mark;
        bool utf16;
    };
    const std::wstring text = L"[Other]\r\nNote=写真 \U0001D11E\r\n[SImg]\r\nQuality=60\r\nMkDirAdd=1\r\nMkDirStr=出力先\r\n";
    for (const Encoding& e : {Encoding{L"UTF-16 LE", "\xFF\xFE", true}, Encoding{L"UTF-8", "\xEF\xBB\xBF", false}}) {
        const std::wstring label = std::wstring(e.name) + L": ";
        Folder folder = h.freshFolder(std::wstring(L"ui-encoding-") + (e.utf16 ? L"16" : L"8"));
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        std::string bytes = e.mark;
        bytes += e.utf16 ? std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)) : utf8(text);
        folder.writeFile(L"Vrelk.ini", std::vector<unsigned char>(bytes.begin(), bytes.end()));

        Process process = Process::start(exe, {}, folder.path());
        Window settings = process.waitForWindow(L"Vrelk_setting_class", 10000);
        h.check(controlText(settings.child(1045)) == L"出力先", label + L"MkDirStr loaded");
        send(settings.child(1015), UDM_SETPOS32, 0, 42);
        settings.command(1070);
        h.check(process.waitForExit(10000), label + L"closing the settings window ends the program");

        const std::vector<unsigned char> saved = folder.readFile(L"Vrelk.ini");
        const std::string savedBytes(saved.begin(), saved.end());
        h.check(savedBytes.rfind(e.mark, 0) == 0, label + L"the byte-order mark stays");
        const std::string body = savedBytes.substr(std::min(e.mark.size(), savedBytes.size()));
        const std::string ini = e.utf16 ? utf8(std::wstring(reinterpret_cast<const wchar_t*>(body.data()), body.size() / 2)) : body;
        for (const wchar_t* line : {L"Quality=42", L"MkDirAdd=1", L"MkDirStr=出力先", L"Note=写真 \U0001D11E", L"[SImg]"})
            h.check(savedAs(ini, utf8(line)), label + L"saved " + line);
        h.check(ini.rfind("[Other]\r\n", 0) == 0, label + L"the other section stays first");
    }
}

// Wine under Xvfb accepts SetWindowPos(HWND_TOPMOST) but never sets
// WS_EX_TOPMOST (measured inside the program's own process too), so the
// switch is followed through its check mark, which the program sets from
// its own state each time the menu opens.
WINE_TEST(uiAlwaysOnTopFromMenuAndTitle)
{
    Run run = launch(h, L"ui-top", L"", {L"pic.bmp"});
    Hook hook(run.convert.handle());
    h.check(hook.loaded(), L"top: hook library loaded into the program");
    auto marked = [&] {
        send(run.convert.handle(), WM_INITMENUPOPUP, 0, MAKELPARAM(0, TRUE));
        return (hook.call("systemMenuFacts", run.convert.handle()) & kAlwaysOnTopChecked) != 0;
    };
    h.check(!marked(), L"top: off at start");
    PostMessageW(run.convert.handle(), WM_SYSCOMMAND, 5000, 0);
    h.check(waitUntil(marked, 5000), L"top: menu item 5000 turns it on");
    PostMessageW(run.convert.handle(), WM_NCLBUTTONDBLCLK, HTCAPTION, 0);
    h.check(waitUntil([&] { return !marked(); }, 5000), L"top: double click on the title turns it off");
    PostMessageW(run.convert.handle(), WM_NCLBUTTONDBLCLK, HTCAPTION, 0);
    h.check(waitUntil(marked, 5000), L"top: and on again");
    run.convert.key(VK_ESCAPE);
    h.check(run.process.waitForExit(10000), L"top: program ends");
}

WINE_TEST(uiDroppedFilesConvertAndAFolderFirstIsIgnored)
{
    Folder elsewhere = h.freshFolder(L"ui-drop-elsewhere");
    Run run = launch(h, L"ui-drop", (L"DrctCvt=2\r\nOutDir=" + elsewhere.path() + L"\r\n").c_str());
    std::wstring first = run.folder.writeFile(L"pic.bmp", picture(8, 6));
    std::wstring second = run.folder.writeFile(L"two.bmp", picture(3, 2));
    click(run.settings.child(1042));
    h.check(controlText(run.settings.child(1043)) == L"<入力ファイルと同じフォルダ>",
            L"drop: clearing the folder shows the input's folder");

    Hook hook(run.settings.handle());
    h.check(hook.drop({elsewhere.path(), first}) == 0, L"drop: folder-first drop delivered");
    Sleep(1000);
    h.check(run.folder.readFile(L"pic.png").empty() && run.settings.visible(), L"drop: a folder first is ignored");

    h.check(hook.drop({first, second}) == 0, L"drop: file drop delivered");
    h.check(waitUntil([&] { return !run.folder.readFile(L"two.png").empty(); }), L"drop: both files converted");
    h.check(!run.folder.readFile(L"pic.png").empty() && elsewhere.files().empty(),
            L"drop: outputs beside the inputs once the folder is cleared");
    h.check(shows(run, false, true), L"drop: settings window stays");

    send(run.settings.child(1012), CB_SETCURSEL, 0);
    hook.drop({first});
    h.check(shows(run, true, false), L"drop: choose at run time shows the convert window");
    run.convert.key('B');
    h.check(waitUntil([&] { return !run.folder.readFile(L"pic+1.bmp").empty(); }), L"drop: B converts the drop");
    h.check(shows(run, false, true), L"drop: back to the settings window after the batch");
    run.settings.close();
    h.check(run.process.waitForExit(10000), L"drop: program ends");
}

WINE_TEST(uiSecondFormatPressDuringTheMessageIsIgnored)
{
    Run run = launch(h, L"ui-reentry", L"", {L"empty.bmp"}, true);
    run.convert.key('P');
    Window box = run.process.waitForMessageBox(10000);
    h.check(box.messageText() == kConvertFailed, L"re-entry: the first batch reports");
    h.check(GetWindow(box.handle(), GW_OWNER) == run.convert.handle(), L"re-entry: the visible window owns the box");
    screenshot(box.handle(), L"error-box");
    run.convert.key('B');
    run.convert.key('S');
    run.convert.key(VK_ESCAPE);
    Sleep(1000);
    h.check(run.process.findMessageBox().handle() == box.handle() && run.convert.visible(),
            L"re-entry: no second batch, settings or close while the box is open");
    box.dismiss();
    h.check(run.process.waitForExit(10000), L"re-entry: the program ends after the one batch");
}

WINE_TEST(uiStrayOutputChoiceLoadsAsChooseAtRunTime)
{
    Run run = launch(h, L"ui-drctcvt", L"DrctCvt=9\r\n");
    h.check(send(run.settings.child(1012), CB_GETCURSEL) == 0, L"DrctCvt 9: choose at run time selected");
    std::wstring input = run.folder.writeFile(L"pic.bmp", picture(8, 6));
    Hook hook(run.settings.handle());
    hook.drop({input});
    h.check(shows(run, true, false), L"DrctCvt 9: a drop shows the convert window");
    run.convert.key(VK_ESCAPE);
    h.check(run.process.waitForExit(10000), L"DrctCvt 9: Esc ends the program");
    h.check(savedAs(textFile(run.folder, L"Vrelk.ini"), "DrctCvt=0"), L"DrctCvt 9: saved as 0");
}

WINE_TEST(uiOverlongSubFolderFailsTheBatchCleanly)
{
    std::wstring name(240, L's');
    Run run = launch(h, L"ui-long", (L"DrctCvt=0\r\nMkDirAdd=1\r\nMkDirStr=" + name + L"\r\n").c_str(), {L"pic.bmp"});
    run.convert.key('P');
    Window box = run.process.waitForMessageBox(10000);
    h.check(box.messageText() == L"フォルダ作成に失敗しました。", L"long sub-folder: folder-creation message");
    box.dismiss();
    h.check(run.process.waitForExit(10000), L"long sub-folder: program ends");
    h.check(run.folder.files() == std::vector<std::wstring>{L"Vrelk.exe", L"Vrelk.ini", L"pic.bmp"},
            L"long sub-folder: nothing written, nothing truncated");
}

WINE_TEST(uiFolderPickerIsOwnedBySettingsAndCancelKeepsTheFolder)
{
    Run run = launch(h, L"ui-picker", L"");
    run.settings.command(1041);
    Window picker = run.process.waitForMessageBox(10000);
    h.check(picker.valid() && GetWindow(picker.handle(), GW_OWNER) == run.settings.handle(),
            L"picker: shell folder picker owned by the settings window");
    PostMessageW(picker.handle(), WM_COMMAND, IDCANCEL, 0);
    h.check(waitUntil([&] { return !picker.valid(); }, 5000), L"picker: cancelled");
    h.check(controlText(run.settings.child(1043)) == L"<入力ファイルと同じフォルダ>", L"picker: cancel keeps the folder");
    run.settings.close();
    h.check(run.process.waitForExit(10000), L"picker: program ends");
    h.check(savedAs(textFile(run.folder, L"Vrelk.ini"), "OutDir="), L"picker: nothing stored");
}
