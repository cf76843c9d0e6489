#!/usr/bin/env bash
# Runs every test: the native suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows suite under Wine, and each fuzzer
# for a bounded time. Run scripts/setup.sh once first.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${VRELK_JOBS:-2}"
fuzz_seconds="${VRELK_FUZZ_SECONDS:-30}"
failed=0
passed_total=0
failed_total=0

step() { printf '\n=== %s ===\n' "$*"; }

# Warnings are errors here, where the compilers are known; a user's own
# build only shows them.
strict=(-DVRELK_WERROR=ON)
# Five builds share most sources; a compiler cache makes a run after a small
# change cost what the change costs.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$root"
fi

step "native Release build of the programs the packages hold"
cmake -G Ninja -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF "${strict[@]}" >/dev/null &&
    cmake --build "$root/build/release" -j "$jobs" --target vrelk vrelk_completion vrelk-gtk || exit 1

step "native tests (ASan + UBSan)"
cmake -G Ninja -S "$root" -B "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DVRELK_SANITIZE=ON "${strict[@]}" >/dev/null &&
    cmake --build "$root/build/asan" -j "$jobs" || exit 1
native_log="$(mktemp)"
(cd "$root/build/asan" && ctest --output-on-failure -j "$jobs") | tee "$native_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
if line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$native_log")"; then
    total="$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")"
    bad="$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")"
    passed_total=$((passed_total + total - bad))
    failed_total=$((failed_total + bad))
fi
rm -f "$native_log"

step "parallel batch and size search (ThreadSanitizer)"
cmake -G Ninja -S "$root" -B "$root/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRELK_TSAN=ON "${strict[@]}" >/dev/null &&
    cmake --build "$root/build/tsan" -j "$jobs" --target vrelk_thread_tests vrelk || exit 1
# vrelk itself runs under the sanitizer in the command-line tests; a race
# makes it exit with 66 and the test fail.
tsan_log="$(mktemp)"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" "$root/build/tsan/vrelk_thread_tests" \
    --gtest_filter='CliParallel.*:RunBatchInParallel.*:BatchStop.*:PluginTurns.*:JpegSizeSearch.*:SizeSearch.*:WebpSizeSearch.*:MemoryBudget.*:WorkerSlots.*:PngPieces.*:RowSplit.*:DiffusionRows.*:PngRead.SameRowsWhenInflatedAhead:WebpWrite.*' | tee "$tsan_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
tsan_passed="$(grep -cE '^\[       OK \]' "$tsan_log")"
tsan_failed="$(grep -cE '^\[  FAILED  \] [A-Za-z0-9_]+\.[A-Za-z0-9_]+ \(' "$tsan_log")"
passed_total=$((passed_total + tsan_passed))
failed_total=$((failed_total + tsan_failed))
rm -f "$tsan_log"

step "Windows tests (Wine)"
cmake -G Ninja -S "$root" -B "$root/build/win-test" -DCMAKE_BUILD_TYPE=Release "${strict[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" >/dev/null &&
    cmake --build "$root/build/win-test" -j "$jobs" || exit 1
step "help file"
if "$root/tests/check_help.sh" "$root/build/win-test/Vrelk.chm"; then
    passed_total=$((passed_total + 1))
else
    failed_total=$((failed_total + 1))
    failed=1
fi
wine_log="$(mktemp)"
# A Wine run has been seen, rarely, to hang for good with Vrelk.exe blocked
# and the driver waiting on it; such a run is ended after 15 minutes (the
# suite takes about 4) and the suite run once more.
# Written to the log rather than through a pipe: a hung run's children would
# keep a pipe open after the run itself has been ended.
run_wine_suite() {
    timeout --kill-after=30 900 "$root/tests/wine/run.sh" "$root/build/win-test" >"$wine_log" 2>&1
    local status=$?
    cat "$wine_log"
    return "$status"
}
run_wine_suite
wine_status=$?
if [ "$wine_status" -eq 124 ] || [ "$wine_status" -eq 137 ]; then
    echo "wine: the suite hung; ending its processes and running it once more"
    pkill -9 -f 'wine_driver.exe|Vrelk.exe|xvfb-run|Xvfb' || true
    WINEPREFIX="$root/build/win-test/wineprefix" wineserver -k 2>/dev/null || true
    run_wine_suite
    wine_status=$?
fi
[ "$wine_status" -eq 0 ] || failed=1
if line="$(grep -E '^wine: [0-9]+ passed, [0-9]+ failed' "$wine_log")"; then
    passed_total=$((passed_total + $(sed -E 's/wine: ([0-9]+) passed.*/\1/' <<<"$line")))
    failed_total=$((failed_total + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
else
    failed=1
fi
rm -f "$wine_log"

step "downloads (zip and .deb from the Release builds)"
packages_log="$(mktemp)"
if "$root/scripts/package.sh" --win "$root/build/win-test" --native "$root/build/release" --out "$root/build/dist"; then
    "$root/tests/check_packages.sh" "$root/build/dist" "$root/build/win-test" | tee "$packages_log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
    if line="$(grep -E '^packages: [0-9]+ passed, [0-9]+ failed' "$packages_log")"; then
        passed_total=$((passed_total + $(sed -E 's/packages: ([0-9]+) passed.*/\1/' <<<"$line")))
        failed_total=$((failed_total + $(sed -E 's/.* ([0-9]+) failed/\1/' <<<"$line")))
    fi
else
    failed_total=$((failed_total + 1))
    failed=1
fi
rm -f "$packages_log"

if compgen -G "$root/fuzz/*.cpp" >/dev/null; then
    step "fuzzers (${fuzz_seconds}s each)"
    CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$root/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVRELK_FUZZ=ON -DVRELK_TESTS=OFF -DVRELK_SANITIZE=ON "${strict[@]}" >/dev/null &&
        cmake --build "$root/build/fuzz" -j "$jobs" || exit 1
    # One fuzzer per core at a time; each writes its verdict to a file of
    # its own, read once all have ended.
    fuzz_dir="$(mktemp -d)"
    run_fuzzer() {
        local name="$1" corpus="$fuzz_dir/$1.corpus" seeds="$root/fuzz/corpus/$1"
        mkdir -p "$corpus"
        [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null
        if "$root/build/fuzz/$name" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 \
            -print_final_stats=0 "$corpus" >"$fuzz_dir/$name.log" 2>&1; then
            echo pass >"$fuzz_dir/$name.verdict"
        else
            echo finding >"$fuzz_dir/$name.verdict"
        fi
    }
    running=0
    for source in "$root"/fuzz/*.cpp; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n
            running=$((running - 1))
        fi
        run_fuzzer "$(basename "$source" .cpp)" &
        running=$((running + 1))
    done
    wait
    for source in "$root"/fuzz/*.cpp; do
        name="$(basename "$source" .cpp)"
        if [ "$(cat "$fuzz_dir/$name.verdict" 2>/dev/null)" = pass ]; then
            echo "fuzz $name: no finding"
            passed_total=$((passed_total + 1))
        else
            tail -40 "$fuzz_dir/$name.log"
            echo "fuzz $name: FINDING"
            failed_total=$((failed_total + 1))
            failed=1
        fi
    done
    rm -rf "$fuzz_dir"
fi

echo
echo "all: $passed_total passed, $failed_total failed"
exit $failed
