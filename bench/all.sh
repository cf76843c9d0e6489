#!/usr/bin/env bash
# The whole benchmark against two builds, each script run on the first
# build and right after it on the second, so that both meet the same state
# of the machine. Prints each build's summary lines (the ratios against the
# peers) side by side per script; the full output stays in the log folder.
#
#   bench/all.sh BEFORE_BUILD AFTER_BUILD [LOG_FOLDER]
#
# Both are Release builds made with -DVRELK_BENCH=ON. VRELK_BENCH_SCRIPTS
# names a subset (e.g. "jpeg webp"); VRELK_BENCH_RUNS is passed on. With
# VRELK_BENCH_LOCK set to a lock file, each pair of runs holds it, so that
# builds taking turns on the same lock do not disturb the timings. The Wine,
# desktop and memory scripts, which take builds of their own, are left to
# be run alone.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
before="$(cd "$1" && pwd)" after="$(cd "$2" && pwd)"
logs="${3:-$(mktemp -d)}"
mkdir -p "$logs"
read -r -a scripts <<<"${VRELK_BENCH_SCRIPTS:-png jpeg gif resize tiff tiff_compressed orientation size_target webp_size heif webp avif cli one_photo}"

summary() { grep -E '[0-9]x\b|[0-9]x |aim' "$1" | grep -vE '^(Benchmark|  Time|  Range)' ; }

run_pair() {
    local name="$1" side build
    for side in before after; do
        build="$before"
        [ "$side" = after ] && build="$after"
        "$here/${name}_bench.sh" "$build" >"$logs/$name.$side.log" 2>&1 ||
            echo "($name on $side ended with an error)" >>"$logs/$name.$side.log"
    done
}

for name in "${scripts[@]}"; do
    if [ -n "${VRELK_BENCH_LOCK:-}" ]; then
        exec 9>"$VRELK_BENCH_LOCK"
        flock 9
        run_pair "$name"
        exec 9>&-
    else
        run_pair "$name"
    fi
    printf '\n## %s\n' "$name"
    for side in before after; do
        printf -- '-- %s\n' "$side"
        summary "$logs/$name.$side.log"
    done
done
echo
echo "logs: $logs"
