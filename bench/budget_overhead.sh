#!/usr/bin/env bash
# Ordinary batches before and after a change: 16 photos of 12 megapixels
# converted to BMP (the decode alone) and to JPEG at 1000 pixels with two
# jobs, by two Release builds of vrelk in the same hyperfine run.
#
#   bench/budget_overhead.sh <build folder before> <build folder after> [vrelk option]...
#
# Aim: the second no slower than the first.
set -euo pipefail
before="$(cd "$1" && pwd)/vrelk"
after="$(cd "$2" && pwd)/vrelk"
shift 2
extra="$*"
for tool in hyperfine /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/photos" "$work/out"
/usr/bin/python3 - "$work/photos" <<'PY'
import sys
import numpy as np
from PIL import Image
folder = sys.argv[1]
rng = np.random.default_rng(7)
y, x = np.mgrid[0:3000, 0:4000]
base = np.stack([(x * 255 // 4000), (y * 255 // 3000), ((x + y) * 255 // 7000)], axis=-1)
for i in range(16):
    noise = rng.integers(0, 24, size=base.shape)
    Image.fromarray((base + noise).clip(0, 255).astype(np.uint8)).save(f"{folder}/p{i:02}.jpg", quality=90)
PY
run() { echo "rm -rf $work/out && mkdir $work/out && $1 --quiet -o $work/out $extra $2 $work/photos/*.jpg"; }
hyperfine --warmup 1 --runs "${VRELK_BENCH_RUNS:-5}" \
    -n "before: BMP, -j 1" "$(run "$before" "-f bmp -j 1")" \
    -n "after:  BMP, -j 1" "$(run "$after" "-f bmp -j 1")" \
    -n "before: JPEG 1000 px, -j 2" "$(run "$before" "-f jpeg --long-side 1000 -j 2")" \
    -n "after:  JPEG 1000 px, -j 2" "$(run "$after" "-f jpeg --long-side 1000 -j 2")"
