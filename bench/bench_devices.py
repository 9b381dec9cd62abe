"""Both methods on the CPU and on CUDA (when a device is usable), CUDA both
with the device loop ("cuda") and with the per-target path ("cuda-pt",
PATCHWELL_CUDA_LOOP=per-target), on the same device.

Case A: 256 x 256 photo-like picture, 24 x 24 hole, radius 7.
Case B: 1000 x 1000 photo-like picture, 10000 noise pixels, radius 7.

Prints, per case, method and device, the targets filled, the time and the
pixels filled per second, then whether CPU and CUDA gave identical results.
A run still going after --budget seconds is stopped through its progress
callback: its rate is over the targets it did (scattered noise pixels cost
alike, so it holds for the rest) and the time for all is extrapolated.
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

METHODS = {"exhaustive": patchwell.InpaintGPU, "fast": patchwell.InpaintGPUfast}
# What each device label runs: the device, and the CUDA loop.
DEVICES = {"cpu": ("cpu", None), "cuda": ("cuda", "device"),
           "cuda-pt": ("cuda", "per-target")}


class OutOfTime(Exception):
    pass


def run(image, mask, method, label, budget):
    """One run; returns (seconds, targets done, all targets, image, mask)."""
    device, loop = DEVICES[label]
    if loop is not None:
        os.environ["PATCHWELL_CUDA_LOOP"] = loop
    img, msk = image.copy(), mask.copy()
    start = time.perf_counter()

    def progress(_percent):
        if time.perf_counter() - start > budget:
            raise OutOfTime

    try:
        patchwell.inpaint(img, msk, 7, method, device=device, progress=progress)
    except OutOfTime:
        pass
    seconds = time.perf_counter() - start
    stats = patchwell._last_run_stats()
    return seconds, stats["targets"], int((mask > 128).sum()), img, msk


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=3,
                    help="runs of case A per method and device; the median counts")
    ap.add_argument("--budget", type=float, default=30.0,
                    help="seconds after which a run is stopped and extrapolated")
    ap.add_argument("--device", choices=[*DEVICES, "all"], default="all")
    args = ap.parse_args()
    print(f"patchwell {patchwell.version()}; device info: {patchwell.device_info()}")
    devices = list(DEVICES) if patchwell.device_info().startswith("CUDA") else ["cpu"]
    if args.device != "all":
        devices = [args.device]

    cases = [("A 256x256 hole 24x24 r7", photo_like(256, 256), square_hole(256, 256, 24),
              args.repeat),
             ("B 1000x1000 10000 noise r7", photo_like(1000, 1000, 7),
              specks(1000, 1000, 10000, 8), 1)]
    for name, image, mask, repeat in cases:
        for method_name, method in METHODS.items():
            results = {}
            for device in devices:
                runs = sorted((run(image, mask, method, device, args.budget)
                               for _ in range(repeat)), key=lambda r: r[0])
                seconds, done, total, img, msk = runs[len(runs) // 2]
                rate = done / seconds if seconds > 0 else 0.0
                line = (f"{name:28s} {method_name:10s} {device:7s} "
                        f"{done:6d}/{total:<6d} targets in {seconds:8.3f} s "
                        f"= {rate:10.0f} px/s")
                if done < total:
                    line += f"  (stopped; all ~{total / max(rate, 1e-9):.0f} s)"
                elif repeat > 1:
                    line += f"  (median of {repeat})"
                print(line, flush=True)
                if done == total:
                    results[device] = (img, msk)
            for label in ("cuda", "cuda-pt"):
                if "cpu" in results and label in results:
                    same = all(np.array_equal(a, b)
                               for a, b in zip(results["cpu"], results[label]))
                    print(f"{name:28s} {method_name:10s} cpu and {label} identical: {same}",
                          flush=True)


if __name__ == "__main__":
    main()
