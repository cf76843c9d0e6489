#!/usr/bin/env bash
# Times JPEG photo -> AVIF on a 12-megapixel photo-like picture at quality
# 60 and libaom speed 6 (avifenc's default) against avifenc, heif-enc and
# libvips, all on the same libaom: each held to one core (taskset; vips
# runs libaom on several threads whatever VIPS_CONCURRENCY says, and vrelk
# runs it on one there), then on every core.
# The sizes of the files each writes follow, then the photo aimed at 200 KB
# as AVIF and as JPEG (avif_size_target): the encodes each search makes.
#
#   bench/avif_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-3}"
source "$(dirname "$0")/common.sh"

[ -x "$build/avif_size_target" ] || { echo "no $build/avif_size_target: a build made before it" >&2; exit 2; }
for tool in hyperfine taskset /usr/bin/avifenc /usr/bin/heif-enc /usr/bin/vips /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/temp" "$work/avif"

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

quality=60
# libheif's quantiser level for that quality, which avifenc is given.
level=$(( ((100 - quality) * 63 + 50) / 100 ))
cores="$(nproc)"
cp "$build/vrelk" "$work/avif/vrelk"
printf '[SImg]\r\nDrctCvt=7\r\nQuality=%s\r\nOutDir=%s\r\n' "$quality" "$work/out" >"$work/avif/Vrelk.ini"

jpg="$work/photo.jpg"
out="$work/out"
avifenc_at() { echo "/usr/bin/avifenc -s 6 -j $1 -y 420 --min 0 --max 63 -a end-usage=q -a cq-level=$level $jpg $out/a$1.avif"; }
heifenc_at() { echo "/usr/bin/heif-enc --avif -q $quality -p speed=6 -p threads=$1 $jpg -o $out/h$1.avif"; }
# vips' effort 3 is libaom's speed 6.
vips_at() { echo "/usr/bin/vips copy $jpg $out/v$1.avif[Q=$quality,compression=av1,effort=3]"; }
export TMPDIR="$work/temp"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "vrelk 1" "taskset -c 0 $work/avif/vrelk -j 1 $jpg" \
    -n "avifenc 1" "taskset -c 0 $(avifenc_at 1)" \
    -n "heif-enc 1" "taskset -c 0 $(heifenc_at 1)" \
    -n "vips 1" "VIPS_CONCURRENCY=1 taskset -c 0 $(vips_at 1)" \
    -n "vrelk all" "$work/avif/vrelk -j $cores $jpg" \
    -n "avifenc all" "$(avifenc_at "$cores")" \
    -n "heif-enc all" "$(heifenc_at "$cores")" \
    -n "vips all" "VIPS_CONCURRENCY=$cores $(vips_at "$cores")"

rm -f "$out"/*
taskset -c 0 "$work/avif/vrelk" -j 1 "$jpg"
mv "$out/photo.avif" "$out/photo1.avif"
"$work/avif/vrelk" -j "$cores" "$jpg"
for threads in 1 "$cores"; do
    eval "$(avifenc_at "$threads")" >/dev/null
    eval "$(heifenc_at "$threads")" >/dev/null
    VIPS_CONCURRENCY="$threads" eval "$(vips_at "$threads")"
done

/usr/bin/python3 - "$work/times.json" "$out" "$cores" <<'PY'
import json, os, sys
results = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
out = sys.argv[2]
for threads, count in (("1", "1"), ("all", sys.argv[3])):
    sizes = {"vrelk": "photo1.avif" if threads == "1" else "photo.avif", "avifenc": f"a{count}.avif", "heif-enc": f"h{count}.avif", "vips": f"v{count}.avif"}
    sizes = {tool: os.path.getsize(os.path.join(out, name)) for tool, name in sizes.items()}
    ours = results[f"vrelk {threads}"]
    peers = {tool: results[f"{tool} {threads}"] for tool in ("avifenc", "heif-enc", "vips")}
    fastest = min(peers, key=peers.get)
    print(f"\n{threads} thread(s): vrelk {ours:.2f} s; " +
          ", ".join(f"{tool} {time:.2f} s" for tool, time in peers.items()))
    print(f"  vrelk / fastest peer ({fastest}): {ours / peers[fastest]:.2f}x; "
          f"size {sizes['vrelk']} B vs {sizes[fastest]} B")
    print("  sizes at quality 60: " + ", ".join(f"{tool} {size} B" for tool, size in sizes.items()))
PY
echo
rm -f "$out"/*
"$build/avif_size_target" "$jpg" 200 "$out"
