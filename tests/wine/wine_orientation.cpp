// A phone photo stored on its side, through the Windows program: converted
// upright, and re-encoded with its orientation as the only Exif tag.
#include "wine_harness.h"

#include <algorithm>

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

std::uint32_t le32(const Bytes& b, std::size_t at)
{
    return b.size() < at + 4 ? 0 : std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
                                       std::uint32_t{b[at + 3]} << 24;
}

// The APP1 segments of a JPEG, payloads only.
std::vector<Bytes> app1Segments(const Bytes& file)
{
    std::vector<Bytes> found;
    for (std::size_t pos = 2; pos + 4 <= file.size() && file[pos] == 0xFF && file[pos + 1] != 0xDA;) {
        const std::size_t length = std::size_t{file[pos + 2]} << 8 | file[pos + 3];
        if (length < 2 || pos + 2 + length > file.size())
            break;
        if (file[pos + 1] == 0xE1)
            found.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                               file.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length));
        pos += 2 + length;
    }
    return found;
}

void convert(Harness& h, const std::wstring& exe, const std::wstring& input, const Folder& temp, const wchar_t* label)
{
    Process run = Process::start(exe, {input}, temp.path());
    const bool ended = run.waitForExit(30000);
    Window box = run.findMessageBox();
    if (box.valid())
        box.dismiss();
    h.check(ended && !box.valid(), std::wstring(label) + L": converts without a message");
}

}  // namespace

WINE_TEST(sidewaysPhotoComesOutUpright)
{
    Folder folder = h.freshFolder(L"orient-bmp");
    Folder temp = h.freshFolder(L"orient-bmp-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=1\r\n");
    convert(h, exe, folder.writeFile(L"photo.jpg", h.fixtureBytes(L"orient_o6.jpg")), temp, L"orientation 6 to BMP");
    Bytes ours = folder.readFile(L"photo.bmp");
    Bytes expected = h.fixtureBytes(L"orient_o6.expected.bmp");
    h.check(le32(ours, 18) == 23 && le32(ours, 22) == 37, L"orientation 6: the upright size, 23 x 37");
    h.check(ours.size() == expected.size() && ours.size() > 54 && std::equal(ours.begin() + 54, ours.end(), expected.begin() + 54),
            L"orientation 6: the pixels Pillow shows");
}

WINE_TEST(reencodeKeepsOnlyTheOrientation)
{
    Folder folder = h.freshFolder(L"orient-recode");
    Folder temp = h.freshFolder(L"orient-recode-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=5\r\nMkDirAdd=1\r\nMkDirStr=out\r\n");
    convert(h, exe, folder.writeFile(L"gps.jpg", h.fixtureBytes(L"orient_gps.jpg")), temp, L"re-encode");
    std::vector<Bytes> app1 = app1Segments(Folder(folder.file(L"out")).readFile(L"gps.jpg"));
    const Bytes onlyOrientation{'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                                0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0};
    h.check(app1.size() == 1 && app1.front() == onlyOrientation, L"re-encode: one Exif block holding orientation 6 alone");
}
