#!/usr/bin/env bash
# Peak memory (maximum resident set size, from /usr/bin/time -v) of vrelk on
# tiny files that declare huge pictures: a progressive JPEG of 8000x8000 in
# a few hundred bytes, and a PNG, a GIF and a TIFF of 25000x25000 with
# almost no data. Each alone, then 16 of them with -j 8; each line counts
# the files converted and the files skipped with a reason. Then the HEIF
# fuzz seeds whose coded streams state far larger pictures than their
# container (HEVC 24000x24000, AV1 16384x16384, tiles of 2048x2048 in a
# 128x128 grid) or whose grid of 25000x25000 has one 64x64 tile. Extra
# vrelk options (for instance a memory limit) follow the build folder.
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
# A GIF screen and image of 25000x25000 whose data is one short sub-block.
gif = (b"GIF89a" + struct.pack("<HHBBB", 25000, 25000, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
       + b"\x2c" + struct.pack("<HHHHB", 0, 0, 25000, 25000, 0) + b"\x08\x03\x00\x01\x02\x00\x3b")
# A grey TIFF of 25000x25000 whose one strip holds 16 bytes.
entries = [(256, 4, 25000), (257, 4, 25000), (258, 3, 8), (262, 3, 1), (273, 4, 8), (277, 3, 1), (278, 4, 25000),
           (279, 4, 16)]
directory = 8 + 16
tiff = b"II*\0" + struct.pack("<I", directory) + bytes(range(16)) + struct.pack("<H", len(entries))
for tag, kind, value in entries:
    tiff += struct.pack("<HHII", tag, kind, 1, value) if kind == 4 else struct.pack("<HHIHH", tag, kind, 1, value, 0)
tiff += struct.pack("<I", 0)
for i in range(8):
    open(f"{folder}/bomb{i}.jpg", "wb").write(jpeg)
    open(f"{folder}/bomb{i}.png", "wb").write(png)
    open(f"{folder}/bomb{i}.gif", "wb").write(gif)
    open(f"{folder}/bomb{i}.tif", "wb").write(tiff)
EOF

peak() {
    local label="$1"
    shift
    rm -rf "$work/out" && mkdir "$work/out"
    /usr/bin/time -v -o "$work/time.txt" "$build/vrelk" -o "$work/out" "$@" 2>"$work/skips.txt" >/dev/null || true
    printf '%-28s %8d MB peak, %2d converted, %2d skipped (%s)\n' "$label" \
        $(( $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt") / 1024 )) \
        "$(ls "$work/out" | wc -l)" "$(grep -c ': skipped ' "$work/skips.txt" || true)" \
        "$(sed -n 's/^vrelk: skipped [^:]*: //p' "$work/skips.txt" | sort | uniq -c | sed 's/^ *//' | paste -sd ';' -)"
}

extra=("$@")
peak "JPEG 8000x8000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.jpg"
peak "JPEG 8000x8000 recode" "${extra[@]}" -f recode "$work/bomb0.jpg"
peak "PNG 25000x25000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.png"
peak "GIF 25000x25000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.gif"
peak "TIFF 25000x25000 to BMP" "${extra[@]}" -f bmp "$work/bomb0.tif"
peak "16 JPEG+PNG, -j 8" "${extra[@]}" -f bmp -j 8 "$work"/bomb*.jpg "$work"/bomb*.png
peak "16 GIF+TIFF, -j 8" "${extra[@]}" -f bmp -j 8 "$work"/bomb*.gif "$work"/bomb*.tif
peak "16 JPEG recode, -j 8" "${extra[@]}" -f recode -j 8 "$work"/bomb*.jpg "$work"/bomb[0-7].jpg
seeds="$root/fuzz/corpus/heif_fuzz"
peak "HEIC SPS 24000x24000" "${extra[@]}" -f bmp "$seeds/sps_24000_in_hvcC.heic"
peak "AVIF sequence 16384x16384" "${extra[@]}" -f bmp "$seeds/sequence_header_16384.avif"
peak "AVIF key frame 16384x16384" "${extra[@]}" -f bmp "$seeds/key_frame_states_16384.avif"
peak "HEIC tiles 2048x2048" "${extra[@]}" -f bmp "$seeds/grid_tiles_stream_2048.heic"
peak "HEIC grid of one tile" "${extra[@]}" -f bmp "$seeds/grid_25000_of_one_tile.heic"
