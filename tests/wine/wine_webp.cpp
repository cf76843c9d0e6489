// WebP through the Windows program: WebP files to every output, and every
// input format to WebP, at a quality and within a size target.
#include "wine_harness.h"

#include <cstring>

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

bool isWebp(const Bytes& file)
{
    return file.size() > 12 && std::memcmp(file.data(), "RIFF", 4) == 0 && std::memcmp(file.data() + 8, "WEBP", 4) == 0;
}

struct Batch {
    bool ended = false;
    std::wstring message;  // of a box shown at the end, if any
};

// Installs the program with `settings`, converts `inputs` (fixture names)
// and waits for the end.
Batch convert(Harness& h, Folder& folder, const std::wstring& settings, const std::vector<std::wstring>& inputs)
{
    Folder temp = h.freshFolder(L"webp-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(settings.c_str());
    std::vector<std::wstring> paths;
    for (const std::wstring& name : inputs)
        paths.push_back(folder.writeFile(name, h.fixtureBytes(name)));
    Process run = Process::start(exe, paths, temp.path());
    Batch batch;
    batch.ended = run.waitForExit(30000);
    if (Window box = run.findMessageBox(); box.valid()) {
        batch.message = box.messageText();
        box.dismiss();
        batch.ended = run.waitForExit(10000);
    }
    h.check(temp.files().empty(), L"WebP: no temporary file left (" + folder.path() + L")");
    return batch;
}

}  // namespace

WINE_TEST(webpToEveryOutput)
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
        {L"DrctCvt=4\r\n", L"gif", {'G', 'I', 'F'}},
        {L"DrctCvt=6\r\n", L"webp", {'R', 'I', 'F', 'F'}},
    };
    for (const Target& target : targets) {
        const std::wstring ext = target.extension;
        Folder folder = h.freshFolder(L"webp-to-" + ext);
        Batch batch = convert(h, folder, target.settings, {L"webp_lossless.webp", L"webp_alpha.webp", L"webp_anim.webp"});
        h.check(batch.ended && batch.message.empty(), L"WebP to " + ext + L": converts without a message");
        for (const wchar_t* name : {L"webp_lossless", L"webp_alpha", L"webp_anim"}) {
            const std::wstring output = std::wstring(name) + (ext == L"webp" ? L"+1." : L".") + ext;
            h.check(startsWith(folder.readFile(output), target.signature), L"WebP to " + ext + L": wrote " + output);
        }
        if (ext == L"bmp") {
            Bytes bmp = folder.readFile(L"webp_lossless.bmp");
            Bytes expected = h.fixtureBytes(L"webp_lossless.expected.bmp");
            h.check(bmp.size() == expected.size() && bmp.size() > 54 &&
                        std::equal(bmp.begin() + 54, bmp.end(), expected.begin() + 54),
                    L"WebP to bmp: lossless pixels as Pillow's picture says");
            // Alpha over white: the left column is clear, so white.
            Bytes alpha = folder.readFile(L"webp_alpha.bmp");
            h.check(alpha.size() > 57 && alpha[54] == 255 && alpha[55] == 255 && alpha[56] == 255,
                    L"WebP to bmp: clear pixels come out white");
        }
    }
    Folder recode = h.freshFolder(L"webp-recode");
    Batch refused = convert(h, recode, L"DrctCvt=5\r\n", {L"webp_lossless.webp"});
    h.check(refused.ended && refused.message == L"ファイル変換に失敗しました。",
            L"WebP to the JPEG re-encode: not a JPEG, so nothing converts");
}

WINE_TEST(everyInputToWebp)
{
    Folder folder = h.freshFolder(L"to-webp");
    const std::vector<std::wstring> inputs{L"towebp.bmp", L"towebp.png", L"towebp.jpg", L"towebp.gif", L"towebp.tif"};
    Batch batch = convert(h, folder, L"DrctCvt=6\r\nQuality=80\r\n", inputs);
    h.check(batch.ended && batch.message.empty(), L"to WebP: converts without a message");
    const wchar_t* outputs[] = {L"towebp.webp", L"towebp+1.webp", L"towebp+2.webp", L"towebp+3.webp", L"towebp+4.webp"};
    for (const wchar_t* output : outputs)
        h.check(isWebp(folder.readFile(output)), std::wstring(L"to WebP: wrote ") + output);

    Folder limited = h.freshFolder(L"to-webp-limit");
    Batch small = convert(h, limited, L"DrctCvt=6\r\nLimit=1\r\nLmtVal=1\r\n", {L"towebp.png"});
    Bytes file = limited.readFile(L"towebp.webp");
    h.check(small.ended && isWebp(file) && file.size() <= 1024, L"to WebP: a 1 KB target is met");
}
