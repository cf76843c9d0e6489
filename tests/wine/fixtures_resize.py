"""Input files for the Windows reduction tests, made with Pillow.

    /usr/bin/python3 fixtures_resize.py <folder>
"""
import os
import sys

import numpy as np
from PIL import Image


def main(folder):
    os.makedirs(folder, exist_ok=True)
    y, x = np.mgrid[0:600, 0:800]
    photo = np.stack([x * 255 // 799, y * 255 // 599, (x + y) % 256], -1).astype(np.uint8)
    Image.fromarray(photo).save(os.path.join(folder, "resize-photo.jpg"), quality=90)
    Image.fromarray(photo[:200, :300]).save(os.path.join(folder, "resize-shot.png"))


if __name__ == "__main__":
    main(sys.argv[1])
