"""Inputs shared by the benchmarks: photo-like pictures and masks."""
import numpy as np


def photo_like(height, width, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = 128 + 90 * np.sin(x / 9.0) * np.cos(y / 13.0)
    g = 40 + 150 * (x + y) / (width + height)
    b = 128 + 60 * np.sign(np.sin(x / 4.0 + y / 7.0))
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 6, (height, width, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def square_hole(height, width, side):
    mask = np.zeros((height, width), np.uint8)
    y0, x0 = (height - side) // 2, (width - side) // 2
    mask[y0:y0 + side, x0:x0 + side] = 255
    return mask


def specks(height, width, count, seed=1):
    rng = np.random.default_rng(seed)
    mask = np.zeros((height, width), np.uint8)
    mask.flat[rng.choice(height * width, count, replace=False)] = 255
    return mask
