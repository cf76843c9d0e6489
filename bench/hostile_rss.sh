#!/usr/bin/env bash
# Peak memory (maximum resident set size, from /usr/bin/time -v) of vrelk on
# tiny files that declare huge pictures: a progressive JPEG of 8000x8000 in
# a few hundred bytes, and a PNG of 25000x25000 with almost no data. Each
# alone, then 16 of them with -j 8. Extra vrelk options (for instance a
# memory limit) follow the build folder.
#
#   bench/hostile_rss.sh [Release build folder] [vrelk option]...
#
# Aim: each figure under 1.2 GB with a 1 GB limit.
set -euo pipefail
source "$(dirname "$0")/common.sh"
shift || true
[ -x /usr/bin/time ] && [ -x /usr/bin/python3 ] || { echo "missing /usr/bin/time or python3" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work" <<'EOF'
import io, struct, sys, zlib
from PIL import Image
folder = sys.argv[1]
picture = io.BytesIO()
Image.new("RGB", (16, 16), (200, 100, 50)).save(picture, "JPEG", progressive=True, quality=50)
jpeg = bytearray(picture.getvalue())
frame = jpeg.find(b"\xff\xc2")
struct.pack_into(">HH", jpeg, frame + 5, 8000, 8000)
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 25000, 25000, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(b"\0" * 1000)) + chunk(b"IEND", b""))
for i in range(8):
    open(f"{folder}/bomb{i}.jpg", "wb").write(jpeg)
    open(f"{folder}/bomb{i}.png", "wb").write(png)
EOF

peak() {
    local label="$1"
    shift
    rm -rf "$work/out" && mkdir "$work/out"
    /usr/bin/time -v "$build/vrelk" --quiet -o "$work/out" "$@" 2>"$work/time.txt" >/dev/null || true
    printf '%-28s %8d MB peak, %d outputs\n' "$label" \
        $(( $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt") / 1024 )) \
        "$(ls "$work/out" | wc -l)"
}

extra=("$@")
peak "JPEG 8000x8000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.jpg"
peak "JPEG 8000x8000 recode" "${extra[@]}" -f recode "$work/bomb0.jpg"
peak "PNG 25000x25000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.png"
peak "16 files, -j 8" "${extra[@]}" -f bmp -j 8 "$work"/bomb*.jpg "$work"/bomb*.png
