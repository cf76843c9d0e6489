// The floor for the PNG writer: one zlib deflate, with the writer's
// settings, of the filtered rows of a PNG the writer made; and the writer
// itself turning the same picture, already in memory, into a file.
//
//   VRELK_FLOOR_PNG=<file written by vrelk> VRELK_FLOOR_BMP=<its source> png_deflate_floor
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

void DeflateFloor(benchmark::State& state)
{
    std::vector<std::uint8_t> out(deflateBound(nullptr, static_cast<uLong>(gFiltered.size())) + 1024);
    for (auto _ : state) {
        z_stream stream{};
        deflateInit2(&stream, 9, Z_DEFLATED, 15, 9, gStrategy);
        stream.next_in = gFiltered.data();
        stream.avail_in = static_cast<uInt>(gFiltered.size());
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FINISH);
        benchmark::DoNotOptimize(stream.total_out);
        deflateEnd(&stream);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * gFiltered.size()));
}
BENCHMARK(DeflateFloor)->Unit(benchmark::kMillisecond)->Iterations(3);

void WriterWhole(benchmark::State& state)
{
    const char* source = std::getenv("VRELK_FLOOR_BMP");
    auto input = source ? vrelk::InputFile::map(source) : vrelk::Result<vrelk::InputFile>(vrelk::CodecError::cannotOpen);
    auto image = input ? vrelk::ReadBmp(input->cursor()) : vrelk::Result<vrelk::DibImage>(input.error());
    if (!image) {
        state.SkipWithError("VRELK_FLOOR_BMP does not name a readable bitmap");
        return;
    }
    const auto output = std::filesystem::temp_directory_path() / "png_writer_bench.png";
    const vrelk::BitmapInfoHeader& h = image->header;
    const vrelk::ImageView view{h.biWidth, h.biHeight, h.biBitCount, &image->palette,
                                {image->pixels.data(), image->pixels.size()}};
    for (auto _ : state) {
        if (!vrelk::WritePng(view, output))
            state.SkipWithError("the writer failed");
    }
    std::filesystem::remove(output);
}
BENCHMARK(WriterWhole)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    const char* path = std::getenv("VRELK_FLOOR_PNG");
    if (!path || !loadFilteredRows(path))
        return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
