# Sourced by the benchmark scripts: sets `root` and `build`, making a
# Release build with the benchmark programs when the folder lacks one.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/bench}"
if [ ! -x "$build/vrelk" ] || [ ! -x "$build/png_deflate_floor" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF -DVRELK_BENCH=ON >/dev/null
    flock /tmp/vrelk-build.lock cmake --build "$build" -j2 >/dev/null
fi
build="$(cd "$build" && pwd)"
