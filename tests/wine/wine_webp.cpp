// WebP written by the Windows program within a size target.
#include "wine_harness.h"

#include <cstring>

namespace {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;

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

WINE_TEST(webpSizeTargetIsMet)
{
    Folder limited = h.freshFolder(L"to-webp-limit");
    Batch small = convert(h, limited, L"DrctCvt=6\r\nLimit=1\r\nLmtVal=1\r\n", {L"towebp.png"});
    Bytes file = limited.readFile(L"towebp.webp");
    h.check(small.ended && isWebp(file) && file.size() <= 1024, L"to WebP: a 1 KB target is met");
}
