"""Real-size repair: a 4000 x 3000 landscape with 1 % damage (scratches,
dust specks and one 60 x 60 object hole), radius 7, both methods with a
bounded search domain, and a 1024 x 1024 crop of the same case searched
whole and bounded (--crop 0 leaves the crop out). On the CPU backend unless
--devices says otherwise: "cuda" is CUDA's device loop, "cuda-pt" its
per-target path (PATCHWELL_CUDA_LOOP=per-target).

Each run is a child process of its own, so that its peak memory (maximum
resident set) is its own. The CPU runs once per thread count of --threads
(the speed-up is against the first). Prints the regions the damage fell
into, the kernel launches (CUDA), the time, the pixels filled per second,
the peak memory, and the cost per candidate per target: the time (and the
CPU time of all threads, which a busy machine disturbs less) divided by the
number of (target, candidate centre) pairs the search domain holds. With
more than one device, each run after the first of its case and method also
says whether its image, mask and pass count are those of the first.

    .venv/bin/python bench/bench_real_size.py [--size 4000x3000]
        [--search-radius 48] [--crop 1024] [--methods exhaustive,fast]
        [--devices cpu,cuda,cuda-pt] [--threads 1,2] [--write-raw DIR]

--write-raw DIR only writes the picture and its crop as raw files for the
C++ benchmark of the pruned engine (DIR/full and DIR/crop, each holding
image.raw and mask.raw; see bench/bench_cpu_fast.cpp) and runs nothing.
"""
import argparse
import hashlib
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))


