"""Batch repair: `patchwell batch` on a folder, patchwell.batch.repair_files
and the thread count that its workers share. Every output must be the file
that inpaint_file writes for the same picture, byte for byte."""
import os
import pty
import re
import resource
import shutil
import signal
import subprocess
import sys
import sysconfig
import time

import numpy as np
import pytest
from PIL import Image

import patchwell
from patchwell.batch import plan_batch, repair_files
from conftest import H, W, drained, photo_like, speckled_mask

# The installed command, or another build of it (scripts/gpu-check, which
# also names the interpreter it hands over to in PATCHWELL_PYTHON).
EXE = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")
NAMES = ["f1", "f2", "f3", "f4", "f5"]  # f3 is corrupt


def batch(*args, cwd, capture_output=True, **kw):
    return subprocess.run([EXE, "batch", *args], cwd=cwd, capture_output=capture_output,
                          text=True, timeout=300, **kw)


def expected_file(folder, image, mask, name, *options):
    """What the command writes for one picture with the same options: a
    batch repairs every picture as the command would."""
    os.makedirs(folder, exist_ok=True)
    out = os.path.join(folder, name)
    r = subprocess.run([EXE, str(image), str(mask), "-o", out, "-q", "--device", "cpu", *options],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode in (0, 4), r.stderr
    return open(out, "rb").read()


@pytest.fixture
def roll(tmp_path):
    """A folder of pictures, each with its own mask beside it, a corrupt
    picture in the middle, and a mask shared by all."""
    d = tmp_path / "roll"
    d.mkdir()
    for k, name in enumerate(NAMES):
        Image.fromarray(photo_like(H, W, seed=k)).save(d / f"{name}.png")
        Image.fromarray(speckled_mask(H, W, 12, seed=20 + k)).save(d / f"{name}_mask.png")
    (d / "f3.png").write_bytes(b"\x89PNG\r\n\x1a\n not a picture")
    Image.fromarray(speckled_mask(H, W, 15, seed=99)).save(tmp_path / "shared.png")
    return tmp_path


def test_folder_with_masks_by_pattern_and_a_corrupt_picture(roll):
    r = batch("roll", "--out-dir", "out", "--mask-pattern", "{stem}_mask.png",
              "--device", "cpu", "-j", "2", cwd=roll)
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        "patchwell: roll/f3.png: cannot read the image: [20]a[20]p: invalid chunk type"]
    assert r.stdout.startswith("5 pictures: 4 repaired, 1 failed; ")
    # The masks beside the pictures are not taken for pictures.
    assert sorted(os.listdir(roll / "out")) == ["f1.png", "f2.png", "f4.png", "f5.png"]
    for name in ["f1", "f2", "f4", "f5"]:
        want = expected_file(roll / "want", roll / "roll" / f"{name}.png",
                             roll / "roll" / f"{name}_mask.png", f"{name}.png")
        assert (roll / "out" / f"{name}.png").read_bytes() == want


def test_shared_mask_with_every_fill_option(roll):
    Image.fromarray(np.where(np.arange(W) < 20, 255, 0).astype(np.uint8)[None, :]
                    .repeat(H, 0)).save(roll / "allowed.png")
    r = batch("roll/f1.png", "roll/f[245].png", "--out-dir", "out", "--mask", "shared.png",
              "-r", "2", "-m", "gpu-fast", "--search-radius", "6",
              "--source-mask", "allowed.png", "--device", "cpu", "-j", "1", "-v", cwd=roll)
    # Holes far from the allowed sources stay: written, but counted apart.
    assert r.returncode == 4, r.stderr
    assert r.stderr.splitlines() == [
        f"patchwell: roll/{name}.png: 4 of 15 pixels found no source (the source mask "
        "allows no window centre within 6 pixels of them)" for name in ["f1", "f2", "f4", "f5"]]
    assert "4 pictures: 0 repaired, 4 incomplete (holes left), 0 failed" in r.stdout
    for name in ["f1", "f2", "f4", "f5"]:
        want = expected_file(roll / "want", roll / "roll" / f"{name}.png", roll / "shared.png",
                             f"{name}.png", "-r", "2", "-m", "fast", "--search-radius", "6",
                             "--source-mask", str(roll / "allowed.png"))
        assert (roll / "out" / f"{name}.png").read_bytes() == want


