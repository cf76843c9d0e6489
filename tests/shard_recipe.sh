#!/usr/bin/env bash
# The README's Kubernetes sharding recipe, its text taken from README.md and
# run as each of its 20 pods would run it (the shared volume's /data moved
# under a scratch folder, nothing else changed): every listed picture is
# converted by exactly one shard, the reports together name each input
# once, the shard holding a damaged picture exits 1 and the others 0, and
# a retried shard writes the same names again.
#   tests/shard_recipe.sh <vrelk>
set -euo pipefail
vrelk="$(readlink -f "$1")"
readme="$(cd "$(dirname "$0")/.." && pwd)/README.md"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

recipe="$(awk '/Kubernetes Indexed Job/ { named = 1 }
               named && /^```sh$/ { inside = 1; next }
               inside && /^```$/ { exit }
               inside { print }' "$readme")"
[ -n "$recipe" ] || { echo "shard recipe: FAILED - no recipe found in README.md"; exit 1; }
recipe="${recipe//\/data/$work/data}"

mkdir -p "$work/bin" "$work/config" "$work/data/photos"
ln -s "$vrelk" "$work/bin/vrelk"
export XDG_CONFIG_HOME="$work/config" PATH="$work/bin:$PATH"

/usr/bin/python3 - "$work/data" <<'MAKE'
import os, sys
from PIL import Image
data = sys.argv[1]
names = []
for i in range(45):
    name = os.path.join(data, "photos", "p%02d %s.png" % (i, "写真" if i % 7 == 0 else "x"))
    Image.new("RGB", (40 + i, 30), (i * 5, 100, 200)).save(name)
    names.append(name)
damaged = os.path.join(data, "photos", "damaged.png")
with open(damaged, "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + b"\0" * 20)
names.insert(13, damaged)
with open(os.path.join(data, "list.txt"), "w") as f:
    f.write("\n".join(names) + "\n")
MAKE

failures=0
fail() { echo "shard recipe: FAILED - $*"; failures=$((failures + 1)); }

run_shard() {
    JOB_COMPLETION_INDEX="$1" bash -c "$recipe" >/dev/null 2>"$work/shard-$1.err"
}

for index in $(seq 0 19); do
    status=0
    run_shard "$index" || status=$?
    # Line 14 of list.txt (NR 14, 14 % 20 == 14) is the damaged picture.
    expected=0
    [ "$index" = 14 ] && expected=1
    [ "$status" = "$expected" ] || fail "shard $index exited $status, not $expected"
done

/usr/bin/python3 - "$work/data" <<'CHECK' || failures=$((failures + 1))
import glob, json, os, sys
data = sys.argv[1]
listed = open(os.path.join(data, "list.txt")).read().splitlines()
seen = {}
for report in sorted(glob.glob(os.path.join(data, "web", "shard-*.jsonl"))):
    for line in open(report):
        entry = json.loads(line)
        seen.setdefault(entry["input"], []).append(entry)
problems = [name for name in listed if len(seen.get(name, [])) != 1]
for name in listed:
    for entry in seen.get(name, []):
        if name.endswith("damaged.png"):
            if entry["status"] != "skipped":
                problems.append(name + " not skipped")
        elif entry["status"] != "converted" or not os.path.isfile(entry["output"]):
            problems.append(name + " not converted")
        elif "+" in os.path.basename(entry["output"]):
            problems.append(entry["output"] + " numbered")
if problems:
    print("shard recipe: FAILED -", problems[:5])
    sys.exit(1)
CHECK

# A retried pod empties its folder and writes the same names again.
before="$(cd "$work/data/web/shard-3" && ls | sort)"
run_shard 3 || fail "retried shard 3 failed"
after="$(cd "$work/data/web/shard-3" && ls | sort)"
[ "$before" = "$after" ] || fail "retried shard 3 wrote other names"

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "shard recipe: 46 files in 20 shards, each converted once; the retry wrote the same names"
