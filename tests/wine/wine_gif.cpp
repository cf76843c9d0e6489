// GIF in and out of Vrelk.exe: every kind of input to GIF and the results
// back to BMP, and GIF chosen by its key.
// Inputs and expected pictures come from fixtures_gif.py.
#include "wine_harness.h"
#include "wine_pictures.h"

#include <cstdint>

namespace {

using namespace wine_harness;

// A whole GIF89a file of the size, with a table of 2^bits entries.
bool looksLikeGif(const Bytes& b, int width, int height, int tableBits)
{
    const Bytes signature{'G', 'I', 'F', '8', '9', 'a'};
    return b.size() > 13 && std::equal(signature.begin(), signature.end(), b.begin()) &&
           static_cast<int>(littleEndian(b, 6, 2)) == width && static_cast<int>(littleEndian(b, 8, 2)) == height &&
           b[10] == (0x80 | (tableBits - 1) << 4 | (tableBits - 1)) && b.back() == 0x3B;
}

void runBatch(Harness& h, const std::wstring& exe, const std::vector<std::wstring>& inputs, const Folder& temp,
              const std::wstring& label)
{
    Process run = Process::start(exe, inputs, temp.path());
    bool ended = run.waitForExit(60000);
    Window box = run.findMessageBox();
    if (box.valid())
        box.dismiss();
    h.check(ended && !box.valid(), label + L": converts without a message");
    h.check(temp.files().empty(), label + L": no temporary file left");
}

struct Input {
    const wchar_t* stem;
    const wchar_t* extension;
    bool exact;
};

}  // namespace

WINE_TEST(everyInputToGifAndBackToBmp)
{
    const std::vector<Input> inputs{
        {L"gif_bmp1", L".bmp", true},   {L"gif_bmp4", L".bmp", true}, {L"gif_bmp8", L".bmp", true},
        {L"gif_bmp24", L".bmp", false}, {L"gif_pal", L".png", true},  {L"gif_rgb", L".png", false},
        {L"gif_photo", L".jpg", false}, {L"gif_in", L".gif", true},
    };
    Folder folder = h.freshFolder(L"to-gif");
    Folder temp = h.freshFolder(L"to-gif-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=4\r\nMkDirAdd=1\r\nMkDirStr=gif\r\n");
    std::vector<std::wstring> paths;
    for (const Input& in : inputs) {
        std::wstring name = std::wstring(in.stem) + in.extension;
        paths.push_back(folder.writeFile(name, h.fixtureBytes(name)));
    }
    runBatch(h, exe, paths, temp, L"to GIF");

    Folder gifs(folder.file(L"gif"));
    Folder back = h.freshFolder(L"gif-back");
    std::wstring backExe = back.install(h.program(), L"Vrelk.exe");
    back.writeSettings(L"DrctCvt=1\r\n");
    std::vector<std::wstring> written;
    for (const Input& in : inputs) {
        std::wstring name = std::wstring(in.stem) + L".gif";
        Bytes gif = gifs.readFile(name);
        h.check(looksLikeGif(gif, 45, 37, 8), std::wstring(in.stem) + L": a 45 x 37 GIF89a");
        written.push_back(back.writeFile(name, gif));
    }
    runBatch(h, backExe, written, temp, L"GIF to BMP");

    for (const Input& in : inputs) {
        BmpPicture got = parseBmp(back.readFile(std::wstring(in.stem) + L".bmp"));
        BmpPicture want = parseBmp(h.fixtureBytes(std::wstring(in.stem) + L".expected.bmp"));
        h.check(got.rgb.size() == want.rgb.size() && (!in.exact || got.rgb == want.rgb),
                std::wstring(in.stem) + (in.exact ? L": every colour kept" : L": back to BMP"));
    }
}

WINE_TEST(gifChosenByKey)
{
    Folder temp = h.freshFolder(L"from-gif-temp");
    const Bytes input = h.fixtureBytes(L"gif_in.gif");
    Folder folder = h.freshFolder(L"gif-key");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=0\r\n");
    std::wstring path = folder.writeFile(L"in.gif", input);
    Process run = Process::start(exe, {path}, temp.path());
    Window convert = run.waitForWindow(L"Vrelk_convert_class", 10000);
    h.check(convert.valid(), L"G key: convert window shown");
    convert.key('G');
    h.check(run.waitForExit(30000), L"G key: program ends after the batch");
    h.check(looksLikeGif(folder.readFile(L"in+1.gif"), 45, 37, 8), L"G key: GIF written beside the input");
}
