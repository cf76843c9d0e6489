#!/usr/bin/env bash
# Times 12-megapixel LZW and Deflate TIFFs (as scanners and editors write
# them, through tiffcp) -> JPEG quality 75 against libvips and ImageMagick,
# all reading through libtiff and writing 4:2:0 JPEG with optimised Huffman
# tables as vrelk does, in one hyperfine run: each as it runs by default,
# on every core (vrelk decodes ranges of strips on the cores one file
# leaves free; vips encodes on a thread of its own while its workers
# decode), and each held to one core.
#
#   bench/tiff_compressed_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"
magick=/usr/local/bin/convert
[ -x "$magick" ] || magick=/usr/bin/convert

for tool in hyperfine taskset /usr/bin/tiffcp /usr/bin/vips "$magick" /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/temp" "$work/jpeg"

/usr/bin/python3 - "$work/plain.tif" <<'PY'
import sys
import numpy as np
from PIL import Image
height, width = 3000, 4000
y, x = np.mgrid[0:height, 0:width].astype(np.float32)
rng = np.random.default_rng(40)
picture = np.stack([
    128 + 100 * np.sin(x / 530) * np.cos(y / 410),
    128 + 90 * np.sin((x + y) / 700),
    128 + 110 * np.cos(x / 900 - y / 350),
], -1) + rng.normal(0, 6, (height, width, 3))
Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8)).save(sys.argv[1], compression=None)
PY
/usr/bin/tiffcp -c lzw "$work/plain.tif" "$work/lzw.tif"
/usr/bin/tiffcp -c zip "$work/plain.tif" "$work/zip.tif"

cp "$build/vrelk" "$work/jpeg/vrelk"
printf '[SImg]\r\nDrctCvt=3\r\nQuality=75\r\nSampling=0\r\nOutDir=%s\r\n' "$work/out" >"$work/jpeg/Vrelk.ini"
out="$work/out"
export TMPDIR="$work/temp"

commands=()
for kind in lzw zip; do
    in="$work/$kind.tif"
    commands+=(-n "vrelk $kind->jpeg" "$work/jpeg/vrelk $in"
               -n "vips $kind->jpeg" "/usr/bin/vips copy $in $out/v-$kind.jpg[Q=75,optimize_coding]"
               -n "convert $kind->jpeg" "$magick $in -quality 75 -sampling-factor 2x2 -define jpeg:optimize-coding=true $out/m-$kind.jpg"
               -n "vrelk $kind->jpeg, one core" "taskset -c 0 $work/jpeg/vrelk -j 1 $in"
               -n "vips $kind->jpeg, one core" "taskset -c 0 env VIPS_CONCURRENCY=1 /usr/bin/vips copy $in $out/v-$kind.jpg[Q=75,optimize_coding]")
done
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    "${commands[@]}"

# The strips read on every core give the bytes one core gives.
for kind in lzw zip; do
    rm -f "$out"/*
    "$work/jpeg/vrelk" -j 1 "$work/$kind.tif" >/dev/null
    mv "$out/$kind.jpg" "$work/$kind-one-core.jpg"
    "$work/jpeg/vrelk" "$work/$kind.tif" >/dev/null
    cmp "$out/$kind.jpg" "$work/$kind-one-core.jpg" && echo "$kind: every core and one core write the same bytes"
done

# The pictures must agree: vrelk's JPEG of each file against vips's.
rm -f "$out"/*
"$work/jpeg/vrelk" "$work/lzw.tif" >/dev/null
/usr/bin/vips copy "$work/lzw.tif" "$out/v-lzw.jpg[Q=75,optimize_coding]"
/usr/bin/python3 - "$work/times.json" "$out/lzw.jpg" "$out/v-lzw.jpg" <<'PY'
import json, sys
import numpy as np
from PIL import Image
results = json.load(open(sys.argv[1]))["results"]
times = {r["command"]: r["median"] for r in results}
print()
for kind in ("lzw", "zip"):
    ours = times[f"vrelk {kind}->jpeg"]
    fastest = min(times[f"vips {kind}->jpeg"], times[f"convert {kind}->jpeg"])
    for other in ("vips", "convert"):
        theirs = times[f"{other} {kind}->jpeg"]
        print(f"vrelk / {other} {kind}: {ours / theirs:.2f}x  ({ours*1000:.0f} ms vs {theirs*1000:.0f} ms, medians)")
    print(f"vrelk / fastest {kind}: {ours / fastest:.2f}x  (aim: at most 1.0)")
    ours, theirs = times[f"vrelk {kind}->jpeg, one core"], times[f"vips {kind}->jpeg, one core"]
    print(f"vrelk / vips {kind}, one core each: {ours / theirs:.2f}x  ({ours*1000:.0f} ms vs {theirs*1000:.0f} ms, medians)")
a, b = (np.asarray(Image.open(p).convert("RGB"), dtype=int) for p in sys.argv[2:4])
print(f"vrelk and vips JPEGs of the LZW file: mean difference {np.abs(a - b).mean():.2f}")
PY
