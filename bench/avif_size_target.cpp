// A photo aimed at a size as AVIF and as JPEG: how many encodes each
// search makes, what it writes and how long it takes.
//   avif_size_target <photo.jpg> <kilobytes> <output folder>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "codecs/avif.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"

namespace {

using namespace vrelk;

template <class Write>
void report(const char* format, const std::filesystem::path& path, Write write)
{
    SizeSearchRecord record;
    const auto start = std::chrono::steady_clock::now();
    const Status written = write(path, record);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // A quality asked for again is not encoded again.
    const std::set<std::int32_t> encoded(record.qualitiesTried.begin(), record.qualitiesTried.end());
    std::string tried;
    for (std::int32_t quality : record.qualitiesTried)
        tried += ' ' + std::to_string(quality);
    std::printf("%s: %s, %zu encodes (tried%s), written at %d, %ju bytes, %.1f s\n", format, written ? "ok" : "failed",
                encoded.size(), tried.c_str(), record.writtenQuality,
                static_cast<std::uintmax_t>(std::filesystem::file_size(path)), took.count());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    Result<InputFile> input = InputFile::read(argv[1]);
    if (!input)
        return 1;
    Result<Picture> photo = ReadJpeg(input->cursor());
    if (!photo)
        return 1;
    const ImageView view = viewOf(*photo);
    const std::int64_t limit = std::atoll(argv[2]) * 1024;
    const std::filesystem::path out = argv[3];
    // As one file of a batch on every core: the search's guesses and the
    // encoder's threads share the slots.
    platform::WorkerSlots slots(static_cast<int>(platform::processorCount()));
    platform::HeldWorkerSlot own(&slots);
    report("AVIF", out / "target.avif", [&](const std::filesystem::path& path, SizeSearchRecord& record) {
        return WriteAvifWithByteLimit(view, path, limit, &slots, &record);
    });
    JpegEncoding encoding = jpegEncoding(kDefaultQuality, 0);
    encoding.workers = &slots;
    report("JPEG", out / "target.jpg", [&](const std::filesystem::path& path, SizeSearchRecord& record) {
        return WriteJpegWithByteLimit(view, path, encoding, limit, &record);
    });
    return 0;
}
