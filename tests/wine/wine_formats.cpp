// Every input format to every output through the Windows program, one
// batch per output choice: each file written under its name with its
// format's signature, the bitmaps against the reference decoders' pixels.
// Inputs and references come from the fixtures_*.py makers.
#include "wine_harness.h"
#include "wine_pictures.h"

#include <string>

namespace {

using namespace wine_harness;

struct Input {
    const wchar_t* fixture;
    const wchar_t* stem;       // the name it is converted under
    const wchar_t* extension;
    const wchar_t* reference;  // a .rgb (Pillow's pixels) or .expected.bmp, or none
    int tolerance;
};

const Input kInputs[] = {
    {L"photo.bmp", L"in_bmp", L".bmp", L"photo.rgb", 0},
    {L"photo.png", L"in_png", L".png", L"photo.rgb", 0},
    {L"colour.jpg", L"in_jpeg", L".jpg", L"colour.rgb", 1},
    {L"gif_in.gif", L"in_gif", L".gif", L"gif_in.expected.bmp", 0},
    {L"tiff_rgb_mm.tif", L"in_tiff", L".tif", L"tiff_rgb.expected.bmp", 0},
    {L"webp_lossless.webp", L"in_webp", L".webp", L"webp_lossless.expected.bmp", 0},
    {L"webp_alpha.webp", L"in_webp_alpha", L".webp", nullptr, 0},
    {L"webp_anim.webp", L"in_webp_anim", L".webp", nullptr, 0},
    {L"heif_photo.heic", L"in_heic", L".heic", L"heif_photo.expected.bmp", 1},
    {L"heif_web.avif", L"in_avif", L".avif", L"heif_web.expected.bmp", 2},
};

struct Output {
    const wchar_t* drctCvt;
    const wchar_t* extension;
    Bytes signature;
    bool jpegInputsOnly;  // the lossless re-encode
};

const Output kOutputs[] = {
    {L"1", L".bmp", {'B', 'M'}, false},
    {L"2", L".png", {137, 80, 78, 71, 13, 10, 26, 10}, false},
    {L"3", L".jpg", {0xFF, 0xD8, 0xFF}, false},
    {L"4", L".gif", {'G', 'I', 'F', '8', '9', 'a'}, false},
    {L"5", L".jpg", {0xFF, 0xD8, 0xFF}, true},
    {L"6", L".webp", {'R', 'I', 'F', 'F'}, false},
};

// The name an input's output gets: numbered when it would be the input's own.
std::wstring outputName(const Input& in, const Output& out)
{
    const bool sameName = std::wstring(in.extension) == out.extension;
    return std::wstring(in.stem) + (sameName ? L"+1" : L"") + out.extension;
}

Bytes referencePixels(Harness& h, const wchar_t* reference)
{
    const std::wstring name = reference;
    Bytes bytes = h.fixtureBytes(name);
    return name.ends_with(L".rgb") ? bytes : parseBmp(bytes).rgb;
}

}  // namespace

WINE_TEST(everyInputToEveryOutput)
{
    for (const Output& out : kOutputs) {
        const std::wstring label = std::wstring(L"DrctCvt=") + out.drctCvt + L" (" + (out.extension + 1) + L")";
        Folder folder = h.freshFolder(std::wstring(L"formats-") + out.drctCvt);
        Folder temp = h.freshFolder(std::wstring(L"formats-temp-") + out.drctCvt);
        const std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(utf8(L"DrctCvt=" + std::wstring(out.drctCvt) + L"\r\n"));
        std::vector<std::wstring> paths;
        for (const Input& in : kInputs)
            paths.push_back(folder.writeFile(std::wstring(in.stem) + in.extension, h.fixtureBytes(in.fixture)));

        Process run = Process::start(exe, paths, temp.path());
        bool ended = run.waitForExit(60000);
        Window box = run.findMessageBox();
        if (box.valid()) {
            box.dismiss();
            ended = run.waitForExit(10000);
        }
        h.check(ended && !box.valid(), label + L": converts without a message");
        h.check(temp.files().empty(), label + L": no temporary file left");

        for (const Input& in : kInputs) {
            const bool expected = !out.jpegInputsOnly || std::wstring(in.extension) == L".jpg";
            const Bytes written = folder.readFile(outputName(in, out));
            h.check(expected ? startsWith(written, out.signature) : written.empty(),
                    label + L": " + in.stem + (expected ? L" written" : L" left alone"));
            if (expected && in.reference && out.signature[0] == 'B')
                h.check(largestDifference(parseBmp(written).rgb, referencePixels(h, in.reference)) <= in.tolerance,
                        label + L": " + in.stem + L" has the reference decoder's pixels");
        }
    }
}
