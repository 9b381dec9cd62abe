"""GPU Fast against the exhaustive method on the same photo-like inputs.

For every case and device it prints, per method, the time and the pixels
filled per second; then the speed ratio of GPU Fast to exhaustive, GPU
Fast's average number of scoring passes per target, and how far the two
results differ: the mean absolute difference over the filled pixels (all
three channels). Runs on the CPU, and on CUDA when a device is usable.
Not a test: the figures depend on the machine.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import patchwell  # noqa: E402
from common import photo_like, specks, square_hole  # noqa: E402

CASES = {
    # The exhaustive benchmark's case.
    "256x256, 24x24 hole, r7": (256, 256, lambda h, w: square_hole(h, w, 24), 7),
    # A larger picture, a hole and scattered specks.
    "384x288, 28x28 hole + 200 specks, r7": (
        288, 384,
        lambda h, w: np.maximum(square_hole(h, w, 28), specks(h, w, 200, seed=3)),
        7),
}


def run(image, mask, radius, method, device, repeat):
    best = None
    for _ in range(repeat):
        img, msk = image.copy(), mask.copy()
        start = time.perf_counter()
        patchwell.inpaint(img, msk, radius, method, device=device)
        elapsed = time.perf_counter() - start
        if best is None or elapsed < best[0]:
            best = (elapsed, img, msk, patchwell._last_run_stats())
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--repeat", type=int, default=1,
                    help="runs per method; the fastest counts")
    ap.add_argument("--device", choices=["cpu", "cuda", "all"], default="all")
    ap.add_argument("--case", choices=["small", "large", "all"], default="all")
    args = ap.parse_args()

    devices = ["cpu"]
    if patchwell.device_info().startswith("CUDA"):
        devices.append("cuda")
    if args.device != "all":
        devices = [args.device]
    names = list(CASES)
    if args.case != "all":
        names = names[:1] if args.case == "small" else names[1:]

    print(f"patchwell {patchwell.version()}; auto device: {patchwell.device_info()}")
    for name in names:
        h, w, make_mask, radius = CASES[name]
        image = photo_like(h, w)
        mask = make_mask(h, w)
        targets = int((mask > 128).sum())
        for device in devices:
            print(f"\n{name}, {targets} targets, device {device}")
            results = {}
            for label, method in (("exhaustive", patchwell.InpaintGPU),
                                  ("GPU Fast", patchwell.InpaintGPUfast)):
                elapsed, img, msk, stats = run(image, mask, radius, method,
                                               device, args.repeat)
                filled = int(((mask > 128) & (msk == 0)).sum())
                results[label] = (elapsed, img, filled, stats)
                print(f"  {label:<11} {elapsed:8.3f} s  {filled / elapsed:10.0f} pixels/s"
                      f"  ({filled} filled)")
            ex_t, ex_img, _, _ = results["exhaustive"]
            fa_t, fa_img, _, fa_stats = results["GPU Fast"]
            holes = mask > 128
            diff = np.abs(ex_img.astype(np.int16) - fa_img.astype(np.int16))[holes]
            print(f"  speed ratio GPU Fast / exhaustive: {ex_t / fa_t:.2f}x")
            print(f"  passes per target (GPU Fast): {fa_stats['passes'] / max(1, fa_stats['targets']):.2f}")
            print(f"  mean |exhaustive - GPU Fast| over filled pixels: {diff.mean():.2f}"
                  f" levels per channel ({(diff.max(-1) > 0).mean() * 100:.1f}% of pixels differ)")


if __name__ == "__main__":
    main()
