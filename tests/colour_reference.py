"""Pillow's side of the colour tests: embedded profiles read and written by
Pillow, and pictures converted to sRGB by Little CMS through ImageCms.

  colour_reference.py diff OURS INPUT   largest channel difference between OURS
                                        and INPUT converted to sRGB
  colour_reference.py icc IMAGE OUT     the embedded profile into OUT (empty: none)
  colour_reference.py embed IMAGE PROFILE OUT   IMAGE saved to OUT with PROFILE
  colour_reference.py same A B          whether A and B hold the same pixels
"""
import io
import sys

from PIL import Image, ImageCms

INTENT = 1  # relative colorimetric
FLAGS = ImageCms.FLAGS["BLACKPOINTCOMPENSATION"]


def to_srgb(path):
    image = Image.open(path)
    icc = image.info.get("icc_profile")
    if not icc:
        return image.convert("RGB")
    source = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))
    transform = ImageCms.buildTransform(source, srgb, image.mode, "RGB", renderingIntent=INTENT, flags=FLAGS)
    return ImageCms.applyTransform(image, transform)


def main(command, *args):
    if command == "diff":
        ours = Image.open(args[0]).convert("RGB")
        theirs = to_srgb(args[1])
        if ours.size != theirs.size:
            print("size", ours.size, theirs.size)
            return 1
        print(max(abs(a - b) for a, b in zip(ours.tobytes(), theirs.tobytes())))
    elif command == "icc":
        with open(args[1], "wb") as out:
            out.write(Image.open(args[0]).info.get("icc_profile") or b"")
    elif command == "embed":
        with open(args[1], "rb") as profile:
            Image.open(args[0]).save(args[2], icc_profile=profile.read())
    elif command == "same":
        a, b = Image.open(args[0]).convert("RGB"), Image.open(args[1]).convert("RGB")
        print("same" if a.size == b.size and a.tobytes() == b.tobytes() else "different")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
