#!/usr/bin/env bash
# Times a batch of 50 small pictures that only a Susie import filter reads
# (our test filter, tests/plugins), converted to BMP under Wine: the
# Vrelk.exe given first ("before") against the one of a Windows build
# folder ("after"), which also supplies the filter. Both must write the
# same bytes.
#
#   bench/plugin_bench.sh <before Vrelk.exe> [Windows build folder with the tests]
#                                            (default: build/win-test)
#
# Aim: after at most 1.3x before; the plug-in host starts once a batch.
set -euo pipefail
runs="${VRELK_BENCH_RUNS:-10}"
files="${VRELK_BENCH_FILES:-50}"
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -ge 1 ] || { sed -n '2,12p' "$0" >&2; exit 2; }
before="$(realpath "$1")"
build="$(realpath "${2:-$root/build/win-test}")"
for need in "$before" "$build/Vrelk.exe" "$build/plugins/tp_filter.spi"; do
    [ -f "$need" ] || { echo "missing $need" >&2; exit 2; }
done
for tool in hyperfine wine xvfb-run /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
to_windows() { echo "Z:${1//\//\\}"; }

# The same program folder twice, with its settings, filter and output folder.
for side in before after; do
    mkdir -p "$work/$side/spi" "$work/$side/out"
    cp "$build/plugins/tp_filter.spi" "$work/$side/spi/"
    printf '[SImg]\r\nDrctCvt=1\r\nUseSpi=1\r\nSPI=%s\r\nOutDir=%s\r\n' \
        "$(to_windows "$work/$side/spi")" "$(to_windows "$work/$side/out")" >"$work/$side/Vrelk.ini"
done
cp "$before" "$work/before/Vrelk.exe"
cp "$build/Vrelk.exe" "$work/after/Vrelk.exe"

# 96 x 64 pictures at 8 bits in the test filter's format (see
# tests/plugins/test_plugin_format.h); the filter makes the pixels.
mkdir -p "$work/pictures"
/usr/bin/python3 - "$work/pictures" "$files" <<'PY'
import struct, sys
folder, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    header = b"TPLGTEST" + struct.pack("<iiHHI", 96, 64, 8, 256, 0) + bytes(64 - 24)
    open(f"{folder}/picture{i:03d}.tpl", "wb").write(header)
PY
inputs=""
for picture in "$work"/pictures/*.tpl; do
    inputs+=" '$(to_windows "$picture")'"
done

export WINEDEBUG=-all WINEARCH=win32
export HOME="$build/winehome"
export WINEPREFIX="${VRELK_WINEPREFIX:-$build/wineprefix}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winebrowser.exe=d"
mkdir -p "$HOME"

# The X server and wineserver must not inherit a lock's descriptor.
for fd in /proc/$$/fd/*; do
    fd="${fd##*/}"
    [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null || true
done

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    work="$1" runs="$2" inputs="$3"
    [ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1 || true
    # One wineserver for every run, so that no run pays for starting it;
    # ended however this script ends, or a test run waiting for it hangs.
    wineserver -p
    trap "wineserver -k || true" EXIT
    for side in before after; do
        eval "wine $work/$side/Vrelk.exe $inputs"
    done
    hyperfine --style basic --warmup 2 --runs "$runs" --export-json "$work/times.json" \
        --prepare "rm -f $work/before/out/* $work/after/out/*" \
        -n before "wine $work/before/Vrelk.exe $inputs" \
        -n after "wine $work/after/Vrelk.exe $inputs"
' bench "$work" "$runs" "$inputs"

# One more run each into empty folders, to compare what they wrote.
rm -f "$work"/before/out/* "$work"/after/out/*
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    for side in before after; do
        eval "wine $1/$side/Vrelk.exe $2"
    done
    wineserver -w || true
' bench "$work" "$inputs"
written="$(ls "$work/after/out" | wc -l)"
if [ "$written" -ne "$files" ] || ! diff -r "$work/before/out" "$work/after/out" >/dev/null; then
    echo "outputs differ: $written of $files written by after, or not the bytes before wrote" >&2
    exit 1
fi
echo "$files outputs, byte-identical before and after"

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
times = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
ratio = times["after"] / times["before"]
print(f"after / before: {ratio:.2f}x  ({times['after']:.3f} s vs {times['before']:.3f} s), aim at most 1.30x")
sys.exit(0 if ratio <= 1.30 else 1)
PY
