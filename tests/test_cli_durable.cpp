// vrelk stopped or disturbed half-way: no half-written output under a real
// name, a file that changes under it fails alone, and the settings file
// stays as the user wrote it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <chrono>
#include <map>
#include <thread>

#include <functional>
#include <optional>

#include "image_builder.h"
#include "test_support.h"

extern char** environ;

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;

void writeBmp(const fs::path& path, int width, int height)
{
    test::writeBytes(path, test::buildBmp({.width = width, .height = height,
                                           .pixels = test::patternRows24(width, height)}));
}

// vrelk started without a shell, so that the test can kill it by its id.
class Running {
public:
    explicit Running(std::vector<std::string> arguments) : arguments_(std::move(arguments))
    {
        std::vector<char*> argv;
        for (std::string& argument : arguments_)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    // True when the program was still running when it was killed.
    bool kill()
    {
        int status = 0;
        bool running = waitpid(pid_, &status, WNOHANG) == 0;
        if (running) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        return running;
    }
    int wait()
    {
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int number) { ::kill(pid_, number); }
    bool started() const { return pid_ > 0; }

private:
    std::vector<std::string> arguments_;
    pid_t pid_ = -1;
};

std::map<std::string, std::string> folderContents(const fs::path& folder)
{
    std::map<std::string, std::string> contents;
    for (const std::string& name : test::listFolder(folder))
        contents[name] = test::readText(folder / name);
    return contents;
}

bool isStagingName(const std::string& name)
{
    return name.rfind(".vrelk-", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp";
}

TEST(CliDurable, KilledAnywhereLeavesOnlyCompleteOutputsUnderRealNames)
{
    CliInstall cli("DrctCvt=1\r\n");
    std::vector<std::string> base{cli.program().string(), "-f", "bmp", "-j", "2", "-o"};
    std::vector<std::string> inputs;
    writeBmp(cli.root() / "picture.bmp", 1000, 700);
    for (int i = 0; i < 4; ++i) {
        std::string file = "p";
        file += std::to_string(i);
        file += ".bmp";
        fs::path input = cli.root() / file;
        fs::copy_file(cli.root() / "picture.bmp", input);
        inputs.push_back(input.string());
    }

    auto runInto = [&](const fs::path& out) {
        fs::create_directory(out);
        std::vector<std::string> arguments = base;
        arguments.push_back(out.string());
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        return Running(arguments);
    };
    const auto started = std::chrono::steady_clock::now();
    Running whole = runInto(cli.root() / "whole");
    ASSERT_TRUE(whole.started());
    ASSERT_EQ(whole.wait(), 0);
    const auto duration = std::chrono::steady_clock::now() - started;
    const auto expected = folderContents(cli.root() / "whole");
    ASSERT_EQ(expected.size(), inputs.size());

    constexpr int kPoints = 12;
    int killedRunning = 0;
    for (int point = 1; point <= kPoints; ++point) {
        std::string folder = "killed";
        folder += std::to_string(point);
        const fs::path out = cli.root() / folder;
        Running run = runInto(out);
        ASSERT_TRUE(run.started());
        std::this_thread::sleep_for(duration * point / kPoints);
        killedRunning += run.kill();
        for (const auto& [name, bytes] : folderContents(out)) {
            if (isStagingName(name))
                continue;
            ASSERT_TRUE(expected.count(name)) << "point " << point << ": unexpected " << name;
            EXPECT_TRUE(bytes == expected.at(name)) << "point " << point << ": " << name << " is incomplete";
        }
    }
    EXPECT_GE(killedRunning, kPoints / 2) << "most kills land while the program runs";
}

// Noise, which takes the PNG writer a while.
void writeNoiseBmp(const fs::path& path, int width, int height, std::uint32_t seed)
{
    test::Bytes rows(static_cast<std::size_t>(width) * height * 3);
    for (std::uint8_t& byte : rows) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    test::writeBytes(path, test::buildBmp({.width = width, .height = height, .pixels = rows}));
}

// Waits up to 30 s for a name in `folder` that `wanted` accepts.
std::optional<std::string> awaitName(const fs::path& folder, const std::function<bool(const std::string&)>& wanted)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : test::listFolder(folder))
            if (wanted(name))
                return name;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> found;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        found.push_back(text.substr(start, end - start));
    return found;
}

