#!/usr/bin/env bash
# Whole-program timing of a 12-megapixel uncompressed RGB TIFF -> 24-bit BMP
# against ImageMagick and Pillow doing the same, in one hyperfine run.
#
#   bench/tiff_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/to-bmp" "$work/out" "$work/im" "$work/pil"
cp "$build/vrelk" "$work/to-bmp/vrelk"
printf '[SImg]\r\nDrctCvt=1\r\nOutDir=%s\r\n' "$work/out" >"$work/to-bmp/Vrelk.ini"

echo "making a 4000 x 3000 photo-like TIFF"
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
Image.fromarray(picture, "RGB").save(sys.argv[1] + "/photo.tif", compression=None)
PY

clean="rm -f $work/out/* $work/im/* $work/pil/*"
pillow="from PIL import Image; import sys; Image.open(sys.argv[1]).save(sys.argv[2])"
export TMPDIR="$work"
hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/times.json" \
    -n "vrelk TIFF->BMP" "$work/to-bmp/vrelk $work/photo.tif" \
    -n "convert TIFF->BMP" "/usr/bin/convert $work/photo.tif BMP3:$work/im/photo.bmp" \
    -n "Pillow TIFF->BMP" "/usr/bin/python3 -c '$pillow' $work/photo.tif $work/pil/photo.bmp"

# The three outputs must hold the same picture.
$clean
"$work/to-bmp/vrelk" "$work/photo.tif" >/dev/null
/usr/bin/convert "$work/photo.tif" "BMP3:$work/im/photo.bmp"
/usr/bin/python3 - "$work/times.json" "$work/photo.tif" "$work/out/photo.bmp" "$work/im/photo.bmp" <<'PY'
import json, sys
import numpy as np
from PIL import Image
times = {r["command"]: r["median"] * 1000 for r in json.load(open(sys.argv[1]))["results"]}
pictures = [np.asarray(Image.open(p).convert("RGB")) for p in sys.argv[2:5]]
print()
for name, ms in times.items():
    print(f"{name:20s} {ms:9.1f} ms (median)")
print()
print(f"vrelk / ImageMagick: {times['vrelk TIFF->BMP'] / times['convert TIFF->BMP']:.2f}")
print(f"vrelk / Pillow:      {times['vrelk TIFF->BMP'] / times['Pillow TIFF->BMP']:.2f}  (aim: below 1 for both)")
print("same picture as the input:", all(np.array_equal(pictures[0], p) for p in pictures[1:]))
PY
