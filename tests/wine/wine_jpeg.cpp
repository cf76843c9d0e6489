// JPEG in and out of Vrelk.exe: reading into BMP, writing from BMP, the
// size target and the lossless re-encode. Inputs come from fixtures_jpeg.py.
#include "wine_harness.h"
#include "wine_pictures.h"

#include <cstdint>
#include <cstdlib>

namespace {

using namespace wine_harness;

double meanDifference(const Bytes& a, const Bytes& b)
{
    if (a.size() != b.size() || a.empty())
        return 256;
    double total = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        total += std::abs(int{a[i]} - int{b[i]});
    return total / static_cast<double>(a.size());
}

// Marker codes of a JPEG after the start of image, entropy-coded data skipped.
std::vector<int> jpegMarkers(const Bytes& b)
{
    std::vector<int> markers;
    std::size_t at = 2;
    bool inScan = false;
    while (at + 1 < b.size()) {
        if (b[at] != 0xFF || b[at + 1] == 0 || b[at + 1] == 0xFF || (b[at + 1] >= 0xD0 && b[at + 1] <= 0xD7)) {
            if (!inScan)
                return markers;
            ++at;
            continue;
        }
        const int marker = b[at + 1];
        markers.push_back(marker);
        if (marker == 0xD9 || at + 3 >= b.size())
            break;
        at += 2 + (std::size_t{b[at + 2]} << 8 | b[at + 3]);
        inScan = marker == 0xDA;
    }
    return markers;
}

bool hasMarker(const std::vector<int>& markers, int code)
{
    return std::find(markers.begin(), markers.end(), code) != markers.end();
}

struct Outcome {
    bool ended = false;
    bool messageShown = false;
};

// Runs a fixed-output batch and dismisses a message box if one appears.
Outcome convert(Harness& h, const std::wstring& name, const std::wstring& settings, const std::vector<std::wstring>& fixtures,
                Folder& folder)
{
    folder = h.freshFolder(name);
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(settings.c_str());
    std::vector<std::wstring> inputs;
    for (const std::wstring& fixture : fixtures) {
        inputs.push_back(folder.file(fixture));
        CopyFileW(h.fixture(fixture).c_str(), inputs.back().c_str(), FALSE);
    }
    Folder temp = h.freshFolder(name + L"-temp");
    Process run = Process::start(exe, inputs, temp.path());
    Outcome outcome;
    for (int waited = 0; waited < 30000; waited += 100) {
        if (run.waitForExit(100)) {
            outcome.ended = true;
            break;
        }
        Window box = run.findMessageBox();
        if (box.valid() && box.visible()) {
            outcome.messageShown = true;
            box.dismiss();
        }
    }
    h.check(temp.files().empty(), name + L": no temporary file left");
    return outcome;
}

}  // namespace

WINE_TEST(jpegReadsIntoBmp)
{
    Folder folder(L"");
    Outcome run = convert(h, L"jpeg-to-bmp", L"DrctCvt=1\r\n", {L"colour.jpg", L"grey.jpg"}, folder);
    h.check(run.ended && !run.messageShown, L"jpeg to bmp: batch ends without a message");
    BmpPicture colour = parseBmp(folder.readFile(L"colour.bmp"));
    h.check(colour.bits == 24 && colour.width == 83 && colour.height == 61, L"jpeg to bmp: colour is 24-bit 83x61");
    h.check(largestDifference(colour.rgb, Folder(h.fixture(L"")).readFile(L"colour.rgb")) <= 1,
            L"jpeg to bmp: colour pixels match Pillow's decoding");
    BmpPicture grey = parseBmp(folder.readFile(L"grey.bmp"));
    h.check(grey.bits == 8 && grey.width == 30 && grey.height == 20, L"jpeg to bmp: grey is 8-bit 30x20");
    h.check(largestDifference(grey.rgb, Folder(h.fixture(L"")).readFile(L"grey.rgb")) <= 1,
            L"jpeg to bmp: grey pixels match Pillow's decoding");
}

