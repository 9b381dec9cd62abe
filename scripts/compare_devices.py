"""CPU and CUDA byte for byte: both methods, CUDA with the device loop and
with the per-target path (PATCHWELL_CUDA_LOOP=per-target), on the cases of
bench/bench_devices.py with several seeds (the seed draws the picture's
noise, and the noise pixels of the specks case).

Each run is compared with the CPU's on its image, its mask, its result and
its pass count, and must have run on CUDA. Prints one line per case, seed,
method and loop, then a summary; exits 1 when anything differs or CUDA
cannot run.

Usage: python scripts/compare_devices.py [--cases A,B] [--seeds 0,1,2]
  A      256 x 256 photo-like picture, 24 x 24 hole, radius 7
  B      1000 x 1000 photo-like picture, 10000 noise pixels, radius 7
  C      case B with search radius 48 (the device loop's batches of targets)
  small  48 x 61, a small hole and 80 noise pixels, radius 3, and again
         with search radius 6 (the case for compute-sanitizer)
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import patchwell  # noqa: E402
from common import photo_like, specks, square_hole  # noqa: E402

METHODS = {"exhaustive": patchwell.InpaintGPU, "fast": patchwell.InpaintGPUfast}
LOOPS = ("device", "per-target")


def case(name, seed):
    """[(label, image, mask, radius, options)] of a case and seed."""
    if name == "A":
        return [("A 256x256 hole 24x24 r7", photo_like(256, 256, seed),
                 square_hole(256, 256, 24), 7, {})]
    if name == "B":
        return [("B 1000x1000 10000 noise r7", photo_like(1000, 1000, 7 + seed),
                 specks(1000, 1000, 10000, 8 + seed), 7, {})]
    if name == "C":
        return [("C 1000x1000 10000 noise r7 s48", photo_like(1000, 1000, 7 + seed),
                 specks(1000, 1000, 10000, 8 + seed), 7, {"search_radius": 48})]
    if name == "small":
        mask = specks(48, 61, 80, 20 + seed)
        mask[17:22, 30:36] = 255
        image = photo_like(48, 61, 20 + seed)
        return [("small 48x61 r3", image, mask, 3, {}),
                ("small 48x61 r3 search 6", image, mask, 3, {"search_radius": 6})]
    raise SystemExit(f"unknown case {name!r}")


def run(image, mask, radius, method, device, options):
    img, msk = image.copy(), mask.copy()
    start = time.perf_counter()
    ok = patchwell.inpaint(img, msk, radius, method, device=device, **options)
    seconds = time.perf_counter() - start
    stats = patchwell._last_run_stats()
    return {"ok": ok, "image": img, "mask": msk, "passes": stats["passes"],
            "launches": stats["launches"],
            "targets": stats["targets"], "device": stats["device"], "seconds": seconds}


def differences(cpu, gpu):
    found = []
    if gpu["device"] != "cuda":
        found.append(f"ran on {gpu['device']}")
    if gpu["ok"] != cpu["ok"]:
        found.append(f"result {gpu['ok']} (CPU {cpu['ok']})")
    if gpu["passes"] != cpu["passes"]:
        found.append(f"passes {gpu['passes']} (CPU {cpu['passes']})")
    pixels = int(np.any(gpu["image"] != cpu["image"], axis=-1).sum())
    if pixels:
        found.append(f"{pixels} pixels differ")
    marks = int((gpu["mask"] != cpu["mask"]).sum())
    if marks:
        found.append(f"{marks} mask bytes differ")
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cases", default="A,B")
    ap.add_argument("--seeds", default="0,1,2")
    args = ap.parse_args()
    info = patchwell.device_info()
    print(f"patchwell {patchwell.version()}; device info: {info}", flush=True)
    if not info.startswith("CUDA: "):
        print("compare: FAILED: the module has no usable CUDA device")
        return 1
    compared, failed = 0, []
    for name in args.cases.split(","):
        for seed in (int(s) for s in args.seeds.split(",")):
            for label, image, mask, radius, options in case(name, seed):
                for method_name, method in METHODS.items():
                    os.environ.pop("PATCHWELL_CUDA_LOOP", None)
                    cpu = run(image, mask, radius, method, "cpu", options)
                    for loop in LOOPS:
                        os.environ["PATCHWELL_CUDA_LOOP"] = loop
                        try:
                            gpu = run(image, mask, radius, method, "cuda", options)
                            found = differences(cpu, gpu)
                            took = f"{gpu['seconds']:.3f} s ({gpu['launches']} launches)"
                        except (RuntimeError, MemoryError) as e:
                            found, took = [f"raised {type(e).__name__}: {e}"], "-"
                        compared += 1
                        line = (f"{label:30s} seed {seed}  {method_name:10s} {loop:10s} "
                                f"targets {cpu['targets']:6d} passes {cpu['passes']:8d}  "
                                f"cpu {cpu['seconds']:.3f} s  cuda {took}  ")
                        if found:
                            failed.append(line)
                            line += "DIFFERS: " + "; ".join(found)
                        else:
                            line += "identical"
                        print(line, flush=True)
    os.environ.pop("PATCHWELL_CUDA_LOOP", None)
    if failed:
        print(f"compare: FAILED: {len(failed)} of {compared} CUDA runs differ from the CPU")
        return 1
    print(f"compare: all {compared} CUDA runs identical to the CPU "
          "(image, mask, result and passes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
