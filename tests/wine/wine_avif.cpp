// AVIF output through the Windows program: the format window's button and
// key, and DrctCvt 7 with and without a size target. Every AVIF written is
// kept among the run's artifacts, where tests/wine/run.sh has avifdec
// decode it.
#include "wine_ui.h"

#include <cstring>

#include "../image_builder.h"

namespace {

using namespace wine_ui;
using Bytes = std::vector<unsigned char>;

// An ISO media file whose file type box names AVIF as its main brand.
bool isAvif(const Bytes& file)
{
    return file.size() > 12 && std::memcmp(file.data() + 4, "ftypavif", 8) == 0;
}

void keepArtifact(const Bytes& file, const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"VRELK_ARTIFACTS", folder, MAX_PATH))
        Folder(folder).writeFile(name, file);
}

Bytes picture(std::int32_t width, std::int32_t height)
{
    vrelk::test::BmpRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.pixels = vrelk::test::patternRows24(width, height);
    return vrelk::test::buildBmp(recipe);
}

}  // namespace

WINE_TEST(uiAvifButtonAndKeyWriteAnAvif)
{
    struct Way {
        const wchar_t* name;
        bool key;
    };
    for (const Way& way : {Way{L"button", false}, Way{L"key", true}}) {
        const std::wstring label = std::wstring(L"AVIF ") + way.name;
        Folder folder = h.freshFolder(std::wstring(L"ui-avif-") + way.name);
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(L"Quality=60\r\n");
        std::wstring input = folder.writeFile(L"pic.bmp", picture(45, 31));
        Process run = Process::start(exe, {input}, folder.path());
        Window convert = run.waitForWindow(L"Vrelk_convert_class", 10000);
        h.check(convert.visible(), label + L": the format window asks");
        if (way.key)
            convert.key('A');
        else
            click(convert.child(1008));
        h.check(run.waitForExit(30000), label + L": program ends after the batch");
        Bytes avif = folder.readFile(L"pic.avif");
        h.check(isAvif(avif), label + L": wrote pic.avif");
        keepArtifact(avif, std::wstring(L"avif-") + way.name + L".avif");
    }
}

WINE_TEST(avifDirectChoiceConvertsWithoutAsking)
{
    const struct {
        const wchar_t* name;
        const wchar_t* settings;
        std::size_t most;  // bytes, 0: no target
    } runs[] = {
        {L"plain", L"DrctCvt=7\r\nQuality=75\r\n", 0},
        {L"limit", L"DrctCvt=7\r\nLimit=1\r\nLmtVal=4\r\n", 4 * 1024},
    };
    for (const auto& r : runs) {
        const std::wstring label = std::wstring(L"DrctCvt 7 ") + r.name;
        Folder folder = h.freshFolder(std::wstring(L"avif-direct-") + r.name);
        Folder temp = h.freshFolder(std::wstring(L"avif-direct-temp-") + r.name);
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(r.settings);
        std::vector<std::wstring> inputs;
        for (const wchar_t* name : {L"toavif_photo.jpg", L"toavif_odd.png", L"toavif_grey.png"})
            inputs.push_back(folder.writeFile(name, h.fixtureBytes(name)));
        Process run = Process::start(exe, inputs, temp.path());
        h.check(run.waitForExit(60000), label + L": converts and ends without a window");
        h.check(!run.findMessageBox().valid(), label + L": no message");
        for (const wchar_t* name : {L"toavif_photo", L"toavif_odd", L"toavif_grey"}) {
            Bytes avif = folder.readFile(std::wstring(name) + L".avif");
            h.check(isAvif(avif), label + L": wrote " + name + L".avif");
            if (r.most)
                h.check(avif.size() <= r.most, label + L": " + name + L".avif within the target");
            keepArtifact(avif, std::wstring(L"avif-") + r.name + L"-" + name + L".avif");
        }
        h.check(temp.files().empty(), label + L": no temporary file left");
    }
}
