#!/usr/bin/env bash
# Times the WebP paths of the vrelk program on a 12-megapixel photo-like
# picture, one thread each: WebP -> JPEG against dwebp|cjpeg, libvips and
# ImageMagick, and JPEG photo -> WebP against cwebp and libvips; all of
# them decode and encode WebP with the same libwebp. Then photo -> WebP
# as each runs by default (vrelk on every core, cwebp on one) and against
# cwebp -mt.
#
#   bench/webp_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/cwebp /usr/bin/dwebp /usr/bin/cjpeg /usr/bin/vips /usr/bin/convert /usr/bin/python3; do
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
/usr/bin/cwebp -quiet -q 90 "$work/photo.jpg" -o "$work/photo.webp"

# One installation per output type, writing into the shared output folder.
install() {
    mkdir -p "$work/$1"
    cp "$build/vrelk" "$work/$1/vrelk"
    printf '[SImg]\r\nDrctCvt=%s\r\nQuality=75\r\nSampling=0\r\nOutDir=%s\r\n' "$2" "$work/out" >"$work/$1/Vrelk.ini"
}
install jpeg 3
install webp 6

jpg="$work/photo.jpg"
webp="$work/photo.webp"
out="$work/out"
export TMPDIR="$work/temp" VIPS_CONCURRENCY=1 OMP_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "vrelk webp->jpeg q75" "$work/jpeg/vrelk -j 1 $webp" \
    -n "dwebp|cjpeg q75" "/usr/bin/dwebp -quiet $webp -ppm -o - | /usr/bin/cjpeg -quality 75 -optimize >$out/c.jpg" \
    -n "vips webp->jpeg q75" "/usr/bin/vips copy $webp $out/v.jpg[Q=75,optimize_coding]" \
    -n "convert webp->jpeg q75" "/usr/bin/convert $webp -quality 75 $out/m.jpg" \
    -n "vrelk jpeg->webp q75" "$work/webp/vrelk -j 1 $jpg" \
    -n "cwebp q75" "/usr/bin/cwebp -quiet -q 75 $jpg -o $out/c.webp" \
    -n "vips jpeg->webp q75" "/usr/bin/vips copy $jpg $out/v.webp[Q=75]" \
    -n "vrelk jpeg->webp q75, every core" "$work/webp/vrelk $jpg" \
    -n "cwebp -mt q75" "/usr/bin/cwebp -quiet -mt -q 75 $jpg -o $out/c.webp"

# Sizes of the WebP files each tool writes at quality 75.
rm -f "$out"/*
"$work/webp/vrelk" "$jpg"
mv "$out/photo.webp" "$work/every-core.webp"
"$work/webp/vrelk" -j 1 "$jpg"
cmp "$out/photo.webp" "$work/every-core.webp" && echo "vrelk writes the same WebP on every core as on one"
/usr/bin/cwebp -quiet -q 75 "$jpg" -o "$out/c.webp"
/usr/bin/vips copy "$jpg" "$out/v.webp[Q=75]"

/usr/bin/python3 - "$work/times.json" "$out" <<'PY'
import json, os, sys
results = json.load(open(sys.argv[1]))["results"]
times = {r["command"]: r["mean"] for r in results}
medians = {r["command"]: r["median"] for r in results}
def line(ours, other):
    print(f"{ours} / {other}: {times[ours] / times[other]:.2f}x  ({times[ours]*1000:.0f} ms vs {times[other]*1000:.0f} ms)"
          f"; medians {medians[ours] / medians[other]:.2f}x")
print()
for other in ("dwebp|cjpeg q75", "vips webp->jpeg q75", "convert webp->jpeg q75"):
    line("vrelk webp->jpeg q75", other)
for other in ("cwebp q75", "vips jpeg->webp q75"):
    line("vrelk jpeg->webp q75", other)
for other in ("cwebp q75", "cwebp -mt q75"):
    line("vrelk jpeg->webp q75, every core", other)
out = sys.argv[2]
sizes = {name: os.path.getsize(os.path.join(out, name)) for name in ("photo.webp", "c.webp", "v.webp")}
print(f"WebP sizes at q75: vrelk {sizes['photo.webp']} B, cwebp {sizes['c.webp']} B, vips {sizes['v.webp']} B")
PY
