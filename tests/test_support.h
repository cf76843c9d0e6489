// Shared helpers for the native tests: scratch folders and small files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Skips the test when a reference tool is missing, or fails it in CI.
#define VRELK_REQUIRE_TOOLS(available, what)                                                \
    do {                                                                                    \
        if (!(available)) {                                                                 \
            if (::vrelk::test::referenceToolsRequired())                                    \
                FAIL() << (what) << " missing, and CI must have it";                        \
            else                                                                            \
                GTEST_SKIP() << (what) << " missing";                                       \
        }                                                                                   \
    } while (0)

namespace vrelk::test {

namespace fs = std::filesystem;

// A fresh folder removed with everything in it at the end of the test.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "vrelk-test-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        path_ = mkdtemp(buffer.data());
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Names in a folder, sorted.
inline std::vector<std::string> listFolder(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct CommandResult {
    int status = -1;
    std::string output;  // standard output and standard error together
};

// Runs a shell command line and collects what it prints.
inline CommandResult runCommand(const std::string& commandLine)
{
    CommandResult result;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char chunk[4096];
    while (std::size_t got = fread(chunk, 1, sizeof(chunk), pipe))
        result.output.append(chunk, got);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The Python with Pillow and numpy that the differential tests run:
// VRELK_PYTHON when set, else the system's.
inline std::string python()
{
    const char* chosen = std::getenv("VRELK_PYTHON");
    return chosen && *chosen ? chosen : "/usr/bin/python3";
}

inline bool havePillow()
{
    static const bool available = runCommand(python() + " -c 'import PIL.Image'").status == 0;
    return available;
}

inline bool haveImageMagick() { return fs::exists("/usr/bin/convert"); }

// CI installs every reference tool, so there (CI set, as CI services do) a
// missing one is a failure; elsewhere the test is skipped.
inline bool referenceToolsRequired()
{
    const char* ci = std::getenv("CI");
    return ci && *ci && std::string(ci) != "false" && std::string(ci) != "0";
}

// Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about
// "literal" + std::string.
inline std::string quoted(const fs::path& path)
{
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

// The command-line program installed into a folder of its own, with its
// settings file beside it and a private temporary folder.
class CliInstall {
public:
    explicit CliInstall(const std::string& settingsKeys)
    {
        fs::create_directories(bin());
        fs::create_directories(temp());
        fs::copy_file(VRELK_CLI_PATH, program());
        writeText(bin() / "Vrelk.ini", "[SImg]\r\n" + settingsKeys);
    }

    fs::path bin() const { return folder_ / "bin"; }
    fs::path temp() const { return folder_ / "temp"; }
    fs::path program() const { return bin() / "vrelk"; }
    fs::path root() const { return folder_.path(); }

    // `environment` comes before the program, after the install's own
    // variables: "HOME=/elsewhere", or "env -u HOME".
    CommandResult run(const std::string& arguments, const std::string& input = "",
                      const std::string& environment = "") const
    {
        std::string command = "cd " + quoted(root()) + " && " + programCommand(arguments, environment);
        if (!input.empty())
            command = "printf '" + input + "' | (" + command + ")";
        else
            command += " < /dev/null";
        return runCommand(command);
    }

    // With standard input from a shell pipeline run in the install's root:
    // "find photos -print0".
    CommandResult runAfter(const std::string& producer, const std::string& arguments) const
    {
        return runCommand("cd " + quoted(root()) + " && " + producer + " | " + programCommand(arguments, ""));
    }

    // The program with the install's own variables; messages in English
    // unless `environment` names a locale.
    std::string programCommand(const std::string& arguments, const std::string& environment) const
    {
        return "TMPDIR=" + quoted(temp()) + " HOME=" + quoted(root()) +
               " XDG_CONFIG_HOME= LC_ALL= LC_MESSAGES= LANG=C " + environment + " " + quoted(program()) + " " +
               arguments;
    }

private:
    ScratchFolder folder_;
};

}  // namespace vrelk::test
