// The PNG writer against its compressors, on the filtered rows of PNGs the
// writer made:
// - benchmarks: one zlib deflate at level 9, memory level 9 (what the
//   writer used to do and every zlib-based peer does at its maximum), one
//   libdeflate call at the writer's level, and the writer itself turning
//   the same picture, already in memory, into a file;
// - `--levels a.png b.png ...`: the level table, size and time of every
//   libdeflate level against zlib level 9 on each file's rows.
//
//   VRELK_FLOOR_PNG=<file written by vrelk> VRELK_FLOOR_BMP=<its source> png_deflate_floor
//   png_deflate_floor --levels <files written by vrelk>
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/files.h"
#include "codecs/png.h"

namespace {

std::vector<std::uint8_t> gFiltered;
int gStrategy = Z_FILTERED;

bool loadFilteredRows(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> compressed;
    std::uint64_t rawSize = 0;
    for (std::size_t pos = 8; pos + 12 <= file.size();) {
        std::uint32_t length = std::uint32_t{file[pos]} << 24 | file[pos + 1] << 16 | file[pos + 2] << 8 | file[pos + 3];
        const std::uint8_t* type = &file[pos + 4];
        const std::uint8_t* data = &file[pos + 8];
        if (std::equal(type, type + 4, "IHDR")) {
            std::uint64_t width = std::uint64_t{data[0]} << 24 | data[1] << 16 | data[2] << 8 | data[3];
            std::uint64_t height = std::uint64_t{data[4]} << 24 | data[5] << 16 | data[6] << 8 | data[7];
            int colourType = data[9];
            gStrategy = colourType == 2 ? Z_FILTERED : Z_DEFAULT_STRATEGY;
            rawSize = (width * (colourType == 2 ? 3 : 1) + 1) * height;
        }
        if (std::equal(type, type + 4, "IDAT"))
            compressed.insert(compressed.end(), data, data + length);
        pos += 12 + length;
    }
    gFiltered.resize(rawSize);
    uLongf size = static_cast<uLongf>(rawSize);
    return uncompress(gFiltered.data(), &size, compressed.data(), static_cast<uLong>(compressed.size())) == Z_OK &&
           size == rawSize;
}

std::size_t zlibLevel9(std::vector<std::uint8_t>& out)
{
    out.resize(deflateBound(nullptr, static_cast<uLong>(gFiltered.size())) + 1024);
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 15, 9, gStrategy);
    stream.next_in = gFiltered.data();
    stream.avail_in = static_cast<uInt>(gFiltered.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    return stream.total_out;
}

std::size_t libdeflateLevel(int level, std::vector<std::uint8_t>& out)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    out.resize(libdeflate_zlib_compress_bound(compressor, gFiltered.size()));
    std::size_t size = libdeflate_zlib_compress(compressor, gFiltered.data(), gFiltered.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    return size;
}

void DeflateFloor(benchmark::State& state)
{
    std::vector<std::uint8_t> out;
    for (auto _ : state)
        benchmark::DoNotOptimize(zlibLevel9(out));
    state.counters["bytes"] = static_cast<double>(zlibLevel9(out));
}
BENCHMARK(DeflateFloor)->Unit(benchmark::kMillisecond)->Iterations(3);

void LibdeflateAtWriterLevel(benchmark::State& state)
{
    std::vector<std::uint8_t> out;
    const int level = vrelk::PngWriter().compressionLevel;
    for (auto _ : state)
        benchmark::DoNotOptimize(libdeflateLevel(level, out));
    state.counters["bytes"] = static_cast<double>(libdeflateLevel(level, out));
    state.counters["level"] = level;
}
BENCHMARK(LibdeflateAtWriterLevel)->Unit(benchmark::kMillisecond)->Iterations(3);

void WriterWhole(benchmark::State& state)
{
    const char* source = std::getenv("VRELK_FLOOR_BMP");
    auto input = source ? vrelk::InputFile::read(source) : vrelk::Result<vrelk::InputFile>(vrelk::CodecError::cannotOpen);
    auto image = input ? vrelk::ReadBmp(input->cursor()) : vrelk::Result<vrelk::Picture>(input.error());
    if (!image) {
        state.SkipWithError("VRELK_FLOOR_BMP does not name a readable bitmap");
        return;
    }
    const auto output = std::filesystem::temp_directory_path() / "png_writer_bench.png";
    const vrelk::ImageView view = vrelk::viewOf(*image);
    for (auto _ : state) {
        if (!vrelk::WritePng(view, output))
            state.SkipWithError("the writer failed");
    }
    std::filesystem::remove(output);
}
BENCHMARK(WriterWhole)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

double secondsOf(auto&& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One line per file and level: size and time relative to zlib level 9.
int printLevelTable(int count, char** files)
{
    std::printf("%-28s %5s %12s %9s %8s %8s\n", "file", "level", "bytes", "ms", "size", "time");
    std::vector<std::uint8_t> out;
    for (int f = 0; f < count; ++f) {
        if (!loadFilteredRows(files[f]))
            return 2;
        const char* name = std::strrchr(files[f], '/') ? std::strrchr(files[f], '/') + 1 : files[f];
        std::size_t zlibSize = 0;
        const double zlibTime = secondsOf([&] { zlibSize = zlibLevel9(out); });
        std::printf("%-28s %5s %12zu %9.1f %8s %8s\n", name, "zlib9", zlibSize, zlibTime * 1000, "1.000", "1.000");
        for (int level = 1; level <= 12; ++level) {
            std::size_t size = 0;
            const double time = secondsOf([&] { size = libdeflateLevel(level, out); });
            std::printf("%-28s %5d %12zu %9.1f %8.3f %8.3f%s\n", name, level, size, time * 1000,
                        static_cast<double>(size) / static_cast<double>(zlibSize), time / zlibTime,
                        size <= zlibSize ? "" : "  larger");
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--levels") == 0)
        return printLevelTable(argc - 2, argv + 2);
    const char* path = std::getenv("VRELK_FLOOR_PNG");
    if (!path || !loadFilteredRows(path))
        return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
