#!/usr/bin/env bash
# Makes the two downloads in dist/:
#   Tessaly-<version>-win32.zip   Vrelk.exe, Vrelk.chm, readme texts, the
#                                 licence and the third-party notices
#   vrelk_<version>_amd64.deb     vrelk, its man page, its bash completion and
#                                 copyright
#   vrelk-gtk_<version>_amd64.deb the desktop program, its man page and the
#                                 entries of the desktop and file managers
# Builds both programs in Release (build/package-*) unless given existing
# Release builds, as scripts/test.sh does. Run scripts/setup.sh once first.
#   scripts/package.sh [--win BUILD] [--native BUILD] [--out FOLDER]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${VRELK_JOBS:-2}"
win="" native="" out="$root/dist"
while [ $# -gt 0 ]; do
    case "$1" in
    --win) win="$2"; shift 2 ;;
    --native) native="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: scripts/package.sh [--win BUILD] [--native BUILD] [--out FOLDER]" >&2; exit 2 ;;
    esac
done

if [ -z "$win" ]; then
    win="$root/build/package-win"
    cmake -G Ninja -S "$root" -B "$win" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" >/dev/null
    cmake --build "$win" -j "$jobs" >/dev/null
fi
if [ -z "$native" ]; then
    native="$root/build/package-native"
    cmake -G Ninja -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release -DVRELK_TESTS=OFF >/dev/null
    cmake --build "$native" -j "$jobs" --target vrelk vrelk_completion vrelk-gtk >/dev/null
fi
win="$(cd "$win" && pwd)"
native="$(cd "$native" && pwd)"

version="$(cat "$win/version.txt")"
if [ "$version" != "$(cat "$native/version.txt")" ]; then
    echo "package: the Windows build is version $version, the native one $(cat "$native/version.txt")" >&2
    exit 1
fi
for built in "$win/Vrelk.exe" "$win/Vrelk.chm" "$native/vrelk" "$native/vrelk-gtk"; do
    [ -f "$built" ] || { echo "package: $built is missing" >&2; exit 1; }
done

mkdir -p "$out"
out="$(cd "$out" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
umask 022
export TZ=UTC
# Every file dated to the last commit, so that a build of the same commit
# gives the same archives.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}"
stamp() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# Text for Windows: CRLF lines; the Japanese readme with a byte-order mark
# so that every Notepad reads it as UTF-8.
windows_text() { sed -e "s/@VERSION@/$version/g" -e 's/\r$//' -e 's/$/\r/' "$1"; }

make_zip() {
    local name="Tessaly-$version-win32"
    local stage="$work/zip/$name"
    mkdir -p "$stage"
    cp "$win/Vrelk.chm" "$stage/"
    i686-w64-mingw32-strip -o "$stage/Vrelk.exe" "$win/Vrelk.exe"
    { printf '\xef\xbb\xbf'; windows_text "$root/doc/package/README-ja.txt"; } >"$stage/README-ja.txt"
    windows_text "$root/doc/package/README-en.txt" >"$stage/README-en.txt"
    windows_text "$root/LICENSE" >"$stage/LICENSE.txt"
    "$root/scripts/notices.sh" "$work/notices.txt"
    windows_text "$work/notices.txt" >"$stage/THIRD-PARTY-NOTICES.txt"
    stamp "$work/zip"
    rm -f "$out/$name.zip"
    (cd "$work/zip" && find "$name" | LC_ALL=C sort | zip -X -9 -q "$out/$name.zip" -@)
    echo "package: $out/$name.zip"
}

# The licence as the paragraph of a machine-readable copyright file.
licence_paragraph() {
    sed -n '/^Permission is hereby granted/,$p' "$root/LICENSE" | sed -e 's/^$/./' -e 's/^/ /'
}

# The package's documentation folder: copyright and changelog.
package_docs() {
    local doc="$1/usr/share/doc/$2"
    mkdir -p "$doc"
    { cat "$root/doc/package/copyright"; licence_paragraph; } >"$doc/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' "$2" "$version" "$version" \
        "The Tessaly developers <developers@tessaly.example.org>" \
        "$(date -R -d "@$SOURCE_DATE_EPOCH")" | gzip -9n >"$doc/changelog.gz"
}

