// The program as its download unpacks it: Vrelk.exe with Vrelk.chm beside
// it converts a file, and its help button opens that help file in the
// system's own HTML Help.
#include "wine_harness.h"

#include <array>

namespace {

using namespace wine_harness;

constexpr wchar_t kHelpTitle[] = L"Tessaly ヘルプ";

// A 2x1 24-bit picture: one red pixel, one blue.
std::vector<unsigned char> tinyBmp()
{
    std::vector<unsigned char> bytes = {'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                        2,   0,   0,  0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0, 8, 0,
                                        0,   0};
    bytes.resize(54, 0);
    for (unsigned char value : std::array<unsigned char, 8>{0, 0, 255, 255, 0, 0, 0, 0})
        bytes.push_back(value);
    return bytes;
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

}  // namespace

WINE_TEST(packageConvertsAndOpensTheHelpFileBesideIt)
{
    Folder folder = h.freshFolder(L"package");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.install(folderOf(h.program()) + L"\\Vrelk.chm", L"Vrelk.chm");
    folder.writeSettings(L"DrctCvt=2\r\n");
    std::wstring input = folder.writeFile(L"tiny.bmp", tinyBmp());

    Process batch = Process::start(exe, {input}, folder.path());
    h.check(batch.waitForExit(15000) && batch.exitCode() == 0, L"package: a batch runs and ends");
    const std::vector<unsigned char> png = folder.readFile(L"tiny.png");
    h.check(png.size() > 8 && png[1] == 'P' && png[2] == 'N' && png[3] == 'G', L"package: tiny.png written");

    Process settings = Process::start(exe, {}, folder.path());
    Window window = settings.waitForWindow(L"Vrelk_setting_class", 10000);
    h.check(window.valid(), L"package: settings window shown");
    window.command(1071);
    Window help = settings.waitForWindow(L"HH Parent", 15000);
    h.check(help.valid(), L"package: the help viewer opens");
    h.check(help.caption() == kHelpTitle, L"package: it shows Vrelk.chm, titled " + help.caption());
    help.close();
    Sleep(300);
    window.command(1070);
    h.check(settings.waitForExit(10000), L"package: program ends");
}
