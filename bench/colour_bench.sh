#!/usr/bin/env bash
# Times colour management on a 12-megapixel photo-like picture:
#  - an sRGB JPEG -> JPEG (quality 75), this build against a baseline build
#    from before colour profiles (they must take the same time);
#  - the same picture with a Display P3 profile -> BMP, which converts it
#    to sRGB, against the sRGB JPEG -> BMP (at most 1.3x).
#
#   bench/colour_bench.sh [Release build folder]   (default: build/bench, made here)
#
# The baseline is VRELK_BASELINE (a vrelk program), else a Release build of
# git ref VRELK_BASELINE_REF (default main) made in build/bench-baseline.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-7}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

baseline="${VRELK_BASELINE:-}"
if [ -z "$baseline" ]; then
    base_build="$root/build/bench-baseline"
    if [ ! -x "$base_build/vrelk" ]; then
        rm -rf "$base_build/src" && mkdir -p "$base_build/src"
        git -C "$root" archive "${VRELK_BASELINE_REF:-main}" | tar -x -C "$base_build/src"
        cmake -G Ninja -S "$base_build/src" -B "$base_build" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF >/dev/null
        flock /tmp/vrelk-build.lock cmake --build "$base_build" -j2 --target vrelk >/dev/null
    fi
    baseline="$base_build/vrelk"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/temp"

/usr/bin/python3 - "$work" "$root/tests/wine/fixtures_colour.py" <<'PY'
import os, runpy, sys
import numpy as np
from PIL import Image
work, fixtures = sys.argv[1], sys.argv[2]
sys.argv = [fixtures, os.path.join(work, "fixtures")]
made = runpy.run_path(fixtures, run_name="fixtures")
height, width = 3000, 4000
y, x = np.mgrid[0:height, 0:width].astype(np.float32)
rng = np.random.default_rng(7)
picture = np.stack([
    128 + 100 * np.sin(x / 310) * np.cos(y / 270),
    128 + 90 * np.sin((x + y) / 190),
    128 + 80 * np.cos(x / 120 - y / 330),
], -1) + rng.normal(0, 12, (height, width, 3))
image = Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8))
image.save(os.path.join(work, "srgb.jpg"), quality=90)
image.save(os.path.join(work, "p3.jpg"), quality=90, icc_profile=made["icc"])
PY

install() {
    mkdir -p "$work/$1"
    cp "$2" "$work/$1/vrelk"
    printf '[SImg]\r\nDrctCvt=%s\r\nQuality=75\r\nSampling=0\r\nOutDir=%s\r\n' "$3" "$work/out" >"$work/$1/Vrelk.ini"
}
install jpeg "$build/vrelk" 3
install base-jpeg "$baseline" 3
install bmp "$build/vrelk" 1

out="$work/out"
export TMPDIR="$work/temp"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "srgb jpeg->jpeg" "$work/jpeg/vrelk $work/srgb.jpg" \
    -n "baseline srgb jpeg->jpeg" "$work/base-jpeg/vrelk $work/srgb.jpg" \
    -n "p3 jpeg->bmp" "$work/bmp/vrelk $work/p3.jpg" \
    -n "srgb jpeg->bmp" "$work/bmp/vrelk $work/srgb.jpg"

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
def line(ours, other, limit):
    ratio = times[ours] / times[other]
    verdict = "ok" if ratio <= limit else "over"
    print(f"{ours} / {other}: {ratio:.2f}x (limit {limit}x, {verdict})  "
          f"({times[ours]*1000:.0f} ms vs {times[other]*1000:.0f} ms)")
line("srgb jpeg->jpeg", "baseline srgb jpeg->jpeg", 1.05)
line("p3 jpeg->bmp", "srgb jpeg->bmp", 1.3)
PY
