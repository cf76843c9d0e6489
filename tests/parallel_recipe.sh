#!/usr/bin/env bash
# The README's GNU parallel recipe on this machine alone: 50 pictures, two
# of them damaged, in shards of 10 over two job slots. Every JSON line must
# parse and name its input once, every converted picture must be on disk
# under its deterministic name with the size and bytes reported, the two
# damaged ones skipped with a reason, and parallel's exit status must count
# the two shards that held them.
#   tests/parallel_recipe.sh <vrelk>
set -euo pipefail
vrelk="$(readlink -f "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"
cd "$work"
mkdir -p photos/day1 photos/day2 web

/usr/bin/python3 - <<'MAKE'
from PIL import Image
for n in range(50):
    path = "photos/day%d/img_%02d.%s" % (1 + n % 2, n, ("png", "bmp", "jpg")[n % 3])  # as below
    if n in (4, 36):
        open(path, "wb").write(b"\x89PNG\r\n\x1a\n damaged")
    else:
        Image.new("RGB", (40 + n, 90 - n), (n * 5, 120, 200 - n * 3)).save(path)
MAKE

status=0
find photos -type f -print0 | LC_ALL=C sort -z |
    parallel -0 -j 2 --xargs -n 10 --joblog jobs.log \
        "$vrelk" -f jpeg --long-side 64 -j 1 --quiet --report=json -o web -- >report.jsonl || status=$?

STATUS="$status" /usr/bin/python3 - <<'CHECK'
import glob, json, os, sys
from PIL import Image

failures = []
inputs = sorted(glob.glob("photos/*/*"))
damaged = {"photos/day%d/img_%02d.%s" % (1 + n % 2, n, ("png", "bmp", "jpg")[n % 3]) for n in (4, 36)}
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
    with Image.open(expected) as picture:
        n = int(name[-6:-4])
        longer = max(40 + n, 90 - n)
        size = (round((40 + n) * 64 / longer), round((90 - n) * 64 / longer)) if longer > 64 else (40 + n, 90 - n)
        if picture.format != "JPEG" or picture.size != (e["width"], e["height"]):
            failures.append("%s: %s %s, report says %sx%s" % (name, picture.format, picture.size, e["width"], e["height"]))
        if abs(picture.size[0] - size[0]) > 1 or abs(picture.size[1] - size[1]) > 1:
            failures.append("%s: reduced to %s, not about %s" % (name, picture.size, size))
    if os.path.getsize(expected) != e["bytes"]:
        failures.append("%s: %s bytes on disk, %s reported" % (name, os.path.getsize(expected), e["bytes"]))
written = sorted(os.listdir("web"))
if len(written) != len(inputs) - len(damaged):
    failures.append("web holds %d files: %s" % (len(written), written))
if os.environ["STATUS"] != "2":
    failures.append("parallel's exit status %s, not 2 (two shards skipped a file)" % os.environ["STATUS"])
failed_jobs = [line.split("\t")[6] for line in open("jobs.log").read().splitlines()[1:]]
if sorted(failed_jobs) != ["0", "0", "0", "1", "1"]:
    failures.append("job exit values %s" % failed_jobs)
for failure in failures:
    print("FAIL: " + failure)
print("parallel recipe: %s" % ("ok - %d lines, %d outputs" % (len(entries), len(written)) if not failures else "FAILED"))
sys.exit(1 if failures else 0)
CHECK
