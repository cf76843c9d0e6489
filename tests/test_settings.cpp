#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/settings.h"
#include "app/settings_table.h"
#include "convert/format_table.h"
#include "test_support.h"

namespace vrelk {
namespace {

using test::ScratchFolder;
using test::writeText;

TEST(SettingsStore, MissingFileGivesDefaults)
{
    ScratchFolder folder;
    Settings s = LoadSettings(folder / "Vrelk.ini");
    EXPECT_EQ(s.Quality, 75);
    EXPECT_EQ(s.Sampling, 0);
    EXPECT_FALSE(s.Limit);
    EXPECT_EQ(s.LmtVal, 100);
    EXPECT_FALSE(s.Resize);
    EXPECT_EQ(s.RszOpt, 2);
    EXPECT_EQ(s.RszSize, 100);
    EXPECT_TRUE(s.OutDir.empty());
    EXPECT_FALSE(s.MkDirAdd);
    EXPECT_EQ(s.MkDirStr, "Output");
    EXPECT_FALSE(s.UseSpi) << "plug-ins go off while no plug-in folder is set";
    EXPECT_TRUE(s.SPI.empty());
    EXPECT_FALSE(s.OldCheck);
    EXPECT_EQ(s.DrctCvt, 0);
}

TEST(SettingsStore, FlagsKeepOnlyBitZeroAndNumbersAreParsedLikeProfileIntegers)
{
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    writeText(ini, "[SImg]\r\nLimit=3\r\nResize=2\r\nMkDirAdd=-1\r\nOldCheck=1\r\n"
                   "Quality=  -12abc\r\nLmtVal=abc\r\nRszSize=+640\r\nRszOpt=\r\nDrctCvt=8\r\nKeepAlpha=3\r\n");
    Settings s = LoadSettings(ini);
    EXPECT_TRUE(s.KeepAlpha);
    EXPECT_TRUE(s.Limit);
    EXPECT_FALSE(s.Resize);
    EXPECT_TRUE(s.MkDirAdd);
    EXPECT_TRUE(s.OldCheck);
    EXPECT_EQ(s.Quality, -12) << "no range check happens on load";
    EXPECT_EQ(s.LmtVal, 0);
    EXPECT_EQ(s.RszSize, 640);
    EXPECT_EQ(s.RszOpt, 2) << "an empty value reads as the default";
    EXPECT_EQ(s.DrctCvt, 0) << "an output choice outside 1..7 loads as choose-at-run-time";
}

TEST(SettingsStore, OnlyTheFixedOutputChoicesSurviveALoad)
{
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    const std::pair<const char*, int> cases[] = {{"-1", 0}, {"0", 0}, {"1", 1}, {"5", 5}, {"6", 6},
                                                 {"7", 7}, {"8", 0}, {"9", 0}};
    for (const auto& [stored, loaded] : cases) {
        writeText(ini, std::string("[SImg]\r\nDrctCvt=") + stored + "\r\n");
        EXPECT_EQ(LoadSettings(ini).DrctCvt, loaded) << "stored " << stored;
    }
    // Every output choice can be stored, and nothing past the last.
    EXPECT_EQ(static_cast<std::size_t>(keys::kDrctCvt.high), OutputFormats().size());
}

TEST(SettingsStore, PluginFolderMustExist)
{
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    std::filesystem::create_directory(folder / "spi");
    writeText(ini, "[simg]\r\nuseSpi=1\r\nSPI=" + (folder / "spi").string() + "\r\n");
    Settings present = LoadSettings(ini);
    EXPECT_TRUE(present.UseSpi) << "section and key names ignore case";
    EXPECT_EQ(present.SPI, folder / "spi");

    writeText(ini, "[SImg]\r\nUseSpi=1\r\nSPI=" + (folder / "gone").string() + "\r\n");
    Settings missing = LoadSettings(ini);
    EXPECT_FALSE(missing.UseSpi);
    EXPECT_TRUE(missing.SPI.empty());

    SaveSettings(missing, ini);
    std::string saved = test::readText(ini);
    EXPECT_NE(saved.find("UseSpi=0\r\n"), std::string::npos);
    EXPECT_NE(saved.find("SPI=\r\n"), std::string::npos);
}

TEST(SettingsStore, SaveReplacesTheSectionWithEveryKeyInOrder)
{
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    writeText(ini, "[Other]\r\nKeep=1\r\n[SImg]\r\nQuality=10\r\nStale=5\r\n[Tail]\r\nX=2\r\n");
    Settings s = LoadSettings(ini);
    s.OutDir = "/some/folder";
    s.Limit = true;
    SaveSettings(s, ini);

    EXPECT_EQ(test::readText(ini),
              "[Other]\r\nKeep=1\r\n[Tail]\r\nX=2\r\n[SImg]\r\n"
              "Quality=10\r\nSampling=0\r\nLimit=1\r\nLmtVal=100\r\nResize=0\r\nRszOpt=2\r\n"
              "RszSize=100\r\nOutDir=/some/folder\r\nMkDirAdd=0\r\nMkDirStr=Output\r\nUseSpi=0\r\n"
              "SPI=\r\nOldCheck=0\r\nDrctCvt=0\r\nKeepAlpha=0\r\nKeepMeta=0\r\nKeepTime=0\r\n");
    Settings again = LoadSettings(ini);
    EXPECT_EQ(again.Quality, 10);
    EXPECT_EQ(again.OutDir, "/some/folder");
}

// The bytes the store has always written, so that a file shared with the
// Windows program and compared by users' scripts never changes shape; keys
// added later only follow the old ones.
TEST(SettingsStore, SavedBytesAreUnchangedForDefaultsAndEditedSettings)
{
    ScratchFolder folder;
    std::filesystem::create_directory(folder / "spi");
    Settings edited;
    edited.Quality = -12;
    edited.Sampling = 2;
    edited.Limit = true;
    edited.LmtVal = 32767;
    edited.Resize = true;
    edited.RszOpt = 0;
    edited.RszSize = 640;
    edited.OutDir = "/out/\xe5\x86\x99\xe7\x9c\x9f";
    edited.MkDirAdd = true;
    edited.MkDirStr = "\xe5\x87\xba\xe5\x8a\x9b x";
    edited.UseSpi = true;
    edited.SPI = folder / "spi";
    edited.OldCheck = true;
    edited.DrctCvt = 6;
    edited.KeepAlpha = true;
    edited.KeepMeta = 2;
    edited.KeepTime = true;
    Settings fromMissingFile = LoadSettings(folder / "absent.ini");
    fromMissingFile.RszOpt = 1;
    const struct {
        const char* name;
        Settings settings;
        std::string before;
        std::string written;
        bool reloadsAsSaved;  // without a plug-in folder, plug-ins load as off
    } cases[] = {
        {"defaults", Settings{}, "",
         "[SImg]\r\nQuality=75\r\nSampling=0\r\nLimit=0\r\nLmtVal=100\r\nResize=0\r\nRszOpt=2\r\n"
         "RszSize=100\r\nOutDir=\r\nMkDirAdd=0\r\nMkDirStr=Output\r\nUseSpi=1\r\nSPI=\r\nOldCheck=0\r\n"
         "DrctCvt=0\r\nKeepAlpha=0\r\nKeepMeta=0\r\nKeepTime=0\r\n", false},
        {"loaded from no file", fromMissingFile, "[Keep]\nA = 1\n",
         "[Keep]\r\nA = 1\r\n[SImg]\r\nQuality=75\r\nSampling=0\r\nLimit=0\r\nLmtVal=100\r\nResize=0\r\n"
         "RszOpt=1\r\nRszSize=100\r\nOutDir=\r\nMkDirAdd=0\r\nMkDirStr=Output\r\nUseSpi=0\r\nSPI=\r\n"
         "OldCheck=0\r\nDrctCvt=0\r\nKeepAlpha=0\r\nKeepMeta=0\r\nKeepTime=0\r\n", true},
        {"edited", edited, "[SImg]\r\nQuality=1\r\n",
         "[SImg]\r\nQuality=-12\r\nSampling=2\r\nLimit=1\r\nLmtVal=32767\r\nResize=1\r\nRszOpt=0\r\n"
         "RszSize=640\r\nOutDir=/out/\xe5\x86\x99\xe7\x9c\x9f\r\nMkDirAdd=1\r\nMkDirStr=\xe5\x87\xba\xe5\x8a\x9b x\r\n"
         "UseSpi=1\r\nSPI=" + (folder / "spi").string() + "\r\nOldCheck=1\r\nDrctCvt=6\r\nKeepAlpha=1\r\nKeepMeta=2\r\nKeepTime=1\r\n", true},
    };
    for (const auto& c : cases) {
        const auto ini = folder / "Vrelk.ini";
        std::filesystem::remove(ini);
        if (!c.before.empty())
            writeText(ini, c.before);
        ASSERT_TRUE(SaveSettings(c.settings, ini)) << c.name;
        EXPECT_EQ(test::readText(ini), c.written) << c.name;
        if (!c.reloadsAsSaved)
            continue;
        ASSERT_TRUE(SaveSettings(LoadSettings(ini), ini)) << c.name;
        EXPECT_EQ(test::readText(ini), c.written) << c.name << ", saved again";
    }
}

// vrelk makes the file at the end of a run when there was none at its
// start; one the user wrote meanwhile stays, and no staging file is left.
TEST(SettingsStore, CreatingTheFileNeverReplacesOneThatAppeared)
{
    ScratchFolder folder;
    Settings settings;
    settings.Quality = 90;
    ASSERT_TRUE(SaveSettings(settings, folder / "expected.ini"));
    ASSERT_TRUE(CreateSettingsFile(settings, folder / "Vrelk.ini"));
    EXPECT_EQ(test::readText(folder / "Vrelk.ini"), test::readText(folder / "expected.ini"));

    writeText(folder / "Vrelk.ini", "[SImg]\r\nQuality=42\r\n");
    EXPECT_FALSE(CreateSettingsFile(settings, folder / "Vrelk.ini"));
    EXPECT_EQ(test::readText(folder / "Vrelk.ini"), "[SImg]\r\nQuality=42\r\n");
    EXPECT_EQ(test::listFolder(folder.path()), (std::vector<std::string>{"Vrelk.ini", "expected.ini"}));
}

// Notepad saves with a byte-order mark; the file reads as the Windows
// profile functions read it, in UTF-8 or UTF-16 LE.
TEST(SettingsStore, FilesWithAByteOrderMarkLoadInTheirEncoding)
{
    ScratchFolder folder;
    const std::string text = "[SImg]\r\nQuality=42\r\nMkDirStr=\xE5\x86\x99\xE7\x9C\x9F \xF0\x9D\x84\x9E\r\n";
    std::u16string wide = u"[SImg]\r\nQuality=42\r\nMkDirStr=\u5199\u771F \U0001D11E\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t unit : wide) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    struct Case {
        const char* name;
        std::string bytes;
    };
    for (const Case& c : {Case{"UTF-8", "\xEF\xBB\xBF" + text}, Case{"UTF-16 LE", utf16}, Case{"no mark", text}}) {
        writeText(folder / "Vrelk.ini", c.bytes);
        const Settings s = LoadSettings(folder / "Vrelk.ini");
        EXPECT_EQ(s.Quality, 42) << c.name;
        EXPECT_EQ(s.MkDirStr, "\xE5\x86\x99\xE7\x9C\x9F \xF0\x9D\x84\x9E") << c.name;
    }
}

// A save keeps the file's encoding. Python writes each file from the same
// text and reads the saved one back in its codec; the text must equal the
// save of the unmarked file.
TEST(SettingsStore, SaveKeepsTheEncodingOfAMarkedFile)
{
    ScratchFolder folder;
    const std::string script = R"(
import sys
folder, codec = sys.argv[1], sys.argv[2]
marks = {'utf-8-sig': b'\xef\xbb\xbf', 'utf-16-le': b'\xff\xfe', 'utf-8': b''}
text = '[Keep]\r\nName=\u5199\u771f \U0001d11e\r\n[SImg]\r\nQuality=42\r\nMkDirStr=\u51fa\u529b\r\n'
path = f'{folder}/{codec}.ini'
if sys.argv[3] == 'write':
    open(path, 'wb').write(marks[codec] + text.encode(codec.replace('-sig', '')))
else:
    saved = open(path, 'rb').read()
    plain = open(f'{folder}/utf-8.ini', 'rb').read().decode('utf-8')
    assert saved.startswith(marks[codec]), saved[:4]
    assert saved[len(marks[codec]):].decode(codec.replace('-sig', '')) == plain, saved
)";
    writeText(folder / "check.py", script);
    for (const char* codec : {"utf-8", "utf-8-sig", "utf-16-le"}) {
        const std::string run = test::python() + " " + (folder / "check.py").string() + " " + folder.path().string() + " " + codec;
        ASSERT_EQ(test::runCommand(run + " write").status, 0) << codec;
        const platform::Path ini = folder / (std::string(codec) + ".ini");
        Settings s = LoadSettings(ini);
        EXPECT_EQ(s.MkDirStr, "\xE5\x87\xBA\xE5\x8A\x9B") << codec;
        s.Quality = 60;
        ASSERT_TRUE(SaveSettings(s, ini)) << codec;
    }
    for (const char* codec : {"utf-8-sig", "utf-16-le"}) {
        const auto checked = test::runCommand(test::python() + " " + (folder / "check.py").string() + " " +
                                              folder.path().string() + " " + codec + " read");
        EXPECT_EQ(checked.status, 0) << codec << ": " << checked.output;
    }
    EXPECT_EQ(LoadSettings(folder / "utf-16-le.ini").Quality, 60);
}

