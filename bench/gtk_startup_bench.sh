#!/usr/bin/env bash
# Times vrelk-gtk from its start to the format window's first frame on the
# screen, with two pictures given as a file manager gives them, under Xvfb
# and a session bus of its own. VRELK_GTK_QUIT_WHEN_SHOWN makes the program
# end right after that frame, so each run is timed whole by hyperfine.
#
#   bench/gtk_startup_bench.sh [Release build folder]   (default: build/bench, made here)
#
# Aim: at most 300 ms.
set -euo pipefail

runs="${VRELK_BENCH_RUNS:-20}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/bench}"
if [ ! -x "$build/vrelk-gtk" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF >/dev/null
    flock /tmp/vrelk-build.lock cmake --build "$build" -j2 --target vrelk-gtk >/dev/null
fi
build="$(cd "$build" && pwd)"
for tool in hyperfine xvfb-run dbus-run-session /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done
[ -x "$build/vrelk-gtk" ] || { echo "$build/vrelk-gtk is missing (GTK 4 not found?)" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
/usr/bin/python3 -c "
from PIL import Image
for n in ('a', 'b'):
    Image.new('RGB', (640, 480), (90, 140, 200)).save('$work/' + n + '.png')"

export HOME="$work/home" XDG_CONFIG_HOME="$work/home" LANG=C.UTF-8 GDK_BACKEND=x11 NO_AT_BRIDGE=1
export VRELK_GTK_QUIT_WHEN_SHOWN=1
xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- \
    hyperfine --warmup 3 --runs "$runs" -N "$build/vrelk-gtk $work/a.png $work/b.png"
