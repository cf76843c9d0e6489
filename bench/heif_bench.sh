#!/usr/bin/env bash
# Whole-program timing of 12-megapixel HEIC -> JPEG (quality 75, 2x2 chroma
# sampling) against heif-convert (libheif's own tool, writing JPEG through
# libjpeg), libvips and ImageMagick, all decoding through the same libheif.
# Two inputs: a phone-style picture of 512 x 512 tiles in a grid, and one
# coded as a single picture. Every command is held to one core (taskset),
# since libheif decodes grid tiles on several threads unless told not to.
#
#   bench/heif_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-5}"
source "$(dirname "$0")/common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/hc" "$work/vips" "$work/im" "$work/tiles"

echo "making a 4032 x 3024 phone-style HEIC (8 x 6 tiles) and a 4000 x 3000 single-picture HEIC"
/usr/bin/python3 - "$work" "$root/tests" <<'PY'
import subprocess
import sys
import numpy as np
from PIL import Image
sys.path.insert(0, sys.argv[2])
from heif_mux import assemble, coded_tile

work = sys.argv[1]
rng = np.random.default_rng(1)


def photo(w, h):
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    r = 128 + 100 * np.sin(x / 530) * np.cos(y / 410)
    g = 128 + 90 * np.sin((x + y) / 700)
    b = 128 + 110 * np.cos(x / 900 - y / 350)
    picture = np.stack([r, g, b], axis=-1) + rng.normal(0, 6, (h, w, 3))
    return np.clip(picture, 0, 255).astype(np.uint8)


def heif_enc(png, heic):
    subprocess.run(["/usr/bin/heif-enc", "-q", "85", png, "-o", heic], check=True, stdout=subprocess.DEVNULL)


Image.fromarray(photo(4000, 3000)).save(f"{work}/single.png")
heif_enc(f"{work}/single.png", f"{work}/single.heic")

T = 512
big = photo(8 * T, 6 * T)
tiles = []
for r in range(6):
    for c in range(8):
        name = f"{work}/tiles/t{r}{c}"
        Image.fromarray(big[r * T:(r + 1) * T, c * T:(c + 1) * T]).save(name + ".png")
        heif_enc(name + ".png", name + ".heic")
        tiles.append(coded_tile(name + ".heic"))
assemble(f"{work}/phone.heic", tiles, grid=(8, 6, 4032, 3024))
PY

clean="rm -f $work/out/* $work/hc/* $work/vips/* $work/im/*"
export TMPDIR="$work" VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1
one="taskset -c 0"
for input in phone single; do
    echo
    echo "== $input.heic"
    hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/$input.json" \
        -n "vrelk" "$one $build/vrelk -j 1 --quiet -f jpeg -q 75 --sampling 2x2 --no-resize -o $work/out $work/$input.heic" \
        -n "heif-convert" "$one /usr/bin/heif-convert -q 75 $work/$input.heic $work/hc/$input.jpg" \
        -n "vips" "$one /usr/bin/vips copy $work/$input.heic $work/vips/$input.jpg[Q=75]" \
        -n "convert" "$one /usr/bin/convert $work/$input.heic -quality 75 -sampling-factor 2x2 $work/im/$input.jpg"
done

# Every output must show the same picture as heif-convert's PNG.
$clean
for input in phone single; do
    "$build/vrelk" -j 1 --quiet -f jpeg -q 75 --sampling 2x2 --no-resize -o "$work/out" "$work/$input.heic"
    /usr/bin/heif-convert "$work/$input.heic" "$work/hc/$input.png" >/dev/null
done
/usr/bin/python3 - "$work" <<'PY'
import json, sys
import numpy as np
from PIL import Image
work = sys.argv[1]
for name in ("phone", "single"):
    times = {r["command"]: r["median"] * 1000 for r in json.load(open(f"{work}/{name}.json"))["results"]}
    fastest_peer = min(v for k, v in times.items() if k != "vrelk")
    print(f"\n{name}.heic -> JPEG, median of each:")
    for command, ms in times.items():
        print(f"  {command:14s} {ms:8.1f} ms")
    print(f"  vrelk / fastest peer: {times['vrelk'] / fastest_peer:.2f}  (aim: at most 1.00)")
    ours = np.asarray(Image.open(f"{work}/out/{name}.jpg").convert("RGB")).astype(np.int32)
    ref = np.asarray(Image.open(f"{work}/hc/{name}.png").convert("RGB")).astype(np.int32)
    mse = np.mean((ours - ref) ** 2) if ours.shape == ref.shape else float("inf")
    psnr = 10 * np.log10(255 ** 2 / mse) if mse else float("inf")
    print(f"  vrelk's JPEG against heif-convert's PNG: size {ours.shape[1]}x{ours.shape[0]}, PSNR {psnr:.1f} dB")
PY
