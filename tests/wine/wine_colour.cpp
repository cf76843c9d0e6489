// Colour profiles through the Windows program: a Display P3 JPEG becomes a
// BMP in sRGB (Little CMS inside Vrelk.exe), and a JPEG and a WebP that
// keep the profile (libwebpmux inside Vrelk.exe).
#include <algorithm>
#include <cstdlib>

#include "wine_harness.h"

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

constexpr std::size_t kBmpHeaderBytes = 54;

// Pixels within one level of the expected picture's, headers aside.
bool withinOneLevel(const Bytes& bmp, const Bytes& expected)
{
    if (bmp.size() != expected.size() || bmp.size() <= kBmpHeaderBytes)
        return false;
    for (std::size_t i = kBmpHeaderBytes; i < bmp.size(); ++i)
        if (std::abs(int(bmp[i]) - int(expected[i])) > 1)
            return false;
    return true;
}

}  // namespace

WINE_TEST(displayP3JpegToBmpJpegAndWebp)
{
    const Bytes profile = h.fixtureBytes(L"colour_p3.icc");
    struct Target {
        const wchar_t* settings;
        const wchar_t* extension;
    };
    for (const Target& target :
         {Target{L"DrctCvt=1\r\n", L"bmp"}, Target{L"DrctCvt=3\r\n", L"jpg"}, Target{L"DrctCvt=6\r\n", L"webp"}}) {
        const std::wstring ext = target.extension;
        Folder folder = h.freshFolder(L"colour-" + ext);
        Folder temp = h.freshFolder(L"colour-" + ext + L"-temp");
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(target.settings);
        std::vector<std::wstring> inputs{folder.writeFile(L"p3.jpeg", h.fixtureBytes(L"colour_p3.jpg"))};
        Process run = Process::start(exe, inputs, temp.path());
        bool ended = run.waitForExit(30000);
        Window box = run.findMessageBox();
        if (box.valid())
            box.dismiss();
        h.check(ended && !box.valid(), L"P3 JPEG to " + ext + L": converts without a message");
        const Bytes output = folder.readFile(L"p3." + ext);
        if (ext == L"bmp") {
            h.check(withinOneLevel(output, h.fixtureBytes(L"colour_p3.expected.bmp")),
                    L"P3 JPEG to bmp: the pixels of Pillow's conversion to sRGB");
        } else {
            h.check(!profile.empty() &&
                        std::search(output.begin(), output.end(), profile.begin(), profile.end()) != output.end(),
                    L"P3 JPEG to " + ext + L": the profile goes along");
        }
    }
}
