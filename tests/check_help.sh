#!/usr/bin/env bash
# Opens the compiled help file with the Free Pascal CHM reader: every topic
# of the contents is stored, the binary index resolves to stored topics,
# and a topic reads back as the Japanese page.
#   tests/check_help.sh <Vrelk.chm>
set -euo pipefail
chm="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "help: FAIL - $*"; status=1; }

chmls -p -n list "$chm" >"$work/list" || fail "chmls cannot list $chm"
chmls extract "$chm" /contents.hhc "$work/contents.hhc" >/dev/null || fail "no contents"
chmls extractindex "$chm" "$work/index.txt" >/dev/null || fail "no binary index"
topics=$(grep -o 'value="[a-z]*\.htm"' "$work/contents.hhc" | sed 's/value="\(.*\)"/\1/' | sort -u)
[ "$(wc -w <<<"$topics")" -ge 7 ] || fail "contents lists $(wc -w <<<"$topics") topics"
for topic in $topics; do
    grep -qx "/$topic" "$work/list" || fail "topic $topic not stored"
done
indexed=$(grep -o 'value="[a-z]*\.htm"' "$work/index.txt" | sed 's/value="\(.*\)"/\1/' | sort -u)
[ -n "$indexed" ] || fail "index has no entries"
for topic in $indexed; do
    grep -qx "/$topic" "$work/list" || fail "index entry $topic not stored"
done
iconv -f CP932 -t UTF-8 "$work/contents.hhc" | grep -q '設定ウィンドウ' || fail "contents names not in the Japanese code page"
chmls extract "$chm" /settings.htm "$work/settings.htm" >/dev/null || fail "settings topic not extracted"
grep -q 'ファイルサイズ指定' "$work/settings.htm" || fail "settings topic does not read back"
[ "$status" -eq 0 ] && echo "help: ok - $(wc -w <<<"$topics") topics, $(wc -w <<<"$indexed") indexed pages"
exit "$status"
