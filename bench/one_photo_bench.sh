#!/usr/bin/env bash
# One 12-megapixel photo converted alone, the usual Send To: vrelk on one
# core (-j 1) and on every core (the default), against ImageMagick, libvips,
# Pillow, cwebp and heif-convert with their own default thread counts.
# Rows: JPEG -> PNG, PNG -> GIF, PNG -> WebP, HEIC (phone-style grid of
# 512 x 512 tiles) -> JPEG, JPEG -> JPEG of at most 200 KB.
# Aims, every core / one core: PNG at most 0.55, the others at most 0.7.
# Also: the PNG of every core against the PNG of one core (size, pixels).
#
#   bench/one_photo_bench.sh [Release build folder]   (default: build/bench, made here)
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-3}"
source "$(dirname "$0")/common.sh"

for tool in hyperfine /usr/bin/convert /usr/bin/vips /usr/bin/cwebp /usr/bin/heif-convert /usr/bin/heif-enc /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/out" "$work/one" "$work/peers" "$work/tiles"

echo "making a 4000 x 3000 photo (JPEG and PNG) and a 4032 x 3024 phone-style HEIC"
/usr/bin/python3 - "$work" "$root/tests" <<'PY'
import subprocess, sys
import numpy as np
from PIL import Image
sys.path.insert(0, sys.argv[2])
from heif_mux import assemble, coded_tile
work = sys.argv[1]
rng = np.random.default_rng(1)

def photo(w, h):
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    texture = 12 * np.sin(x / 7 + 3 * np.sin(y / 23)) * np.cos(y / 11)
    picture = np.stack([128 + 100 * np.sin(x / 530) * np.cos(y / 410) + texture,
                        128 + 90 * np.sin((x + y) / 700) + texture,
                        128 + 110 * np.cos(x / 900 - y / 350) - texture], axis=-1) + rng.normal(0, 2, (h, w, 3))
    return np.clip(picture, 0, 255).astype(np.uint8)

Image.fromarray(photo(4000, 3000)).save(f"{work}/photo.jpg", quality=92)
Image.open(f"{work}/photo.jpg").save(f"{work}/photo.png", compress_level=1)
T = 512
big = photo(8 * T, 6 * T)
tiles = []
for r in range(6):
    for c in range(8):
        name = f"{work}/tiles/t{r}{c}"
        Image.fromarray(big[r * T:(r + 1) * T, c * T:(c + 1) * T]).save(name + ".png")
        subprocess.run(["/usr/bin/heif-enc", "-q", "85", name + ".png", "-o", name + ".heic"], check=True,
                       stdout=subprocess.DEVNULL)
        tiles.append(coded_tile(name + ".heic"))
assemble(f"{work}/phone.heic", tiles, grid=(8, 6, 4032, 3024))
PY

clean="rm -f $work/out/* $work/one/* $work/peers/*"
export TMPDIR="$work"
v="$build/vrelk --quiet --no-resize"
pillow="/usr/bin/python3 -c"
row() {  # name, vrelk options and input, then peers as name/command pairs
    local name="$1" options="$2"
    shift 2
    local peers=()
    while [ "$#" -gt 0 ]; do
        peers+=(-n "$1" "$2")
        shift 2
    done
    echo
    echo "== $name"
    hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$clean" --export-json "$work/$name.json" \
        -n "vrelk -j 1" "$v -j 1 -o $work/one $options" -n "vrelk" "$v -o $work/out $options" "${peers[@]}"
}

row png "-f png $work/photo.jpg" \
    "convert" "/usr/bin/convert $work/photo.jpg $work/peers/im.png" \
    "vips" "/usr/bin/vips copy $work/photo.jpg $work/peers/vips.png" \
    "Pillow" "$pillow 'from PIL import Image; Image.open(\"$work/photo.jpg\").save(\"$work/peers/pil.png\")'"
row gif "-f gif $work/photo.png" \
    "convert" "/usr/bin/convert $work/photo.png $work/peers/im.gif" \
    "Pillow" "$pillow 'from PIL import Image; Image.open(\"$work/photo.png\").save(\"$work/peers/pil.gif\")'"
row webp "-f webp -q 75 $work/photo.png" \
    "cwebp" "/usr/bin/cwebp -quiet -q 75 $work/photo.png -o $work/peers/cwebp.webp" \
    "vips" "/usr/bin/vips copy $work/photo.png $work/peers/vips.webp[Q=75]"
row heic "-f jpeg -q 75 --sampling 2x2 $work/phone.heic" \
    "heif-convert" "/usr/bin/heif-convert -q 75 $work/phone.heic $work/peers/hc.jpg" \
    "vips" "/usr/bin/vips copy $work/phone.heic $work/peers/vips.jpg[Q=75]" \
    "convert" "/usr/bin/convert $work/phone.heic -quality 75 $work/peers/im.jpg"
row max-kb "-f jpeg --max-kb 200 $work/photo.jpg" \
    "convert" "/usr/bin/convert $work/photo.jpg -define jpeg:extent=200kb $work/peers/im.jpg"

$clean
$v -j 1 -f png -o "$work/one" "$work/photo.jpg"
$v -f png -o "$work/out" "$work/photo.jpg"
/usr/bin/python3 - "$work" <<'PY'
import json, os, sys
import numpy as np
from PIL import Image
work = sys.argv[1]
aims = {"png": 0.55, "gif": 0.7, "webp": 0.7, "heic": 0.7, "max-kb": 0.7}
print()
for name, aim in aims.items():
    times = {r["command"]: r["median"] * 1000 for r in json.load(open(f"{work}/{name}.json"))["results"]}
    print(f"{name}: " + ", ".join(f"{k} {v:.0f} ms" for k, v in times.items()))
    peers = [v for k, v in times.items() if not k.startswith("vrelk")]
    print(f"  every core / one core {times['vrelk'] / times['vrelk -j 1']:.2f} (aim: at most {aim}),"
          f" / fastest peer {times['vrelk'] / min(peers):.2f}")
one, every = f"{work}/one/photo.png", f"{work}/out/photo.png"
same = np.array_equal(np.asarray(Image.open(one)), np.asarray(Image.open(every)))
print(f"PNG of every core / one core: size {os.path.getsize(every) / os.path.getsize(one):.4f} (aim: at most 1.005),"
      f" same pixels: {same}")
PY
