#!/usr/bin/env bash
# Times Vrelk.exe under Wine on a batch of 16 photos of 12 megapixels
# written as JPEG: one worker against the default (one per processor), and
# checks that both runs write the same files.
#
#   bench/win_parallel_bench.sh [Windows build folder]   (default: build/win, made here)
#
# VRELK_BENCH_PHOTOS sets the number of photos, VRELK_BENCH_LONG_SIDE
# reduces their long side to that many pixels (default: full size).
#
# Aim: the default workers at most 0.65x the time of one, same outputs.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-3}"
photos="${VRELK_BENCH_PHOTOS:-16}"
long_side="${VRELK_BENCH_LONG_SIDE:-}"
aim=0.65
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/win}"
if [ ! -f "$build/Vrelk.exe" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" >/dev/null
    cmake --build "$build" --target Vrelk >/dev/null
fi
build="$(cd "$build" && pwd)"

for tool in hyperfine xvfb-run wine /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/photos" "$work/one" "$work/all" "$work/bin"

# Photo-like pictures, each a different crop of one large one.
/usr/bin/python3 - "$work/photos" "$photos" <<'PY'
import sys
import numpy as np
from PIL import Image
folder, count = sys.argv[1], int(sys.argv[2])
height, width = 3000, 4000
y, x = np.mgrid[0:height + count * 8, 0:width].astype(np.float32)
rng = np.random.default_rng(7)
picture = np.stack([
    128 + 100 * np.sin(x / 310) * np.cos(y / 270),
    128 + 90 * np.sin((x + y) / 190),
    128 + 80 * np.cos(x / 120 - y / 330),
], -1) + rng.normal(0, 12, (height + count * 8, width, 3))
picture = np.clip(picture, 0, 255).astype(np.uint8)
for i in range(count):
    Image.fromarray(picture[i * 8:i * 8 + height]).save(f"{folder}/IMG_{i:04d}.jpg", quality=90)
PY

windows() { echo "Z:${1//\//\\}"; }
cp "$build/Vrelk.exe" "$work/bin/Vrelk.exe"
reduction=""
[ -n "$long_side" ] && reduction="Resize=1\r\nRszOpt=2\r\nRszSize=$long_side\r\n"
for run in one all; do
    printf "[SImg]\r\nDrctCvt=3\r\nQuality=75\r\n${reduction}OutDir=%s\r\n" \
        "$(windows "$work/$run")" >"$work/bin/$run.ini"
done

export WINEDEBUG=-all WINEARCH=win32 WINEPREFIX="${VRELK_WINEPREFIX:-$work/wineprefix}"
# No crash debugger: a program that faults ends instead of waiting.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winebrowser.exe=d;winedbg.exe=d"
export HOME="$work/home"
mkdir -p "$HOME"
# One script per run: the settings for its output folder, then the program
# on every photo, as Send To starts it.
for run in one all; do
    {
        printf 'cp %q %q\n' "$work/bin/$run.ini" "$work/bin/Vrelk.ini"
        [ "$run" = one ] && printf 'export VRELK_WORKERS=1\n'
        printf 'wine %q' "$work/bin/Vrelk.exe"
        for photo in "$work"/photos/*.jpg; do printf ' %q' "$(windows "$photo")"; done
        printf '\n'
    } >"$work/$run.sh"
done

# One Wine server for every run, so the runs time the program, not Wine's start.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    work="$1" runs="$2"
    wineboot -i >/dev/null 2>&1 || true
    # Xvfb has no window manager, and Wine waits 2 s for one to take each
    # managed window it hides: the progress window costs every run that much
    # for nothing a desktop would do. Unmanaged windows are unmapped at once.
    wine reg add "HKCU\Software\Wine\X11 Driver" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # The server wineboot started must end before a persistent one can.
    wineserver -w
    wineserver -p
    # The outputs of each last timed run stay for the comparison below.
    hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/times.json" \
        --prepare "rm -f $work/one/*" --prepare "rm -f $work/all/*" \
        -n "Vrelk.exe, 1 worker" "bash $work/one.sh" \
        -n "Vrelk.exe, every processor" "bash $work/all.sh"
    wineserver -k || true
' bench "$work" "$runs"

/usr/bin/python3 - "$work/times.json" "$aim" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
one, every = times["Vrelk.exe, 1 worker"], times["Vrelk.exe, every processor"]
aim = float(sys.argv[2])
verdict = "met" if every / one <= aim else "MISSED"
print(f"\nevery processor / 1 worker: {every / one:.2f}x  ({every:.2f} s vs {one:.2f} s); aim {aim}x: {verdict}")
PY
if diff -r "$work/one" "$work/all" >/dev/null && [ "$(ls "$work/one" | wc -l)" -eq "$photos" ]; then
    echo "outputs: the same $photos files, byte for byte"
else
    echo "outputs DIFFER" >&2
    exit 1
fi
