// Every output vrelk writes for the fixed inputs in tests/data/identity/
// (made by tests/identity_fixtures.py), hashed and compared with the listing
// tests/data/identity/hashes.txt, together with every input each run skips
// and why: a change meant to keep the bytes passes unchanged.
// VRELK_WRITE_IDENTITY_HASHES=1 rewrites the listing instead, for a change meant to alter output.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "sha256.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

const std::vector<std::string> kFormats{"bmp", "png", "jpeg", "gif", "webp", "recode"};

// Every kind of pixel the readers deliver: bits, palette, grey, alpha,
// 16 bits, a colour profile, an Exif orientation, each container.
const std::vector<std::string> kPixelKinds{
    "bmp-1bit.bmp",         "bmp-8bit.bmp",         "bmp-24bit.bmp",        "bmp-32bit-v5-alpha.bmp",
    "png-grey.png",         "png-grey-alpha.png",   "png-palette-trns.png", "png-rgba16.png",
    "png-grey-iccp.png",    "jpeg-420.jpg",         "jpeg-grey.jpg",        "jpeg-exif6.jpg",
    "jpeg-p3.jpg",          "gif-transparent.gif",  "tiff-rgb16.tif",       "webp-lossy-alpha.webp",
    "webp-p3.webp",         "heic-10bit.heic",      "avif-alpha.avif",
};

// Pictures whose JPEG and WebP outputs the size target has to squeeze.
const std::vector<std::string> kSizeTarget{
    "jpeg-444.jpg",          "jpeg-exif6.jpg",  "jpeg-p3.jpg",     "png-rgba.png",  "png-grey.png",
    "webp-lossy-alpha.webp", "heic-plain.heic", "avif-10bit.avif", "tiff-rgb.tif",  "gif-palette.gif",
};

const std::vector<std::string> kFew{"jpeg-p3.jpg", "png-rgba.png", "gif-transparent.gif"};

// One vrelk run per format: its settings file, its options and its inputs
// (empty: all of them). `settings` names the run in the listing. A run
// without `-f` lets DrctCvt choose; its one format is the one expected.
struct IdentityRun {
    std::string settings;
    std::string iniKeys;
    std::string options;
    std::vector<std::string> formats;
    std::vector<std::string> inputs;
    bool formatFromSettings = false;
};

void PrintTo(const IdentityRun& run, std::ostream* out) { *out << run.settings; }

std::vector<IdentityRun> runs()
{
    const std::vector<std::string> jpegWebp{"jpeg", "webp"};
    std::vector<IdentityRun> table{
        {"default", "", "", kFormats, {}},
        {"long-side-37", "", "--long-side 37", kFormats, {}},
        {"q40-1x1", "", "-q 40 --sampling 1x1", jpegWebp, kPixelKinds},
        {"max-kb-1", "", "--max-kb 1", jpegWebp, kSizeTarget},
        {"q95-2x2-max-kb-2", "", "-q 95 --sampling 2x2 --max-kb 2", jpegWebp, kSizeTarget},
        {"height-29", "", "--height 29", {"bmp", "png", "gif"}, kPixelKinds},
        {"width-200", "", "--width 200", {"png", "jpeg"}, kFew},
        {"ini-q60-s2-width50", "Quality=60\r\nSampling=2\r\nResize=1\r\nRszOpt=0\r\nRszSize=50\r\n", "",
         {"jpeg", "webp", "gif"}, kPixelKinds},
        {"ini-limit3-long40", "Limit=1\r\nLmtVal=3\r\nResize=1\r\nRszOpt=2\r\nRszSize=40\r\n", "", jpegWebp, kFew},
        {"ini-height20-no-resize", "Resize=1\r\nRszOpt=1\r\nRszSize=20\r\n", "--no-resize", {"png", "jpeg"},
         kFew},
        {"ini-q30-option-q70", "Quality=30\r\nSampling=2\r\n", "-q 70 --sampling 2x2", jpegWebp, kFew},
    };
    // Each DrctCvt value choosing the format, under a quality and size target
    // that the JPEG and WebP writers take and the others ignore.
    const std::vector<std::string> byValue{"bmp", "png", "jpeg", "gif", "recode", "webp"};
    for (std::size_t i = 0; i < byValue.size(); ++i) {
        const std::string value = std::to_string(i + 1);
        table.push_back({"ini-drctcvt" + value + "-q85-lmt2",
                         "DrctCvt=" + value + "\r\nQuality=85\r\nLimit=1\r\nLmtVal=2\r\n", "", {byValue[i]}, kFew,
                         true});
    }
    return table;
}

