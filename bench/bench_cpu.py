"""CPU backend benchmark: 256 x 256 photo-like picture, 24 x 24 hole, radius 7.

Prints the pixels filled per second and the thread count. Not a test: the
figures depend on the machine.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patchwell  # noqa: E402
from common import photo_like, square_hole  # noqa: E402


def run_once(image, mask, radius, method, device):
    img, msk = image.copy(), mask.copy()
    start = time.perf_counter()
    patchwell.inpaint(img, msk, radius, method, device=device)
    return time.perf_counter() - start, int((msk == 0).sum() - (mask <= 128).sum())


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--device", default="cpu", choices=["cpu", "cuda", "auto"])
    args = ap.parse_args()

    image = photo_like(256, 256)
    mask = square_hole(256, 256, 24)
    times = []
    for _ in range(args.repeat):
        elapsed, filled = run_once(image, mask, 7, patchwell.InpaintGPU, args.device)
        times.append(elapsed)
    best = min(times)
    med = sorted(times)[len(times) // 2]
    print(f"device: {args.device}  ({patchwell.device_info()})")
    print(f"case: 256x256, 24x24 hole, radius 7, {filled} pixels filled")
    print(f"time: best {best:.3f} s, median {med:.3f} s over {args.repeat} runs")
    print(f"rate: {filled / best:.0f} pixels/s (best), {filled / med:.0f} pixels/s (median)")


if __name__ == "__main__":
    main()
