// PNG in and out through the Windows program: PNG to BMP, BMP to PNG and
// PNG to PNG, checked against pictures from independent encoders.
#include "wine_harness.h"

#include <cstdint>

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

const Bytes kPngSignature{137, 80, 78, 71, 13, 10, 26, 10};
const Bytes kIend{0, 0, 0, 0, 73, 69, 78, 68, 174, 66, 96, 130};

bool runBatch(Harness& h, const std::wstring& exe, const std::vector<std::wstring>& inputs, const Folder& temp,
              const std::wstring& label)
{
    Process run = Process::start(exe, inputs, temp.path());
    bool ended = run.waitForExit(30000);
    Window box = run.findMessageBox();
    if (box.valid())
        box.dismiss();
    h.check(ended && !box.valid(), label + L": converts without a message");
    h.check(temp.files().empty(), label + L": no temporary file left");
    return ended;
}

std::uint32_t bigEndian32(const Bytes& b, std::size_t at)
{
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// The chunk types of a PNG file in order, with the IHDR and PLTE data.
struct PngOutline {
    std::vector<std::string> types;
    Bytes header;
    std::size_t paletteBytes = 0;
};

PngOutline outline(const Bytes& file)
{
    PngOutline result;
    for (std::size_t pos = 8; pos + 12 <= file.size();) {
        std::uint32_t length = bigEndian32(file, pos);
        std::string type(file.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                         file.begin() + static_cast<std::ptrdiff_t>(pos + 8));
        result.types.push_back(type);
        if (type == "IHDR" && length == 13)
            result.header.assign(file.begin() + static_cast<std::ptrdiff_t>(pos + 8),
                                 file.begin() + static_cast<std::ptrdiff_t>(pos + 21));
        if (type == "PLTE")
            result.paletteBytes = length;
        pos += 12 + static_cast<std::size_t>(length);
    }
    return result;
}

bool endsWith(const Bytes& file, const Bytes& tail)
{
    return file.size() >= tail.size() && std::equal(tail.begin(), tail.end(), file.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

// Same pixel rows: both files hold 24-bit pixels from offset 54.
bool samePixels(const Bytes& a, const Bytes& b)
{
    return a.size() == b.size() && a.size() > 54 && std::equal(a.begin() + 54, a.end(), b.begin() + 54);
}

}  // namespace

WINE_TEST(pngToBmpCompositesAndCutsSixteenBits)
{
    Folder folder = h.freshFolder(L"png-bmp");
    Folder temp = h.freshFolder(L"png-bmp-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=1\r\n");
    std::wstring alpha = folder.writeFile(L"alpha.png", h.fixtureBytes(L"png_alpha.png"));
    std::wstring wide = folder.writeFile(L"wide.png", h.fixtureBytes(L"png_wide.png"));
    runBatch(h, exe, {alpha, wide}, temp, L"PNG to BMP");
    h.check(samePixels(folder.readFile(L"alpha.bmp"), h.fixtureBytes(L"png_alpha.expected.bmp")),
            L"PNG to BMP: alpha composited over white as Pillow's picture says");
    h.check(samePixels(folder.readFile(L"wide.bmp"), h.fixtureBytes(L"png_wide.expected.bmp")),
            L"PNG to BMP: 16-bit interlaced file gives its high bytes");
}

WINE_TEST(bmpToPngAndBack)
{
    Folder folder = h.freshFolder(L"bmp-png");
    Folder temp = h.freshFolder(L"bmp-png-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=2\r\nMkDirAdd=1\r\nMkDirStr=png\r\n");
    std::wstring scan = folder.writeFile(L"scan.bmp", h.fixtureBytes(L"png_scan.bmp"));
    runBatch(h, exe, {scan}, temp, L"BMP to PNG");

    Folder pngFolder(folder.file(L"png"));
    Bytes png = pngFolder.readFile(L"scan.png");
    PngOutline parts = outline(png);
    h.check(Bytes(png.begin(), png.begin() + std::min<std::ptrdiff_t>(8, static_cast<std::ptrdiff_t>(png.size()))) ==
                kPngSignature,
            L"BMP to PNG: PNG signature");
    h.check(parts.types == std::vector<std::string>{"IHDR", "IDAT", "IEND"}, L"BMP to PNG: IHDR, one IDAT, IEND");
    h.check(parts.header == Bytes{0, 0, 0, 41, 0, 0, 0, 30, 8, 2, 0, 0, 0}, L"BMP to PNG: 41 x 30 RGB, 8 bits");
    h.check(endsWith(png, kIend), L"BMP to PNG: ends with IEND");

    Folder back = h.freshFolder(L"png-back");
    std::wstring backExe = back.install(h.program(), L"Vrelk.exe");
    back.writeSettings(L"DrctCvt=1\r\n");
    std::wstring copy = back.writeFile(L"scan.png", png);
    runBatch(h, backExe, {copy}, temp, L"back to BMP");
    h.check(samePixels(back.readFile(L"scan.bmp"), h.fixtureBytes(L"png_scan.bmp")),
            L"back to BMP: the same picture as the first bitmap");
}

WINE_TEST(pngToPngMergesThePalette)
{
    Folder folder = h.freshFolder(L"png-png");
    Folder temp = h.freshFolder(L"png-png-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=2\r\n");
    std::wstring input = folder.writeFile(L"indexed.png", h.fixtureBytes(L"png_indexed.png"));
    runBatch(h, exe, {input}, temp, L"PNG to PNG");
    Bytes png = folder.readFile(L"indexed+1.png");
    PngOutline parts = outline(png);
    h.check(parts.types == std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"},
            L"PNG to PNG: IHDR, PLTE, IDAT, IEND");
    h.check(parts.header.size() == 13 && parts.header[8] == 8 && parts.header[9] == 3,
            L"PNG to PNG: an 8-bit palette image");
    h.check(parts.paletteBytes == 6, L"PNG to PNG: sixteen entries of two colours merge to two");
    h.check(endsWith(png, kIend), L"PNG to PNG: ends with IEND");
}

WINE_TEST(jpegToPngKeepsTheDecodedPixels)
{
    Folder temp = h.freshFolder(L"jpeg-png-temp");
    Folder direct = h.freshFolder(L"jpeg-bmp");
    direct.writeSettings(L"DrctCvt=1\r\n");
    std::wstring jpeg = direct.writeFile(L"colour.jpg", h.fixtureBytes(L"colour.jpg"));
    runBatch(h, direct.install(h.program(), L"Vrelk.exe"), {jpeg}, temp, L"JPEG to BMP");

    Folder viaPng = h.freshFolder(L"jpeg-png");
    viaPng.writeSettings(L"DrctCvt=2\r\n");
    std::wstring exe = viaPng.install(h.program(), L"Vrelk.exe");
    runBatch(h, exe, {viaPng.writeFile(L"colour.jpg", h.fixtureBytes(L"colour.jpg"))}, temp, L"JPEG to PNG");
    Bytes png = viaPng.readFile(L"colour.png");
    h.check(outline(png).types == std::vector<std::string>{"IHDR", "IDAT", "IEND"}, L"JPEG to PNG: IHDR, one IDAT, IEND");

    Folder back = h.freshFolder(L"jpeg-png-back");
    back.writeSettings(L"DrctCvt=1\r\n");
    std::wstring copy = back.writeFile(L"colour.png", png);
    runBatch(h, back.install(h.program(), L"Vrelk.exe"), {copy}, temp, L"PNG back to BMP");
    h.check(samePixels(back.readFile(L"colour.bmp"), direct.readFile(L"colour.bmp")),
            L"JPEG to PNG: the PNG holds exactly the decoded JPEG");
}
