#!/usr/bin/python3
"""Colour-profile inputs for the Windows tests: a JPEG carrying a Display P3
profile (built with Little CMS from the published primaries), the profile
itself, and the 24-bit BMP of the picture converted to sRGB by Pillow's
ImageCms (relative colorimetric, black-point compensation).

    fixtures_colour.py <folder>
"""
import ctypes
import io
import os
import sys

import numpy as np
from PIL import Image, ImageCms

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
path = lambda name: os.path.join(folder, name)


class XyY(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("Y", ctypes.c_double)]


class Primaries(ctypes.Structure):
    _fields_ = [("red", XyY), ("green", XyY), ("blue", XyY)]


def display_p3():
    lcms = ctypes.CDLL("liblcms2.so.2")
    lcms.cmsBuildParametricToneCurve.restype = ctypes.c_void_p
    lcms.cmsBuildParametricToneCurve.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
    lcms.cmsCreateRGBProfile.restype = ctypes.c_void_p
    lcms.cmsCreateRGBProfile.argtypes = [ctypes.POINTER(XyY), ctypes.POINTER(Primaries), ctypes.c_void_p * 3]
    lcms.cmsSaveProfileToMem.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32)]
    lcms.cmsCloseProfile.argtypes = [ctypes.c_void_p]
    lcms.cmsFreeToneCurve.argtypes = [ctypes.c_void_p]
    srgb_curve = (ctypes.c_double * 5)(2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045)
    curve = lcms.cmsBuildParametricToneCurve(None, 4, srgb_curve)
    white = XyY(0.3127, 0.3290, 1.0)
    primaries = Primaries(XyY(0.680, 0.320, 1), XyY(0.265, 0.690, 1), XyY(0.150, 0.060, 1))
    profile = lcms.cmsCreateRGBProfile(ctypes.byref(white), ctypes.byref(primaries),
                                       (ctypes.c_void_p * 3)(curve, curve, curve))
    size = ctypes.c_uint32(0)
    lcms.cmsSaveProfileToMem(profile, None, ctypes.byref(size))
    data = ctypes.create_string_buffer(size.value)
    lcms.cmsSaveProfileToMem(profile, data, ctypes.byref(size))
    lcms.cmsCloseProfile(profile)
    lcms.cmsFreeToneCurve(curve)
    return data.raw[:size.value]


h, w = 36, 50
y, x = np.mgrid[0:h, 0:w]
picture = Image.fromarray(np.stack([x * 5, y * 7, 255 - x * 5], axis=-1).astype(np.uint8), "RGB")
icc = display_p3()
with open(path("colour_p3.icc"), "wb") as out:
    out.write(icc)
picture.save(path("colour_p3.jpg"), quality=92, icc_profile=icc)

decoded = Image.open(path("colour_p3.jpg"))
transform = ImageCms.buildTransform(ImageCms.ImageCmsProfile(io.BytesIO(icc)),
                                    ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")), "RGB", "RGB",
                                    renderingIntent=1, flags=ImageCms.FLAGS["BLACKPOINTCOMPENSATION"])
ImageCms.applyTransform(decoded, transform).save(path("colour_p3.expected.bmp"))
