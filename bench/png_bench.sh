#!/usr/bin/env bash
# Whole-program PNG timings, all in one run:
#   - a 12-megapixel photo (a camera-like picture, decoded from a JPEG) and a
#     1000 x 750 screenshot written as PNG by vrelk, ImageMagick and
#     GraphicsMagick at their maximum compression (zlib level 9, adaptive
#     filters), with sizes;
#   - the photo's filtered rows compressed by zlib at level 9, memory level 9
#     (what the writer did before it used libdeflate: the old floor) and by
#     libdeflate at the writer's level, and the writer alone in memory;
#   - the level table: every libdeflate level against zlib level 9 on the
#     rows of the photo, the screenshot and a palette image;
#   - PNG -> BMP of the photo against ImageMagick.
#
#   bench/png_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-3}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/convert /usr/bin/gm /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/to-bmp" "$work/to-png" "$work/out" "$work/peers"
for target in to-bmp to-png; do
    cp "$build/vrelk" "$work/$target/vrelk"
done
printf '[SImg]\r\nDrctCvt=1\r\nOutDir=%s\r\n' "$work/out" >"$work/to-bmp/Vrelk.ini"
printf '[SImg]\r\nDrctCvt=2\r\nOutDir=%s\r\n' "$work/out" >"$work/to-png/Vrelk.ini"

echo "making a 4000 x 3000 photo, a 1000 x 750 screenshot and a palette image"
/usr/bin/python3 - "$work" <<'PY'
import io, sys
import numpy as np
from PIL import Image, ImageDraw, ImageFont
folder = sys.argv[1]
rng = np.random.default_rng(1)

# Smooth shading, fine texture and mild sensor noise, through a JPEG at
# quality 92 as a camera would deliver it.
w, h = 4000, 3000
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
texture = 12 * np.sin(x / 7 + 3 * np.sin(y / 23)) * np.cos(y / 11)
picture = np.stack([128 + 100 * np.sin(x / 530) * np.cos(y / 410) + texture,
                    128 + 90 * np.sin((x + y) / 700) + texture,
                    128 + 110 * np.cos(x / 900 - y / 350) - texture], axis=-1) + rng.normal(0, 2, (h, w, 3))
camera = io.BytesIO()
Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8), "RGB").save(camera, "JPEG", quality=92)
photo = Image.open(camera).convert("RGB")
photo.save(folder + "/photo.bmp")
photo.save(folder + "/photo.png", compress_level=1)

# A file manager window: gradient title bar, anti-aliased text, icons and
# a photo thumbnail, far more than 256 colours.
def font(size):
    try:
        return ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", size)
    except OSError:
        return ImageFont.load_default()
shot = Image.new("RGB", (1000, 750), (243, 243, 243))
d = ImageDraw.Draw(shot)
for i in range(32):
    d.line([(0, i), (999, i)], fill=(30 + i * 3, 70 + i * 2, 150 + i))
d.text((12, 7), "Documents - File Manager", font=font(14), fill=(255, 255, 255))
d.rectangle([0, 32, 199, 749], fill=(250, 250, 252))
for i in range(38):
    d.rounded_rectangle([8, 40 + i * 18, 20, 52 + i * 18], 3, fill=(220, 180 - i * 2, 60 + i * 4))
    d.text((26, 39 + i * 18), f"Folder {i:02d} archive", font=font(12), fill=(30, 30, 60))
d.rectangle([210, 42, 989, 739], fill=(255, 255, 255), outline=(180, 180, 190))
words = ["image", "convert", "the", "quality", "of", "file", "size", "batch", "output", "folder", "settings"]
for row in range(40):
    d.text((222, 300 + row * 11), " ".join(words[int(k)] for k in rng.integers(0, len(words), 9)), font=font(10),
           fill=(20, 20, 30))
ty, tx = np.mgrid[0:240, 0:360].astype(np.float32)
thumb = np.stack([120 + 90 * np.sin(tx / 40) * np.cos(ty / 30), 110 + 80 * np.sin((tx + ty) / 60),
                  130 + 100 * np.cos(tx / 70 - ty / 25)], -1) + rng.normal(0, 2, (240, 360, 3))
shot.paste(Image.fromarray(np.clip(thumb, 0, 255).astype(np.uint8)), (230, 50))
shot.save(folder + "/screenshot.bmp")

photo.crop((1000, 750, 2000, 1500)).quantize(256).save(folder + "/palette.png")
PY

clean="rm -f $work/out/* $work/peers/*"
export TMPDIR="$work"
im="/usr/bin/convert"
gm="/usr/bin/gm convert"
hyperfine --style basic --runs "$runs" --prepare "$clean" --export-json "$work/photo.json" \
    -n "vrelk" "$work/to-png/vrelk $work/photo.bmp" \
    -n "ImageMagick" "$im $work/photo.bmp -quality 95 $work/peers/im.png" \
    -n "GraphicsMagick" "$gm $work/photo.bmp -quality 95 $work/peers/gm.png"
