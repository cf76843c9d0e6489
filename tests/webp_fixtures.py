"""WebP files from independent encoders, each with the picture a viewer shows
on a white page as its reference: dwebp's decode composited over white.

Usage: webp_fixtures.py FOLDER
Writes NAME.webp and NAME.ppm for every case, and photo.png, a photo-like
picture for the writer's checks.

Usage: webp_fixtures.py compare SOURCE OURS THEIRS
Prints the sizes of OURS and THEIRS and the PSNR of each against SOURCE,
decoded by dwebp and by Pillow ("size size psnr psnr"); fails when the two
decoders disagree.
"""
import subprocess
import sys
from pathlib import Path

import numpy as np
from PIL import Image



def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pattern(width, height, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = np.stack([128 + 100 * np.sin(x / 17.0 + y / 23.0),
                     128 + 90 * np.cos(x / 13.0 - y / 19.0),
                     128 + 80 * np.sin((x + y) / 11.0)], -1)
    rgb = np.clip(base + rng.normal(0, 10, base.shape), 0, 255).astype(np.uint8)
    # Alpha from clear at the left through every level to opaque at the right,
    # with an opaque band and a clear band across.
    alpha = (x * 255 // max(width - 1, 1)).astype(np.uint8)
    alpha[height // 3: height // 3 + 4] = 255
    alpha[2 * height // 3: 2 * height // 3 + 3] = 0
    return rgb, alpha


def save_pngs(name, width, height, seed):
    rgb, alpha = pattern(width, height, seed)
    Image.fromarray(rgb).save(folder / f"{name}_rgb.png")
    Image.fromarray(np.dstack([rgb, alpha])).save(folder / f"{name}_rgba.png")
    return rgb, alpha


def reference(webp, name):
    """dwebp's decode of `webp`, composited over white, as NAME.ppm."""
    decoded = folder / f"{name}_dwebp.png"
    run("dwebp", "-quiet", str(webp), "-o", str(decoded))
    rgba = np.asarray(Image.open(decoded).convert("RGBA")).astype(np.int32)
    a = rgba[..., 3:4]
    over = (rgba[..., :3] * a + 255 * (255 - a) + 127) // 255
    Image.fromarray(over.astype(np.uint8)).save(folder / f"{name}.ppm")


def psnr(source, webp):
    decoded = webp.with_suffix(".dwebp.png")
    run("dwebp", "-quiet", str(webp), "-o", str(decoded))
    by_dwebp = np.asarray(Image.open(decoded).convert("RGB")).astype(np.float64)
    by_pillow = np.asarray(Image.open(webp).convert("RGB")).astype(np.float64)
    if not np.array_equal(by_dwebp, by_pillow):
        sys.exit(f"dwebp and Pillow decode {webp} differently")
    original = np.asarray(Image.open(source).convert("RGB")).astype(np.float64)
    mse = np.mean((by_dwebp - original) ** 2)
    return 10 * np.log10(255 * 255 / mse)


if sys.argv[1] == "compare":
    source, ours, theirs = (Path(a) for a in sys.argv[2:5])
    print(ours.stat().st_size, theirs.stat().st_size, f"{psnr(source, ours):.4f}", f"{psnr(source, theirs):.4f}")
    sys.exit(0)

folder = Path(sys.argv[1])
save_pngs("big", 131, 97, 1)
save_pngs("odd", 3, 5, 2)
save_pngs("one", 1, 1, 3)

cases = {
    "cwebp_lossy": ("cwebp", "-quiet", "-q", "80", "big_rgb.png"),
    "cwebp_lossy_alpha": ("cwebp", "-quiet", "-q", "70", "big_rgba.png"),
    "cwebp_lossless": ("cwebp", "-quiet", "-lossless", "big_rgb.png"),
    "cwebp_lossless_alpha": ("cwebp", "-quiet", "-lossless", "-exact", "big_rgba.png"),
    "cwebp_odd_alpha": ("cwebp", "-quiet", "-q", "90", "odd_rgba.png"),
    "cwebp_one_pixel": ("cwebp", "-quiet", "-lossless", "one_rgba.png"),
}
for name, command in cases.items():
    run(*command[:-1], str(folder / command[-1]), "-o", str(folder / f"{name}.webp"))
    reference(folder / f"{name}.webp", name)

# Pillow's own encoder settings and container.
rgb, alpha = pattern(131, 97, 4)
Image.fromarray(np.dstack([rgb, alpha])).save(folder / "pil_lossy_alpha.webp", quality=60)
Image.fromarray(rgb).save(folder / "pil_lossless.webp", lossless=True)
for name in ("pil_lossy_alpha", "pil_lossless"):
    reference(folder / f"{name}.webp", name)

# An animation of two frames, the first with alpha: its reference is that
# frame taken out of the container.
run("img2webp", "-lossy", "-q", "60", str(folder / "big_rgba.png"), "-d", "100",
    str(folder / "big_rgb.png"), "-o", str(folder / "img2webp_anim.webp"))
run("webpmux", "-get", "frame", "1", str(folder / "img2webp_anim.webp"), "-o", str(folder / "anim_frame1.webp"))
reference(folder / "anim_frame1.webp", "img2webp_anim")

# A photo-like picture: smooth colour fields under grain.
rng = np.random.default_rng(5)
y, x = np.mgrid[0:600, 0:800]
photo = np.stack([128 + 100 * np.sin(x / 37.0 + y / 53.0), 128 + 90 * np.cos(x / 29.0 - y / 41.0),
                  128 + 80 * np.sin((x + y) / 23.0)], -1)
photo = np.clip(photo + rng.normal(0, 12, photo.shape), 0, 255).astype(np.uint8)
Image.fromarray(photo).save(folder / "photo.png")
