#!/usr/bin/env bash
# Installs everything needed to build and test both targets on a fresh
# Debian 12 machine (run as root). Safe to run again: finished steps are skipped.
set -euo pipefail

DEPS_PREFIX="${VRELK_DEPS:-/opt/vrelk-deps}"
JPEG_PREFIX="$DEPS_PREFIX/libjpeg-turbo-i686"
DEFLATE_PREFIX="$DEPS_PREFIX/libdeflate-i686"
DE265_PREFIX="$DEPS_PREFIX/libde265-i686"
DAV1D_PREFIX="$DEPS_PREFIX/dav1d-i686"
AOM_PREFIX="$DEPS_PREFIX/libaom-i686"
HEIF_PREFIX="$DEPS_PREFIX/libheif-i686"
LCMS_PREFIX="$DEPS_PREFIX/lcms2-i686"
WEBP_PREFIX="$DEPS_PREFIX/libwebp-i686"
TIFF_PREFIX="$DEPS_PREFIX/libtiff-i686"
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
    libdeflate-dev liblcms2-dev libwebp-dev webp
    libheif-dev libde265-dev libdav1d-dev libaom-dev libheif-examples libavif-bin meson
    libtiff-dev libimage-exiftool-perl
    lintian zip unzip parallel man-db ccache
    libgtk-4-dev desktop-file-utils xdotool dbus-daemon python3-gi
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

# Every library built for Windows leaves its licence texts, taken from its
# Debian source package, in <prefix>/licence; scripts/notices.sh gathers
# them into the notices that ship with Vrelk.exe.
has_licence() {
    [ -n "$(ls -A "$1/licence" 2>/dev/null)" ]
}

#   install_licence <unpacked source> <prefix> <file in the source>...
install_licence() {
    local src="$1" prefix="$2"
    shift 2
    mkdir -p "$prefix/licence"
    for file in "$@"; do
        cp "$src/$file" "$prefix/licence/$(basename "$file")"
    done
}

build_jpeg_i686() {
    local built=0
    if [ -f "$JPEG_PREFIX/lib/libjpeg.a" ] && [ -f "$JPEG_PREFIX/include/jpeglib.h" ]; then
        built=1
        has_licence "$JPEG_PREFIX" && return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        apt-get source --download-only libjpeg-turbo >/dev/null
        dpkg-source -x libjpeg-turbo_*.dsc src >/dev/null
        install_licence src "$JPEG_PREFIX" LICENSE.md README.ijg debian/copyright
        [ "$built" -eq 1 ] && exit 0
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
    local built=0
    if [ -f "$DEFLATE_PREFIX/lib/libdeflate.a" ] && [ -f "$DEFLATE_PREFIX/include/libdeflate.h" ]; then
        built=1
        has_licence "$DEFLATE_PREFIX" && return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        apt-get source --download-only libdeflate >/dev/null
        dpkg-source -x libdeflate_*.dsc src >/dev/null
        install_licence src "$DEFLATE_PREFIX" COPYING debian/copyright
        [ "$built" -eq 1 ] && exit 0
        make -C src -j2 CC=i686-w64-mingw32-gcc CFLAGS=-O2 libdeflatestatic.lib >/dev/null
        mkdir -p "$DEFLATE_PREFIX/lib" "$DEFLATE_PREFIX/include"
        cp src/libdeflatestatic.lib "$DEFLATE_PREFIX/lib/libdeflate.a"
        cp src/libdeflate.h "$DEFLATE_PREFIX/include/"
    )
    rm -rf "$work"
}

# Fetches and unpacks a Debian source package (with Debian's patches) into
# ./src. The newest version may sit on a host that cannot be reached; the
# older versions apt knows are tried in turn.
fetch_debian_source() {
    local package="$1" version
    for version in $(apt-cache showsrc "$package" | awk '/^Version:/ {print $2}' | sort -rV); do
        if apt-get source --download-only "$package=$version" >/dev/null 2>&1; then
            dpkg-source -x "${package}_${version#*:}.dsc" src >/dev/null
            return 0
        fi
    done
    echo "setup: cannot fetch the source of $package" >&2
    return 1
}