def test_progress_bar_on_a_terminal(roll):
    master, terminal = pty.openpty()
    try:
        r = batch("roll", "--out-dir", "out", "--mask-pattern", "{stem}_mask.png",
                  "--device", "cpu", "-j", "1", cwd=roll, stderr=terminal, capture_output=False,
                  stdout=subprocess.PIPE)
    finally:
        os.close(terminal)
    text = drained(master).decode()
    os.close(master)
    assert r.returncode == 1 and r.stdout.startswith("5 pictures: 4 repaired, 1 failed")
    assert "\r\x1b[K[" in text and "/5 pictures" in text and "px/s" in text and " left" in text
    assert "\r\x1b[Kpatchwell: roll/f3.png: cannot read the image" in text
    assert text.endswith("\r\x1b[K")  # the bar is gone at the end


def test_interrupted_batch_resumes_where_it_stopped(roll):
    # A picture that takes a while, after a quick one: Ctrl+C arrives while
    # it is being repaired.
    d = roll / "seq"
    d.mkdir()
    Image.fromarray(photo_like(H, W, seed=1)).save(d / "a.png")
    Image.fromarray(speckled_mask(H, W, 12, seed=2)).save(d / "a_mask.png")
    Image.fromarray(photo_like(160, 160, seed=3)).save(d / "b.png")
    big = np.zeros((160, 160), np.uint8)
    big[40:120, 40:120] = 255
    Image.fromarray(big).save(d / "b_mask.png")
    for k in range(3):
        shutil.copy(d / "a.png", d / f"c{k}.png")
        shutil.copy(d / "a_mask.png", d / f"c{k}_mask.png")
    slow = ["-m", "exhaustive", "--search-radius", "all"]  # b takes a while
    args = [EXE, "batch", "seq", "--out-dir", "out", "--mask-pattern", "{stem}_mask.png",
            "--device", "cpu", "-j", "1", "-v", *slow]
    proc = subprocess.Popen(args, cwd=roll, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)
    first = proc.stdout.readline()
    os.killpg(proc.pid, signal.SIGINT)
    rest, err = proc.communicate(timeout=120)
    assert first.startswith("out/a.png: ")
    assert proc.returncode == 130, (rest, err)
    assert "stopped after 1 of 5 pictures" in err
    assert os.listdir(roll / "out") == ["a.png"]  # nothing half-written
    done = (roll / "out" / "a.png").stat()

    r = subprocess.run(args, cwd=roll, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "out/a.png: already there, skipped" in r.stdout
    assert "5 pictures: 4 repaired, 1 skipped (output already there), 0 failed" in r.stdout
    assert (roll / "out" / "a.png").stat().st_mtime_ns == done.st_mtime_ns
    for name in ["a", "b", "c2"]:
        want = expected_file(roll / "want", d / f"{name}.png", d / f"{name}_mask.png",
                             f"{name}.png", *slow)
        assert (roll / "out" / f"{name}.png").read_bytes() == want


def test_records_in_process(roll):
    d = roll / "roll"
    Image.fromarray(np.zeros((H, W), np.uint8)).save(d / "dark.png")
    Image.fromarray(np.zeros((H, W + 1), np.uint8)).save(d / "wide.png")
    items = [(d / "f1.png", d / "f1_mask.png"), (d / "f2.png", d / "dark.png"),
             (d / "f4.png", d / "wide.png"), (d / "f5.png", d / "missing.png")]
    records = list(repair_files(items, roll / "out", jobs=0, radius=3, device="cpu"))
    assert [(r.input, r.status) for r in records] == [
        (str(d / "f1.png"), "repaired"), (str(d / "f2.png"), "unchanged"),
        (str(d / "f4.png"), "failed"), (str(d / "f5.png"), "failed")]
    repaired, unchanged, wide, missing = records
    assert (repaired.filled, repaired.unfilled, repaired.error) == (12, 0, None)
    assert repaired.output == str(roll / "out" / "f1.png") and repaired.seconds > 0
    assert (roll / "out" / "f1.png").read_bytes() == expected_file(
        roll / "want", d / "f1.png", d / "f1_mask.png", "f1.png")
    # A mask that marks nothing gives the picture itself.
    assert (roll / "out" / "f2.png").read_bytes() == (d / "f2.png").read_bytes()
    assert wide.error == f"mask '{d / 'wide.png'}' is 31x24 pixels but the image is 30x24"
    assert missing.error == f"cannot read mask '{d / 'missing.png'}': No such file or directory"
    assert sorted(os.listdir(roll / "out")) == ["f1.png", "f2.png"]

    # A search whose window is larger than the picture can fill nothing:
    # refused, not run.
    records = list(repair_files([d / "f1.png"], roll / "big", mask_pattern="{stem}_mask.png",
                                radius=40, method="exhaustive", jobs=0, device="cpu"))
    assert [(r.status, r.filled, r.unfilled) for r in records] == [("failed", 0, 0)]
    assert records[0].error.endswith("use a radius of at most 11")
    assert not os.listdir(roll / "big")

    again = list(repair_files(items, roll / "out", jobs=0, device="cpu"))
    assert [r.status for r in again] == ["skipped", "skipped", "failed", "failed"]
    again = list(repair_files(items[:1], roll / "out", jobs=1, device="cpu", overwrite=True))
    assert [r.status for r in again] == ["repaired"]


def test_masks_are_matched_by_folder_and_pattern(roll, monkeypatch):
    monkeypatch.chdir(roll)
    j = os.path.join
    assert plan_batch(["roll/f2.png", "roll/f1.png"], "out", mask_dir="masks") == [
        ("roll/f2.png", j("masks", "f2.png"), j("out", "f2.png")),
        ("roll/f1.png", j("masks", "f1.png"), j("out", "f1.png"))]
    assert plan_batch(["roll/f1.png"], "out", mask_dir="m", mask_pattern="{name}.{stem}{ext}") \
        == [("roll/f1.png", j("m", "f1.png.f1.png"), j("out", "f1.png"))]
    # A folder gives its pictures in name order, without the masks beside
    # them, in every format that is read.
    Image.fromarray(photo_like(H, W, seed=6)).save("roll/f6.tiff")
    Image.fromarray(photo_like(H, W, seed=7)).save("roll/f7.webp")
    assert plan_batch(["roll"], "out", mask_pattern="{stem}_mask.png") == [
        (j("roll", n), j("roll", f"{n[:2]}_mask.png"), j("out", n))
        for n in [f"{n}.png" for n in NAMES] + ["f6.tiff", "f7.webp"]]
    assert plan_batch(["roll/*.tif*"], "out", mask="shared.png")[0][0] == "roll/f6.tiff"


@pytest.mark.parametrize("items, options, error", [
    (["roll"], {}, "no mask"),
    (["roll"], {"mask": "shared.png", "mask_dir": "roll"}, "not both"),
    (["roll"], {"mask_pattern": "{stem}_{size}.png"}, "not {size}"),
    (["roll"], {"mask_pattern": "mask.png"}, "one file for every picture"),
    (["roll/f1.png", "other/f1.png"], {"mask": "shared.png"}, "would both be written"),
    (["roll/f1.png"], {"mask": "shared.png", "out_dir": "roll"}, "would replace it"),
    (["roll/*.jpg"], {"mask": "shared.png"}, "no file matches 'roll/*.jpg'"),
    (["roll/empty"], {"mask": "shared.png"}, "no pictures to repair"),
    (["roll/empt*"], {"mask": "shared.png"}, "the files ending in .png, .jpg, .jpeg, .tif, "
                                            ".tiff, .webp, .bmp, .ppm)"),
])
def test_bad_batches_are_refused_before_any_work(roll, monkeypatch, items, options, error):
    monkeypatch.chdir(roll)
    (roll / "roll" / "empty").mkdir()
    options.setdefault("out_dir", "out")
    with pytest.raises((ValueError, FileNotFoundError), match=re.escape(error)):
        plan_batch(items, **options)
    with pytest.raises((ValueError, FileNotFoundError)):
        repair_files(items, **options, jobs=0)
    assert not os.path.exists(roll / "out")


def test_usage_errors_and_the_hand_over_to_python(roll, tmp_path, monkeypatch):
    r = batch("roll", "--out-dir", "out", cwd=roll)
    assert r.returncode == 2 and "a mask is needed" in r.stderr
    r = batch("roll", "--out-dir", "out", "--mask", "shared.png", "-r", "200", cwd=roll)
    assert r.returncode == 2 and "radius must be between 0 and 127" in r.stderr
    # A pixel limit that does not fit is refused as the command refuses it.
    huge = "99999999999999999999999"
    r = batch("roll", "--out-dir", "out", "--mask", "shared.png", "--max-pixels", huge,
              cwd=roll)
    one = subprocess.run([EXE, "roll/f1.png", "--max-pixels", huge], cwd=roll,
                         capture_output=True, text=True)
    assert r.returncode == one.returncode == 2
    assert f"max-pixels must be a whole number above 0, not '{huge}'" in r.stderr
    assert f"max-pixels must be a whole number above 0, not '{huge}'" in one.stderr
    # An output folder that cannot be made or written says why.
    r = batch("roll", "--out-dir", "roll/f1.png/out", "--mask", "shared.png", cwd=roll)
    assert r.returncode == 2
    assert "cannot make the output folder 'roll/f1.png/out': Not a directory" in r.stderr
    from patchwell import batch as batch_module
    monkeypatch.setattr(batch_module.os, "access", lambda *_: False)  # root writes anywhere
    with pytest.raises(PermissionError, match="^cannot write into the output folder "
                                              "'.*': Permission denied$"):
        batch_module._make_output_folder(roll)
    r = batch("--help", cwd=roll)
    assert r.returncode == 0 and "--mask-pattern" in r.stdout and "--jobs" in r.stdout
    assert ".tif .tiff .webp" in r.stdout
    assert "patchwell batch INPUTS" in subprocess.run([EXE, "--help"], capture_output=True,
                                                      text=True).stdout
    # A copy of the command without an interpreter beside it says so.
    lonely = tmp_path / "bin"
    lonely.mkdir()
    shutil.copy(EXE, lonely / "patchwell")
    env = {k: v for k, v in os.environ.items() if k != "PATCHWELL_PYTHON"}
    r = subprocess.run([lonely / "patchwell", "batch", "--help"], capture_output=True,
                       text=True, env=env)
    assert r.returncode == 1 and r.stdout == ""
    assert f"looked for python3 or python in {lonely}" in r.stderr
    env["PATCHWELL_PYTHON"] = sys.executable
    r = subprocess.run([lonely / "patchwell", "batch", "--help"], capture_output=True,
                       text=True, env=env)
    assert r.returncode == 0 and r.stdout.startswith("usage: patchwell batch")


def test_thread_count():
    default = patchwell.get_num_threads()
    assert default >= 1
    image = photo_like(40, 48, seed=5)
    mask = speckled_mask(40, 48, 60, seed=6) > 0
    try:
        patchwell.set_num_threads(1)
        assert patchwell.get_num_threads() == 1
        assert patchwell.device_info() == "CPU: 1 thread" or patchwell.device_info().startswith("CUDA")
        one = patchwell.repair(image, mask, 4, device="cpu")[0]
        patchwell.set_num_threads(3)
        assert patchwell.get_num_threads() == 3
        np.testing.assert_array_equal(patchwell.repair(image, mask, 4, device="cpu")[0], one)
        for bad, error in [(0, ValueError), (257, ValueError), ("2", TypeError), (2.0, TypeError)]:
            with pytest.raises(error, match="threads"):
                patchwell.set_num_threads(bad)
        assert patchwell.get_num_threads() == 3
    finally:
        patchwell.set_num_threads(None)
    assert patchwell.get_num_threads() == default

    # The environment variable, as OMP_NUM_THREADS; one it cannot read warns.
    code = "import patchwell; print(patchwell.get_num_threads())"
    for value, expected, warns in [("3", 3, False), ("999", 256, False),
                                   ("two", default, True), ("0", default, True)]:
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           env={**os.environ, "PATCHWELL_NUM_THREADS": value})
        assert r.returncode == 0 and int(r.stdout) == expected
        assert ("PATCHWELL_NUM_THREADS" in r.stderr) == warns