TEST(SettingsStore, LongStringsAreCutTo259Units)
{
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    writeText(ini, "[SImg]\r\nMkDirStr=" + std::string(400, 'x') + "\r\n");
    EXPECT_EQ(LoadSettings(ini).MkDirStr.size(), 259u);
}

TEST(SettingsStore, LongStringsAreCountedInUtf16UnitsAndNeverCutInsideACharacter)
{
    auto kanji = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += "写";
        return text;
    };
    const std::string ascii258(258, 'x');
    const struct {
        std::string stored;
        std::string loaded;
    } cases[] = {
        {ascii258 + "写", ascii258 + "写"},             // three bytes, one unit: fits exactly
        {ascii258 + "写真", ascii258 + "写"},           // the second would be unit 260
        {ascii258 + "\U0001F4F7", ascii258},             // a pair of units does not fit in one
        {std::string(86, 'y') + std::string(200, 'z'), std::string(86, 'y') + std::string(173, 'z')},
        {kanji(100), kanji(100)},                       // 300 bytes, but 100 units
        {kanji(300), kanji(259)},
    };
    ScratchFolder folder;
    auto ini = folder / "Vrelk.ini";
    for (const auto& c : cases) {
        writeText(ini, "[SImg]\r\nMkDirStr=" + c.stored + "\r\n");
        EXPECT_EQ(LoadSettings(ini).MkDirStr, c.loaded) << c.stored;
    }
}