# The licence texts of a library linked into Vrelk.exe, kept beside it.
copy_licences() {
    local prefix="$1"; shift
    mkdir -p "$prefix/licence"
    cp "$@" "$prefix/licence/"
    cp src/debian/copyright "$prefix/licence/copyright"
}

write_mingw_cmake_toolchain() {
    cat > "$1" <<'TC'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
}

# The win32 thread model of the MinGW compiler has no std::mutex; libde265
# takes one only around its one-time initialisation. This header, forced
# into its C++ sources, supplies it on a critical section.
write_mutex_shim() {
    cat > "$1" <<'SHIM'
#pragma once
#ifdef __cplusplus
#include <mutex>
#if !defined(_GLIBCXX_HAS_GTHREADS)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
namespace std {
class mutex {
public:
    mutex() { InitializeCriticalSection(&section_); }
    ~mutex() { DeleteCriticalSection(&section_); }
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }
private:
    CRITICAL_SECTION section_;
};
}
#endif
#endif
SHIM
}

build_de265_i686() {
    if [ -f "$DE265_PREFIX/lib/libde265.a" ] && [ -f "$DE265_PREFIX/include/libde265/de265.h" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source libde265
        write_mingw_cmake_toolchain toolchain.cmake
        write_mutex_shim mutex_shim.h
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$DE265_PREFIX" \
            -DCMAKE_CXX_FLAGS="-include $work/mutex_shim.h" \
            -DBUILD_SHARED_LIBS=OFF -DENABLE_SDL=OFF -DENABLE_DECODER=OFF -DENABLE_ENCODER=OFF >/dev/null
        cmake --build build --target de265
        cmake --install build >/dev/null
        copy_licences "$DE265_PREFIX" src/COPYING
    )
    rm -rf "$work"
}

build_dav1d_i686() {
    if [ -f "$DAV1D_PREFIX/lib/libdav1d.a" ] && [ -f "$DAV1D_PREFIX/include/dav1d/dav1d.h" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source dav1d
        cat > cross.txt <<'CROSS'
[binaries]
c = 'i686-w64-mingw32-gcc'
ar = 'i686-w64-mingw32-ar'
strip = 'i686-w64-mingw32-strip'
windres = 'i686-w64-mingw32-windres'
nasm = 'nasm'

[host_machine]
system = 'windows'
cpu_family = 'x86'
cpu = 'i686'
endian = 'little'
CROSS
        meson setup build src --cross-file cross.txt --prefix "$DAV1D_PREFIX" --libdir lib \
            --buildtype release --default-library static \
            -Denable_tools=false -Denable_tests=false -Denable_examples=false -Denable_docs=false \
            -Dbitdepths=8,16 >/dev/null
        ninja -C build
        ninja -C build install >/dev/null
        copy_licences "$DAV1D_PREFIX" src/COPYING
    )
    rm -rf "$work"
}

# libaom's AV1 encoder for AVIF output, static, 8-bit only and without its
# decoder (dav1d decodes): the smallest build libheif's encoder can use.
# libaom has Windows threads of its own; it would take winpthread's instead
# wherever that is installed, so it is told there are no POSIX threads.
# Windows keeps a 32-bit program's stack only 4-byte aligned, so every
# function that keeps SSE data on it realigns it (-mstackrealign).
AOM_CONFIG="encoder 8-bit stackrealign"
build_aom_i686() {
    if [ -f "$AOM_PREFIX/lib/libaom.a" ] && [ -f "$AOM_PREFIX/include/aom/aomcx.h" ] \
        && [ -f "$AOM_PREFIX/licence/copyright" ] \
        && [ "$(cat "$AOM_PREFIX/built-with" 2>/dev/null)" = "$AOM_CONFIG" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source aom
        sed -i 's/^set(HAVE_PTHREAD_H ${CMAKE_USE_PTHREADS_INIT})$/set(HAVE_PTHREAD_H 0)/' \
            src/build/cmake/aom_configure.cmake
        grep -qx 'set(HAVE_PTHREAD_H 0)' src/build/cmake/aom_configure.cmake
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/src/build/cmake/toolchains/x86-mingw-gcc.cmake" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="-m32 -mstackrealign" \
            -DCMAKE_CXX_FLAGS="-m32 -mstackrealign" \
            -DCMAKE_INSTALL_PREFIX="$AOM_PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
            -DBUILD_SHARED_LIBS=OFF -DENABLE_NASM=ON \
            -DENABLE_TESTS=OFF -DENABLE_TESTDATA=OFF -DENABLE_DOCS=OFF -DENABLE_EXAMPLES=OFF \
            -DENABLE_TOOLS=OFF -DCONFIG_AV1_DECODER=0 -DCONFIG_AV1_HIGHBITDEPTH=0 \
            -DCONFIG_WEBM_IO=0 >/dev/null
        cmake --build build --target aom aom_pc
        cmake --install build >/dev/null
        copy_licences "$AOM_PREFIX" src/LICENSE src/PATENTS
        echo "$AOM_CONFIG" > "$AOM_PREFIX/built-with"
    )
    rm -rf "$work"
}

