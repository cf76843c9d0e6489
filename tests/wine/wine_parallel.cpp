// The batch on several workers: the names and bytes of one worker, the
// progress window and its stop button, and second starts that hand their
// files to the running program.
#include "wine_ui.h"

#include <atomic>
#include <cwchar>
#include <map>

#include "../image_builder.h"

namespace {

using namespace wine_ui;

constexpr wchar_t kProgressClass[] = L"Vrelk_progress_class";
constexpr int kProgressCount = 1081;
constexpr int kProgressFile = 1082;
constexpr int kProgressCancel = 1084;

std::vector<unsigned char> picture(std::int32_t width, std::int32_t height)
{
    return vrelk::test::buildBmp({.width = width, .height = height,
                                  .pixels = vrelk::test::patternRows24(width, height)});
}

// Noise: slow to reduce to 256 colours, so a batch of a few lasts seconds.
std::vector<unsigned char> noisyPicture(std::int32_t width, std::int32_t height)
{
    vrelk::test::Bytes rows = vrelk::test::patternRows24(width, height);
    std::uint32_t state = 12345;
    for (unsigned char& byte : rows) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return vrelk::test::buildBmp({.width = width, .height = height, .pixels = rows});
}

Process startWithWorkers(const std::wstring& exe, const std::vector<std::wstring>& inputs, const std::wstring& temp,
                         const wchar_t* workers)
{
    SetEnvironmentVariableW(L"VRELK_WORKERS", workers);
    Process process = Process::start(exe, inputs, temp);
    SetEnvironmentVariableW(L"VRELK_WORKERS", nullptr);
    return process;
}

std::map<std::wstring, std::vector<unsigned char>> contents(const Folder& folder)
{
    std::map<std::wstring, std::vector<unsigned char>> files;
    for (const std::wstring& name : folder.files())
        files[name] = folder.readFile(name);
    return files;
}

// `count` copies of one noisy picture, named big00.bmp on.
std::vector<std::wstring> bigInputs(const Folder& folder, int count)
{
    std::wstring first = folder.writeFile(L"big00.bmp", noisyPicture(1600, 1200));
    std::vector<std::wstring> inputs{first};
    for (int i = 1; i < count; ++i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"big%02d.bmp", i);
        CopyFileW(first.c_str(), folder.file(name).c_str(), FALSE);
        inputs.push_back(folder.file(name));
    }
    return inputs;
}

int countOf(const std::wstring& text)
{
    return text.empty() ? -1 : static_cast<int>(std::wcstol(text.c_str(), nullptr, 10));
}


// A window of the driver itself under the program's class name, standing
// for a running program that refuses every hand-over.
class RefusingProgram {
public:
    RefusingProgram()
    {
        thread_ = CreateThread(nullptr, 0, run, this, 0, &threadId_);
        waitUntil([&] { return ready_.load(); });
    }
    ~RefusingProgram()
    {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
    }
    RefusingProgram(const RefusingProgram&) = delete;
    RefusingProgram& operator=(const RefusingProgram&) = delete;

private:
    static LRESULT CALLBACK refuse(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        return message == WM_COPYDATA ? FALSE : DefWindowProcW(window, message, wParam, lParam);
    }

    static DWORD WINAPI run(void* self)
    {
        auto* program = static_cast<RefusingProgram*>(self);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = refuse;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"Vrelk_convert_class";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowW(L"Vrelk_convert_class", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                    windowClass.hInstance, nullptr);
        program->ready_ = true;
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            DispatchMessageW(&message);
        DestroyWindow(window);
        UnregisterClassW(L"Vrelk_convert_class", windowClass.hInstance);
        return 0;
    }

    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    std::atomic<bool> ready_{false};
};

}  // namespace

