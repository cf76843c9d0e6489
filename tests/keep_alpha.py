#!/usr/bin/python3
"""--keep-alpha against Pillow and NumPy: transparent PNGs (RGBA, grey with
alpha, palette and colour keys), a transparent GIF, lossless WebP and AVIF
with alpha come out of PNG, WebP and GIF with the alpha they had; a
reduction equals the premultiplied area average worked out here, with no
fringe where a shape meets transparency; opaque pictures, and outputs that
cannot carry alpha, are byte for byte what they are without the option.

    keep_alpha.py <vrelk>
"""
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image

VRELK = os.path.abspath(sys.argv[1])
AVIFENC = shutil.which("avifenc")
AVIFDEC = shutil.which("avifdec")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def convert(folder, arguments, input_path):
    """The output written and the JSON line of the file, or (None, line)."""
    out = os.path.join(folder, "out")
    shutil.rmtree(out, ignore_errors=True)
    result = subprocess.run([VRELK, "--report=json", "-o", out, *arguments, input_path], capture_output=True)
    check(result.returncode == 0, "vrelk %s %s: %s" % (arguments, input_path, result.stderr))
    lines = [json.loads(line) for line in result.stdout.decode().splitlines() if line.strip()]
    report = lines[0] if lines else {}
    written = sorted(os.listdir(out)) if os.path.isdir(out) else []
    return (os.path.join(out, written[0]) if written else None), report