# Built without threads (the MinGW compiler's thread model has none to
# give) and without plug-in loading: both decoders and the AV1 encoder are
# linked in. The stamp names that configuration, so a libheif built before
# the encoder was added is built again.
HEIF_CONFIG="libde265 dav1d aom-encoder"
build_heif_i686() {
    if [ -f "$HEIF_PREFIX/lib/libheif.a" ] && [ -f "$HEIF_PREFIX/include/libheif/heif.h" ] \
        && [ "$(cat "$HEIF_PREFIX/built-with" 2>/dev/null)" = "$HEIF_CONFIG" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source libheif
        write_mingw_cmake_toolchain toolchain.cmake
        echo "set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 $DE265_PREFIX $DAV1D_PREFIX $AOM_PREFIX)" >> toolchain.cmake
        PKG_CONFIG_LIBDIR="$DE265_PREFIX/lib/pkgconfig:$DAV1D_PREFIX/lib/pkgconfig:$AOM_PREFIX/lib/pkgconfig" \
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$HEIF_PREFIX" \
            -DBUILD_SHARED_LIBS=OFF -DWITH_EXAMPLES=OFF -DWITH_GDK_PIXBUF=OFF \
            -DENABLE_PLUGIN_LOADING=OFF -DENABLE_MULTITHREADING_SUPPORT=OFF -DENABLE_PARALLEL_TILE_DECODING=OFF \
            -DWITH_LIBDE265=ON -DWITH_DAV1D=ON -DWITH_X265=OFF -DWITH_AOM_ENCODER=ON -DWITH_AOM_DECODER=OFF \
            -DWITH_RAV1E=OFF -DWITH_SvtEnc=OFF \
            -DLIBDE265_INCLUDE_DIR="$DE265_PREFIX/include" -DLIBDE265_LIBRARY="$DE265_PREFIX/lib/libde265.a" \
            -DDAV1D_INCLUDE_DIR="$DAV1D_PREFIX/include" -DDAV1D_LIBRARY="$DAV1D_PREFIX/lib/libdav1d.a" \
            -DAOM_INCLUDE_DIR="$AOM_PREFIX/include" -DAOM_LIBRARY="$AOM_PREFIX/lib/libaom.a" >/dev/null
        cmake --build build --target heif
        cmake --install build >/dev/null
        copy_licences "$HEIF_PREFIX" src/COPYING
        echo "$HEIF_CONFIG" > "$HEIF_PREFIX/built-with"
    )
    rm -rf "$work"
}

# libwebp with its demuxer (the first frame of an animation, the ICCP chunk)
# and its muxer (the ICCP chunk on output), static.
build_webp_i686() {
    if [ -f "$WEBP_PREFIX/lib/libwebp.a" ] && [ -f "$WEBP_PREFIX/lib/libwebpdemux.a" ] \
        && [ -f "$WEBP_PREFIX/lib/libwebpmux.a" ] \
        && [ -f "$WEBP_PREFIX/include/webp/decode.h" ] && [ -f "$WEBP_PREFIX/licence/COPYING" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source libwebp
        write_mingw_cmake_toolchain toolchain.cmake
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$WEBP_PREFIX" \
            -DBUILD_SHARED_LIBS=OFF -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF \
            -DWEBP_BUILD_DWEBP=OFF -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF \
            -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF \
            -DWEBP_BUILD_EXTRAS=OFF -DWEBP_BUILD_LIBWEBPMUX=ON >/dev/null
        cmake --build build -j2 >/dev/null
        cmake --install build >/dev/null
        copy_licences "$WEBP_PREFIX" src/COPYING src/PATENTS
    )
    rm -rf "$work"
}

