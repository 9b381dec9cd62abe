"""Batch throughput: a roll of 64 frames of 640 x 480 with one scratch mask
shared by all (two vertical scratches and a diagonal one, as a damaged film
leaves them), radius 5, search radius 32, on the CPU backend.

Prints pictures per second for `patchwell batch` with --jobs 1 and --jobs 2
(--jobs 1 also with a single thread, to show what the threads of one run
give), and through a Dask LocalCluster of two one-thread worker processes
(the cluster's start-up apart). Checks that every run writes the same
files. Measure on a quiet machine: the load average is printed before and
after, and "cores" is the CPU time of a run over its wall time, the cores
it really had.

    .venv/bin/python bench/bench_batch.py [--frames 64] [--size 640x480]
"""
import argparse
import filecmp
import os
import resource
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np
from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
EXE = os.path.join(sysconfig.get_path("scripts"), "patchwell")
RADIUS, SEARCH_RADIUS = 5, 32


def scratch_mask(h, w):
    mask = Image.new("L", (w, h), 0)
    draw = ImageDraw.Draw(mask)
    draw.line([(w * 0.31, 0), (w * 0.33, h)], fill=255, width=2)
    draw.line([(w * 0.72, 0), (w * 0.71, h)], fill=255, width=1)
    draw.line([(w * 0.1, h * 0.8), (w * 0.6, h * 0.3)], fill=255, width=2)
    return mask


def make_roll(folder, frames, h, w):
    import make_sample
    base = make_sample.landscape(width=w + frames, height=h)
    rng = np.random.default_rng(7)
    for k in range(frames):  # a slow pan with fresh grain on every frame
        frame = base[:, k:k + w].astype(np.int16) + rng.normal(0, 3, (h, w, 3)).astype(np.int16)
        Image.fromarray(np.clip(frame, 0, 255).astype(np.uint8)).save(
            os.path.join(folder, f"frame{k:04d}.png"))
    mask = scratch_mask(h, w)
    mask.save(os.path.join(folder, "..", "scratch.png"))
    return int((np.asarray(mask) > 128).sum())


def command_line(roll, mask, out, jobs, threads=None):
    env = dict(os.environ)
    env.pop("PATCHWELL_NUM_THREADS", None)
    if threads is not None:
        env["PATCHWELL_NUM_THREADS"] = str(threads)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([EXE, "batch", roll, "--out-dir", out, "--mask", mask, "-r", str(RADIUS),
                    "--search-radius", str(SEARCH_RADIUS), "--device", "cpu",
                    "-j", str(jobs), "-q"], check=True, env=env)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return seconds, cpu


def dask_cluster(roll, mask, out):
    from distributed import Client, LocalCluster

    import patchwell.dask
    start = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        started = time.perf_counter()
        records = list(patchwell.dask.repair_files(
            client, [roll], out, mask=mask, radius=RADIUS, search_radius=SEARCH_RADIUS,
            device="cpu"))
        seconds = time.perf_counter() - started
    assert all(r.status == "repaired" for r in records), records
    return seconds, None, started - start


def same_files(a, b):
    names = sorted(os.listdir(a))
    return names == sorted(os.listdir(b)) and not filecmp.cmpfiles(
        a, b, names, shallow=False)[1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=64)
    ap.add_argument("--size", default="640x480")
    args = ap.parse_args()
    w, h = map(int, args.size.split("x"))
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as tmp:
        roll = os.path.join(tmp, "roll")
        os.mkdir(roll)
        holes = make_roll(roll, args.frames, h, w)
        mask = os.path.join(tmp, "scratch.png")
        print(f"{args.frames} frames of {w} x {h}, {holes} scratch pixels each, "
              f"radius {RADIUS}, search radius {SEARCH_RADIUS}")
        print(f"{'run':<34}{'time s':>8}{'pictures/s':>12}{'pixels/s':>11}{'cores':>7}")

        def show(name, timing):
            seconds, cpu = timing[0], timing[1]
            rate = args.frames / seconds
            cores = "-" if cpu is None else f"{cpu / seconds:.2f}"
            print(f"{name:<34}{seconds:>8.2f}{rate:>12.2f}{rate * holes:>11.0f}{cores:>7}",
                  flush=True)
            return rate

        one_thread = show("batch --jobs 1, 1 thread",
                          command_line(roll, mask, os.path.join(tmp, "j1t1"), 1, threads=1))
        show("batch --jobs 1 (2 threads)", command_line(roll, mask, os.path.join(tmp, "j1"), 1))
        two = show("batch --jobs 2 (1 thread each)",
                   command_line(roll, mask, os.path.join(tmp, "j2"), 2))
        *timing, startup = dask_cluster(roll, mask, os.path.join(tmp, "dask"))
        show("Dask LocalCluster, 2 workers", timing)
        print(f"scaling from 1 to 2 jobs of one thread: {two / one_thread:.2f}x; "
              f"the cluster took {startup:.1f} s to start")
        identical = all(same_files(os.path.join(tmp, "j1t1"), os.path.join(tmp, d))
                        for d in ("j1", "j2", "dask"))
        print(f"outputs identical across runs: {identical}")
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