def test_dask_cluster_of_two_worker_processes(roll):
    # The core package and patchwell.batch never import Dask.
    code = "import sys, patchwell, patchwell.batch; print('dask' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True).stdout == "False\n"
    distributed = pytest.importorskip("distributed")
    import patchwell.dask

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        records = list(patchwell.dask.repair_files(
            client, [roll / "roll"], roll / "out", mask_pattern="{stem}_mask.png",
            radius=3, device="cpu"))
        # Each worker runs as many threads as it has: one.
        threads = client.run(lambda: __import__("patchwell").get_num_threads())
        assert set(threads.values()) == {1}
    assert sorted((os.path.basename(r.input), r.status) for r in records) == [
        ("f1.png", "repaired"), ("f2.png", "repaired"), ("f3.png", "failed"),
        ("f4.png", "repaired"), ("f5.png", "repaired")]
    assert [r.error for r in records if not r.ok][0].startswith("cannot read the image")
    for name in ["f1", "f2", "f4", "f5"]:
        want = expected_file(roll / "want", roll / "roll" / f"{name}.png",
                             roll / "roll" / f"{name}_mask.png", f"{name}.png")
        assert (roll / "out" / f"{name}.png").read_bytes() == want


@pytest.mark.parametrize("death", ["killed by SIGXCPU", "stopped by SIGTERM"])
def test_a_worker_that_dies_costs_only_its_picture(roll, death):
    # The worker that repairs the big picture dies, not the batch: each process
    # may use 2 s of CPU time, or SIGTERM goes to that worker; the batch goes
    # on with a new worker.
    d = roll / "seq"
    d.mkdir()
    for name, side, hole in [("a", H, 0), ("b", 400, 120), ("c", H, 0)]:
        Image.fromarray(photo_like(side, side, seed=side)).save(d / f"{name}.png")
        mask = speckled_mask(side, side, 12, seed=2)
        mask[side // 3:side // 3 + hole, side // 3:side // 3 + hole] = 255
        Image.fromarray(mask).save(d / f"{name}_mask.png")
    limit = death.endswith("SIGXCPU")
    proc = subprocess.Popen(
        [EXE, "batch", "seq", "--out-dir", "out", "--mask-pattern", "{stem}_mask.png",
         "--device", "cpu", "-j", "1", "--search-radius", "all"], cwd=roll, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True,
        preexec_fn=(lambda: resource.setrlimit(resource.RLIMIT_CPU, (2, 3))) if limit else None)
    while not limit and not (roll / "out" / ".b.png.incomplete").exists():  # b is being repaired
        assert proc.poll() is None
        time.sleep(0.005)
    if not limit:
        workers = [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
                   if _parent(pid) == proc.pid and b"spawn_main" in _cmdline(pid)]
        assert len(workers) == 1
        os.kill(workers[0], signal.SIGTERM)
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 1, err
    assert err == f"patchwell: seq/b.png: the worker process repairing it was {death}\n"
    assert out.startswith("3 pictures: 2 repaired, 1 failed")
    assert sorted(os.listdir(roll / "out")) == ["a.png", "c.png"]  # no leftovers


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except OSError:
        return None


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""


@pytest.mark.gpu
def test_cuda_workers_write_what_the_cpu_writes(roll):
    items = [(roll / "roll" / f"{n}.png", roll / "roll" / f"{n}_mask.png")
             for n in ["f1", "f2", "f4"]]
    for device in ["cpu", "cuda"]:
        records = list(repair_files(items, roll / device, radius=3, method="fast",
                                    device=device))
        assert [r.status for r in records] == ["repaired"] * 3, records
    for n in ["f1", "f2", "f4"]:
        assert (roll / "cuda" / f"{n}.png").read_bytes() == (roll / "cpu" / f"{n}.png").read_bytes()
