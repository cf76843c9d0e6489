#!/usr/bin/env bash
# Runs the Windows test driver under Wine in a virtual X display.
#   tests/wine/run.sh <folder holding Vrelk.exe and wine_driver.exe>
set -euo pipefail

bin="$(cd "$1" && pwd)"
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX="${VRELK_WINEPREFIX:-$bin/wineprefix}"
export WINEDLLOVERRIDES="mscoree,mshtml="

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

to_windows() { echo "Z:${1//\//\\}"; }

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
    fi
    wine "$0" "$1" "$2"
    status=$?
    wineserver -w || true
    exit $status
' "$bin/wine_driver.exe" "$(to_windows "$bin/Vrelk.exe")" "$(to_windows "$scratch")"