fs::path identityFolder()
{
    return fs::absolute(fs::path(__FILE__).parent_path() / "data" / "identity").lexically_normal();
}
fs::path listingPath() { return identityFolder() / "hashes.txt"; }

std::vector<std::string> allInputs()
{
    std::vector<std::string> names = test::listFolder(identityFolder());
    std::erase(names, listingPath().filename().string());
    return names;
}

bool writingListing()
{
    const char* write = std::getenv("VRELK_WRITE_IDENTITY_HASHES");
    return write && std::string(write) == "1";
}

// Listing lines keyed by "input format settings"; the value is the hash and
// the output's name, or "skipped: <reason>".
using Listing = std::map<std::string, std::string>;

std::string settingsOf(const std::string& key) { return key.substr(key.rfind(' ') + 1); }

Listing readListing(const std::string& text)
{
    Listing listing;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t end = line.find(' ');  // after the third field
        for (int field = 1; field < 3 && end != std::string::npos; ++field)
            end = line.find(' ', end + 1);
        if (end == std::string::npos)
            ADD_FAILURE() << "listing line without a value: " << line;
        else
            listing[line.substr(0, end)] = line.substr(end + 1);
    }
    return listing;
}

std::string listingText(const Listing& listing)
{
    std::string text = "# input format settings: sha256 and output name, or skipped: reason"
                       " (tests/test_output_identity.cpp)\n";
    for (const auto& [key, value] : listing)
        text += key + " " + value + "\n";
    return text;
}

// A string field of one JSON report line; nullopt for null or no field.
// The report escapes only what our names and reasons do not contain.
std::optional<std::string> jsonField(const std::string& line, const std::string& name)
{
    const std::string marker = "\"" + name + "\":";
    std::size_t at = line.find(marker);
    if (at == std::string::npos || line.compare(at + marker.size(), 1, "\"") != 0)
        return std::nullopt;
    std::string value;
    for (std::size_t i = at + marker.size() + 1; i < line.size() && line[i] != '"'; ++i)
        value += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
    return value;
}

std::string hashOfFile(const fs::path& path)
{
    const std::string bytes = test::readText(path);
    return test::sha256Hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::string commandLine(const IdentityRun& run, const std::string& format, const fs::path& out,
                        const std::vector<std::string>& inputs)
{
    std::string line = run.formatFromSettings ? "" : "-f " + format + " ";
    line += run.options + " -j 1 --quiet --report=json -o " + quoted(out) + " --";
    for (const std::string& input : inputs)
        line += " " + quoted(identityFolder() / input);
    return line;
}

// Runs vrelk once for one format of a run and adds a line per input.
void convertAll(const IdentityRun& run, const std::string& format, const CliInstall& cli, Listing& listing)
{
    const std::vector<std::string> inputs = run.inputs.empty() ? allInputs() : run.inputs;
    const fs::path out = cli.root() / ("out-" + format);
    fs::create_directory(out);
    const auto result = cli.run(commandLine(run, format, out, inputs));
    const std::string context = run.settings + " " + format;
    EXPECT_TRUE(result.status == 0 || result.status == 1)
        << context << ": exit " << result.status << "\n" << result.output;
    EXPECT_EQ(result.output.find("Sanitizer"), std::string::npos) << context << "\n" << result.output;
    EXPECT_EQ(result.output.find("runtime error"), std::string::npos) << context << "\n" << result.output;

    std::map<std::string, std::string> outcome;  // by input name
    std::set<std::string> written;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const auto input = jsonField(line, "input");
        if (line.rfind("{\"input\":", 0) != 0 || !input)
            continue;
        const std::string name = fs::path(*input).filename().string();
        if (const auto output = jsonField(line, "output"); jsonField(line, "status") == "converted" && output) {
            outcome[name] = hashOfFile(*output) + " " + fs::path(*output).filename().string();
            written.insert(fs::path(*output).filename().string());
        } else {
            outcome[name] = "skipped: " + jsonField(line, "reason").value_or("(none given)");
        }
    }
    for (const std::string& input : inputs) {
        EXPECT_TRUE(fs::exists(identityFolder() / input)) << input << " is not among the identity inputs";
        const auto found = outcome.find(input);
        listing[input + " " + format + " " + run.settings] =
            found == outcome.end() ? "missing from the report" : found->second;
    }
    for (const std::string& name : test::listFolder(out))
        EXPECT_TRUE(written.count(name)) << context << ": " << name << " written but not reported";
}

