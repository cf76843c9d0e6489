// A HEIF picture stored turned and mirrored comes out upright through the
// Windows program, against the reference decoder's picture.
#include "wine_harness.h"
#include "wine_pictures.h"

using namespace wine_harness;

WINE_TEST(turnedAvifComesOutUpright)
{
    Folder folder = h.freshFolder(L"heif-turned");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings("DrctCvt=1\r\n");
    std::wstring turned = folder.writeFile(L"turned.avif", h.fixtureBytes(L"heif_turned.avif"));
    Process run = Process::start(exe, {turned}, folder.path());
    bool ended = run.waitForExit(30000);
    Window box = run.findMessageBox();
    if (box.valid())
        box.dismiss();
    h.check(ended && !box.valid(), L"turned AVIF: converts without a message");
    h.check(largestDifference(parseBmp(folder.readFile(L"turned.bmp")).rgb,
                              parseBmp(h.fixtureBytes(L"heif_turned.expected.bmp")).rgb) <= 1,
            L"turned AVIF to BMP: the picture turned and mirrored as the file says");
}
