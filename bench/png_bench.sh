#!/usr/bin/env bash
# Whole-program PNG timings on a 12-megapixel photo-like picture:
#   PNG -> BMP and 24-bit PNG -> PNG against ImageMagick doing the same,
#   BMP -> PNG against one raw zlib deflate (level 9) of the rows the
#   writer filtered, which is as fast as this writer can be.
#
#   bench/png_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/to-bmp" "$work/to-png" "$work/out" "$work/im"
for target in to-bmp to-png; do
    cp "$build/vrelk" "$work/$target/vrelk"
done
printf '[SImg]\r\nDrctCvt=1\r\nOutDir=%s\r\n' "$work/out" >"$work/to-bmp/Vrelk.ini"
printf '[SImg]\r\nDrctCvt=2\r\nOutDir=%s\r\n' "$work/out" >"$work/to-png/Vrelk.ini"

echo "making a 4000 x 3000 photo-like picture"
/usr/bin/python3 - "$work" <<'PY'
import sys
import numpy as np
from PIL import Image
w, h = 4000, 3000
rng = np.random.default_rng(1)
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
r = 128 + 100 * np.sin(x / 530) * np.cos(y / 410)
g = 128 + 90 * np.sin((x + y) / 700)
b = 128 + 110 * np.cos(x / 900 - y / 350)
picture = np.stack([r, g, b], axis=-1) + rng.normal(0, 6, (h, w, 3))
picture = np.clip(picture, 0, 255).astype(np.uint8)
Image.fromarray(picture, "RGB").save(sys.argv[1] + "/photo.png")
Image.fromarray(picture, "RGB").save(sys.argv[1] + "/photo.bmp")
PY

clean="rm -f $work/out/* $work/im/*"
export TMPDIR="$work"
hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/times.json" \
    -n "vrelk PNG->BMP" "$work/to-bmp/vrelk $work/photo.png" \
    -n "convert PNG->BMP" "/usr/bin/convert $work/photo.png BMP3:$work/im/photo.bmp" \
    -n "vrelk PNG->PNG" "$work/to-png/vrelk $work/photo.png" \
    -n "convert PNG->PNG" "/usr/bin/convert $work/photo.png $work/im/photo.png" \
    -n "vrelk BMP->PNG" "$work/to-png/vrelk $work/photo.bmp"

# The floor: the filtered rows of the writer's own output, deflated once.
$clean
"$work/to-png/vrelk" "$work/photo.bmp" >/dev/null
VRELK_FLOOR_PNG="$work/out/photo.png" VRELK_FLOOR_BMP="$work/photo.bmp" "$build/png_deflate_floor" \
    --benchmark_format=json >"$work/floor.json"

/usr/bin/python3 - "$work/times.json" "$work/floor.json" "$work/photo.png" "$work/out/photo.png" <<'PY'
import json, os, sys
times = {r["command"]: r["median"] * 1000 for r in json.load(open(sys.argv[1]))["results"]}
kernels = {b["name"].split("/")[0]: b["real_time"] for b in json.load(open(sys.argv[2]))["benchmarks"]}
floor = kernels["DeflateFloor"]
writer = kernels["WriterWhole"]
print()
for name, ms in times.items():
    print(f"{name:20s} {ms:9.1f} ms (median)")
print(f"{'raw deflate floor':20s} {floor:9.1f} ms")
print(f"{'writer, in memory':20s} {writer:9.1f} ms")
print()
print(f"PNG->BMP  vrelk / ImageMagick: {times['vrelk PNG->BMP'] / times['convert PNG->BMP']:.2f}")
print(f"PNG->PNG  vrelk / ImageMagick: {times['vrelk PNG->PNG'] / times['convert PNG->PNG']:.2f}")
print(f"writer / raw deflate:          {writer / floor:.3f}  (aim: at most 1.15)")
print(f"BMP->PNG  vrelk / raw deflate: {times['vrelk BMP->PNG'] / floor:.3f}  (whole program, for reference)")
print(f"input {os.path.getsize(sys.argv[3])} bytes, vrelk PNG {os.path.getsize(sys.argv[4])} bytes")
PY
