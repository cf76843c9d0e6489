#!/usr/bin/env bash
# Whole-program GIF timings:
#   a 12-megapixel photo-like picture (24-bit BMP) -> GIF of 256 colours with
#   Floyd-Steinberg diffusion, against ImageMagick and GraphicsMagick doing
#   the same, with each output's size and PSNR against the picture;
#   a 1000 x 750 GIF -> BMP against Pillow and GraphicsMagick;
#   the photo and a 1000 x 750 screenshot (flat areas, anti-aliased text)
#   -> GIF against Pillow's median cut with Floyd-Steinberg diffusion.
# Aims: screenshot at most 1.0x Pillow, photo at most 0.8x.
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

from PIL import ImageDraw, ImageFont
def font(size):
    try:
        return ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", size)
    except OSError:
        return ImageFont.load_default()
rng = np.random.default_rng(3)
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
words = ["image", "convert", "the", "quality", "of", "file", "size", "batch", "output", "folder"]
for row in range(24):
    line = " ".join(words[(row * 7 + k) % len(words)] for k in range(12))
    d.text((230, 300 + row * 18), line, font=font(13), fill=(20, 20, 20))
ty, tx = np.mgrid[0:240, 0:360].astype(np.float32)
thumb = np.stack([120 + 90 * np.sin(tx / 40) * np.cos(ty / 30), 110 + 80 * np.sin((tx + ty) / 60),
                  130 + 100 * np.cos(tx / 70 - ty / 25)], -1) + rng.normal(0, 2, (240, 360, 3))
shot.paste(Image.fromarray(np.clip(thumb, 0, 255).astype(np.uint8)), (230, 50))
shot.save(sys.argv[1] + "/screenshot.bmp")
PY
pillow_gif() {
    echo "/usr/bin/python3 -c \"from PIL import Image; Image.open('$1').quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.FLOYDSTEINBERG).save('$2')\""
}

clean="rm -f $work/out/* $work/other/*"
export TMPDIR="$work"
hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/times.json" \
    -n "vrelk BMP->GIF" "$work/to-gif/vrelk $work/photo.bmp" \
    -n "convert BMP->GIF" "/usr/bin/convert $work/photo.bmp -dither FloydSteinberg -colors 256 $work/other/im.gif" \
    -n "gm BMP->GIF" "/usr/bin/gm convert $work/photo.bmp -dither -colors 256 $work/other/gm.gif" \
    -n "Pillow BMP->GIF" "$(pillow_gif "$work/photo.bmp" "$work/other/pil.gif")" \
    -n "vrelk screenshot->GIF" "$work/to-gif/vrelk $work/screenshot.bmp" \
    -n "Pillow screenshot->GIF" "$(pillow_gif "$work/screenshot.bmp" "$work/other/pil-shot.gif")" \
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
print(f"BMP->GIF  vrelk / Pillow:         {times['vrelk BMP->GIF'] / times['Pillow BMP->GIF']:.2f}  (aim: at most 0.8)")
print(f"screenshot->GIF vrelk / Pillow:   {times['vrelk screenshot->GIF'] / times['Pillow screenshot->GIF']:.2f}  (aim: at most 1.0)")
print(f"GIF->BMP  vrelk / Pillow:         {times['vrelk GIF->BMP'] / times['Pillow GIF->BMP']:.2f}  (aim: below 1)")
print(f"GIF->BMP  vrelk / GraphicsMagick: {times['vrelk GIF->BMP'] / times['gm GIF->BMP']:.2f}  (aim: below 1)")
PY