WINE_TEST(parallelWorkersGiveTheNamesAndBytesOfOne)
{
    Folder inputs = h.freshFolder(L"par-inputs");
    std::vector<std::wstring> paths;
    // Same names from two folders and names already taken in the output
    // folder: the numbering depends on the order of delivery.
    for (const wchar_t* sub : {L"\\a", L"\\b"}) {
        Folder folder(inputs.path() + sub);
        CreateDirectoryW(folder.path().c_str(), nullptr);
        for (int i = 0; i < 20; ++i) {
            wchar_t name[32];
            std::swprintf(name, 32, i < 5 ? L"same%d.bmp" : L"pic%02d.bmp", i);
            paths.push_back(folder.writeFile(name, picture(40 + 37 * i, 300 - 11 * i)));
        }
    }
    std::map<std::wstring, std::vector<unsigned char>> runs[2];
    const wchar_t* workers[2] = {L"1", L"4"};
    for (int run = 0; run < 2; ++run) {
        Folder folder = h.freshFolder(run == 0 ? L"par-one" : L"par-four");
        Folder out = h.freshFolder(run == 0 ? L"par-one-out" : L"par-four-out");
        out.writeFile(L"same0.jpg", {'x'});
        out.writeFile(L"pic07.jpg", {'x'});
        std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings((L"DrctCvt=3\r\nQuality=80\r\nResize=1\r\nRszOpt=2\r\nRszSize=120\r\nOutDir=" +
                              out.path() + L"\r\n")
                                 .c_str());
        Process process = startWithWorkers(exe, paths, folder.path(), workers[run]);
        h.check(process.waitForExit(120000), std::wstring(L"workers ") + workers[run] + L": the batch ends");
        runs[run] = contents(out);
    }
    h.check(runs[0].size() == 42, L"workers: 40 outputs beside the 2 files there before");
    h.check(runs[0] == runs[1], L"workers: 4 workers give the names and bytes of 1");
}

WINE_TEST(progressWindowCountsAndStopStopsTheBatch)
{
    Folder folder = h.freshFolder(L"progress");
    Folder temp = h.freshFolder(L"progress-temp");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=4\r\n");
    std::vector<std::wstring> inputs = bigInputs(folder, 20);
    Process process = startWithWorkers(exe, inputs, temp.path(), L"2");

    Window progress = process.waitForWindow(kProgressClass, 20000);
    h.check(progress.visible(), L"progress: the window of its own class appears");
    Window convert = process.findWindow(L"Vrelk_convert_class");
    h.check(GetWindow(progress.handle(), GW_OWNER) == convert.handle() &&
                (exStyleOf(progress.handle()) & WS_EX_APPWINDOW),
            L"progress: owned by the convert window, on the taskbar");
    const int first = countOf(controlText(progress.child(kProgressCount)));
    h.check(first >= 0 && controlText(progress.child(kProgressCount)).find(L" / 20") != std::wstring::npos,
            L"progress: the count reads \"n / 20\"");
    h.check(controlText(progress.child(kProgressFile)).rfind(L"big", 0) == 0, L"progress: the current file's name");
    int later = first;
    h.check(waitUntil([&] { return (later = countOf(controlText(progress.child(kProgressCount)))) > first; }, 60000),
            L"progress: the count advances");
    // Stop at once: the picture of the window waits until after the press,
    // which it would otherwise delay until the batch had nearly ended.
    click(progress.child(kProgressCancel));
    screenshot(progress.handle(), L"progress-window");
    Window box = process.waitForMessageBox(60000);
    const std::wstring text = box.messageText();
    std::vector<std::wstring> gifs;
    for (const std::wstring& name : folder.files())
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".gif") == 0)
            gifs.push_back(name);
    const std::wstring expected = L"変換を中止しました。" + std::to_wstring(gifs.size()) + L" 個のファイルを変換しました。";
    h.check(text == expected, L"stop: the message names the count of outputs (" + text + L")");
    h.check(gifs.size() >= static_cast<std::size_t>(later) && gifs.size() < 20, L"stop: the batch stopped early");
    bool complete = true;
    for (const std::wstring& gif : gifs) {
        std::vector<unsigned char> bytes = folder.readFile(gif);
        complete = complete && bytes.size() > 1000 && bytes.back() == ';';
    }
    h.check(complete, L"stop: every output is whole");
    box.dismiss();
    h.check(process.waitForExit(20000), L"stop: the program ends");
    bool staged = false;
    for (const std::wstring& name : folder.files())
        staged = staged || name.rfind(L"~vk", 0) == 0;
    h.check(!staged && temp.files().empty(), L"stop: no staged or temporary file left");
}

