#!/usr/bin/env bash
# Prints the SHA-256 of every output vrelk writes for a fixed set of
# generated pictures: each output format, JPEG at several qualities and both
# samplings, GIF of few- and many-colour pictures, the lossless re-encode, the
# size target and the reduction. Two runs of one build print the same lines;
# a change that must not alter output is checked by comparing two listings.
#   bench/output_hashes.sh [VRELK] > hashes.txt
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
vrelk="$(realpath "${1:-$root/build/rel/vrelk}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/config"

# Inputs from a fixed formula and a fixed random seed.
/usr/bin/python3 - "$work/in" <<'PY'
import random, sys
from PIL import Image
out = sys.argv[1]
rng = random.Random(23)
w, h = 333, 219
photo = Image.new("RGB", (w, h))
photo.putdata([((x * 255) // w ^ rng.randrange(24), (y * 255) // h, (x * y + rng.randrange(40)) % 256)
               for y in range(h) for x in range(w)])
photo.save(f"{out}/photo-b.bmp")
photo.save(f"{out}/photo-p.png")
photo.save(f"{out}/photo-t.tif")
photo.save(f"{out}/photo420.jpg", quality=90, subsampling=2)
photo.save(f"{out}/photo444.jpg", quality=90, subsampling=0)
tall = photo.transpose(Image.Transpose.ROTATE_90)
tall.save(f"{out}/tall.png")
rgba = photo.convert("RGBA")
rgba.putalpha(Image.linear_gradient("L").resize((w, h)))
rgba.save(f"{out}/alpha.png")
photo.convert("L").save(f"{out}/grey-p.png")
photo.convert("L").save(f"{out}/grey-j.jpg", quality=80)
few = photo.quantize(16, dither=Image.Dither.NONE)
few.save(f"{out}/few-b.bmp")
few.save(f"{out}/few-p.png")
few.save(f"{out}/few-g.gif")
photo.quantize(256).save(f"{out}/many.gif")
PY

run() {  # name, options...: converts every input with the options into its own folder
    local name="$1"; shift
    mkdir -p "$work/out/$name"
    XDG_CONFIG_HOME="$work/config" "$vrelk" --quiet -j 1 -o "$work/out/$name" "$@" "$work"/in/* >/dev/null 2>&1 || true
}
run bmp -f bmp --no-resize
run png -f png --no-resize
run gif -f gif --no-resize
for q in 10 50 75 95 100; do
    run "jpeg-q$q-2x2" -f jpeg -q "$q" --sampling 2x2 --no-resize
    run "jpeg-q$q-1x1" -f jpeg -q "$q" --sampling 1x1 --no-resize
done
run recode -f recode --no-resize
run size-20k -f jpeg -q 95 --max-kb 20 --no-resize
run size-5k-1x1 -f jpeg -q 90 --sampling 1x1 --max-kb 5 --no-resize
run long-100-jpeg -f jpeg -q 75 --long-side 100
run width-80-png -f png --width 80
run height-50-gif -f gif --height 50
run long-200-bmp -f bmp --long-side 200

cd "$work"
find in out -type f | LC_ALL=C sort | xargs sha256sum
