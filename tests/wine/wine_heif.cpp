// HEIC and AVIF through the Windows program: each to every output format,
// the bitmaps against the reference decoders' pictures over white.
#include "wine_harness.h"

#include <cstdint>
#include <cstdlib>

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

std::int32_t littleEndian32(const Bytes& b, std::size_t at)
{
    return static_cast<std::int32_t>(std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 |
                                     std::uint32_t{b[at + 2]} << 16 | std::uint32_t{b[at + 3]} << 24);
}

// Both 24-bit bitmaps of one size, no channel more than `tolerance` apart.
bool closePixels(const Bytes& got, const Bytes& want, int tolerance)
{
    if (got.size() != want.size() || got.size() < 54 || littleEndian32(got, 18) != littleEndian32(want, 18) ||
        littleEndian32(got, 22) != littleEndian32(want, 22))
        return false;
    for (std::size_t i = 54; i < got.size(); ++i)
        if (std::abs(int{got[i]} - int{want[i]}) > tolerance)
            return false;
    return true;
}

bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

struct Output {
    const char* drctCvt;
    const wchar_t* extension;
    Bytes signature;
};

}  // namespace

WINE_TEST(heicAndAvifToEveryOutput)
{
    const Output outputs[] = {
        {"1", L".bmp", {'B', 'M'}},
        {"2", L".png", {137, 80, 78, 71, 13, 10, 26, 10}},
        {"3", L".jpg", {0xFF, 0xD8, 0xFF}},
        {"4", L".gif", {'G', 'I', 'F', '8', '9', 'a'}},
    };
    for (const Output& out : outputs) {
        const std::wstring label = std::wstring(L"HEIF to ") + (out.extension + 1);
        Folder folder = h.freshFolder(L"heif-" + std::wstring(out.extension + 1));
        Folder temp = h.freshFolder(L"heif-temp-" + std::wstring(out.extension + 1));
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(std::string("DrctCvt=") + out.drctCvt + "\r\n");
        std::wstring phone = folder.writeFile(L"phone.heic", h.fixtureBytes(L"heif_photo.heic"));
        std::wstring web = folder.writeFile(L"web.avif", h.fixtureBytes(L"heif_web.avif"));
        Process run = Process::start(exe, {phone, web}, temp.path());
        bool ended = run.waitForExit(30000);
        Window box = run.findMessageBox();
        if (box.valid())
            box.dismiss();
        h.check(ended && !box.valid(), label + L": converts without a message");
        h.check(temp.files().empty(), label + L": no temporary file left");
        h.check(startsWith(folder.readFile(std::wstring(L"phone") + out.extension), out.signature),
                label + L": the HEIC gives its output");
        h.check(startsWith(folder.readFile(std::wstring(L"web") + out.extension), out.signature),
                label + L": the AVIF gives its output");
        if (out.extension == std::wstring(L".bmp")) {
            h.check(closePixels(folder.readFile(L"phone.bmp"), h.fixtureBytes(L"heif_photo.expected.bmp"), 1),
                    L"HEIC to BMP: heif-convert's picture");
            h.check(closePixels(folder.readFile(L"web.bmp"), h.fixtureBytes(L"heif_web.expected.bmp"), 2),
                    L"10-bit AVIF with alpha to BMP: avifdec's picture over white");
        }
    }
}

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
    h.check(closePixels(folder.readFile(L"turned.bmp"), h.fixtureBytes(L"heif_turned.expected.bmp"), 1),
            L"turned AVIF to BMP: the picture turned and mirrored as the file says");
}
