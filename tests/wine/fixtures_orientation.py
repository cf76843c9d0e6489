#!/usr/bin/python3
"""Phone-style JPEGs for the Windows tests: an orientation-6 photo, with the
24-bit BMP (written by Pillow) of the upright picture Pillow shows for it.

    fixtures_orientation.py <folder>
"""
import os
import subprocess
import sys

from PIL import Image, ImageOps

folder = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
made = os.path.join(folder, "orientation")
subprocess.run(["/usr/bin/python3", os.path.join(here, "..", "orientation_fixtures.py"), made], check=True)
for name in ("o6", "gps"):
    src = os.path.join(made, name + ".jpg")
    os.replace(src, os.path.join(folder, "orient_" + name + ".jpg"))
with Image.open(os.path.join(folder, "orient_o6.jpg")) as im:
    ImageOps.exif_transpose(im).convert("RGB").save(os.path.join(folder, "orient_o6.expected.bmp"))
