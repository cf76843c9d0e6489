#!/usr/bin/env bash
# Writes the third-party notices that ship with Vrelk.exe: the licence
# texts of every library scripts/setup.sh built for Windows (each keeps them
# in <prefix>/licence), of zlib, and of the mingw-w64 and GCC run-time code
# that the static link puts into the program; then every licence that those
# texts only refer to by its path on a Debian system.
#   scripts/notices.sh <output file>
set -euo pipefail
deps="${VRELK_DEPS:-/opt/vrelk-deps}"
out="$1"

# Names and Debian copyright files of what the tool chain links in.
TOOLCHAIN=(
    "zlib|/usr/share/doc/libz-mingw-w64-dev/copyright"
    "mingw-w64 runtime|/usr/share/doc/mingw-w64-common/copyright"
    "GCC runtime (libstdc++, libgcc; GCC Runtime Library Exception)|/usr/share/doc/gcc-mingw-w64-base/copyright"
)

rule() { printf '%s\n' "========================================================================"; }

section() {
    local name="$1"
    shift
    printf '\n'
    rule
    printf '%s\n' "$name"
    rule
    for file in "$@"; do
        printf '\n--- %s ---\n\n' "$(basename "$file")"
        cat "$file"
    done
}

{
    printf '%s\n' "Tessaly for Windows (Vrelk.exe) contains the following third-party"
    printf '%s\n' "software. Their copyright notices and licences follow."
    for prefix in "$deps"/*/; do
        [ -d "$prefix/licence" ] || continue
        files=("$prefix"/licence/*)
        [ -e "${files[0]}" ] || continue
        name="$(basename "$prefix")"
        section "${name%-i686}" "${files[@]}"
    done
    for entry in "${TOOLCHAIN[@]}"; do
        section "${entry%%|*}" "${entry#*|}"
    done
} >"$out.body"

# "/usr/share/common-licenses/GPL-3." at the end of a sentence names GPL-3.
mapfile -t referred < <(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+-]' "$out.body" | sort -u)
{
    cat "$out.body"
    declare -A shown=()
    for path in "${referred[@]}"; do
        [ -f "$path" ] || continue
        # GPL and LGPL are links to the latest version's text: shown once.
        real="$(readlink -f "$path")"
        [ -z "${shown[$real]:-}" ] || continue
        shown[$real]=1
        section "Licence text: ${real##*/} (referred to above as $path)" "$real"
    done
} >"$out"
rm -f "$out.body"
