// KeepAlpha through the Windows program: the settings window's box shows
// the stored value and stores the clicked one, and a transparent PNG keeps
// its alpha channel only with the setting on.
#include "wine_harness.h"
#include "wine_ui.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using namespace wine_harness;
using namespace wine_ui;

// The colour type in the header of a PNG the program wrote, or -1.
int pngColourType(const std::vector<unsigned char>& file)
{
    constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G'};
    if (file.size() < 26 || !std::equal(std::begin(kSignature), std::end(kSignature), file.begin()))
        return -1;
    return file[25];
}

}  // namespace

WINE_TEST(keepAlphaBoxLoadsSavesAndApplies)
{
    Folder folder = h.freshFolder(L"keep-alpha-box");
    const std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"KeepAlpha=1\r\n");
    Process run = Process::start(exe, {}, folder.path());
    Window settings = run.waitForWindow(L"Vrelk_setting_class", 10000);
    h.check(settings.valid() && checked(settings.child(1091)), L"keep alpha: KeepAlpha=1 shows checked");
    click(settings.child(1091));
    settings.command(1070);
    h.check(run.waitForExit(10000), L"keep alpha: closing ends the program");
    h.check(savedAs(textFile(folder, L"Vrelk.ini"), "KeepAlpha=0"), L"keep alpha: the cleared box saved as 0");

    for (const bool keep : {true, false}) {
        const std::wstring label = keep ? L"KeepAlpha=1" : L"KeepAlpha=0";
        Folder files = h.freshFolder(keep ? L"keep-alpha" : L"keep-alpha-off");
        const std::wstring program = files.install(h.program(), L"Vrelk.exe");
        files.writeSettings(keep ? L"DrctCvt=2\r\nKeepAlpha=1\r\n" : L"DrctCvt=2\r\n");
        const std::wstring input = files.writeFile(L"clip.png", h.fixtureBytes(L"png_alpha.png"));
        Process convert = Process::start(program, {input}, files.path());
        const bool ended = convert.waitForExit(30000);
        Window box = convert.findMessageBox();
        if (box.valid())
            box.dismiss();
        h.check(ended && !box.valid(), label + L": converts without a message");
        const std::vector<unsigned char> written = files.readFile(L"clip+1.png");
        h.check(pngColourType(written) == (keep ? 6 : 2),
                label + (keep ? L": the PNG has an alpha channel" : L": the PNG is RGB over white"));
    }
}