WINE_TEST(secondStartWhileConvertingIsConvertedToo)
{
    Folder folder = h.freshFolder(L"handover-busy");
    Folder late = h.freshFolder(L"handover-busy-late");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=4\r\n");
    std::vector<std::wstring> inputs = bigInputs(folder, 6);
    Process first = startWithWorkers(exe, inputs, folder.path(), L"1");
    h.check(first.waitForWindow(kProgressClass, 20000).visible(), L"busy: the first start is converting");

    std::vector<std::wstring> lateInputs{late.writeFile(L"x.bmp", picture(30, 20)),
                                         late.writeFile(L"y.bmp", picture(20, 30))};
    Process second = Process::start(exe, lateInputs, folder.path());
    h.check(second.waitForExit(20000), L"busy: the second start ends at once");
    h.check(!first.waitForExit(0), L"busy: while the first still converts");
    h.check(first.waitForExit(120000), L"busy: the first start ends after both batches");
    int converted = 0;
    for (const std::wstring& name : folder.files())
        converted += name.find(L".gif") != std::wstring::npos ? 1 : 0;
    h.check(converted == 6, L"busy: every file of the first start converted");
    h.check(late.files() == std::vector<std::wstring>{L"x.bmp", L"x.gif", L"y.bmp", L"y.gif"},
            L"busy: every file of the second start converted beside it");
}

WINE_TEST(secondStartJoinsThePendingFilesOrActsAsADrop)
{
    Folder folder = h.freshFolder(L"handover-wait");
    Folder late = h.freshFolder(L"handover-wait-late");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=0\r\n");
    Process first = Process::start(exe, {folder.writeFile(L"a.bmp", picture(8, 6))}, folder.path());
    Window convert = first.waitForWindow(L"Vrelk_convert_class", 10000);
    Process second = Process::start(exe, {late.writeFile(L"b.bmp", picture(6, 8)), late.writeFile(L"c.bmp", picture(5, 5))},
                                    late.path());
    h.check(second.waitForExit(10000) && !second.findMessageBox().valid(), L"pending: the second start ends quietly");
    convert.key('P');
    h.check(first.waitForExit(20000), L"pending: P converts and the program ends");
    h.check(folder.files() == std::vector<std::wstring>{L"Vrelk.exe", L"Vrelk.ini", L"a.bmp", L"a.png", L"b.png",
                                                        L"c.png"},
            L"pending: all three converted into the first file's folder");

    Folder idle = h.freshFolder(L"handover-settings");
    std::wstring idleExe = idle.install(h.program(), L"Vrelk.exe");
    idle.writeSettings(L"DrctCvt=2\r\n");
    Process shown = Process::start(idleExe, {}, idle.path());
    Window settings = shown.waitForWindow(L"Vrelk_setting_class", 10000);
    Process dropped = Process::start(idleExe, {idle.writeFile(L"d.bmp", picture(8, 6))}, idle.path());
    h.check(dropped.waitForExit(10000), L"settings: the second start ends");
    h.check(waitUntil([&] { return !idle.readFile(L"d.png").empty(); }), L"settings: converted as a drop would be");
    h.check(settings.visible(), L"settings: the settings window stays");
    settings.close();
    h.check(shown.waitForExit(10000), L"settings: program ends");

    Folder alone = h.freshFolder(L"handover-refused");
    std::wstring aloneExe = alone.install(h.program(), L"Vrelk.exe");
    alone.writeSettings(L"DrctCvt=2\r\n");
    RefusingProgram refusing;
    Process self = Process::start(aloneExe, {alone.writeFile(L"e.bmp", picture(8, 6))}, alone.path());
    h.check(self.waitForExit(20000) && !alone.readFile(L"e.png").empty(), L"refused: the start converts on its own");
}
