// Size reduction in the Windows program.
#include <algorithm>
#include <cstring>

#include "wine_harness.h"

namespace {

using namespace wine_harness;

void putLE(std::vector<unsigned char>& out, unsigned value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A bottom-up BMP of 8 bits (grey palette) or 24 bits with a diagonal ramp.
std::vector<unsigned char> makeBmp(unsigned width, unsigned height, unsigned bits)
{
    const unsigned stride = ((width * bits / 8) + 3) & ~3u;
    const unsigned paletteBytes = bits == 8 ? 1024 : 0;
    const unsigned offset = 14 + 40 + paletteBytes;
    std::vector<unsigned char> out{'B', 'M'};
    putLE(out, offset + stride * height, 4);
    putLE(out, 0, 4);
    putLE(out, offset, 4);
    for (unsigned field : {40u, width, height})
        putLE(out, field, 4);
    putLE(out, 1, 2);
    putLE(out, bits, 2);
    for (int i = 0; i < 6; ++i)
        putLE(out, 0, 4);
    for (unsigned i = 0; i < paletteBytes / 4; ++i)
        putLE(out, i * 0x010101u, 4);
    for (unsigned y = 0; y < height; ++y) {
        std::vector<unsigned char> row(stride, 0);
        for (unsigned x = 0; x < width; ++x) {
            auto value = static_cast<unsigned char>((x + y) * 3);
            if (bits == 8)
                row[x] = value;
            else
                row[3 * x] = value, row[3 * x + 1] = static_cast<unsigned char>(x), row[3 * x + 2] = 200;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

// "width x height @ bits" of a BMP file, or "none".
std::wstring shapeOf(const std::vector<unsigned char>& bytes)
{
    if (bytes.size() < 30 || bytes[0] != 'B' || bytes[1] != 'M')
        return L"none";
    auto field = [&](std::size_t at, int size) {
        unsigned value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
        return value;
    };
    return std::to_wstring(field(18, 4)) + L" x " + std::to_wstring(field(22, 4)) + L" @ " +
           std::to_wstring(field(28, 2));
}

struct ReductionCase {
    const char* keys;
    const wchar_t* wide;
    const wchar_t* tall;
    const wchar_t* grey;
};

}  // namespace

WINE_TEST(reductionModesGiveTheRightSizes)
{
    const ReductionCase cases[] = {
        {"RszOpt=0\r\nRszSize=50\r\n", L"50 x 25 @ 24", L"50 x 100 @ 24", L"50 x 38 @ 24"},
        {"RszOpt=1\r\nRszSize=50\r\n", L"100 x 50 @ 24", L"25 x 50 @ 24", L"64 x 48 @ 8"},
        {"RszOpt=2\r\nRszSize=50\r\n", L"50 x 25 @ 24", L"25 x 50 @ 24", L"50 x 38 @ 24"},
        {"RszOpt=2\r\nRszSize=1000\r\n", L"200 x 100 @ 24", L"100 x 200 @ 24", L"64 x 48 @ 8"},
    };
    int index = 0;
    for (const ReductionCase& c : cases) {
        std::wstring name = L"resize" + std::to_wstring(index++);
        Folder folder = h.freshFolder(name);
        Folder out = h.freshFolder(name + L"-out");
        Folder temp = h.freshFolder(name + L"-temp");
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings("DrctCvt=1\r\nResize=1\r\nOutDir=" + utf8(out.path()) + "\r\n" + c.keys);
        std::wstring wide = folder.writeFile(L"wide.bmp", makeBmp(200, 100, 24));
        std::wstring tall = folder.writeFile(L"tall.bmp", makeBmp(100, 200, 24));
        std::wstring grey = folder.writeFile(L"grey.bmp", makeBmp(64, 48, 8));

        Process run = Process::start(exe, {wide, tall, grey}, temp.path());
        std::wstring label = name + L": ";
        h.check(run.waitForExit(20000), label + L"program ends without a message");
        h.check(!run.findMessageBox().valid(), label + L"no message box");
        h.check(shapeOf(out.readFile(L"wide.bmp")) == c.wide, label + L"wide image " + c.wide);
        h.check(shapeOf(out.readFile(L"tall.bmp")) == c.tall, label + L"tall image " + c.tall);
        h.check(shapeOf(out.readFile(L"grey.bmp")) == c.grey, label + L"paletted image " + c.grey);
        h.check(temp.files().empty(), label + L"no temporary file left");
    }
}

// A size the batch would use but cannot is refused before any file, with
// a message that names its key; a size the batch does not use is left alone.
WINE_TEST(sizeSettingsOutOfRangeAreRefusedByName)
{
    const struct {
        const char* keys;
        const wchar_t* message;  // empty: converted
    } cases[] = {
        {"DrctCvt=1\r\nResize=1\r\nRszOpt=2\r\nRszSize=0\r\n", L"設定 RszSize の値 0 は使えません（1以上）。"},
        {"DrctCvt=3\r\nLimit=1\r\nLmtVal=0\r\n", L"設定 LmtVal の値 0 は使えません（1～32767）。"},
        {"DrctCvt=3\r\nLimit=1\r\nLmtVal=40000\r\n", L"設定 LmtVal の値 40000 は使えません（1～32767）。"},
        {"DrctCvt=3\r\nLimit=0\r\nLmtVal=0\r\n", L""},
        {"DrctCvt=2\r\nLimit=1\r\nLmtVal=0\r\n", L""},
    };
    for (const auto& c : cases) {
        std::wstring label = std::wstring(c.keys, c.keys + std::strlen(c.keys));
        std::replace(label.begin(), label.end(), L'\r', L' ');
        label.erase(std::remove(label.begin(), label.end(), L'\n'), label.end());
        label += L": ";
        Folder folder = h.freshFolder(L"size-setting");
        Folder out = h.freshFolder(L"size-setting-out");
        Folder temp = h.freshFolder(L"size-setting-temp");
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(std::string(c.keys) + "OutDir=" + utf8(out.path()) + "\r\n");
        std::wstring wide = folder.writeFile(L"wide.bmp", makeBmp(200, 100, 24));

        Process run = Process::start(exe, {wide}, temp.path());
        if (*c.message) {
            Window box = run.waitForMessageBox(20000);
            h.check(box.messageText() == c.message, label + L"message names the key: " + box.messageText());
            box.dismiss();
        }
        h.check(run.waitForExit(20000), label + L"program ends");
        h.check(out.files().size() == (*c.message ? 0u : 1u), label + L"outputs");
        h.check(temp.files().empty(), label + L"no temporary file left");
    }
}

WINE_TEST(reductionOfJpegAndPngInputs)
{
    const wchar_t* shapes[][2] = {
        {L"100 x 75 @ 24", L"100 x 67 @ 24"},
        {L"133 x 100 @ 24", L"150 x 100 @ 24"},
        {L"100 x 75 @ 24", L"100 x 67 @ 24"},
    };
    for (int mode = 0; mode < 3; ++mode) {
        std::wstring name = L"resize-inputs" + std::to_wstring(mode);
        Folder folder = h.freshFolder(name);
        Folder out = h.freshFolder(name + L"-out");
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings("DrctCvt=1\r\nResize=1\r\nRszSize=100\r\nRszOpt=" + std::to_string(mode) +
                             "\r\nOutDir=" + utf8(out.path()) + "\r\n");

        Process run = Process::start(exe, {h.fixture(L"resize-photo.jpg"), h.fixture(L"resize-shot.png")}, out.path());
        std::wstring label = name + L": ";
        h.check(run.waitForExit(20000) && !run.findMessageBox().valid(), label + L"program ends without a message");
        h.check(shapeOf(out.readFile(L"resize-photo.bmp")) == shapes[mode][0], label + L"JPEG " + shapes[mode][0]);
        h.check(shapeOf(out.readFile(L"resize-shot.bmp")) == shapes[mode][1], label + L"PNG " + shapes[mode][1]);
    }
}
