// BMP in, BMP out through the Windows program.
#include "wine_harness.h"

#include "../image_builder.h"

#include <algorithm>
#include <cstdint>

namespace {

using namespace wine_harness;
using vrelk::test::Bytes;

// A 24-bit bottom-up bitmap laid out exactly as the program writes one.
Bytes bitmap24(std::int32_t width, std::int32_t height, bool withPixels = true)
{
    return vrelk::test::buildBmp({.width = width, .height = height, .bits = 24, .sizeImage = 0, .pixelsPerMetre = 0,
                                  .pixels = withPixels ? vrelk::test::patternRows24(width, height) : Bytes{}});
}

void setPixelOffset(Bytes& file, std::uint32_t offset)
{
    for (int i = 0; i < 4; ++i)
        file[10 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(offset >> (8 * i));
}

// Runs the program on `inputs` and dismisses a message box if one comes.
// Returns the box's text (empty when none appeared) once the program ended.
std::wstring convert(Harness& h, const std::wstring& exe,
                     const std::vector<std::wstring>& inputs, const Folder& temp, const wchar_t* label)
{
    Process run = Process::start(exe, inputs, temp.path());
    std::wstring message;
    for (int waited = 0; waited < 20000 && !run.waitForExit(0); waited += 50) {
        Window box = run.findMessageBox();
        if (box.valid() && box.visible()) {
            message = box.messageText();
            box.dismiss();
        }
        Sleep(50);
    }
    h.check(run.waitForExit(0), std::wstring(label) + L": program ends");
    h.check(run.exitCode() == 0, std::wstring(label) + L": clean exit");
    return message;
}

}  // namespace

WINE_TEST(bmpToBmpNumbersTheOutputAndCleansUp)
{
    Folder folder = h.freshFolder(L"bmp");
    Folder temp = h.freshFolder(L"bmp-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=1\r\n");
    Bytes picture = bitmap24(3, 2);
    std::wstring input = folder.writeFile(L"pic.bmp", picture);

    h.check(convert(h, exe, {input}, temp, L"first run").empty(), L"first run: no message");
    h.check(folder.readFile(L"pic+1.bmp") == picture, L"first run: pic+1.bmp holds the same picture");
    h.check(folder.readFile(L"pic.bmp") == picture, L"first run: the input is untouched");

    h.check(convert(h, exe, {input}, temp, L"second run").empty(), L"second run: no message");
    h.check(folder.readFile(L"pic+2.bmp") == picture, L"second run: pic+2.bmp");
    h.check(temp.files().empty(), L"no temporary file left");
}

WINE_TEST(hostileBitmapsAreReadSafelyOrSkipped)
{
    Folder folder = h.freshFolder(L"hostile");
    Folder temp = h.freshFolder(L"hostile-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=1\r\nMkDirAdd=1\r\nMkDirStr=out\r\n");

    Bytes truncated = bitmap24(64, 64);
    truncated.resize(100);
    Bytes pastTheEnd = bitmap24(4, 4);
    setPixelOffset(pastTheEnd, 0x7FFFFFF0);
    Bytes huge = bitmap24(25000, 25000, false);
    Bytes wide = bitmap24(25001, 1, false);
    Bytes rle = bitmap24(2, 2);
    rle[30] = 1;  // compression
    std::vector<std::wstring> inputs{
        folder.writeFile(L"truncated.bmp", truncated), folder.writeFile(L"past.bmp", pastTheEnd),
        folder.writeFile(L"huge.bmp", huge),           folder.writeFile(L"wide.bmp", wide),
        folder.writeFile(L"rle.bmp", rle),
    };

    h.check(convert(h, exe, inputs, temp, L"hostile").empty(), L"hostile: some files convert");
    Folder out(folder.file(L"out"));
    std::vector<std::wstring> written = out.files();
    auto has = [&](const wchar_t* name) {
        return std::find(written.begin(), written.end(), name) != written.end();
    };
    h.check(has(L"truncated.bmp") && out.readFile(L"truncated.bmp").size() == 54 + 192 * 64,
            L"hostile: a truncated file is read with the missing rows black");
    h.check(has(L"past.bmp"), L"hostile: a pixel offset past the end gives a black picture");
    h.check(!has(L"wide.bmp") && !has(L"rle.bmp"), L"hostile: out-of-range and RLE files are skipped");
    h.check(temp.files().empty(), L"hostile: no temporary file left");
}

// Stopped at any moment while it writes large outputs, the program leaves
// complete files under real names and at most its own "~vk" files beside them.
WINE_TEST(bmpStoppedAnywhereLeavesOnlyCompleteOutputs)
{
    Folder folder = h.freshFolder(L"stopped");
    Folder temp = h.freshFolder(L"stopped-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    Bytes picture = bitmap24(1000, 700);
    std::vector<std::wstring> inputs;
    for (const wchar_t* name : {L"p0.bmp", L"p1.bmp", L"p2.bmp"})
        inputs.push_back(folder.writeFile(name, picture));

    auto runInto = [&](const std::wstring& name) {
        Folder out = h.freshFolder(name);
        folder.writeSettings((L"DrctCvt=1\r\nOutDir=" + out.path() + L"\r\n").c_str());
        return std::make_pair(std::move(out), Process::start(exe, inputs, temp.path()));
    };
    const DWORD started = GetTickCount();
    {
        auto whole = runInto(L"stopped-whole");
        h.check(whole.second.waitForExit(60000), L"stopped: an uninterrupted run ends");
        h.check(whole.first.files().size() == inputs.size(), L"stopped: an uninterrupted run writes every file");
    }
    const DWORD duration = GetTickCount() - started;

    constexpr int kPoints = 8;
    bool onlyComplete = true;
    for (int point = 1; point <= kPoints; ++point) {
        auto run = runInto(L"stopped-" + std::to_wstring(point));
        Sleep(duration * static_cast<DWORD>(point) / kPoints);
        { Process stopped = std::move(run.second); }  // terminated if still running
        Sleep(200);                                    // termination completes on its own
        for (const std::wstring& name : run.first.files()) {
            if (name.rfind(L"~vk", 0) == 0)
                continue;
            const bool known = name == L"p0.bmp" || name == L"p1.bmp" || name == L"p2.bmp";
            if (!known || run.first.readFile(name) != picture) {
                onlyComplete = false;
                h.check(false, L"stopped at point " + std::to_wstring(point) + L": " + name + L" is not a complete output");
            }
        }
    }
    h.check(onlyComplete, L"stopped: every file under a real name is complete");
}