hyperfine --style basic --runs 10 --warmup 2 --prepare "$clean" --export-json "$work/screenshot.json" \
    -n "vrelk" "$work/to-png/vrelk $work/screenshot.bmp" \
    -n "ImageMagick" "$im $work/screenshot.bmp -quality 95 $work/peers/im.png" \
    -n "GraphicsMagick" "$gm $work/screenshot.bmp -quality 95 $work/peers/gm.png"
hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/to-bmp.json" \
    -n "vrelk" "$work/to-bmp/vrelk $work/photo.png" \
    -n "ImageMagick" "$im $work/photo.png BMP3:$work/peers/im.bmp"

# Sizes, then the rows of our own files for the compressor measurements.
sizes() {
    $clean
    "$work/to-png/vrelk" "$1" >/dev/null
    $im "$1" -quality 95 "$work/peers/im.png"
    $gm "$1" -quality 95 "$work/peers/gm.png"
    echo "$(stat -c %s "$work/out/$2.png") $(stat -c %s "$work/peers/im.png") $(stat -c %s "$work/peers/gm.png")"
    cp "$work/out/$2.png" "$work/$2.vrelk.png"
}
photo_sizes="$(sizes "$work/photo.bmp" photo)"
screenshot_sizes="$(sizes "$work/screenshot.bmp" screenshot)"
$clean
"$work/to-png/vrelk" "$work/palette.png" >/dev/null
cp "$work/out/palette.png" "$work/palette.vrelk.png"

"$build/png_deflate_floor" --levels "$work/photo.vrelk.png" "$work/screenshot.vrelk.png" "$work/palette.vrelk.png" \
    | tee "$work/levels.txt"
VRELK_FLOOR_PNG="$work/photo.vrelk.png" VRELK_FLOOR_BMP="$work/photo.bmp" "$build/png_deflate_floor" \
    --benchmark_filter='LibdeflateAtWriterLevel|WriterWhole' --benchmark_format=json >"$work/floor.json"

/usr/bin/python3 - "$work" "$photo_sizes" "$screenshot_sizes" <<'PY'
import json, sys
work, photo_sizes, shot_sizes = sys.argv[1], sys.argv[2].split(), sys.argv[3].split()
def times(name):
    return {r["command"]: r["median"] * 1000 for r in json.load(open(f"{work}/{name}.json"))["results"]}
kernels = {b["name"].split("/")[0]: b for b in json.load(open(f"{work}/floor.json"))["benchmarks"]}
zlib_floor = next(float(line.split()[3]) for line in open(f"{work}/levels.txt") if line.split()[:2] == ["photo.vrelk.png", "zlib9"])
print()
for title, name, sizes, aim in (("12 MP photo -> PNG", "photo", photo_sizes, 0.5), ("screenshot -> PNG", "screenshot", shot_sizes, 1.0)):
    t = times(name)
    size = dict(zip(["vrelk", "ImageMagick", "GraphicsMagick"], map(int, sizes)))
    print(title)
    for tool, ms in t.items():
        print(f"  {tool:16s} {ms:9.1f} ms (median) {size[tool]:11d} bytes")
    fastest = min((ms, tool) for tool, ms in t.items() if tool != "vrelk")
    print(f"  vrelk / fastest peer ({fastest[1]}): time {t['vrelk'] / fastest[0]:.2f} (aim: at most {aim}),"
          f" size {size['vrelk'] / size[fastest[1]]:.3f} (aim: at most 1)")
    print(f"  vrelk size / smallest peer: {size['vrelk'] / min(size['ImageMagick'], size['GraphicsMagick']):.3f}")
level = kernels["LibdeflateAtWriterLevel"]
writer = kernels["WriterWhole"]["real_time"]
print("photo rows")
print(f"  zlib level 9 (old floor)   {zlib_floor:9.1f} ms")
print(f"  libdeflate level {int(level['level']):2d}       {level['real_time']:9.1f} ms  ({level['real_time'] / zlib_floor:.2f} of zlib)")
print(f"  writer, in memory          {writer:9.1f} ms  (writer / its compressor {writer / level['real_time']:.3f})")
print(f"  vrelk BMP->PNG / old floor {times('photo')['vrelk'] / zlib_floor:.3f}")
b = times("to-bmp")
print(f"photo PNG->BMP vrelk / ImageMagick: {b['vrelk'] / b['ImageMagick']:.2f} ({b['vrelk']:.0f} ms vs {b['ImageMagick']:.0f} ms)")
PY