// SIGINT and SIGTERM stop a batch as the Windows program's stop button
// does: the files begun are finished and named (the outputs are those of
// a whole run's first files), the others reported as skipped, no staging
// file is left, and the exit status is the shell's for that signal.
TEST(CliDurable, StopSignalEndsTheBatchAfterTheFilesBegun)
{
    constexpr int kFiles = 24;
    CliInstall cli("DrctCvt=2\r\n");
    std::string names;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "p" + std::to_string(100 + i) + ".bmp";
        writeNoiseBmp(cli.root() / name, 400, 300, static_cast<std::uint32_t>(i));
        names += " " + name;
    }
    fs::create_directory(cli.root() / "whole");
    ASSERT_EQ(cli.run("-j 2 -o whole" + names).status, 0);
    const auto whole = folderContents(cli.root() / "whole");

    const struct {
        int signal;
        const char* name;
        const char* jobs;
    } cases[] = {{SIGINT, "SIGINT", "1"}, {SIGTERM, "SIGTERM", "1"}, {SIGINT, "SIGINT", "3"}, {SIGTERM, "SIGTERM", "3"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " -j " + c.jobs);
        const fs::path out = cli.root() / (std::string("out-") + c.name + c.jobs);
        fs::create_directory(out);
        const std::string command = "cd " + test::quoted(cli.root()) + " && exec " + test::quoted(cli.program()) +
                                    " -j " + c.jobs + " --report=json -o " + test::quoted(out) + names +
                                    " >report.jsonl 2>said.txt </dev/null";
        Running run({"/bin/sh", "-c", command});
        ASSERT_TRUE(run.started());
        ASSERT_TRUE(awaitName(out, [](const std::string& name) { return name.ends_with(".png"); }));
        run.signal(c.signal);
        EXPECT_EQ(run.wait(), 128 + c.signal);

        const auto written = folderContents(out);
        for (const auto& [name, bytes] : written) {
            EXPECT_FALSE(isStagingName(name)) << name;
            EXPECT_TRUE(whole.count(name) && whole.at(name) == bytes) << name << " differs from the whole run's";
        }
        const auto report = lines(test::readText(cli.root() / "report.jsonl"));
        ASSERT_EQ(report.size(), static_cast<std::size_t>(kFiles));
        std::size_t converted = 0;
        for (const std::string& line : report)
            converted += line.find("\"status\":\"converted\"") != std::string::npos ? 1 : 0;
        EXPECT_EQ(converted, written.size());
        EXPECT_LT(converted, static_cast<std::size_t>(kFiles)) << "the signal came before the last file began";
        for (std::size_t i = 0; i < report.size(); ++i) {
            const bool isConverted = report[i].find("\"status\":\"converted\"") != std::string::npos;
            EXPECT_EQ(isConverted, i < converted) << "the files converted are the first ones: " << report[i];
            if (!isConverted) {
                EXPECT_NE(report[i].find(std::string("stopped by ") + c.name), std::string::npos) << report[i];
            }
        }
        EXPECT_EQ(test::readText(cli.root() / "said.txt"),
                  "vrelk: stopped by " + std::string(c.name) + ": " + std::to_string(converted) + " of " +
                      std::to_string(kFiles) + " files converted\n");
    }
}

