#!/usr/bin/env bash
# The WebP file-size target on a 12-megapixel photo aimed at 300 KB, one
# thread each, from JPEG file to WebP file:
#   - vrelk -j 1 with Limit=1, LmtVal=300 (the highest whole quality whose
#     file fits);
#   - cwebp -size 307200, libwebp's own search on its encoder's statistics.
# Aims: vrelk at most 0.9x cwebp's time, never over the limit, at no lower
# PSNR than cwebp's file.
#
#   bench/webp_size_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-3}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/cwebp /usr/bin/dwebp /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/vrelk" "$work/out" "$work/temp"
cp "$build/vrelk" "$work/vrelk/vrelk"
printf '[SImg]\r\nDrctCvt=6\r\nLimit=1\r\nLmtVal=300\r\nOutDir=%s\r\n' "$work/out" >"$work/vrelk/Vrelk.ini"

/usr/bin/python3 - "$work/photo.jpg" <<'PY'
import sys
import numpy as np
from PIL import Image
w, h = 4000, 3000
rng = np.random.default_rng(1)
y, x = np.mgrid[0:h, 0:w].astype(np.float32)
texture = 12 * np.sin(x / 7 + 3 * np.sin(y / 23)) * np.cos(y / 11)
picture = np.stack([128 + 100 * np.sin(x / 530) * np.cos(y / 410) + texture,
                    128 + 90 * np.sin((x + y) / 700) + texture,
                    128 + 110 * np.cos(x / 900 - y / 350) - texture], axis=-1) + rng.normal(0, 2, (h, w, 3))
Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8), "RGB").save(sys.argv[1], quality=92)
PY

out="$work/out"
export TMPDIR="$work/temp"
hyperfine --style basic --warmup 1 --runs "$runs" --prepare "rm -f $out/*" --export-json "$work/times.json" \
    -n "vrelk -j 1" "$work/vrelk/vrelk -j 1 $work/photo.jpg" \
    -n "cwebp -size" "/usr/bin/cwebp -quiet -size 307200 $work/photo.jpg -o $out/c.webp"

rm -f "$out"/*
"$work/vrelk/vrelk" -j 1 "$work/photo.jpg" >/dev/null
/usr/bin/cwebp -quiet -size 307200 "$work/photo.jpg" -o "$out/c.webp"
/usr/bin/dwebp -quiet "$out/photo.webp" -ppm -o "$work/vrelk.ppm"
/usr/bin/dwebp -quiet "$out/c.webp" -ppm -o "$work/cwebp.ppm"
/usr/bin/python3 - "$work/times.json" "$work" <<'PY'
import json, os, sys
import numpy as np
from PIL import Image
results = json.load(open(sys.argv[1]))["results"]
work = sys.argv[2]
wall = {r["command"]: r["median"] * 1000 for r in results}
cpu = {r["command"]: (r["user"] + r["system"]) * 1000 for r in results}
source = np.asarray(Image.open(work + "/photo.jpg").convert("RGB"), dtype=np.float64)
def psnr(name):
    decoded = np.asarray(Image.open(f"{work}/{name}.ppm").convert("RGB"), dtype=np.float64)
    return 10 * np.log10(255 ** 2 / np.mean((decoded - source) ** 2))
print()
for name in wall:
    print(f"{name:12s} {wall[name]:8.0f} ms (median), {cpu[name]:6.0f} ms of processor time (mean)")
ratio = wall["vrelk -j 1"] / wall["cwebp -size"]
print(f"vrelk / cwebp -size: {ratio:.2f} (aim: at most 0.9)")
ours, theirs = os.path.getsize(work + "/out/photo.webp"), os.path.getsize(work + "/out/c.webp")
print(f"sizes: vrelk {ours} B, cwebp {theirs} B (limit 307200){'  OVER THE LIMIT' if ours > 307200 else ''}")
print(f"PSNR: vrelk {psnr('vrelk'):.2f} dB, cwebp {psnr('cwebp'):.2f} dB")
PY
