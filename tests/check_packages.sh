#!/usr/bin/env bash
# Checks the downloads scripts/package.sh made, as their users get them:
# the zip unpacked into a fresh Wine prefix converts a file and opens the
# help file beside the program (through the Wine test driver), its notices
# cover every library in the link map; the .deb unpacked into a temporary
# root runs, shows its man page, and passes lintian without errors; the
# desktop program's .deb passes lintian, its .desktop files
# desktop-file-validate, and both packages install into a throwaway root
# and leave nothing there once purged.
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
    bash -c "dpkg-deb -f '$deb' Version | grep -qx '$version' && dpkg-deb -f '$deb' Depends | grep -q 'libc6' \
        && dpkg-deb -f '$deb' Depends | grep -q 'libtiff6'"
check "its copyright is machine-readable" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$deb_root/usr/share/doc/vrelk/copyright"
lintian_clean() {
    local report
    report="$(lintian "$1" 2>&1)"
    echo "$report" | grep -v 'root privileges'
    ! grep -q '^[EW]:' <<<"$report"
}
check "lintian reports no errors or warnings" lintian_clean "$deb"

gtk_deb="$dist/vrelk-gtk_${version}_amd64.deb"
gtk_root="$work/gtk-root"
check "the desktop program's .deb unpacks" dpkg -x "$gtk_deb" "$gtk_root"
check "it depends on vrelk of its version" bash -c "dpkg-deb -f '$gtk_deb' Depends | grep -q 'vrelk (= $version)' \
    && dpkg-deb -f '$gtk_deb' Depends | grep -q 'libgtk-4-1'"
check "vrelk itself needs no GUI library" bash -c "! dpkg-deb -f '$deb' Depends | grep -q gtk"
check "its program and entries are in place" test -x "$gtk_root/usr/bin/vrelk-gtk" \
    -a -f "$gtk_root/usr/share/applications/org.example.tessaly.Vrelk.desktop" \
    -a -f "$gtk_root/usr/share/kio/servicemenus/tessaly-convert.desktop" \
    -a -f "$gtk_root/usr/share/nemo/actions/tessaly-jpeg.nemo_action" \
    -a -f "$gtk_root/usr/share/nautilus-python/extensions/tessaly_nautilus.py"
desktop_files_valid() {
    local found=0 file
    while IFS= read -r -d '' file; do
        found=$((found + 1))
        desktop-file-validate "$file" || return 1
    done < <(find "$gtk_root" "$deb_root" -name '*.desktop' -print0)
    [ "$found" -eq 2 ]
}
check "desktop-file-validate passes on every .desktop file" desktop_files_valid
check "lintian reports no errors or warnings on the desktop program's .deb" lintian_clean "$gtk_deb"

# dpkg into a root of its own: nothing but its database is left after a purge.
install_and_purge() {
    local root="$work/dpkg-root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
    touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
    local dpkg=(dpkg --root="$root" --force-depends --force-not-root --log=/dev/null)
    "${dpkg[@]}" -i "$deb" "$gtk_deb" >/dev/null || return 1
    [ -x "$root/usr/bin/vrelk-gtk" ] && [ -x "$root/usr/bin/vrelk" ] || return 1
    "${dpkg[@]}" --purge vrelk-gtk vrelk >/dev/null || return 1
    local left
    left="$(cd "$root" && find . -mindepth 1 ! -path './var' ! -path './var/lib' ! -path './var/lib/dpkg*')"
    [ -z "$left" ] || { echo "left behind:"; echo "$left"; return 1; }
}
check "both packages install and purge leaving nothing behind" install_and_purge

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