def damage(h, w, fraction=0.01, seed=5):
    """Scratches, dust and one 60 x 60 hole, about `fraction` of the picture."""
    from PIL import Image, ImageDraw
    rng = np.random.default_rng(seed)
    target = int(h * w * fraction)
    mask = Image.new("L", (w, h), 0)
    draw = ImageDraw.Draw(mask)
    y0, x0 = h // 3, w // 3
    draw.rectangle([(x0, y0), (x0 + 59, y0 + 59)], fill=255)
    for _ in range(target // 4):  # dust: specks of 1 to 3 pixels
        x, y, s = rng.integers(0, w), rng.integers(0, h), rng.integers(0, 2)
        draw.rectangle([(x, y), (x + s, y + s)], fill=255)
    marked = lambda: int((np.asarray(mask) > 128).sum())
    while marked() < target:  # scratches: long thin lines
        x, y = rng.integers(0, w), rng.integers(0, h)
        length, angle = rng.integers(w // 20, w // 4), rng.uniform(0, np.pi)
        draw.line([(x, y), (x + length * np.cos(angle), y + length * np.sin(angle))],
                  fill=255, width=int(rng.integers(1, 4)))
    return np.asarray(mask).copy()


def pairs(mask, radius, search_radius):
    """Sum over targets of the candidate centres in their domain box."""
    h, w = mask.shape
    ys, xs = np.nonzero(mask > 128)
    s = max(h, w) if search_radius is None else search_radius
    cols = np.minimum(xs + s + 1, w - radius) - np.maximum(xs - s, radius)
    rows = np.minimum(ys + s + 1, h - radius) - np.maximum(ys - s, radius)
    return int((np.clip(cols, 0, None).astype(np.int64) * np.clip(rows, 0, None)).sum())


def peak_resident_mb():
    """This process's peak resident memory (the high-water mark of its own
    address space, which, unlike ru_maxrss, does not start from the
    parent's at fork)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


# What each device label runs: the device, and the CUDA loop.
DEVICES = {"cpu": ("cpu", None), "cuda": ("cuda", "device"),
           "cuda-pt": ("cuda", "per-target")}


def child(path, method, radius, search_radius, label):
    device, loop = DEVICES[label]
    if loop is not None:
        os.environ["PATCHWELL_CUDA_LOOP"] = loop
    import patchwell
    data = np.load(path)
    image, mask = data["image"].copy(), data["mask"].copy()
    holes = int((mask > 128).sum())
    m = {"exhaustive": patchwell.InpaintGPU, "fast": patchwell.InpaintGPUfast}[method]
    start, cpu_start = time.perf_counter(), time.process_time()
    patchwell.inpaint(image, mask, radius, m, device=device, search_radius=search_radius)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu_start
    peak_mb = peak_resident_mb()
    stats = patchwell._last_run_stats()
    digest = hashlib.sha256(image.tobytes() + mask.tobytes()).hexdigest()[:16]
    print(f"{seconds:.3f} {holes} {peak_mb:.0f} {int((mask == 1).sum())} {cpu:.3f} "
          f"{stats['passes']} {digest} {stats['regions']} {stats['launches']}")


def run(path, method, radius, search_radius, mask, label, threads):
    out = subprocess.run(
        [sys.executable, __file__, "--child", path, method, str(radius),
         "none" if search_radius is None else str(search_radius), label],
        env=dict(os.environ, PATCHWELL_NUM_THREADS=str(threads)),
        capture_output=True, text=True, check=True).stdout.split()
    seconds, holes, peak, unfilled, cpu = (float(out[0]), int(out[1]), float(out[2]),
                                           int(out[3]), float(out[4]))
    n = max(1, pairs(mask, radius, search_radius))
    return (seconds, holes, peak, unfilled, seconds * 1e9 / n, cpu, cpu * 1e9 / n,
            (int(out[5]), out[6]), int(out[7]), int(out[8]))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        path, method, radius, s, label = sys.argv[2:7]
        return child(path, method, int(radius), None if s == "none" else int(s), label)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="4000x3000")
    ap.add_argument("--radius", type=int, default=7)
    ap.add_argument("--search-radius", type=int, default=48)
    ap.add_argument("--crop", type=int, default=1024)
    ap.add_argument("--methods", default="exhaustive,fast")
    ap.add_argument("--devices", default="cpu",
                    help="comma-separated: cpu, cuda (device loop), cuda-pt (per-target)")
    ap.add_argument("--threads", default="1,2",
                    help="comma-separated CPU thread counts to run each case with")
    ap.add_argument("--write-raw", metavar="DIR")
    args = ap.parse_args()
    w, h = map(int, args.size.split("x"))
    import make_sample
    print(f"making a {w} x {h} landscape with 1 % damage ...", flush=True)
    image = make_sample.landscape(width=w, height=h)
    mask = damage(h, w)
    c = min(args.crop, w, h)
    cy, cx = (h - c) // 2, (w - c) // 2
    cases = [(f"{w}x{h}", image, mask, args.search_radius)]
    if c > 0:
        cases += [(f"crop {c}x{c}", image[cy:cy + c, cx:cx + c],
                   mask[cy:cy + c, cx:cx + c], args.search_radius),
                  (f"crop {c}x{c}", image[cy:cy + c, cx:cx + c],
                   mask[cy:cy + c, cx:cx + c], None)]
    devices = args.devices.split(",")
    for label in devices:
        if label not in DEVICES:
            ap.error(f"unknown device {label!r}")
    if args.write_raw:
        for name, img, msk in (("full", image, mask),
                               *((("crop", cases[1][1], cases[1][2]),) if c > 0 else ())):
            folder = os.path.join(args.write_raw, name)
            os.makedirs(folder, exist_ok=True)
            np.ascontiguousarray(img).tofile(os.path.join(folder, "image.raw"))
            (np.asarray(msk) > 128).astype(np.uint8).tofile(os.path.join(folder, "mask.raw"))
            print(f"{folder}: {img.shape[1]}x{img.shape[0]}")
        return 0
    print(f"{'case':<16}{'method':<12}{'device':<9}{'thr':>4}{'search':>7}{'holes':>9}"
          f"{'regions':>8}{'launches':>9}{'time s':>9}{'px/s':>10}{'peak MB':>9}{'ns/cand':>9}{'cpu s':>8}"
          f"{'cpu ns':>8}{'unfilled':>9}{'  speed-up':>10}"
          f"{'  same as first' if len(devices) > 1 or ',' in args.threads else ''}")
    differ = 0
    thread_counts = [int(t) for t in args.threads.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        for name, img, msk, s in cases:
            path = os.path.join(tmp, "case.npz")
            np.savez(path, image=img, mask=msk)
            for method in args.methods.split(","):
                first = None
                for label in devices:
                    one = None
                    for threads in thread_counts if label == "cpu" else thread_counts[:1]:
                        (sec, holes, peak, unfilled, ns, cpu, cpu_ns, result, regions,
                         launches) = run(
                            path, method, args.radius, s, msk, label, threads)
                        one = one or sec
                        line = (f"{name:<16}{method:<12}{label:<9}{threads:>4}"
                                f"{'whole' if s is None else s:>7}{holes:>9}{regions:>8}{launches:>9}"
                                f"{sec:>9.2f}{holes / sec:>10.0f}{peak:>9.0f}{ns:>9.2f}"
                                f"{cpu:>8.1f}{cpu_ns:>8.2f}{unfilled:>9}{one / sec:>9.2f}x")
                        if first is None:
                            first = result
                        else:
                            line += f"  {result == first}"
                            differ += result != first
                        print(line, flush=True)
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