WINE_TEST(jpegWrittenFromBmpAndJpeg)
{
    Folder folder(L"");
    Outcome run = convert(h, L"to-jpeg", L"DrctCvt=3\r\nQuality=92\r\nSampling=2\r\n", {L"photo.bmp", L"colour.jpg"}, folder);
    h.check(run.ended && !run.messageShown, L"to jpeg: batch ends without a message");
    Bytes photo = folder.readFile(L"photo.jpg");
    std::vector<int> markers = jpegMarkers(photo);
    h.check(photo.size() > 2 && photo[0] == 0xFF && photo[1] == 0xD8, L"to jpeg: a JPEG file");
    h.check(markers.size() > 2 && markers[0] == 0xE0 && hasMarker(markers, 0xC0) && markers.back() == 0xD9 &&
                std::count(markers.begin(), markers.end(), 0xDA) == 1,
            L"to jpeg: JFIF, baseline, one scan");
    h.check(folder.readFile(L"colour+1.jpg").size() > 0, L"to jpeg: a JPEG input gets a numbered name");

    // Read back by the program itself.
    Folder back(L"");
    CopyFileW(folder.file(L"photo.jpg").c_str(), h.fixture(L"written.jpg").c_str(), FALSE);
    Outcome reread = convert(h, L"to-jpeg-back", L"DrctCvt=1\r\n", {L"written.jpg"}, back);
    BmpPicture decoded = parseBmp(back.readFile(L"written.bmp"));
    h.check(reread.ended && decoded.width == 70 && decoded.height == 50, L"to jpeg: the output reads back");
    h.check(meanDifference(decoded.rgb, Folder(h.fixture(L"")).readFile(L"photo.rgb")) < 2.0,
            L"to jpeg: pixels survive at quality 92");
}

WINE_TEST(jpegSizeTargetIsMet)
{
    Folder folder(L"");
    Outcome run = convert(h, L"size-target", L"DrctCvt=3\r\nLimit=1\r\nLmtVal=6\r\nQuality=100\r\n", {L"noisy.bmp"}, folder);
    h.check(run.ended && !run.messageShown, L"size target: batch ends without a message");
    Bytes bytes = folder.readFile(L"noisy.jpg");
    h.check(bytes.size() > 3 * 1024 && bytes.size() <= 6 * 1024, L"size target: file within 6 KB and not far below");
}

WINE_TEST(jpegReencodeDropsMarkers)
{
    Folder folder(L"");
    Outcome run = convert(h, L"reencode", L"DrctCvt=5\r\n", {L"exif.jpg", L"photo.png"}, folder);
    h.check(run.ended && !run.messageShown, L"re-encode: batch ends without a message");
    h.check(folder.files() == std::vector<std::wstring>{L"Vrelk.exe", L"Vrelk.ini", L"exif+1.jpg", L"exif.jpg", L"photo.png"},
            L"re-encode: the JPEG is re-encoded, the PNG skipped");
    Bytes output = folder.readFile(L"exif+1.jpg");
    std::vector<int> markers = jpegMarkers(output);
    h.check(!hasMarker(markers, 0xE1) && !hasMarker(markers, 0xFE) && !hasMarker(markers, 0xC2) &&
                std::count(markers.begin(), markers.end(), 0xDA) == 1,
            L"re-encode: no Exif, no comment, one sequential scan");
    Bytes reference = Folder(h.fixture(L"")).readFile(L"exif_ref.jpg");
    if (!reference.empty())
        h.check(output == reference, L"re-encode: identical to jpegtran -copy none -optimize");

    Folder only(L"");
    Outcome refused = convert(h, L"reencode-png", L"DrctCvt=5\r\n", {L"photo.png"}, only);
    h.check(refused.ended && refused.messageShown, L"re-encode: a PNG alone ends with the failure message");
}
