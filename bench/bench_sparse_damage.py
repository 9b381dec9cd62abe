"""Memory and time that follow the damage, not the picture: a 16 383 x
16 383 PNG (a smooth gradient, so that it compresses to a few hundred KB)
with one 4 x 4 hole, repaired by the command with --search-radius 5, both
methods on the CPU. The files are made in a temporary folder and removed.

Prints per method the wall time, the peak memory of the command (maximum
resident set of the child) and, for scale, the decoded picture and mask
(3 + 1 bytes per pixel). The goal is a peak within that plus 100 MB.

    .venv/bin/python bench/bench_sparse_damage.py [--side 16383] [--methods gpu,gpu-fast]
"""
import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np


def make_files(folder, side):
    from PIL import Image
    ramp = (np.arange(side, dtype=np.uint32) * 255 // max(side - 1, 1)).astype(np.uint8)
    image = np.empty((side, side, 3), np.uint8)
    image[..., 0] = ramp[None, :]
    image[..., 1] = ramp[:, None]
    image[..., 2] = 128
    Image.MAX_IMAGE_PIXELS = None
    Image.fromarray(image).save(os.path.join(folder, "big.png"), compress_level=9)
    del image
    mask = np.zeros((side, side), np.uint8)
    mask[side // 2:side // 2 + 4, side // 3:side // 3 + 4] = 255
    Image.fromarray(mask).save(os.path.join(folder, "mask.png"), compress_level=9)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--make":
        return make_files(sys.argv[2], int(sys.argv[3]))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--side", type=int, default=16383)
    ap.add_argument("--methods", default="gpu,gpu-fast")
    ap.add_argument("--search-radius", type=int, default=5)
    args = ap.parse_args()
    cli = os.path.join(sysconfig.get_path("scripts"), "patchwell")
    folder = tempfile.mkdtemp(prefix="pw-sparse-")
    try:
        print(f"making a {args.side} x {args.side} PNG with a 4 x 4 hole ...", flush=True)
        # Made in a child: a child's peak counts the memory of the process
        # it was forked from, which must stay small.
        subprocess.run([sys.executable, __file__, "--make", folder, str(args.side)], check=True)
        size = os.path.getsize(os.path.join(folder, "big.png"))
        decoded = args.side * args.side * 4 / 1e6
        print(f"PNG {size / 1e3:.0f} KB; decoded picture and mask {decoded:.0f} MB")
        print(f"{'method':<10}{'time s':>8}{'peak MB':>9}{'over decoded MB':>17}")
        for method in args.methods.split(","):
            start = time.perf_counter()
            child = subprocess.Popen([cli, os.path.join(folder, "big.png"),
                                      os.path.join(folder, "mask.png"),
                                      "-o", os.path.join(folder, "out.png"), "-m", method,
                                      "--device", "cpu", "-r", "3", "--search-radius",
                                      str(args.search_radius), "-q"])
            _, status, usage = os.wait4(child.pid, 0)  # this child's own peak
            seconds = time.perf_counter() - start
            if status != 0:
                print(f"{method}: the command failed (status {status})")
                continue
            peak = usage.ru_maxrss / 1e3
            print(f"{method:<10}{seconds:>8.2f}{peak:>9.0f}{peak - decoded:>17.0f}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
