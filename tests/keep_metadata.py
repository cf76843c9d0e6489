#!/usr/bin/python3
"""--keep-metadata read back by exiftool: the tags a photo library sorts and
credits by come out of every output as exiftool read them from the input,
for JPEG, PNG, WebP, TIFF and HEIC inputs into JPEG, PNG, WebP and AVIF; the location
goes with =no-location; a turned photo says Orientation 1; the thumbnail is
dropped and the pixel dimensions are those written; the lossless re-encode
keeps every APP1 segment; without the option nothing is carried.

    keep_metadata.py <vrelk>
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

VRELK = os.path.abspath(sys.argv[1])
EXIFTOOL = shutil.which("exiftool")
HEIF_ENC = shutil.which("heif-enc")

TAGS = {
    "DateTimeOriginal": "2021:05:06 07:08:09",
    "Make": "Tessaly Test Camera Co.",
    "Model": "TT-1",
    "LensModel": "Test Lens 24mm",
    "Copyright": "(c) Tessaly tests",
    "GPSLatitude": 35.6586,
    "GPSLongitude": 139.7454,
    "Creator": "Test Creator",
}
LOCATION = {"GPSLatitude", "GPSLongitude"}
WRITE_TAGS = [
    "-DateTimeOriginal=2021:05:06 07:08:09", "-Make=Tessaly Test Camera Co.", "-Model=TT-1",
    "-LensModel=Test Lens 24mm", "-Copyright=(c) Tessaly tests", "-GPSLatitude=35.6586", "-GPSLatitudeRef=N",
    "-GPSLongitude=139.7454", "-GPSLongitudeRef=E", "-XMP-dc:Creator=Test Creator", "-XMP-exif:GPSLatitude=35.6586",
    "-XMP-exif:GPSLongitude=139.7454",
]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*arguments, cwd=None):
    return subprocess.run(list(arguments), cwd=cwd, capture_output=True)


def read_tags(path):
    result = run(EXIFTOOL, "-j", "-n", "-a", "-G1", path)
    entries = json.loads(result.stdout or b"[{}]")
    return entries[0] if entries else {}


def tag(tags, name, group_prefix=None):
    for key, value in tags.items():
        group, _, short = key.partition(":")
        if short == name and (group_prefix is None or group.startswith(group_prefix)):
            return value
    return None


def same(expected, got):
    if isinstance(expected, float):
        return isinstance(got, (int, float)) and abs(got - expected) < 1e-4
    return got == expected


def make_inputs(folder):
    photo = Image.effect_mandelbrot((96, 64), (-2, -1, 1, 1), 60).convert("RGB")
    inputs = {}
    for name, save in [("photo.jpg", {"quality": 90}), ("photo.png", {}), ("photo.webp", {"quality": 90}),
                       ("photo.tif", {"compression": "tiff_lzw"})]:
        path = os.path.join(folder, name)
        photo.save(path, **save)
        inputs[name] = path
    if HEIF_ENC:
        png = os.path.join(folder, "for-heic.png")
        photo.save(png)
        heic = os.path.join(folder, "photo.heic")
        if run(HEIF_ENC, "-q", "80", "-o", heic, png).returncode == 0:
            inputs["photo.heic"] = heic
    for name, path in inputs.items():
        result = run(EXIFTOOL, "-overwrite_original", *WRITE_TAGS, path)
        check(result.returncode == 0, "exiftool could not write %s: %s" % (name, result.stderr))
    return inputs


def convert(folder, arguments, input_path):
    out = os.path.join(folder, "out")
    shutil.rmtree(out, ignore_errors=True)
    result = run(VRELK, "--quiet", "-o", out, *arguments, input_path)
    check(result.returncode == 0, "vrelk %s %s: %s" % (arguments, input_path, result.stderr))
    written = os.listdir(out) if os.path.isdir(out) else []
    return os.path.join(out, written[0]) if written else None


def test_every_input_to_every_output(folder, inputs):
    for name, path in inputs.items():
        source = read_tags(path)
        for expected_name, expected in TAGS.items():
            check(same(expected, tag(source, expected_name)), "%s: exiftool wrote %s" % (name, expected_name))
        for fmt in ["jpeg", "png", "webp", "avif"]:
            for keep, kept in [("--keep-metadata", set(TAGS)), ("--keep-metadata=no-location", set(TAGS) - LOCATION)]:
                output = convert(folder, ["-f", fmt, keep], path)
                what = "%s -> %s %s" % (name, fmt, keep)
                if not output:
                    check(False, "%s: nothing written" % what)
                    continue
                tags = read_tags(output)
                for tag_name in TAGS:
                    value = tag(tags, tag_name)
                    if tag_name in kept:
                        check(same(TAGS[tag_name], value), "%s: %s is %r" % (what, tag_name, value))
                    else:
                        check(value is None, "%s: %s still there (%r)" % (what, tag_name, value))
                if keep.endswith("no-location"):
                    check(tag(tags, "GPSLatitude", "XMP") is None, "%s: XMP location kept" % what)
            plain = read_tags(convert(folder, ["-f", fmt], path) or "")
            check(all(tag(plain, t) is None for t in TAGS), "%s -> %s: carried without being asked" % (name, fmt))


def test_turned_photo_and_reduction(folder):
    path = os.path.join(folder, "turned.jpg")
    Image.effect_mandelbrot((120, 80), (-2, -1, 1, 1), 60).convert("RGB").save(path, quality=90)
    thumb = os.path.join(folder, "thumb.jpg")
    Image.new("RGB", (16, 16), (200, 10, 10)).save(thumb)
    result = run(EXIFTOOL, "-overwrite_original", "-Orientation#=6", "-Make=Turned", "-ExifImageWidth=120",
                 "-ExifImageHeight=80", "-ThumbnailImage<=" + thumb, path)
    check(result.returncode == 0, "exiftool could not prepare the turned photo: %s" % result.stderr)
    check(tag(read_tags(path), "ThumbnailImage") is not None, "the input has a thumbnail")
    for fmt in ["jpeg", "png", "webp"]:
        output = convert(folder, ["-f", fmt, "--keep-metadata", "--width", "40"], path)
        tags = read_tags(output or "")
        what = "turned JPEG -> %s" % fmt
        check(tag(tags, "Make") == "Turned", "%s: Make kept" % what)
        check(tag(tags, "Orientation") in (None, 1), "%s: Orientation %r" % (what, tag(tags, "Orientation")))
        check(tag(tags, "ThumbnailImage") is None and tag(tags, "ThumbnailOffset") is None,
              "%s: thumbnail dropped" % what)
        with Image.open(output) as written:
            size = written.size
        check(size == (40, 60), "%s: %s written" % (what, size))
        check((tag(tags, "ExifImageWidth"), tag(tags, "ExifImageHeight")) == size,
              "%s: Exif dimensions %r x %r" % (what, tag(tags, "ExifImageWidth"), tag(tags, "ExifImageHeight")))


def test_resolution_follows_the_pixels(folder):
    path = os.path.join(folder, "scan.png")
    Image.effect_mandelbrot((200, 100), (-2, -1, 1, 1), 60).convert("RGB").save(path, dpi=(300, 300))
    for fmt, ext in [("jpeg", "jpg"), ("png", "png"), ("bmp", "bmp")]:
        for arguments, dpi in [([], 300), (["--width", "100"], 150)]:
            output = convert(folder, ["-f", fmt, "--keep-metadata"] + arguments, path)
            with Image.open(output) as written:
                got = written.info.get("dpi")
            check(got is not None and all(abs(v - dpi) < 1 for v in got),
                  "300 dpi scan -> %s %s: %r dpi, not %d" % (fmt, arguments, got, dpi))
        with Image.open(convert(folder, ["-f", fmt], path)) as plain:
            check(plain.info.get("dpi") in (None, (0, 0), (72, 72), (1, 1)) or fmt == "bmp" and plain.info["dpi"][0] < 1,
                  "%s without --keep-metadata: resolution %r written" % (fmt, plain.info.get("dpi")))


def app1_segments(path):
    with open(path, "rb") as f:
        data = f.read()
    segments, at = [], 2
    while at + 4 <= len(data) and data[at] == 0xFF and data[at + 1] not in (0xDA, 0xD9):
        length = int.from_bytes(data[at + 2:at + 4], "big")
        if data[at + 1] == 0xE1:
            segments.append(data[at + 4:at + 2 + length])
        at += 2 + length
    return segments


def test_recode_keeps_every_app1(folder, inputs):
    path = inputs["photo.jpg"]
    output = convert(folder, ["-f", "recode", "--keep-metadata"], path)
    check(output is not None and app1_segments(output) == app1_segments(path),
          "re-encode: every APP1 segment kept as it was")
    with Image.open(path) as before, Image.open(output) as after:
        check(before.tobytes() == after.tobytes(), "re-encode: the same pixels")
    shared = convert(folder, ["-f", "recode", "--keep-metadata=no-location"], path)
    tags = read_tags(shared or "")
    check(tag(tags, "GPSLatitude") is None and tag(tags, "Make") == TAGS["Make"],
          "re-encode without location: GPS gone, the rest kept")


def main():
    if not EXIFTOOL:
        if os.environ.get("CI"):
            print("exiftool missing")
            return 1
        print("exiftool missing: skipped")
        return 0
    with tempfile.TemporaryDirectory() as folder:
        inputs = make_inputs(folder)
        test_every_input_to_every_output(folder, inputs)
        test_turned_photo_and_reduction(folder)
        test_resolution_follows_the_pixels(folder)
        test_recode_keeps_every_app1(folder, inputs)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
