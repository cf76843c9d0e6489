#!/usr/bin/env bash
# Whole-program GIF timings:
#   a 12-megapixel photo-like picture (24-bit BMP) -> GIF of 256 colours with
#   Floyd-Steinberg diffusion, against ImageMagick and GraphicsMagick doing
#   the same, with each output's size and PSNR against the picture;
#   a 1000 x 750 GIF -> BMP against Pillow and GraphicsMagick.
#
#   bench/gif_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/to-gif" "$work/to-bmp" "$work/out" "$work/other"
cp "$build/vrelk" "$work/to-gif/vrelk"
cp "$build/vrelk" "$work/to-bmp/vrelk"
printf '[SImg]\r\nDrctCvt=4\r\nOutDir=%s\r\n' "$work/out" >"$work/to-gif/Vrelk.ini"
printf '[SImg]\r\nDrctCvt=1\r\nOutDir=%s\r\n' "$work/out" >"$work/to-bmp/Vrelk.ini"

echo "making a 4000 x 3000 photo-like picture and a 1000 x 750 GIF"
/usr/bin/python3 - "$work" <<'PY'
import sys
import numpy as np
from PIL import Image
def picture(w, h, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float32) * (4000 / w)
    r = 128 + 100 * np.sin(x / 530) * np.cos(y / 410)
    g = 128 + 90 * np.sin((x + y) / 700)
    b = 128 + 110 * np.cos(x / 900 - y / 350)
    p = np.stack([r, g, b], axis=-1) + rng.normal(0, 6, (h, w, 3))
    return Image.fromarray(np.clip(p, 0, 255).astype(np.uint8), "RGB")
picture(4000, 3000, 1).save(sys.argv[1] + "/photo.bmp")
small = picture(1000, 750, 2).quantize(256, dither=Image.Dither.FLOYDSTEINBERG)
small.save(sys.argv[1] + "/small.gif")
PY

clean="rm -f $work/out/* $work/other/*"
export TMPDIR="$work"
hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/times.json" \
    -n "vrelk BMP->GIF" "$work/to-gif/vrelk $work/photo.bmp" \
    -n "convert BMP->GIF" "/usr/bin/convert $work/photo.bmp -dither FloydSteinberg -colors 256 $work/other/im.gif" \
    -n "gm BMP->GIF" "/usr/bin/gm convert $work/photo.bmp -dither -colors 256 $work/other/gm.gif" \
    -n "vrelk GIF->BMP" "$work/to-bmp/vrelk $work/small.gif" \
    -n "Pillow GIF->BMP" "/usr/bin/python3 -c \"from PIL import Image; Image.open('$work/small.gif').save('$work/other/pil.bmp')\"" \
    -n "gm GIF->BMP" "/usr/bin/gm convert $work/small.gif BMP3:$work/other/gm.bmp"

# The outputs once more, for their sizes and PSNR.
$clean
"$work/to-gif/vrelk" "$work/photo.bmp" >/dev/null
/usr/bin/convert "$work/photo.bmp" -dither FloydSteinberg -colors 256 "$work/other/im.gif"
/usr/bin/gm convert "$work/photo.bmp" -dither -colors 256 "$work/other/gm.gif"
psnr() { /usr/bin/compare -metric PSNR "$work/photo.bmp" "$1" null: 2>&1 || true; }

/usr/bin/python3 - "$work/times.json" <<PY
import json, os
times = {r["command"]: r["median"] * 1000 for r in json.load(open("$work/times.json"))["results"]}
print()
for name, ms in times.items():
    print(f"{name:18s} {ms:9.1f} ms (median)")
print()
outputs = {"vrelk": "$work/out/photo.gif", "ImageMagick": "$work/other/im.gif", "GraphicsMagick": "$work/other/gm.gif"}
psnr = {"vrelk": "$(psnr "$work/out/photo.gif")", "ImageMagick": "$(psnr "$work/other/im.gif")",
        "GraphicsMagick": "$(psnr "$work/other/gm.gif")"}
for name, path in outputs.items():
    print(f"{name:15s} GIF {os.path.getsize(path):10d} bytes  PSNR {psnr[name]} dB")
print()
print(f"BMP->GIF  vrelk / ImageMagick:    {times['vrelk BMP->GIF'] / times['convert BMP->GIF']:.2f}  (aim: below 1)")
print(f"BMP->GIF  vrelk / GraphicsMagick: {times['vrelk BMP->GIF'] / times['gm BMP->GIF']:.2f}  (aim: below 1)")
print(f"GIF->BMP  vrelk / Pillow:         {times['vrelk GIF->BMP'] / times['Pillow GIF->BMP']:.2f}  (aim: below 1)")
print(f"GIF->BMP  vrelk / GraphicsMagick: {times['vrelk GIF->BMP'] / times['gm GIF->BMP']:.2f}  (aim: below 1)")
PY
