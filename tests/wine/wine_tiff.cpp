// TIFF in through the Windows program: uncompressed and LZW files to BMP,
// PNG and JPEG, with a compression its libtiff lacks left for the plug-ins
// (none here, so it is skipped).
#include "wine_harness.h"

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

}  // namespace

WINE_TEST(tiffToBmpPngAndJpeg)
{
    struct Target {
        const wchar_t* settings;
        const wchar_t* extension;
        Bytes signature;
    };
    const Target targets[] = {
        {L"DrctCvt=1\r\n", L"bmp", {'B', 'M'}},
        {L"DrctCvt=2\r\n", L"png", {137, 80, 78, 71}},
        {L"DrctCvt=3\r\n", L"jpg", {0xFF, 0xD8, 0xFF}},
    };
    for (const Target& target : targets) {
        const std::wstring ext = target.extension;
        Folder folder = h.freshFolder(L"tiff-" + ext);
        Folder temp = h.freshFolder(L"tiff-" + ext + L"-temp");
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(target.settings);
        std::vector<std::wstring> inputs{folder.writeFile(L"rgb.tif", h.fixtureBytes(L"tiff_rgb_mm.tif")),
                                         folder.writeFile(L"palette.tif", h.fixtureBytes(L"tiff_palette.tif")),
                                         folder.writeFile(L"lzw.tif", h.fixtureBytes(L"tiff_lzw.tif")),
                                         folder.writeFile(L"rgblzw.tif", h.fixtureBytes(L"tiff_rgb_lzw.tif")),
                                         folder.writeFile(L"lzma.tif", h.fixtureBytes(L"tiff_lzma.tif"))};
        Process run = Process::start(exe, inputs, temp.path());
        bool ended = run.waitForExit(30000);
        Window box = run.findMessageBox();
        if (box.valid())
            box.dismiss();
        h.check(ended && !box.valid(), L"TIFF to " + ext + L": converts without a message");
        h.check(temp.files().empty(), L"TIFF to " + ext + L": no temporary file left");
        h.check(startsWith(folder.readFile(L"rgb." + ext), target.signature) &&
                    startsWith(folder.readFile(L"palette." + ext), target.signature),
                L"TIFF to " + ext + L": both uncompressed files written");
        h.check(folder.readFile(L"lzw." + ext) == folder.readFile(L"palette." + ext) &&
                    startsWith(folder.readFile(L"rgblzw." + ext), target.signature),
                L"TIFF to " + ext + L": the LZW files written, the palette one as its uncompressed twin");
        h.check(folder.readFile(L"lzma." + ext).empty(), L"TIFF to " + ext + L": the LZMA file is skipped");
        if (ext == L"bmp") {
            Bytes expected = h.fixtureBytes(L"tiff_rgb.expected.bmp");
            for (const wchar_t* name : {L"rgb.bmp", L"rgblzw.bmp"}) {
                Bytes bmp = folder.readFile(name);
                h.check(bmp.size() == expected.size() && bmp.size() > 54 &&
                            std::equal(bmp.begin() + 54, bmp.end(), expected.begin() + 54),
                        std::wstring(L"TIFF to bmp: ") + name + L" has the RGB pixels Pillow's picture has");
            }
        }
    }
}