# The libraries a program links, as package dependencies.
shared_library_depends() {
    local stage="$1" package="$2" program="$3"
    rm -rf "$work/shlibs" && mkdir -p "$work/shlibs/debian"
    # dpkg-shlibdeps reads a source package's control file.
    printf 'Source: vrelk\n\nPackage: %s\nArchitecture: amd64\n' "$package" >"$work/shlibs/debian/control"
    local depends
    depends="$(cd "$work/shlibs" && dpkg-shlibdeps -O -e"$stage/usr/bin/$program" 2>/dev/null |
        sed -n 's/^shlibs:Depends=//p')"
    [ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies of $program" >&2; exit 1; }
    echo "$depends"
}

build_deb() {
    local stage="$1" name="$2"
    (cd "$stage" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$stage/DEBIAN/md5sums"
    stamp "$stage"
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/$name.deb" >/dev/null
    echo "package: $out/$name.deb"
}

make_deb() {
    local name="vrelk_${version}_amd64"
    local stage="$work/deb"
    DESTDIR="$stage" cmake --install "$native" --prefix /usr --strip --component Unspecified >/dev/null
    gzip -9n "$stage/usr/share/man/man1/vrelk.1"
    package_docs "$stage" vrelk
    local depends
    depends="$(shared_library_depends "$stage" vrelk vrelk)"
    # AVIF output needs libheif's AV1 encoder, which libheif loads from libaom.
    depends="$depends, libaom3"

    mkdir -p "$stage/DEBIAN"
    cat >"$stage/DEBIAN/control" <<CONTROL
Package: vrelk
Version: $version
Architecture: amd64
Maintainer: The Tessaly developers <developers@tessaly.example.org>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Suggests: vrelk-gtk
Section: graphics
Priority: optional
Homepage: https://tessaly.example.org/
Description: convert images to BMP, PNG, JPEG, GIF, WebP or AVIF
 vrelk reads BMP, PNG, JPEG, GIF, TIFF, WebP, HEIC and AVIF files,
 optionally reduces their size, and writes them as BMP, PNG, JPEG, GIF,
 WebP or AVIF, or re-encodes JPEG files losslessly. It never replaces an
 existing file, converts files in parallel under the names a sequential
 run would give, and can report each file as a line of JSON for scripts
 and batch systems.
 .
 It is the command-line form of the Tessaly converter for Windows.
CONTROL
    build_deb "$stage" "$name"
}

# The desktop program on its own, so that a server installs vrelk alone.
make_gtk_deb() {
    local name="vrelk-gtk_${version}_amd64"
    local stage="$work/deb-gtk"
    DESTDIR="$stage" cmake --install "$native" --prefix /usr --strip --component gtk >/dev/null
    gzip -9n "$stage/usr/share/man/man1/vrelk-gtk.1"
    package_docs "$stage" vrelk-gtk
    local depends
    depends="$(shared_library_depends "$stage" vrelk-gtk vrelk-gtk), vrelk (= $version)"

    mkdir -p "$stage/DEBIAN"
    cat >"$stage/DEBIAN/control" <<CONTROL
Package: vrelk-gtk
Version: $version
Architecture: amd64
Maintainer: The Tessaly developers <developers@tessaly.example.org>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $depends
Suggests: python3-nautilus
Section: graphics
Priority: optional
Homepage: https://tessaly.example.org/
Description: convert images from the file manager's context menu
 vrelk-gtk converts the pictures selected in a file manager: a window of
 format buttons, a progress window that can cancel, and a notification
 with the result. It adds "Convert with Tessaly" and direct conversions to
 JPEG, PNG and WebP to Dolphin, Nemo and Nautilus, and appears under
 "Open With" for every picture format vrelk reads.
CONTROL
    build_deb "$stage" "$name"
}

make_zip
make_deb
make_gtk_deb
