#!/usr/bin/env bash
# Runs the Windows test driver under Wine in a virtual X display.
#   tests/wine/run.sh <folder holding Vrelk.exe and wine_driver.exe> [test name filter]
# VRELK_PROGRAM names another Vrelk.exe to test (an unpacked download),
# VRELK_WINEPREFIX another Wine prefix (a fresh one).
# Screenshots the tests take land in <folder>/artifacts as PNG files.
set -euo pipefail

bin="$(cd "$1" && pwd)"
# A home of its own: the shortcut tests write to the desktop and Send To
# folders, which Wine links into the home folder.
export HOME="$bin/winehome"
mkdir -p "$HOME"
export WINEDEBUG=-all
export WINEARCH=win32
export WINEPREFIX="${VRELK_WINEPREFIX:-$bin/wineprefix}"
# No menu entries for created shortcuts, no browser for web links.
# A program that crashes ends at once rather than waiting in the debugger,
# which would hold the run open for ever.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winebrowser.exe=d;winedbg.exe=d"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/run" "$scratch/fixtures"

# Input files made by independent encoders before the run.
here="$(cd "$(dirname "$0")" && pwd)"
for maker in "$here"/fixtures_*.py; do
    [ -e "$maker" ] || continue
    /usr/bin/python3 "$maker" "$scratch/fixtures"
done

# The program's users run the Japanese code page (932), which Wine takes
# from the Unix locale; it is generated here when the system lacks it.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
    mkdir -p "$scratch/locale"
    if localedef -i ja_JP -f UTF-8 "$scratch/locale/ja_JP.UTF-8" >/dev/null 2>&1; then
        export LOCPATH="$scratch/locale"
    fi
fi
export LANG=ja_JP.UTF-8
unset LC_ALL

to_windows() { echo "Z:${1//\//\\}"; }

# The X server and wineserver outlive a killed run; they must not inherit
# descriptors such as a build lock's, or the lock is held for ever.
for fd in /proc/$$/fd/*; do
    fd="${fd##*/}"
    [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null || true
done

artifacts="$bin/artifacts"
mkdir -p "$artifacts"
rm -f "$artifacts"/*.bmp "$artifacts"/*.png "$artifacts"/*.avif
export VRELK_ARTIFACTS="$(to_windows "$artifacts")"

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -e
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
    fi
    # Honest pictures without a window manager: Japanese captions in the
    # face the program asks for, Wine drawing its own frames, and the
    # caption-button glyphs. Windows are unmanaged, or Wine would wait 2 s
    # for the missing window manager each time one is hidden.
    if [ ! -f "$WINEPREFIX/.vrelk-display-2" ]; then
        wine reg add "HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes" \
            /v "MS UI Gothic" /t REG_SZ /d IPAPGothic /f >/dev/null 2>&1
        wine reg add "HKCU\Software\Wine\X11 Driver" /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
        wine reg add "HKCU\Software\Wine\X11 Driver" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        wineserver -w || true
        touch "$WINEPREFIX/.vrelk-display-2"
    fi
    status=0
    wine "$0" "$1" "$2" "$3" ${4:+"$4"} || status=$?
    wineserver -w || true
    exit $status
' "$bin/wine_driver.exe" "$(to_windows "${VRELK_PROGRAM:-$bin/Vrelk.exe}")" "$(to_windows "$scratch/run")" \
    "$(to_windows "$scratch/fixtures")" "${2:-}" || status=$?

for shot in "$artifacts"/*.bmp; do
    [ -e "$shot" ] || continue
    convert "$shot" "${shot%.bmp}.png" && rm -f "$shot"
done
# The AVIF files the tests kept must decode in libavif's own decoder.
for avif in "$artifacts"/*.avif; do
    [ -e "$avif" ] || continue
    if avifdec "$avif" "$scratch/decoded.png" >/dev/null 2>&1; then
        echo "avifdec: ok - ${avif##*/}"
    else
        echo "avifdec: FAIL - cannot decode ${avif##*/}"
        status=1
    fi
done
exit "${status:-0}"
