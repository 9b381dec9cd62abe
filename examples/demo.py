"""Repairs a synthetic picture with a hole and writes the result.

Run with `make demo`. Writes out/demo_before.npy, out/demo_mask.npy and
out/demo_after.npy, and prints how many pixels were filled.
"""
import os
import sys

import numpy as np

import patchwell


def synthetic_picture(height=96, width=128, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = 128 + 90 * np.sin(x / 9.0) * np.cos(y / 13.0)
    g = 40 + 150 * (x + y) / (width + height)
    b = 128 + 60 * np.sign(np.sin(x / 4.0 + y / 7.0))
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 4, (height, width, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(out_dir, exist_ok=True)
    image = synthetic_picture()
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[40:52, 60:76] = 255                     # a 12 x 16 hole
    before = image.copy()
    image[mask > 128] = 0                        # the damage

    print(f"patchwell {patchwell.version()} on {patchwell.device_info()}")
    ok = patchwell.inpaint(image, mask, 5, patchwell.InpaintGPU, verbose=True)
    if not ok:
        print("nothing was inpainted", file=sys.stderr)
        return 1
    filled = int((mask == 0).sum() - (before.shape[0] * before.shape[1] - 12 * 16))
    left = int((mask == 1).sum())
    paths = {}
    for name, arr in [("before", before), ("after", image), ("mask", mask)]:
        paths[name] = os.path.normpath(os.path.join(out_dir, f"demo_{name}.npy"))
        np.save(paths[name], arr)
    print(f"filled {filled} pixels ({left} left unfilled)")
    print(f"result written to {paths['after']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
