"""Smoke test of an installed patchwell wheel (run by root-smoke.sh in a
clean root): Python, the native command on every format, batches on worker
processes and on a local Dask cluster. Exits non-zero at the first fault.

PW_EXPECT_CUDA=1 asserts that the wheel carries the CUDA backend and, on
this machine without a driver, says so."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

BIN = os.path.dirname(sys.executable)
COMMAND = os.path.join(BIN, "patchwell")
LOSSLESS = ["png", "tiff", "bmp", "ppm"]
FORMATS = LOSSLESS + ["jpg", "webp"]


def run(*args, cwd=None):
    r = subprocess.run([COMMAND, *args], cwd=cwd, capture_output=True, text=True)
    assert r.returncode == 0, f"patchwell {' '.join(args)}: {r.returncode}\n{r.stderr}"
    return r.stdout


def import_seconds():
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import patchwell"], check=True)
        best = min(best, time.perf_counter() - start)
    bare = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", "pass"], check=True)
        bare = min(bare, time.perf_counter() - start)
    return best, bare


def scene(folder):
    """A textured picture with a square hole, in every format."""
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:64, 0:80]
    image = np.stack([(x * 3) % 256, (y * 5) % 256, ((x + y) * 2) % 256], axis=-1)
    image = (image + rng.integers(0, 20, image.shape)).clip(0, 255).astype(np.uint8)
    mask = np.zeros((64, 80), np.uint8)
    mask[28:36, 36:44] = 255
    for ext in FORMATS:
        Image.fromarray(image).save(os.path.join(folder, f"photo_{ext}.{ext}"))
    Image.fromarray(mask).save(os.path.join(folder, "mask.png"))
    return image, mask > 0


def check_command(folder, image, hole):
    """The command on each format; the lossless ones agree pixel for pixel."""
    assert open(COMMAND, "rb").read(4) == b"\x7fELF", "the command is not native"
    results = {}
    for ext in FORMATS:
        out = f"out_{ext}.{ext}"
        run(f"photo_{ext}.{ext}", "mask.png", "-o", out, "-q", cwd=folder)
        with Image.open(os.path.join(folder, out)) as im:
            results[ext] = np.asarray(im.convert("RGB"))
        assert results[ext].shape == image.shape, ext
    for ext in LOSSLESS:
        assert np.array_equal(results[ext][~hole], image[~hole]), f"{ext}: pixels outside the hole changed"
        assert np.array_equal(results[ext], results["png"]), f"{ext} differs from png"
    assert not np.array_equal(results["png"][hole], image[hole]), "the hole was not filled"


def check_python(folder, image, hole):
    import patchwell
    result, unfilled = patchwell.repair(image, hole, radius=3)
    assert not unfilled.any() and np.array_equal(result[~hole], image[~hole])
    src = os.path.join(folder, "photo_tiff.tiff")
    out = os.path.join(folder, "from_tiff.webp")
    assert patchwell.inpaint_file(src, os.path.join(folder, "mask.png"), out,
                                  rad=3, method=patchwell.InpaintGPU)
    with Image.open(out) as im:
        assert im.format == "WEBP" and im.size == (image.shape[1], image.shape[0])


def check_batch(folder):
    pictures = os.path.join(folder, "batch")
    os.mkdir(pictures)
    for ext in ["png", "tiff", "webp"]:
        shutil.copy(os.path.join(folder, f"photo_{ext}.{ext}"), pictures)
    out = os.path.join(folder, "batch_out")
    run("batch", "--help")
    run("batch", pictures, "--mask", os.path.join(folder, "mask.png"), "--out-dir", out, "--jobs", "2")
    assert sorted(os.listdir(out)) == sorted(os.listdir(pictures)), os.listdir(out)


def check_dask(folder):
    from distributed import Client, LocalCluster
    import patchwell.dask
    out = os.path.join(folder, "dask_out")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        records = list(patchwell.dask.repair_files(
            client, [os.path.join(folder, "batch")], out, mask=os.path.join(folder, "mask.png")))
    assert sorted(r.status for r in records) == ["repaired"] * 3, records
    for name in os.listdir(out):
        assert open(os.path.join(out, name), "rb").read() == \
            open(os.path.join(folder, "batch_out", name), "rb").read(), f"{name}: Dask and batch differ"


def check_device():
    line = run("--version")
    print(line.strip())
    if os.environ.get("PW_EXPECT_CUDA") == "1":
        assert line.rstrip().endswith("(no NVIDIA driver)"), line
    else:
        assert "(no NVIDIA driver)" in line or "(built without CUDA)" in line, line


def main():
    best, bare = import_seconds()
    print(f"import patchwell: {best:.3f} s (the interpreter alone: {bare:.3f} s)")
    check_device()
    with tempfile.TemporaryDirectory() as folder:
        image, hole = scene(folder)
        check_command(folder, image, hole)
        check_python(folder, image, hole)
        check_batch(folder)
        check_dask(folder)
    print(f"smoke test passed on Python {sys.version.split()[0]}")


if __name__ == "__main__":
    main()
