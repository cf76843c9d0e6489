// Start-up, the single-instance rule and the whole-batch messages.
#include "wine_harness.h"

namespace {

using namespace wine_harness;

constexpr wchar_t kConvertFailed[] = L"ファイル変換に失敗しました。";
constexpr wchar_t kStartupFailed[] = L"ファイル実行に失敗しました。";

}  // namespace

WINE_TEST(emptyFileBatchShowsConversionFailed)
{
    Folder folder = h.freshFolder(L"empty");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=1\r\n");
    std::wstring input = folder.writeFile(L"empty.bmp", {});
    Folder temp = h.freshFolder(L"empty-temp");

    Process run = Process::start(exe, {input}, temp.path());
    Window box = run.waitForMessageBox(10000);
    h.check(box.valid(), L"empty file: a message box appears");
    h.check(box.caption() == L"Error", L"empty file: caption is Error");
    h.check(box.messageText() == kConvertFailed, L"empty file: conversion-failed text");
    box.dismiss();
    h.check(run.waitForExit(10000), L"empty file: program ends after the message");
    h.check(folder.files() == std::vector<std::wstring>{L"Vrelk.exe", L"Vrelk.ini", L"empty.bmp"},
            L"empty file: no output written");
    h.check(temp.files().empty(), L"empty file: no temporary file left");
}

WINE_TEST(renamedProgramRefusesToStart)
{
    Folder folder = h.freshFolder(L"renamed");
    std::wstring exe = folder.install(h.program(), L"Other.exe");
    std::wstring input = folder.writeFile(L"a.bmp", {'B', 'M'});

    Process run = Process::start(exe, {input}, folder.path());
    Window box = run.waitForMessageBox(10000);
    h.check(box.valid() && box.caption() == L"Error", L"renamed: an Error box appears");
    h.check(box.messageText() == kStartupFailed, L"renamed: start-up-failed text");
    box.dismiss();
    h.check(run.waitForExit(10000), L"renamed: program ends");
}

WINE_TEST(secondInstanceLeavesAtOnce)
{
    Folder first = h.freshFolder(L"first");
    std::wstring firstExe = first.install(h.program(), L"Vrelk.exe");
    first.writeSettings(L"DrctCvt=0\r\n");
    std::wstring firstInput = first.writeFile(L"a.bmp", {});

    Process running = Process::start(firstExe, {firstInput}, first.path());
    Window convert = running.waitForWindow(L"Vrelk_convert_class", 10000);
    h.check(convert.valid() && convert.visible(), L"single instance: convert window shown");

    Folder second = h.freshFolder(L"second");
    std::wstring secondExe = second.install(h.program(), L"Vrelk.exe");
    second.writeSettings(L"DrctCvt=1\r\n");
    std::wstring secondInput = second.writeFile(L"b.bmp", {});
    Process late = Process::start(secondExe, {secondInput}, second.path());
    h.check(late.waitForExit(10000), L"single instance: second instance exits");
    h.check(!late.findMessageBox().valid(), L"single instance: second instance shows nothing");
    h.check(second.files() == std::vector<std::wstring>{L"Vrelk.exe", L"Vrelk.ini", L"b.bmp"},
            L"single instance: second instance converts nothing");

    convert.close();
    h.check(running.waitForExit(10000), L"single instance: first instance closes");
}

WINE_TEST(formatKeyStartsTheBatchAndSavesSettings)
{
    Folder folder = h.freshFolder(L"key");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"DrctCvt=0\r\nQuality=55\r\n");
    std::wstring input = folder.writeFile(L"empty.bmp", {});

    Process run = Process::start(exe, {input}, folder.path());
    Window convert = run.waitForWindow(L"Vrelk_convert_class", 10000);
    h.check(convert.caption() == L"Tessaly", L"format key: window title");
    h.check(Window::textOf(convert.child(1004)) == L"JPEG変換(T)", L"format key: re-encode button caption");
    convert.key('P');
    Window box = run.waitForMessageBox(10000);
    h.check(box.messageText() == kConvertFailed, L"format key: P runs the batch");
    box.dismiss();
    h.check(run.waitForExit(10000), L"format key: program ends after the batch");
    std::vector<unsigned char> saved = folder.readFile(L"Vrelk.ini");
    std::string text(saved.begin(), saved.end());
    h.check(text.find("Quality=55") != std::string::npos && text.find("DrctCvt=0") != std::string::npos,
            L"format key: settings saved on close");
}