def rgba(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGBA"), dtype=np.int32)


# ---- Inputs ------------------------------------------------------------------

def gradient_rgba(width=64, height=48):
    """Colour changing slowly enough that sharpening leaves it alone, alpha
    in hard-edged blocks of 0, 96, 200 and 255."""
    y, x = np.mgrid[0:height, 0:width]
    r = 40 + 2 * x
    g = 30 + 3 * y
    b = np.full_like(x, 150)
    a = np.full_like(x, 255)
    a[(x // 16) % 4 == 1] = 96
    a[(y // 12) % 4 == 2] = 200
    a[(x >= 40) & (x < 52) & (y >= 10) & (y < 30)] = 0
    return np.stack([r, g, b, a], axis=-1).astype(np.uint8)


def make_inputs(folder):
    inputs = {}
    picture = gradient_rgba()
    path = os.path.join(folder, "rgba.png")
    Image.fromarray(picture, "RGBA").save(path)
    inputs["rgba.png"] = path

    grey = np.zeros((20, 24, 2), np.uint8)
    grey[..., 0] = np.arange(24)[None, :] * 10
    grey[..., 1] = np.arange(20)[:, None] * 13
    path = os.path.join(folder, "grey_alpha.png")
    Image.fromarray(grey, "LA").save(path)
    inputs["grey_alpha.png"] = path

    indices = (np.arange(20)[:, None] // 5 + np.arange(24)[None, :] // 6) % 6
    palette = [255, 0, 0, 0, 255, 0, 0, 0, 255, 250, 250, 0, 0, 0, 0, 90, 40, 200]
    paletted = Image.fromarray(indices.astype(np.uint8), "P")
    paletted.putpalette(palette)
    path = os.path.join(folder, "palette_trns.png")
    paletted.save(path, transparency=bytes([255, 128, 255, 40, 0, 255]))
    inputs["palette_trns.png"] = path

    path = os.path.join(folder, "rgb_key.png")
    keyed = np.zeros((16, 16, 3), np.uint8)
    keyed[..., 0] = 200
    keyed[4:12, 4:12] = (10, 20, 30)
    Image.fromarray(keyed, "RGB").save(path, transparency=(10, 20, 30))
    inputs["rgb_key.png"] = path

    path = os.path.join(folder, "transparent.gif")
    gif = Image.fromarray(indices.astype(np.uint8), "P")
    gif.putpalette(palette)
    gif.save(path, transparency=4)
    inputs["transparent.gif"] = path

    path = os.path.join(folder, "alpha.tif")
    Image.fromarray(picture, "RGBA").save(path, compression="tiff_adobe_deflate")
    inputs["alpha.tif"] = path

    path = os.path.join(folder, "alpha.webp")
    Image.fromarray(picture, "RGBA").save(path, lossless=True)
    inputs["alpha.webp"] = path

    if AVIFENC:
        path = os.path.join(folder, "alpha.avif")
        result = subprocess.run([AVIFENC, "-l", os.path.join(folder, "rgba.png"), path], capture_output=True)
        check(result.returncode == 0, "avifenc: %s" % result.stderr)
        inputs["alpha.avif"] = path
    else:
        check(False, "avifenc missing")
    check(AVIFDEC is not None, "avifdec missing")
    return inputs


def reference(path):
    """The input as Pillow decodes it, or AVIF as avifdec does."""
    if not path.endswith(".avif"):
        return rgba(path)
    decoded = path + ".png"
    result = subprocess.run([AVIFDEC, path, decoded], capture_output=True)
    check(result.returncode == 0, "avifdec: %s" % result.stderr)
    return rgba(decoded)


# ---- Comparisons -----------------------------------------------------------------

def shown(picture):
    return picture[..., 3] > 0


def premultiplied(picture):
    return np.rint(picture[..., :3] * (picture[..., 3:4] / 255.0))


def compare_exact(name, expected, got, colour_tolerance):
    if got.shape != expected.shape:
        check(False, "%s: size %s, expected %s" % (name, got.shape, expected.shape))
        return
    alpha_error = np.abs(got[..., 3] - expected[..., 3]).max()
    check(alpha_error <= 1, "%s: alpha differs by %d" % (name, alpha_error))
    mask = shown(expected) & shown(got)
    if not mask.any():
        return
    # libtiff hands over colours multiplied by alpha, exact only that far.
    if ".tif" in name:
        colour_error = np.abs(premultiplied(got) - premultiplied(expected))[mask].max()
    else:
        colour_error = np.abs(got[..., :3] - expected[..., :3])[mask].max()
    check(colour_error <= colour_tolerance, "%s: colour differs by %d" % (name, colour_error))


def over_white(picture):
    a = picture[..., 3:4] / 255.0
    return np.rint(picture[..., :3] * a + 255 * (1 - a))


def compare_gif(name, expected, got):
    if got.shape != expected.shape:
        check(False, "%s: size %s, expected %s" % (name, got.shape, expected.shape))
        return
    transparent = expected[..., 3] == 0
    check(np.array_equal(got[..., 3] == 0, transparent), "%s: not transparent exactly where alpha was 0" % name)
    error = np.abs(got[..., :3] - over_white(expected))[~transparent]
    mean = error.mean() if error.size else 0
    check(mean < 4, "%s: colours over white off by %.1f" % (name, mean))


def libwebp_error(expected):
    """How far libwebp's own encoding at the program's default quality (75)
    strays from the mostly opaque colours, through Pillow."""
    encoded = io.BytesIO()
    Image.fromarray(expected.astype(np.uint8), "RGBA").save(encoded, "WEBP", quality=75)
    encoded.seek(0)
    with Image.open(encoded) as image:
        decoded = np.asarray(image.convert("RGBA"), dtype=np.int32)
    return np.abs(decoded[..., :3] - expected[..., :3])[expected[..., 3] >= 128].mean()


def compare_lossy(name, expected, got):
    if got.shape != expected.shape:
        check(False, "%s: size %s, expected %s" % (name, got.shape, expected.shape))
        return
    check(np.array_equal(got[..., 3], expected[..., 3]), "%s: alpha plane not kept exactly" % name)
    mask = expected[..., 3] >= 128
    error = np.abs(got[..., :3] - expected[..., :3])[mask]
    mean = error.mean() if error.size else 0
    allowed = libwebp_error(expected) + 2
    check(mean <= allowed, "%s: colour off by %.1f on average, libwebp's own %.1f" % (name, mean, allowed - 2))


def test_every_input_to_every_output(folder, inputs):
    for name, path in inputs.items():
        expected = reference(path)
        for fmt, compare in [("png", lambda n, e, g: compare_exact(n, e, g, 1)),
                             ("webp", compare_lossy), ("gif", compare_gif)]:
            output, report = convert(folder, ["-f", fmt, "--keep-alpha"], path)
            what = "%s -> %s" % (name, fmt)
            if not output:
                check(False, "%s: nothing written" % what)
                continue
            compare(what, expected, rgba(output))
            check(report.get("kept") == ["alpha"], "%s: kept is %s" % (what, report.get("kept")))


# ---- Reduction ---------------------------------------------------------------------

def area_weights(m, n):
    """Row j: the share of each of m source pixels in target j of n."""
    weights = np.zeros((n, m))
    for j in range(n):
        start, end = j * m / n, (j + 1) * m / n
        for i in range(int(start), min(m, int(np.ceil(end)))):
            weights[j, i] = max(0.0, min(end, i + 1) - max(start, i)) * n / m
    return weights


def premultiplied_average(picture, width, height):
    source = picture.astype(np.float64)
    across = area_weights(source.shape[1], width)
    down = area_weights(source.shape[0], height)
    alpha = down @ source[..., 3] @ across.T
    colours = [down @ (source[..., c] * source[..., 3]) @ across.T for c in range(3)]
    with np.errstate(invalid="ignore", divide="ignore"):
        straight = [np.where(alpha > 0, c / alpha, 0) for c in colours]
    return np.rint(np.stack(straight + [alpha], axis=-1))


def test_reduction_is_a_premultiplied_average(folder, inputs):
    expected_source = gradient_rgba()
    for fmt in ["png", "webp"]:
        output, _ = convert(folder, ["-f", fmt, "--keep-alpha", "--width", "24"], inputs["rgba.png"])
        if not output:
            check(False, "reduced %s: nothing written" % fmt)
            continue
        got = rgba(output)
        expected = premultiplied_average(expected_source, got.shape[1], got.shape[0])
        check(got.shape[:2] == (18, 24), "reduced %s: size %s" % (fmt, got.shape))
        alpha_error = np.abs(got[..., 3] - expected[..., 3]).max()
        check(alpha_error <= 2, "reduced %s: alpha off by %d" % (fmt, alpha_error))
        # Colour divided by a small alpha is only as good as that alpha.
        mask = expected[..., 3] >= 32
        error = np.abs(got[..., :3] - expected[..., :3])[mask]
        if fmt == "png":
            check(error.max() <= 2, "reduced png: colour off by %d" % error.max())
        else:  # lossy: the colour loosely, on average
            check(error.mean() < 4, "reduced webp: colour off by %.1f on average" % error.mean())


def test_no_fringe_around_a_shape(folder):
    """A red disc on transparent black, and on transparent green: reduced
    and sharpened, every pixel that shows is still red."""
    y, x = np.mgrid[0:90, 0:120]
    inside = (x - 60) ** 2 + (y - 45) ** 2 < 30 ** 2
    for hidden in [(0, 0, 0), (0, 255, 0), (255, 255, 255)]:
        picture = np.zeros((90, 120, 4), np.uint8)
        picture[...] = hidden + (0,)
        picture[inside] = (255, 0, 0, 255)
        path = os.path.join(folder, "disc.png")
        Image.fromarray(picture, "RGBA").save(path)
        output, _ = convert(folder, ["-f", "png", "--keep-alpha", "--scale", "37%"], path)
        if not output:
            check(False, "disc: nothing written")
            continue
        got = rgba(output)
        visible = got[..., 3] > 0
        error = np.abs(got[..., :3] - np.array([255, 0, 0]))[visible].max()
        check(error <= 2, "disc on %s: edge colour off red by %d" % (hidden, error))
        check((got[..., 3] == 0).any() and (got[..., 3] == 255).any() and ((got[..., 3] > 0) & (got[..., 3] < 255)).any(),
              "disc on %s: the edge is not averaged" % (hidden,))


# ---- Unchanged where alpha does not go -------------------------------------------

def test_unchanged_without_alpha(folder, inputs):
    opaque = gradient_rgba()
    opaque[..., 3] = 255
    path = os.path.join(folder, "opaque.png")
    Image.fromarray(opaque, "RGBA").save(path)
    cases = [(path, fmt) for fmt in ["png", "webp", "gif", "jpeg", "bmp"]]
    cases += [(inputs[name], fmt) for name in ["rgba.png", "palette_trns.png", "transparent.gif", "alpha.webp"]
              for fmt in ["jpeg", "bmp", "avif"]]
    for source, fmt in cases:
        for extra in [[], ["--width", "20"]]:
            plain, _ = convert(folder, ["-f", fmt] + extra, source)
            plain_bytes = open(plain, "rb").read() if plain else None
            kept, report = convert(folder, ["-f", fmt, "--keep-alpha"] + extra, source)
            kept_bytes = open(kept, "rb").read() if kept else None
            what = "%s -> %s %s" % (os.path.basename(source), fmt, extra)
            check(plain_bytes is not None and plain_bytes == kept_bytes, "%s: --keep-alpha changed the output" % what)
            check(report.get("kept") == [], "%s: kept is %s" % (what, report.get("kept")))


def test_keep_means_all_three(folder, inputs):
    _, report = convert(folder, ["-f", "png", "--keep"], inputs["rgba.png"])
    check(report.get("kept") == ["alpha", "time"], "--keep: kept is %s" % report.get("kept"))
    _, report = convert(folder, ["-f", "png"], inputs["rgba.png"])
    check(report.get("kept") == [], "no option: kept is %s" % report.get("kept"))


def main():
    with tempfile.TemporaryDirectory() as folder:
        inputs = make_inputs(folder)
        test_every_input_to_every_output(folder, inputs)
        test_reduction_is_a_premultiplied_average(folder, inputs)
        test_no_fringe_around_a_shape(folder)
        test_unchanged_without_alpha(folder, inputs)
        test_keep_means_all_three(folder, inputs)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
