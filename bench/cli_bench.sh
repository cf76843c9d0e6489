#!/usr/bin/env bash
# Times a batch through the vrelk program: 40 photos of 12 megapixels,
# long side reduced to 1000 pixels, written as JPEG, with one job and with
# two, against libvips' vipsthumbnail run once per file (as scripts run it)
# and once over all files (libvips' own threading).
#
#   bench/cli_bench.sh [Release build folder]   (default: build/bench, made here)
#
# Aim: -j 2 at most 0.55x of -j 1 on two cores, and faster than vipsthumbnail.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-3}"
photos="${VRELK_BENCH_PHOTOS:-40}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/vipsthumbnail /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/photos" "$work/out" "$work/temp" "$work/bin"

# Photo-like pictures, each a different crop of one large one.
/usr/bin/python3 - "$work/photos" "$photos" <<'PY'
import sys
import numpy as np
from PIL import Image
folder, count = sys.argv[1], int(sys.argv[2])
height, width = 3000, 4000
y, x = np.mgrid[0:height + count * 8, 0:width].astype(np.float32)
rng = np.random.default_rng(7)
picture = np.stack([
    128 + 100 * np.sin(x / 310) * np.cos(y / 270),
    128 + 90 * np.sin((x + y) / 190),
    128 + 80 * np.cos(x / 120 - y / 330),
], -1) + rng.normal(0, 12, (height + count * 8, width, 3))
picture = np.clip(picture, 0, 255).astype(np.uint8)
for i in range(count):
    Image.fromarray(picture[i * 8:i * 8 + height]).save(f"{folder}/IMG_{i:04d}.jpg", quality=90)
PY

cp "$build/vrelk" "$work/bin/vrelk"
printf '[SImg]\r\nDrctCvt=0\r\n' >"$work/bin/Vrelk.ini"
export TMPDIR="$work/temp"
vrelk="$work/bin/vrelk -f jpeg -q 75 --long-side 1000 --quiet -o $work/out"
out="$work/out"
cd "$work/photos"

hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "vrelk -j 1" "$vrelk -j 1 *.jpg" \
    -n "vrelk -j 2" "$vrelk -j 2 *.jpg" \
    -n "vipsthumbnail per file" "for f in *.jpg; do /usr/bin/vipsthumbnail \"\$f\" -s 1000 -o '$out/%s.jpg[Q=75]'; done" \
    -n "vipsthumbnail all files" "/usr/bin/vipsthumbnail *.jpg -s 1000 -o '$out/%s.jpg[Q=75]'"

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
def line(ours, other):
    print(f"{ours} / {other}: {times[ours] / times[other]:.2f}x  ({times[ours]:.2f} s vs {times[other]:.2f} s)")
print()
line("vrelk -j 2", "vrelk -j 1")
line("vrelk -j 2", "vipsthumbnail per file")
line("vrelk -j 2", "vipsthumbnail all files")
PY
