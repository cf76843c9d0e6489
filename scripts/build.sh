#!/usr/bin/env bash
# Builds the native program (build/native/vrelk) and the Windows program
# (build/win/Vrelk.exe). Run scripts/setup.sh once first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${VRELK_JOBS:-2}"

cmake -G Ninja -S "$root" -B "$root/build/native" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF >/dev/null
cmake --build "$root/build/native" -j "$jobs"

if [ "${VRELK_NATIVE_ONLY:-0}" != 1 ]; then
    cmake -G Ninja -S "$root" -B "$root/build/win" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" >/dev/null
    cmake --build "$root/build/win" -j "$jobs"
fi