TEST(SettingsLocation, ProgramNameIsCheckedWithoutRegardToCase)
{
    ScratchFolder folder;
    EXPECT_FALSE(locateSettingsFileFor(folder / "other", folder.path()));
    EXPECT_FALSE(locateSettingsFileFor(folder / "vrelk2", folder.path()));
    EXPECT_TRUE(locateSettingsFileFor(folder / "VRELK", folder.path()));
}

TEST(SettingsLocation, FileBesideTheProgramWinsOverThePerUserFile)
{
    ScratchFolder folder;
    std::filesystem::create_directories(folder / "bin");
    std::filesystem::create_directories(folder / "user" / "Vrelk");
    writeText(folder / "user" / "Vrelk" / "Vrelk.ini", "[SImg]\r\n");
    writeText(folder / "bin" / "Vrelk.ini", "[SImg]\r\n");

    auto located = locateSettingsFileFor(folder / "bin" / "vrelk", folder / "user");
    ASSERT_TRUE(located);
    EXPECT_EQ(*located, folder / "bin" / "Vrelk.ini");
}

TEST(SettingsLocation, PerUserFolderIsCreatedWhenNoFileIsBesideTheProgram)
{
    ScratchFolder folder;
    std::filesystem::create_directory(folder / "user");
    auto located = locateSettingsFileFor(folder / "bin" / "vrelk", folder / "user");
    ASSERT_TRUE(located);
    EXPECT_EQ(*located, folder / "user" / "Vrelk" / "Vrelk.ini");
    EXPECT_TRUE(std::filesystem::is_directory(folder / "user" / "Vrelk"));

    auto withoutUserFolder = locateSettingsFileFor(folder / "bin" / "vrelk", std::nullopt);
    ASSERT_TRUE(withoutUserFolder);
    EXPECT_EQ(*withoutUserFolder, folder / "bin" / "Vrelk.ini");

    auto nowhere = locateSettingsFileFor(folder / "bin" / "vrelk", std::nullopt, WithoutUserFolder::nowhere);
    ASSERT_TRUE(nowhere);
    EXPECT_TRUE(nowhere->empty());
    EXPECT_EQ(LoadSettings(*nowhere).Quality, 75);
}

TEST(SettingsControls, BoundsAndFolderChecksApplyBeforeABatch)
{
    ScratchFolder folder;
    Settings s;
    s.Quality = 0;
    s.LmtVal = 40000;
    s.OutDir = folder / "gone";
    s.SPI = folder.path();
    s.UseSpi = true;
    applyControlBounds(s);
    EXPECT_EQ(s.Quality, 1);
    EXPECT_EQ(s.LmtVal, 40000) << "a size is refused by the batch, not changed";
    EXPECT_TRUE(s.OutDir.empty());
    EXPECT_TRUE(s.UseSpi);

    s.Quality = 101;
    s.SPI = folder / "gone";
    applyControlBounds(s);
    EXPECT_EQ(s.Quality, 100);
    EXPECT_FALSE(s.UseSpi);
    EXPECT_TRUE(s.SPI.empty());
}

}  // namespace
}  // namespace vrelk
