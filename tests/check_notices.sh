#!/usr/bin/env bash
# Every archive and object file that the link map of Vrelk.exe shows linked
# in must be the program's own or have its section in the notices: a
# library added to the link without a notice, or without its line in the
# version window's library list, fails here.
#   tests/check_notices.sh <build folder with Vrelk.map> <THIRD-PARTY-NOTICES.txt>
set -euo pipefail
build="$(cd "$1" && pwd)"
notices="$2"
deps="$(readlink -f "${VRELK_DEPS:-/opt/vrelk-deps}")"
map="$build/Vrelk.map"
status=0
fail() { echo "notices: FAIL - $*"; status=1; }

[ -s "$map" ] || { fail "no link map $map"; exit 1; }

# Section headings: the line between two rules.
headings="$(awk 'function rule(line) { return line ~ /^=+$/ && length(line) >= 20 }
                 { sub(/\r$/, ""); lines[NR] = $0 }
                 END { for (i = 2; i < NR; i++) if (rule(lines[i - 1]) && rule(lines[i + 1])) print lines[i] }' "$notices")"

# Archives that gave the program a member, and the object files loaded.
inputs="$( (sed -n '/^Archive member included/,/^Discarded input sections/p' "$map" | grep -oE '^[^ ]+\.a\(' | sed 's/($//'
            grep -oE '^LOAD [^ ]+\.o(bj)?$' "$map" | sed 's/^LOAD //') | sort -u)"
[ -n "$inputs" ] || fail "the link map lists no inputs"

# The notice each input needs: the dependency prefix it came from, or the
# tool chain's part; the program's own files (relative to the build
# folder) need none.
notice_for() {
    local path="$1"
    case "$path" in
    /*) path="$(readlink -m "$path")" ;;
    *) echo "-"; return ;;
    esac
    case "$path" in
    "$build"/*) echo "-" ;;
    "$deps"/*)
        local name="${path#"$deps"/}"
        name="${name%%/*}"
        echo "${name%-i686}"
        ;;
    /usr/i686-w64-mingw32/lib/libz.a) echo "zlib" ;;
    /usr/i686-w64-mingw32/lib/*) echo "mingw-w64 runtime" ;;
    /usr/lib/gcc/i686-w64-mingw32/*) echo "GCC runtime" ;;
    *) echo "?" ;;
    esac
}

needed=""
while IFS= read -r input; do
    notice="$(notice_for "$input")"
    case "$notice" in
    -) ;;
    "?") fail "$input is linked into Vrelk.exe but no notice is known for it" ;;
    *) needed+="$notice"$'\n' ;;
    esac
done <<<"$inputs"

count=0
while IFS= read -r notice; do
    [ -n "$notice" ] || continue
    count=$((count + 1))
    grep -qE "^$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$notice")( \(|$)" <<<"$headings" ||
        fail "$notice is linked into Vrelk.exe but THIRD-PARTY-NOTICES.txt has no section for it"
done < <(sort -u <<<"$needed")

# The version window's tip names the same libraries.
version_window="$(dirname "$0")/../src/app/version_window_win32.cpp"
while IFS= read -r notice; do
    [ -n "$notice" ] || continue
    grep -qF "{L\"$notice\"," "$version_window" ||
        fail "$notice is linked into Vrelk.exe but the version window's library list does not name it"
done < <(sort -u <<<"$needed")

[ "$status" -eq 0 ] && echo "notices: ok - $count linked libraries, each with its section"
exit "$status"
