#!/usr/bin/env bash
# Times JPEG -> JPEG on a 12-megapixel photo stored on its side (Exif
# orientation 6) against the same photo stored upright (orientation 1).
#
#   bench/orientation_bench.sh [Release build folder]   (default: build/bench, made here)
#
# Aim: orientation 6 costs at most 1.15x orientation 1.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-7}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/temp" "$work/bin"

/usr/bin/python3 - "$work" <<'PY'
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
image = Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8))
for k in (1, 6):
    exif = Image.Exif()
    exif[0x0112] = k
    image.save(f"{sys.argv[1]}/o{k}.jpg", quality=90, exif=exif.tobytes())
PY

cp "$build/vrelk" "$work/bin/vrelk"
printf '[SImg]\r\nDrctCvt=3\r\nQuality=75\r\nSampling=0\r\nOutDir=%s\r\n' "$work/out" >"$work/bin/Vrelk.ini"
export TMPDIR="$work/temp"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $work/out/*" --export-json "$work/times.json" \
    -n "orientation 1" "$work/bin/vrelk $work/o1.jpg" \
    -n "orientation 6" "$work/bin/vrelk $work/o6.jpg"

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
# The program runs on one thread: its processor time is the fair measure on
# a busy machine, wall time the one a user sees.
for label, key in (("wall", lambda r: r["mean"]), ("cpu", lambda r: r["user"] + r["system"])):
    six, one = key(results["orientation 6"]), key(results["orientation 1"])
    print(f"{label}: orientation 6 / orientation 1: {six / one:.3f}x  ({six*1000:.0f} ms vs {one*1000:.0f} ms)")
PY
