// The test plug-in's set-up shared by the Windows plug-in tests: the
// picture it is told to hand back, a program folder with its own log of
// plug-in calls, and checks of what the program wrote.
#pragma once

#include "wine_harness.h"

#include <cstdint>
#include <string>

#include "../plugins/test_plugin_format.h"

namespace plugin_setup {

using namespace wine_harness;
using Bytes = std::vector<unsigned char>;
using Line = std::vector<std::string>;

// What the test plug-in is told to hand back (see test_plugin_format.h).
struct Picture {
    std::int32_t width = 8;
    std::int32_t height = 4;
    std::uint16_t bits = 8;
    std::uint16_t colours = 256;
    std::uint32_t compression = 0;
    std::int32_t pixelBytes = 0;
    std::int32_t infoResult = 0;
    std::int32_t pictureResult = 0;
    std::uint32_t flags = 0;
    std::int32_t infoBytes = 0;
    std::string acceptName;
    bool prefixed = false;
};

inline void put32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t get32(const Bytes& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

inline Bytes pictureFile(const Picture& p)
{
    Bytes header(TP_HEADER_BYTES, 0);
    std::copy_n(TP_MAGIC, 8, header.begin());
    put32(header, TP_WIDTH, static_cast<std::uint32_t>(p.width));
    put32(header, TP_HEIGHT, static_cast<std::uint32_t>(p.height));
    put32(header, TP_BITS, p.bits | static_cast<std::uint32_t>(p.colours) << 16);
    put32(header, TP_COMPRESSION, p.compression);
    put32(header, TP_PIXEL_BYTES, static_cast<std::uint32_t>(p.pixelBytes));
    put32(header, TP_INFO_RESULT, static_cast<std::uint32_t>(p.infoResult));
    put32(header, TP_PICTURE_RESULT, static_cast<std::uint32_t>(p.pictureResult));
    put32(header, TP_FLAGS, p.flags);
    put32(header, TP_INFO_BYTES, static_cast<std::uint32_t>(p.infoBytes));
    std::copy_n(p.acceptName.begin(), std::min<std::size_t>(p.acceptName.size(), TP_ACCEPT_NAME_BYTES),
                header.begin() + TP_ACCEPT_NAME);
    if (!p.prefixed)
        return header;
    Bytes file(128, 'x');
    file.insert(file.end(), header.begin(), header.end());
    return file;
}

inline std::wstring pluginBuild(Harness& h, const std::wstring& name)
{
    return h.program().substr(0, h.program().find_last_of(L'\\')) + L"\\plugins\\" + name;
}

inline void installPlugin(Harness& h, const Folder& spi, const std::wstring& built, const std::wstring& as)
{
    CopyFileW(pluginBuild(h, built).c_str(), spi.file(as).c_str(), FALSE);
}

inline std::string ansi(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(bytes > 0 ? bytes - 1 : 0));
    return out;
}

// A program folder with its own log of plug-in calls.
struct Setup {
    Folder folder;
    Folder temp;
    std::wstring exe;

    Setup(Harness& h, const std::wstring& name)
        : folder(h.freshFolder(name)), temp(h.freshFolder(name + L"-temp")),
          exe(folder.install(h.program(), L"Vrelk.exe"))
    {
    }

    Folder spi(Harness& h, const std::wstring& name = L"spi") const { return h.freshFolder(folderName() + L"\\" + name); }

    std::wstring folderName() const { return folder.path().substr(folder.path().find_last_of(L'\\') + 1); }

    // Runs the program on the inputs; true when it ended without a message.
    bool run(const std::vector<std::wstring>& inputs) const
    {
        SetEnvironmentVariableW(TP_LOG_VARIABLE, folder.file(L"calls.log").c_str());
        Process process = Process::start(exe, inputs, temp.path());
        // A batch that converts nothing ends with a message box.
        Window box = process.waitForMessageBox(60000);
        if (box.valid())
            box.dismiss();
        bool ended = process.waitForExit(10000);
        SetEnvironmentVariableW(TP_LOG_VARIABLE, nullptr);
        return ended && !box.valid();
    }

    std::vector<Line> log() const
    {
        std::vector<Line> lines;
        Bytes text = folder.readFile(L"calls.log");
        Line line(1);
        for (unsigned char c : text) {
            if (c == '\n') {
                lines.push_back(line);
                line.assign(1, {});
            } else if (c == '\t') {
                line.emplace_back();
            } else {
                line.back() += static_cast<char>(c);
            }
        }
        DeleteFileW(folder.file(L"calls.log").c_str());
        return lines;
    }
};

inline std::wstring spiSetting(const Folder& spi, const std::wstring& drctCvt = L"1")
{
    return L"DrctCvt=" + drctCvt + L"\r\nUseSpi=1\r\nSPI=" + spi.path() + L"\r\n";
}

inline std::size_t countCalls(const std::vector<Line>& log, const std::string& call)
{
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const Line& line) { return line[0] == call; }));
}

// BMP pixels as the plug-in's block gives them, as far as it goes, zero
// beyond; palette entries as the plug-in made them.
inline bool bmpHoldsPicture(const Bytes& bmp, std::size_t imageSize, std::size_t blockSize, std::size_t colours)
{
    if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M')
        return false;
    const std::size_t pixelsAt = get32(bmp, 10);
    if (bmp.size() != pixelsAt + imageSize || pixelsAt < 54)
        return false;
    for (std::size_t k = 0; k < std::min(colours, (pixelsAt - 54) / 4); ++k)
        for (std::uint32_t c = 0; c < 3; ++c)
            if (bmp[54 + 4 * k + c] != tpPaletteByte(static_cast<std::uint32_t>(k), c))
                return false;
    for (std::size_t i = 0; i < imageSize; ++i)
        if (bmp[pixelsAt + i] != (i < blockSize ? tpPixelByte(static_cast<std::uint32_t>(i)) : 0))
            return false;
    return true;
}

inline bool startsWith(const Bytes& file, const Bytes& head)
{
    return file.size() >= head.size() && std::equal(head.begin(), head.end(), file.begin());
}

}  // namespace plugin_setup
