"""Exhaustive method on the CPU and on the GPU.

Case A: 256 x 256 photo-like picture, 24 x 24 hole, radius 7 (CPU and GPU).
Case B: 1000 x 1000 photo-like picture, 10000 noise pixels, radius 7 (GPU
only: on the CPU it takes hours). Prints pixels filled per second.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patchwell  # noqa: E402
from common import photo_like, specks, square_hole  # noqa: E402


def timed(image, mask, radius, device, repeat):
    times = []
    for _ in range(repeat):
        img, msk = image.copy(), mask.copy()
        start = time.perf_counter()
        patchwell.inpaint(img, msk, radius, patchwell.InpaintGPU, device=device)
        times.append(time.perf_counter() - start)
    filled = int(((mask > 128) & (msk == 0)).sum())
    return sorted(times)[len(times) // 2], filled, img, msk


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-cpu", action="store_true")
    args = ap.parse_args()
    has_cuda = patchwell.device_info().startswith("CUDA")
    print(f"device info: {patchwell.device_info()}")

    image, mask = photo_like(256, 256), square_hole(256, 256, 24)
    results = {}
    devices = (["cpu"] if not args.skip_cpu else []) + (["cuda"] if has_cuda else [])
    for device in devices:
        t, filled, img, msk = timed(image, mask, 7, device, args.repeat)
        results[device] = (img, msk)
        print(f"A 256x256 hole 24x24 r7  {device:4s}: {filled} px in {t:.3f} s "
              f"= {filled / t:.0f} px/s (median of {args.repeat})")
    if len(results) == 2:
        same = all(np.array_equal(a, b) for a, b in zip(results["cpu"], results["cuda"]))
        print(f"A cpu and cuda results identical: {same}")

    if has_cuda:
        big = photo_like(1000, 1000, 7)
        noise = specks(1000, 1000, 10000, 8)
        t, filled, _, _ = timed(big, noise, 7, "cuda", 1)
        print(f"B 1000x1000 10000 noise r7 cuda: {filled} px in {t:.3f} s "
              f"= {filled / t:.0f} px/s")


if __name__ == "__main__":
    main()
