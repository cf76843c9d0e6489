#!/usr/bin/python3
"""vrelk --report=json read back with Python's json: one object per input in
input order, for one job and for four, each matching the files on disk
(sizes read by Pillow), skipped inputs with their reason, and names that
are not plain UTF-8 kept exactly.

    cli_report_json.py <vrelk>
"""
import json
import os
import subprocess
import sys
import tempfile

from PIL import Image

VRELK = os.path.abspath(sys.argv[1])
FIELDS = ["input", "status", "output", "reason", "width", "height", "bytes", "target_met", "kept"]

# name (bytes), what to put there, expected status; None makes nothing.
NAMES = [
    (b"plain.png", ("png", 37, 21), "converted"),
    (b"photo.jpg", ("jpeg", 40, 30), "converted"),
    (b"quote\"back\\slash.bmp", ("bmp", 5, 3), "converted"),
    (b"tab\tnewline\ncontrol\x01del\x7f.png", ("png", 4, 9), "converted"),
    (b"\xe5\x86\x99\xe7\x9c\x9f \xf0\x9f\x93\xb7.gif", ("gif", 16, 16), "converted"),
    (b"latin1-\xe9t\xe9.png", ("png", 6, 2), "converted"),
    (b"overlong-\xc0\xaf.png", ("png", 3, 3), "converted"),
    (b"surrogate-\xed\xa0\x80.png", ("png", 2, 5), "converted"),
    (b"cut-\xe3\x81.png", ("png", 7, 1), "converted"),
    (b"beyond-\xf4\x90\x80\x80-lone-\x80.png", ("png", 1, 4), "converted"),
    (b"empty.png", b"", "skipped"),
    (b"text.bmp", b"not an image at all", "skipped"),
    (b"folder.png", "folder", "skipped"),
    (b"missing.tif", None, "skipped"),
]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def make_inputs(folder):
    for name, content, _ in NAMES:
        path = os.path.join(os.fsencode(folder), name)
        if content == "folder":
            os.mkdir(path)
        elif isinstance(content, tuple):
            kind, width, height = content
            picture = Image.new("RGB", (width, height), (30, 160, 90))
            picture.save(path, {"png": "PNG", "jpeg": "JPEG", "bmp": "BMP", "gif": "GIF"}[kind])
        elif content is not None:
            with open(path, "wb") as out:
                out.write(content)


def run(arguments, cwd, env):
    return subprocess.run([VRELK] + arguments, cwd=cwd, env=env, capture_output=True)


def check_batch(jobs, root, env):
    folder = os.path.join(root, "j%d" % jobs)
    os.mkdir(folder)
    make_inputs(folder)
    names = [name for name, _, _ in NAMES]
    result = run(["-f", "png", "-j", str(jobs), "--report=json", "--"] + [os.fsdecode(n) for n in names], folder,
                 env)
    label = "-j %d" % jobs
    check(result.returncode == 1, "%s: exit status %d, not 1 for a batch with skipped files" % (label, result.returncode))
    check(b"skipped empty.png" in result.stderr, "%s: the human lines left standard error" % label)
    lines = result.stdout.decode("utf-8").splitlines()
    check(len(lines) == len(NAMES), "%s: %d lines for %d inputs" % (label, len(lines), len(NAMES)))
    written = []
    for line, (name, content, status) in zip(lines, NAMES):
        entry = json.loads(line)
        what = "%s %r" % (label, name)
        check(list(entry) == FIELDS, "%s: fields %s" % (what, list(entry)))
        check(os.fsencode(entry["input"]) == name, "%s: input read back as %r" % (what, entry["input"]))
        check(entry["status"] == status, "%s: status %s" % (what, entry["status"]))
        if status == "skipped":
            check(entry["output"] is None and entry["width"] is None and entry["bytes"] is None
                  and entry["target_met"] is None,
                  "%s: a skipped file names an output" % what)
            check(isinstance(entry["reason"], str) and entry["reason"], "%s: skipped without a reason" % what)
            continue
        output = os.fsencode(entry["output"])
        written.append(os.path.basename(output))
        check(entry["reason"] is None, "%s: converted with a reason" % what)
        check(entry["target_met"] is None, "%s: a size target met or missed in a run without one" % what)
        check(os.path.isfile(output), "%s: output %r not on disk" % (what, output))
        if not os.path.isfile(output):
            continue
        check(entry["bytes"] == os.path.getsize(output), "%s: bytes %s" % (what, entry["bytes"]))
        with Image.open(output) as picture:
            check(picture.format == "PNG", "%s: output is %s" % (what, picture.format))
            check((entry["width"], entry["height"]) == picture.size,
                  "%s: %sx%s, Pillow reads %s" % (what, entry["width"], entry["height"], picture.size))
            check(picture.size == content[1:], "%s: size %s" % (what, picture.size))
    return lines, written


def check_stopped_batch(root, env):
    """A batch that stops before its files still answers for every input."""
    folder = os.path.join(root, "stopped")
    os.mkdir(folder)
    Image.new("RGB", (2, 2)).save(os.path.join(folder, "a.png"))
    with open(os.path.join(folder, "Out"), "w") as blocker:
        blocker.write("a file where the sub-folder would go")
    result = run(["-f", "bmp", "--subfolder", "Out", "--report=json", "a.png", "b.png"], folder, env)
    entries = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]
    check(result.returncode == 1, "stopped batch: exit status %d" % result.returncode)
    check([e["input"] for e in entries] == ["a.png", "b.png"], "stopped batch: %s" % entries)
    check(all(e["status"] == "skipped" and e["reason"] for e in entries), "stopped batch: %s" % entries)


def check_size_target(root, env):
    """target_met says whether the file on the disk is within the target."""
    folder = os.path.join(root, "target")
    os.mkdir(folder)
    Image.new("RGB", (40, 30), (30, 160, 90)).save(os.path.join(folder, "flat.png"))
    Image.frombytes("RGB", (256, 256), os.urandom(256 * 256 * 3)).save(os.path.join(folder, "noise.png"))
    for kind in ("jpeg", "webp"):
        result = run(["-f", kind, "--max-kb", "1", "--report=json", "flat.png", "noise.png"], folder, env)
        entries = [json.loads(line) for line in result.stdout.decode("utf-8").splitlines()]
        check(result.returncode == 1, "%s size target: exit status %d, not 1 for a missed target" % (kind, result.returncode))
        check([e["target_met"] for e in entries] == [True, False], "%s size target: %s" % (kind, entries))
        for e in entries:
            size = os.path.getsize(e["output"])
            check(e["bytes"] == size and e["target_met"] == (size <= 1024), "%s size target: %s, %d bytes" % (kind, e, size))
        check(b"noise.png: " in result.stderr and b"above the 1 KB target" in result.stderr,
              "%s size target: no warning on standard error: %r" % (kind, result.stderr))


def main():
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "config"), LC_ALL="C.UTF-8")
        one, written_one = check_batch(1, root, env)
        four, written_four = check_batch(4, root, env)
        strip = lambda lines: [line.replace("/j1/", "/jN/").replace("/j4/", "/jN/") for line in lines]
        check(strip(one) == strip(four), "-j 1 and -j 4 report differently")
        check(written_one == written_four, "-j 1 and -j 4 wrote different names")
        check_stopped_batch(root, env)
        check_size_target(root, env)
    for failure in failures:
        print("FAIL: " + failure)
    print("report json: %s" % ("ok" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
