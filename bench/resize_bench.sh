#!/usr/bin/env bash
# A 12-megapixel JPEG reduced to long side 1000 and written as JPEG quality
# 75, timed with hyperfine against libvips (vipsthumbnail) and ImageMagick
# in the same run.
#   bench/resize_bench.sh [Release build folder]   (default: build/bench, made here)
# Aim: faster than ImageMagick, within 1.5 times libvips.
set -euo pipefail
python=/usr/bin/python3
magick=/usr/bin/convert
runs="${VRELK_BENCH_RUNS:-10}"

source "$(dirname "$0")/common.sh"
program="$build/vrelk"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/temp" "$work/out"
cp "$program" "$work/bin/vrelk"
printf '[SImg]\r\nDrctCvt=3\r\nQuality=75\r\nSampling=0\r\nResize=1\r\nRszOpt=2\r\nRszSize=1000\r\nOutDir=%s\r\n' \
    "$work/out" >"$work/bin/Vrelk.ini"

# Smooth colour fields with fine texture, so that the JPEG is photo-sized.
"$python" - "$work/photo.jpg" <<'EOF'
import sys
import numpy as np
from PIL import Image
h, w = 3000, 4000
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
rng = np.random.default_rng(3)
noise = rng.normal(0, 6, (h, w, 3)).astype(np.float32)
r = 128 + 90 * np.sin(x / 370) * np.cos(y / 290)
g = 128 + 90 * np.sin((x + y) / 510)
b = 128 + 90 * np.cos(x / 230 - y / 410)
rgb = np.stack([r, g, b], axis=-1) + noise
Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8)).save(sys.argv[1], quality=90)
EOF

vrelk_cmd="cd '$work' && TMPDIR='$work/temp' HOME='$work' '$work/bin/vrelk' '$work/photo.jpg'"
vips_cmd="/usr/bin/vipsthumbnail '$work/photo.jpg' --size 1000 -o '$work/out/vips.jpg[Q=75]'"
magick_cmd="$magick -define jpeg:size=2000x2000 '$work/photo.jpg' -resize 1000x1000 -quality 75 '$work/out/magick.jpg'"

# The program reads and writes JPEG only once those codecs are built in.
rm -f "$work/out"/*
bash -c "$vrelk_cmd" >/dev/null 2>&1 || true
if [ ! -f "$work/out/photo.jpg" ]; then
    echo "vrelk cannot convert JPEG to JPEG yet; timing the references only."
    hyperfine --warmup 2 --runs "$runs" -n vipsthumbnail "$vips_cmd" -n imagemagick "$magick_cmd"
    exit 0
fi
size="$("$python" -c 'import sys; from PIL import Image; print("%dx%d" % Image.open(sys.argv[1]).size)' "$work/out/photo.jpg")"
echo "vrelk output: $size"

hyperfine --warmup 2 --runs "$runs" --prepare "rm -f '$work/out'/*" --export-json "$work/times.json" \
    -n vrelk "$vrelk_cmd" -n vipsthumbnail "$vips_cmd" -n imagemagick "$magick_cmd"

"$python" - "$work/times.json" <<'EOF'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
vrelk = times["vrelk"]
vips = vrelk / times["vipsthumbnail"]
magick = vrelk / times["imagemagick"]
print(f"vrelk / vipsthumbnail: {vips:.2f}  (aim: at most 1.50)  {'ok' if vips <= 1.5 else 'MISSED'}")
print(f"vrelk / imagemagick:   {magick:.2f}  (aim: below 1.00)  {'ok' if magick < 1.0 else 'MISSED'}")
EOF