# Little CMS, static, with none of its optional image libraries.
build_lcms2_i686() {
    if [ -f "$LCMS_PREFIX/lib/liblcms2.a" ] && [ -f "$LCMS_PREFIX/include/lcms2.h" ] \
        && [ -f "$LCMS_PREFIX/licence/copyright" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source lcms2
        (
            cd src
            ./configure --host=i686-w64-mingw32 --prefix="$LCMS_PREFIX" --disable-shared --enable-static \
                --without-jpeg --without-tiff --without-zlib CFLAGS=-O2 >/dev/null
            make -C src -j2 >/dev/null
        )
        mkdir -p "$LCMS_PREFIX/lib" "$LCMS_PREFIX/include"
        cp src/src/.libs/liblcms2.a "$LCMS_PREFIX/lib/"
        cp src/include/lcms2.h src/include/lcms2_plugin.h "$LCMS_PREFIX/include/"
        local texts=()
        for f in src/COPYING src/LICENSE; do
            [ -f "$f" ] && texts+=("$f")
        done
        copy_licences "$LCMS_PREFIX" "${texts[@]}"
    )
    rm -rf "$work"
}

# libtiff, static, with the codecs the three libraries above bring (Deflate
# through zlib and libdeflate, JPEG through libjpeg-turbo) and its own
# (LZW, PackBits, CCITT fax); none that would need another library.
build_tiff_i686() {
    if [ -f "$TIFF_PREFIX/lib/libtiff.a" ] && [ -f "$TIFF_PREFIX/include/tiffio.h" ] \
        && [ -f "$TIFF_PREFIX/licence/copyright" ]; then
        return 0
    fi
    local work
    work="$(mktemp -d)"
    (
        cd "$work"
        fetch_debian_source tiff
        write_mingw_cmake_toolchain toolchain.cmake
        cmake -S src -B build -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
            -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_INSTALL_PREFIX="$TIFF_PREFIX" \
            -DBUILD_SHARED_LIBS=OFF -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
            -Dcxx=OFF -Dzlib=ON -Dlibdeflate=ON -Djpeg=ON -Dold-jpeg=OFF -Djpeg12=OFF \
            -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Djbig=OFF -Dlerc=OFF -Dpixarlog=OFF \
            -DZLIB_LIBRARY=/usr/i686-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/i686-w64-mingw32/include \
            -DJPEG_INCLUDE_DIR="$JPEG_PREFIX/include" -DJPEG_LIBRARY="$JPEG_PREFIX/lib/libjpeg.a" \
            -DDeflate_INCLUDE_DIR="$DEFLATE_PREFIX/include" \
            -DDeflate_LIBRARY_RELEASE="$DEFLATE_PREFIX/lib/libdeflate.a" >/dev/null
        cmake --build build -j2 --target tiff >/dev/null
        mkdir -p "$TIFF_PREFIX/lib" "$TIFF_PREFIX/include"
        cp build/libtiff/libtiff.a "$TIFF_PREFIX/lib/"
        cp src/libtiff/tiff.h src/libtiff/tiffio.h src/libtiff/tiffvers.h build/libtiff/tiffconf.h "$TIFF_PREFIX/include/"
        copy_licences "$TIFF_PREFIX" src/LICENSE.md
    )
    rm -rf "$work"
}

need_root
add_i386
add_deb_src
install_packages
build_jpeg_i686
build_deflate_i686
build_de265_i686
build_dav1d_i686
build_aom_i686
build_heif_i686
build_webp_i686
build_lcms2_i686
build_tiff_i686
echo "setup: done (libjpeg-turbo, libdeflate, libde265, dav1d, libaom, libheif, libwebp, Little CMS and libtiff for i686 in $DEPS_PREFIX)"