// Staging files that a run killed outright left are removed by the next
// run into that folder once they are a minute old, unless another program
// holds them: every run keeps an exclusive lock on each of its own.
TEST(CliDurable, AbandonedStagingFilesAreRemovedByTheNextRun)
{
    CliInstall cli("DrctCvt=2\r\n");
    writeBmp(cli.root() / "a.bmp", 4, 4);
    const fs::path out = cli.root() / "out";
    fs::create_directory(out);
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(2);
    const struct {
        const char* name;
        bool old;
        bool kept;
    } files[] = {
        {".vrelk-0000000a0001.tmp", true, false},  {".vrelk-0000000b0002.tmp", false, true},
        {".vrelk-0000000c0003.tmp", true, true},   {"photo.tmp", true, true},
        {".vrelk-notes.txt", true, true},
    };
    for (const auto& file : files) {
        test::writeText(out / file.name, "left behind");
        if (file.old)
            fs::last_write_time(out / file.name, old);
    }
    fs::create_directory(out / ".vrelk-0000000d0004.tmp");
    fs::create_symlink(cli.root() / "a.bmp", out / ".vrelk-0000000e0005.tmp");
    // Another run, still alive, holding its own.
    const int held = ::open((out / ".vrelk-0000000c0003.tmp").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

    auto result = cli.run("-o out a.bmp");
    ::close(held);
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<std::string> expected{".vrelk-0000000b0002.tmp", ".vrelk-0000000c0003.tmp", ".vrelk-0000000d0004.tmp",
                                      ".vrelk-0000000e0005.tmp", ".vrelk-notes.txt", "a.png", "photo.tmp"};
    EXPECT_EQ(test::listFolder(out), expected);
}

// The lock the next run looks for is held by a running one.
TEST(CliDurable, RunningBatchHoldsItsStagingFiles)
{
    CliInstall cli("DrctCvt=2\r\n");
    writeNoiseBmp(cli.root() / "big.bmp", 2000, 1500, 7);
    const fs::path out = cli.root() / "out";
    fs::create_directory(out);
    Running run({cli.program().string(), "-o", out.string(), (cli.root() / "big.bmp").string()});
    ASSERT_TRUE(run.started());
    // A probe can take the lock in the moment between the file's creation
    // and the writer's lock; the writer then waits for it. Once a file has
    // been seen held, it must stay held until it is named.
    std::set<std::string> seenHeld;
    int heldProbes = 0;
    int freeAfterHeld = 0;
    while (auto staged = awaitName(out, [](const std::string& name) { return isStagingName(name) || name == "big.png"; })) {
        if (*staged == "big.png" || heldProbes >= 3)
            break;
        const int fd = ::open((out / *staged).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;  // named meanwhile
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        const bool busy = !locked && errno == EWOULDBLOCK;
        ::close(fd);
        if (busy) {
            seenHeld.insert(*staged);
            ++heldProbes;
        } else if (locked && seenHeld.count(*staged) && fs::exists(out / *staged)) {
            ++freeAfterHeld;
        }
        if (locked)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the writer's turn
    }
    EXPECT_EQ(run.wait(), 0);
    EXPECT_GT(heldProbes, 0) << "the staging file was never seen held";
    EXPECT_EQ(freeAfterHeld, 0);
    EXPECT_EQ(test::listFolder(out), std::vector<std::string>{"big.png"});
}

TEST(CliDurable, SettingsFileIsByteIdenticalAfterEveryKindOfRun)
{
    const std::string settings =
        "; shared with the Windows program\r\n[SImg]\r\nQuality=80\r\nUseSpi=1\r\nSPI=C:\\Susie\\plugins\r\n"
        "OutDir=/mnt/usbstick/photos\r\nMkDirAdd=1\r\nMkDirStr=Web\r\nDrctCvt=0\r\nUnknown=kept\r\n";
    CliInstall cli("");
    test::writeText(cli.bin() / "Vrelk.ini", settings);
    writeBmp(cli.root() / "x.bmp", 8, 8);
    test::writeText(cli.root() / "broken.png", "not a picture");
    const struct {
        const char* arguments;
        const char* answer;
    } runs[] = {
        {"", ""},
        {"--help", ""},
        {"--version", ""},
        {"--bogus", ""},
        {"-f png x.bmp", ""},
        {"-f jpeg -q 90 --long-side 4 -o . x.bmp", ""},
        {"x.bmp", "p\n"},
        {"x.bmp", "z\n"},
        {"-f gif broken.png", ""},
        {"-f recode x.bmp", ""},
        {"-f png -o missing-folder x.bmp", ""},
    };
    for (const auto& run : runs) {
        auto result = cli.run(run.arguments, run.answer);
        EXPECT_EQ(test::readText(cli.bin() / "Vrelk.ini"), settings) << run.arguments << "\n" << result.output;
    }
    EXPECT_TRUE(fs::exists(cli.root() / "Web" / "x.png")) << "the missing OutDir falls back to the input's folder";
}

TEST(CliDurable, PathsAreTakenAsTheSystemNamesThem)
{
    CliInstall cli("DrctCvt=2\r\n");
    // "link/../photo.bmp" is beside the link's target, not beside the link.
    fs::create_directories(cli.root() / "elsewhere" / "inner");
    fs::create_directories(cli.root() / "here");
    fs::create_directory_symlink(cli.root() / "elsewhere" / "inner", cli.root() / "here" / "link");
    writeBmp(cli.root() / "elsewhere" / "photo.bmp", 7, 3);
    writeBmp(cli.root() / "here" / "photo.bmp", 5, 2);
    auto result = cli.run("-f bmp here/link/../photo.bmp");
    ASSERT_EQ(result.status, 0) << result.output;
    // Same size (7 x 3) and pixels as the picture beside the target; the
    // writer fills header fields the test's input leaves at 0.
    const std::string written = test::readText(cli.root() / "elsewhere" / "photo+1.bmp");
    const std::string source = test::readText(cli.root() / "elsewhere" / "photo.bmp");
    ASSERT_EQ(written.size(), source.size());
    EXPECT_EQ(written.substr(18, 8), source.substr(18, 8));
    EXPECT_EQ(written.substr(54), source.substr(54));
    EXPECT_EQ(test::listFolder(cli.root() / "here"), (std::vector<std::string>{"link", "photo.bmp"}));

    // 80 Japanese characters and ".bmp": 244 bytes, within Linux's 255.
    std::string name;
    for (int i = 0; i < 80; ++i)
        name += "写";
    writeBmp(cli.root() / (name + ".bmp"), 4, 4);
    std::string arguments = "-f png ";
    arguments += test::quoted(cli.root() / (name + ".bmp"));
    result = cli.run(arguments);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::exists(cli.root() / (name + ".png")));
}

// A disk that fills up while an output is written fails that file as one
// that cannot be written and leaves no part of it behind; the next file
// still converts. The file-size limit stands in for the full disk.
TEST(CliDurable, FullDiskFailsTheFileAsCannotWrite)
{
    CliInstall cli("DrctCvt=1\r\n");
    writeBmp(cli.root() / "big.bmp", 200, 200);
    writeBmp(cli.root() / "small.bmp", 1, 1);
    fs::create_directory(cli.root() / "out");
    std::string command = "trap '' XFSZ; ulimit -f 64; cd ";
    command += test::quoted(cli.root());
    command += " && TMPDIR=" + test::quoted(cli.temp());
    command += " HOME=" + test::quoted(cli.root());
    command += " " + test::quoted(cli.program());
    command += " -o out big.bmp small.bmp < /dev/null";
    const auto result = test::runCommand(command);
    EXPECT_NE(result.output.find("vrelk: skipped big.bmp: cannot write"), std::string::npos) << result.output;
    EXPECT_EQ(test::listFolder(cli.root() / "out"), (std::vector<std::string>{"small.bmp"})) << result.output;
}

}  // namespace
}  // namespace vrelk
