#!/usr/bin/env bash
# Installs everything needed to build and test both targets on a fresh
# Debian 12 machine (run as root). Safe to run again: finished steps are skipped.
set -euo pipefail

DEPS_PREFIX="${VRELK_DEPS:-/opt/vrelk-deps}"
JPEG_PREFIX="$DEPS_PREFIX/libjpeg-turbo-i686"
DEFLATE_PREFIX="$DEPS_PREFIX/libdeflate-i686"
LCMS_PREFIX="$DEPS_PREFIX/lcms2-i686"
export DEBIAN_FRONTEND=noninteractive

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup.sh must run as root" >&2
        exit 1
    fi
}

add_i386() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
}

# apt-get source needs deb-src entries; derive them from the machine's own
# deb entries so that no repository host is named here.
add_deb_src() {
    local src=/etc/apt/sources.list.d/debian.sources
    local out=/etc/apt/sources.list.d/vrelk-deb-src.sources
    [ -f "$out" ] && return 0
    if [ -f "$src" ]; then
        sed -e 's/^Types:.*/Types: deb-src/' "$src" > "$out"
    elif [ -f /etc/apt/sources.list ]; then
        grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
            > /etc/apt/sources.list.d/vrelk-deb-src.list
        touch "$out"
    fi
}

PACKAGES=(
    build-essential g++ cmake ninja-build pkg-config git
    googletest libgtest-dev libbenchmark-dev
    zlib1g-dev libjpeg62-turbo-dev libjpeg-turbo-progs
    g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 libz-mingw-w64-dev nasm
    wine wine32:i386 xvfb xauth fonts-ipafont-gothic fonts-wine locales fp-utils
    dpkg-dev clang libclang-rt-14-dev
    imagemagick graphicsmagick gifsicle libtiff-tools python3-pil python3-numpy libvips-tools hyperfine
    libdeflate-dev liblcms2-dev
)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ] && [ -f /etc/apt/sources.list.d/vrelk-deb-src.sources ] \
        && apt-cache showsrc libjpeg-turbo >/dev/null 2>&1; then
        return 0
    fi
    apt-get update
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

build_jpeg_i686() {
    if [ -f "$JPEG_PREFIX/lib/libjpeg.a" ] && [ -f "$JPEG_PREFIX/include/jpeglib.h" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        apt-get source --download-only libjpeg-turbo >/dev/null
        dpkg-source -x libjpeg-turbo_*.dsc src >/dev/null
        cat > toolchain.cmake <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$JPEG_PREFIX" \
            -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
            -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=OFF -DWITH_SIMD=ON \
            -DREQUIRE_SIMD=ON >/dev/null
        cmake --build build --target jpeg-static
        mkdir -p "$JPEG_PREFIX/lib" "$JPEG_PREFIX/include"
        cp build/libjpeg.a "$JPEG_PREFIX/lib/"
        cp build/jconfig.h src/jpeglib.h src/jmorecfg.h src/jerror.h "$JPEG_PREFIX/include/"
    )
    rm -rf "$work"
}

# libdeflate 1.14 builds with its own Makefile, which names the static
# library libdeflatestatic.lib for MinGW.
build_deflate_i686() {
    if [ -f "$DEFLATE_PREFIX/lib/libdeflate.a" ] && [ -f "$DEFLATE_PREFIX/include/libdeflate.h" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        apt-get source --download-only libdeflate >/dev/null
        dpkg-source -x libdeflate_*.dsc src >/dev/null
        make -C src -j2 CC=i686-w64-mingw32-gcc CFLAGS=-O2 libdeflatestatic.lib >/dev/null
        mkdir -p "$DEFLATE_PREFIX/lib" "$DEFLATE_PREFIX/include"
        cp src/libdeflatestatic.lib "$DEFLATE_PREFIX/lib/libdeflate.a"
        cp src/libdeflate.h "$DEFLATE_PREFIX/include/"
    )
    rm -rf "$work"
}

# Little CMS, static, with none of its optional image libraries; its
# licence goes into $LCMS_PREFIX/licence/ for the packaging.
build_lcms2_i686() {
    if [ -f "$LCMS_PREFIX/lib/liblcms2.a" ] && [ -f "$LCMS_PREFIX/include/lcms2.h" ] \
        && [ -f "$LCMS_PREFIX/licence/copyright" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        apt-get source --download-only lcms2 >/dev/null
        dpkg-source -x lcms2_*.dsc src >/dev/null
        cd src
        ./configure --host=i686-w64-mingw32 --prefix="$LCMS_PREFIX" --disable-shared --enable-static \
            --without-jpeg --without-tiff --without-zlib CFLAGS=-O2 >/dev/null
        make -C src -j2 >/dev/null
        mkdir -p "$LCMS_PREFIX/lib" "$LCMS_PREFIX/include" "$LCMS_PREFIX/licence"
        cp src/.libs/liblcms2.a "$LCMS_PREFIX/lib/"
        cp include/lcms2.h include/lcms2_plugin.h "$LCMS_PREFIX/include/"
        for f in COPYING LICENSE; do
            [ -f "$f" ] && cp "$f" "$LCMS_PREFIX/licence/"
        done
        cp debian/copyright "$LCMS_PREFIX/licence/copyright"
    )
    rm -rf "$work"
}

need_root
add_i386
add_deb_src
install_packages
build_jpeg_i686
build_deflate_i686
build_lcms2_i686
echo "setup: done (libjpeg-turbo, libdeflate and Little CMS for i686 in $JPEG_PREFIX, $DEFLATE_PREFIX and $LCMS_PREFIX)"
