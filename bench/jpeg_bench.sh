#!/usr/bin/env bash
# Times the JPEG paths of the vrelk program on a 12-megapixel photo-like
# JPEG against djpeg/cjpeg of the same libjpeg-turbo and ImageMagick.
#
#   bench/jpeg_bench.sh [Release build folder]   (default: build/bench, made here)
#
# Floor: within 1.1x of djpeg/cjpeg. Aim: faster than ImageMagick.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-7}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/djpeg /usr/bin/cjpeg /usr/bin/convert /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/temp"

/usr/bin/python3 - "$work/photo.jpg" <<'PY'
import sys
import numpy as np
from PIL import Image
height, width = 3000, 4000
y, x = np.mgrid[0:height, 0:width].astype(np.float32)
rng = np.random.default_rng(7)
picture = np.stack([
    128 + 100 * np.sin(x / 310) * np.cos(y / 270),
    128 + 90 * np.sin((x + y) / 190),
    128 + 80 * np.cos(x / 120 - y / 330),
], -1) + rng.normal(0, 12, (height, width, 3))
Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8)).save(sys.argv[1], quality=90)
PY

# One installation per output type, writing into the shared output folder.
install() {
    mkdir -p "$work/$1"
    cp "$build/vrelk" "$work/$1/vrelk"
    printf '[SImg]\r\nDrctCvt=%s\r\nQuality=75\r\nSampling=0\r\nOutDir=%s\r\n' "$2" "$work/out" >"$work/$1/Vrelk.ini"
}
install jpeg 3
install bmp 1

in="$work/photo.jpg"
out="$work/out"
export TMPDIR="$work/temp"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "vrelk jpeg->jpeg q75" "$work/jpeg/vrelk $in" \
    -n "djpeg|cjpeg q75" "/usr/bin/djpeg $in | /usr/bin/cjpeg -quality 75 -optimize -sample 2x2 >$out/c.jpg" \
    -n "convert jpeg->jpeg q75" "/usr/bin/convert $in -quality 75 $out/m.jpg" \
    -n "vrelk jpeg->bmp" "$work/bmp/vrelk $in" \
    -n "djpeg -bmp" "/usr/bin/djpeg -bmp -outfile $out/d.bmp $in" \
    -n "convert jpeg->bmp" "/usr/bin/convert $in $out/m.bmp"

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
def line(ours, other):
    print(f"{ours} / {other}: {times[ours] / times[other]:.2f}x  ({times[ours]*1000:.0f} ms vs {times[other]*1000:.0f} ms)")
print()
line("vrelk jpeg->jpeg q75", "djpeg|cjpeg q75")
line("vrelk jpeg->jpeg q75", "convert jpeg->jpeg q75")
line("vrelk jpeg->bmp", "djpeg -bmp")
line("vrelk jpeg->bmp", "convert jpeg->bmp")
PY
