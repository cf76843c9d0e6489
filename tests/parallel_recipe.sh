#!/usr/bin/env bash
# The README's GNU parallel recipe, its text taken from README.md and run as
# a user pastes it, with vrelk on the PATH, over 450 pictures in shards of
# the recipe's size (3 of 200, 200 and 50), one damaged picture in the first
# shard and one in the last, two of them larger than the recipe's long side.
# Every JSON line must parse and name its input once, every converted
# picture must be on disk under its deterministic name, reduced as asked,
# with the size and bytes reported, the damaged ones skipped with a reason,
# and parallel's exit status must count the shards that held them.
#   tests/parallel_recipe.sh <vrelk>
set -euo pipefail
vrelk="$(readlink -f "$1")"
readme="$(cd "$(dirname "$0")/.." && pwd)/README.md"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The first sh block after the README names this script.
recipe="$(awk '/tests\/parallel_recipe\.sh/ { named = 1 }
               named && /^```sh$/ { inside = 1; next }
               inside && /^```$/ { exit }
               inside { print }' "$readme")"
[ -n "$recipe" ] || { echo "parallel recipe: FAILED - no recipe found in README.md"; exit 1; }

mkdir -p "$work/bin" "$work/config"
ln -s "$vrelk" "$work/bin/vrelk"
export XDG_CONFIG_HOME="$work/config"
cd "$work"
mkdir -p photos/day1 photos/day2

/usr/bin/python3 - <<'MAKE'
from PIL import Image
for n in range(450):
    path = "photos/day%d/img_%03d.%s" % (1 + n % 2, n, ("png", "bmp", "jpg")[n % 3])  # as below
    size = {10: (1700, 60), 11: (50, 1800)}.get(n, (40 + n % 50, 90 - n % 50))
    if n in (4, 449):
        open(path, "wb").write(b"\x89PNG\r\n\x1a\n damaged")
    else:
        Image.new("RGB", size, (n % 50 * 5, 120, 200 - n % 50 * 3)).save(path)
MAKE

status=0
PATH="$work/bin:$PATH" bash -c "$recipe" || status=$?

STATUS="$status" RECIPE="$recipe" /usr/bin/python3 - <<'CHECK'
import glob, json, os, re, sys
from PIL import Image

failures = []
recipe = os.environ["RECIPE"]
shard = int(re.search(r"--xargs -n (\d+)", recipe).group(1))
long_side = int(re.search(r"--long-side (\d+)", recipe).group(1))
inputs = sorted(glob.glob("photos/*/*"))
damaged = {"photos/day%d/img_%03d.%s" % (1 + n % 2, n, ("png", "bmp", "jpg")[n % 3]) for n in (4, 449)}
shards = [inputs[i:i + shard] for i in range(0, len(inputs), shard)]
expected_failed = sum(1 for names in shards if damaged & set(names))
entries = [json.loads(line) for line in open("report.jsonl", encoding="utf-8")]
seen = [e["input"] for e in entries]
if sorted(seen) != inputs:
    failures.append("report names %d inputs, %d distinct, for %d files" % (len(seen), len(set(seen)), len(inputs)))
for e in entries:
    name = e["input"]
    if name in damaged:
        if e["status"] != "skipped" or not e["reason"] or e["output"] is not None:
            failures.append("%s: %s" % (name, e))
        continue
    expected = os.path.abspath(os.path.join("web", os.path.splitext(os.path.basename(name))[0] + ".jpg"))
    if e["status"] != "converted" or e["output"] != expected:
        failures.append("%s: %s, not %s" % (name, e, expected))
        continue
    if not os.path.isfile(expected):
        failures.append("%s: %s not on disk" % (name, expected))
        continue
    with Image.open(expected) as picture:
        n = int(name[-7:-4])
        width, height = {10: (1700, 60), 11: (50, 1800)}.get(n, (40 + n % 50, 90 - n % 50))
        longer = max(width, height)
        size = (round(width * long_side / longer), round(height * long_side / longer)) if longer > long_side else (width, height)
        if picture.format != "JPEG" or picture.size != (e["width"], e["height"]):
            failures.append("%s: %s %s, report says %sx%s" % (name, picture.format, picture.size, e["width"], e["height"]))
        if abs(picture.size[0] - size[0]) > 1 or abs(picture.size[1] - size[1]) > 1:
            failures.append("%s: reduced to %s, not about %s" % (name, picture.size, size))
    if os.path.getsize(expected) != e["bytes"]:
        failures.append("%s: %s bytes on disk, %s reported" % (name, os.path.getsize(expected), e["bytes"]))
written = sorted(os.listdir("web")) if os.path.isdir("web") else []
if len(written) != len(inputs) - len(damaged):
    failures.append("web holds %d files: %s" % (len(written), written))
if len(shards) < 3 or expected_failed != 2:
    failures.append("the pictures make %d shards of %d, %d with a damaged one: not the 3 and 2 meant" %
                    (len(shards), shard, expected_failed))
if os.environ["STATUS"] != str(expected_failed):
    failures.append("parallel's exit status %s, not %d (shards that skipped a file)" % (os.environ["STATUS"], expected_failed))
failed_jobs = [line.split("\t")[6] for line in open("jobs.log").read().splitlines()[1:]]
if sorted(failed_jobs) != sorted("1" if damaged & set(names) else "0" for names in shards):
    failures.append("job exit values %s" % failed_jobs)
for failure in failures:
    print("FAIL: " + failure)
print("parallel recipe: %s" % ("ok - %d lines, %d outputs, %d shards" % (len(entries), len(written), len(shards))
                               if not failures else "FAILED"))
sys.exit(1 if failures else 0)
CHECK