// Holds the identity folder locked while one run rewrites its lines, as
// the runs are separate tests that ctest may start at once.
class FolderLock {
public:
    explicit FolderLock(const fs::path& folder) : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY))
    {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_;
};

void writeRunLines(const std::string& settings, const Listing& produced)
{
    FolderLock lock(identityFolder());
    Listing listing = readListing(test::readText(listingPath()));
    std::erase_if(listing, [&](const auto& line) { return settingsOf(line.first) == settings; });
    listing.insert(produced.begin(), produced.end());
    test::writeText(listingPath(), listingText(listing));
}

void compareRunLines(const std::string& settings, const Listing& produced)
{
    Listing listed = readListing(test::readText(listingPath()));
    std::erase_if(listed, [&](const auto& line) { return settingsOf(line.first) != settings; });
    int differing = 0;
    for (const auto& [key, value] : produced) {
        const auto found = listed.find(key);
        if (found == listed.end() || found->second != value) {
            ++differing;
            ADD_FAILURE() << key << "\n  listed: " << (found == listed.end() ? "(not listed)" : found->second)
                          << "\n  now:    " << value;
        }
    }
    for (const auto& [key, value] : listed)
        if (!produced.count(key)) {
            ++differing;
            ADD_FAILURE() << key << "\n  listed: " << value << "\n  now:    (no longer a case)";
        }
    EXPECT_EQ(differing, 0) << "cases of " << settings << " that differ from " << listingPath().string()
                            << "; when the change is meant, rerun with VRELK_WRITE_IDENTITY_HASHES=1";
}

class OutputIdentity : public testing::TestWithParam<IdentityRun> {};

TEST_P(OutputIdentity, EveryOutputAndRefusalMatchesTheListing)
{
    const IdentityRun& run = GetParam();
    if (writingListing() && test::referenceToolsRequired())
        FAIL() << "CI compares the listing; VRELK_WRITE_IDENTITY_HASHES is for a developer's machine";
    CliInstall cli(run.iniKeys);
    Listing produced;
    for (const std::string& format : run.formats)
        convertAll(run, format, cli, produced);
    if (writingListing())
        writeRunLines(run.settings, produced);
    else
        compareRunLines(run.settings, produced);
}

std::string runName(const testing::TestParamInfo<IdentityRun>& info)
{
    std::string name = info.param.settings;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Runs, OutputIdentity, testing::ValuesIn(runs()), runName);

TEST(OutputIdentityListing, NamesOnlyRunsOfTheTableAndEveryInput)
{
    if (writingListing())
        GTEST_SKIP() << "the runs are rewriting the listing";
    std::set<std::string> known;
    for (const IdentityRun& run : runs())
        EXPECT_TRUE(known.insert(run.settings).second) << run.settings << " names two runs";
    std::set<std::string> defaultInputs;
    for (const auto& [key, value] : readListing(test::readText(listingPath()))) {
        EXPECT_TRUE(known.count(settingsOf(key))) << key << ": no such run; rewrite the listing";
        if (settingsOf(key) == "default")
            defaultInputs.insert(key.substr(0, key.find(' ')));
    }
    const std::vector<std::string> inputs = allInputs();
    EXPECT_EQ(std::vector<std::string>(defaultInputs.begin(), defaultInputs.end()), inputs);
    std::uintmax_t total = 0;
    for (const std::string& input : inputs)
        total += fs::file_size(identityFolder() / input);
    EXPECT_LT(total, 400u * 1024) << "the inputs are meant to stay small";
}

// The hashes against the published examples and against sha256sum, at
// every length around the block and padding boundaries.
TEST(Sha256, AgreesWithTheStandardAndWithSha256sum)
{
    const std::string million(1000000, 'a');
    const std::vector<std::pair<std::string, std::string>> examples{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [text, hash] : examples)
        EXPECT_EQ(test::sha256Hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), hash)
            << text.size() << " bytes";

    test::ScratchFolder folder;
    std::string bytes;
    std::string names;
    for (int length = 0; length <= 130; ++length) {
        const std::string name = "len" + std::to_string(length);
        test::writeText(folder / name, bytes);
        names += " " + name;
        bytes += static_cast<char>(length * 89 + 7);
    }
    const auto reference = test::runCommand("cd " + quoted(folder.path()) + " && sha256sum" + names);
    ASSERT_EQ(reference.status, 0) << reference.output;
    std::istringstream lines(reference.output);
    int checked = 0;
    for (std::string hash, name; lines >> hash >> name; ++checked)
        EXPECT_EQ(hashOfFile(folder / name), hash) << name;
    EXPECT_EQ(checked, 131);
}

}  // namespace
}  // namespace vrelk
