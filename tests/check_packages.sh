#!/usr/bin/env bash
# Checks the downloads scripts/package.sh made, as their users get them:
# the zip unpacked into a fresh Wine prefix converts a file and opens the
# help file beside the program (through the Wine test driver), its notices
# cover every library in the link map; the .deb unpacked into a temporary
# root runs, shows its man page, and passes lintian without errors.
#   tests/check_packages.sh <dist folder> <Windows build with the Wine tests>
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dist="$(cd "$1" && pwd)"
win="$(cd "$2" && pwd)"
version="$(cat "$win/version.txt")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {
    local label="$1"
    shift
    if "$@"; then
        echo "packages: ok - $label"
        passed=$((passed + 1))
    else
        echo "packages: FAIL - $label"
        failed=$((failed + 1))
    fi
}

zip="$dist/Tessaly-$version-win32.zip"
deb="$dist/vrelk_${version}_amd64.deb"
unpacked="$work/zip/Tessaly-$version-win32"
expected="LICENSE.txt README-en.txt README-ja.txt THIRD-PARTY-NOTICES.txt Vrelk.chm Vrelk.exe"

zip_holds_the_set() {
    unzip -q "$zip" -d "$work/zip" && [ "$(cd "$unpacked" && ls | LC_ALL=C sort | xargs)" = "$expected" ]
}
check "the zip holds $expected" zip_holds_the_set
check "the zip's help file reads back" "$here/check_help.sh" "$unpacked/Vrelk.chm"
check "the notices cover the link map" "$here/check_notices.sh" "$win" "$unpacked/THIRD-PARTY-NOTICES.txt"
check "the readme texts name the version" grep -q "Tessaly $version" "$unpacked/README-en.txt" "$unpacked/README-ja.txt"
# Nothing but the unpacked folder: a prefix made for this run.
check "the unpacked program converts and opens its help in a fresh Wine prefix" \
    env VRELK_PROGRAM="$unpacked/Vrelk.exe" VRELK_WINEPREFIX="$work/wineprefix" \
    "$here/wine/run.sh" "$win" packageConvertsAndOpensTheHelpFileBesideIt

deb_root="$work/root"
check "the .deb unpacks" dpkg -x "$deb" "$deb_root"
check "its vrelk names the version" test "$("$deb_root/usr/bin/vrelk" --version)" = "vrelk (Tessaly) $version"
man_page() { MANPAGER=cat MANWIDTH=80 man -l "$deb_root/usr/share/man/man1/vrelk.1.gz" 2>/dev/null; }
check "its man page shows with the version" bash -c "$(declare -f man_page); deb_root='$deb_root'; \
    man_page | grep -q 'Tessaly $version' && man_page | grep -q -- '--report=json'"
check "its bash completion is the program's own" \
    bash -c "cmp -s '$deb_root/usr/share/bash-completion/completions/vrelk' <('$deb_root/usr/bin/vrelk' --completion=bash)"
check "its control names the version and the libraries it needs" \
    bash -c "dpkg-deb -f '$deb' Version | grep -qx '$version' && dpkg-deb -f '$deb' Depends | grep -q 'libc6'"
check "its copyright is machine-readable" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$deb_root/usr/share/doc/vrelk/copyright"
lintian_clean() {
    local report
    report="$(lintian "$deb" 2>&1)"
    echo "$report" | grep -v 'root privileges'
    ! grep -q '^E:' <<<"$report"
}
check "lintian reports no errors" lintian_clean

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
