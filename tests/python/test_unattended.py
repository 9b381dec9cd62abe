"""Runs nobody watches: holes left are told, impossible jobs refused, and a
batch writes nothing but its own outputs, as regular files, whatever the
output folder holds."""
import fcntl
import os
import resource
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time

import numpy as np
import pytest
from PIL import Image

import patchwell
from patchwell.batch import repair_files
from conftest import photo_like, speckled_mask

EXE = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")
H, W = 24, 30


def run(*args, cwd, **kw):
    return subprocess.run([EXE, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, **kw)


@pytest.fixture
def pics(tmp_path):
    """t/in/img0.png, t/in/img1.png and a mask, as the reproducers have them."""
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    for k in range(2):
        Image.fromarray(photo_like(H, W, seed=k)).save(tmp_path / "in" / f"img{k}.png")
    Image.fromarray(speckled_mask(H, W, 10, seed=5)).save(tmp_path / "mask.png")
    return tmp_path


def snapshot(folder):
    return {p: open(os.path.join(folder, p), "rb").read() for p in sorted(os.listdir(folder))
            if os.path.isfile(os.path.join(folder, p))}


def test_inpaint_returns_at_once_when_no_hole_can_be_filled(capfd):
    image = photo_like(300, 300)
    # Every pixel marked: 63 s at radius 127 before, nothing to search now.
    for method, passes in [(patchwell.InpaintGPU, 0), (patchwell.InpaintGPUfast, 32 * 90000)]:
        mask = np.full((300, 300), 255, np.uint8)
        assert patchwell.inpaint(image.copy(), mask, 127, method, verbose=True, device="cpu")
        stats = patchwell._last_run_stats()
        assert (mask == 1).all() and stats["elapsed_ms"] == 0
        assert (stats["targets"], stats["no_source"], stats["passes"]) == (90000, 90000, passes)
    out = capfd.readouterr().out
    assert "completed OK" not in out and "Inpaint incomplete: 90000 of 90000 pixels" in out
    assert out.count("----10%----20%----30%----40%----50%----60%----70%----80%----90%----100%\n"
                     "Inpaint incomplete") == 2


def test_repair_checks_the_search_radius_before_anything_else():
    with pytest.raises(ValueError, match="search_radius must be 0 or more"):
        patchwell.repair(photo_like(8, 8), np.zeros((8, 8), bool), search_radius=-1)


def test_repair_reports_fractions_of_the_work(monkeypatch):
    holes = speckled_mask(40, 40, 60, seed=2) > 128
    seen = []
    patchwell.repair(photo_like(40, 40), holes, progress=seen.append)
    assert seen[0] == 0.0 and seen[-1] == 1.0
    assert all(isinstance(f, float) and 0.0 <= f <= 1.0 for f in seen)


def test_estimate_seconds_follows_the_search_domain():
    holes = np.zeros((1500, 2000), bool)
    holes[::40, ::40] = True
    whole = patchwell.estimate_seconds(holes.shape, holes, 7, device="cpu")
    bounded = patchwell.estimate_seconds((1500, 2000, 3), holes, 7, search_radius=48,
                                         device="cpu")
    assert 0 < bounded < whole / 50
    assert patchwell.estimate_seconds(holes.shape, np.zeros_like(holes), device="cpu") == 0
    with pytest.raises(ValueError, match="shape"):
        patchwell.estimate_seconds((5,), holes)


# --- the command ---------------------------------------------------------

@pytest.mark.parametrize("args, text", [
    (["-r", "2", "--search-radius", "1"], "search radius 1 is not above the window radius 2"
                                          ".*at least 3"),
    (["--source-mask", "black.png"], "source mask allows no pixel"),
    (["-r", "20"], "does not fit in the 30x24 picture: use a radius of at most 11"),
    (["-o", "mask.png"], "the output 'mask.png' is the mask of this run"),
    # Nothing the run writes replaces another of its files, however named.
    (["--source-mask", "white.tif", "--sources", "white.tif"],
     "the source map 'white.tif' would replace the source mask 'white.tif'"),
    (["-o", "out/o.tif", "--sources", "out/./o.tif"],
     "the source map 'out/./o.tif' would replace the output 'out/o.tif'"),
    (["-o", "o.tif", "--sources", "link.npy"], "would replace the output 'o.tif'"),
])
def test_command_refuses_impossible_jobs_before_the_run(pics, args, text):
    Image.fromarray(np.zeros((H, W), np.uint8)).save(pics / "black.png")
    Image.fromarray(np.full((H, W), 255, np.uint8)).save(pics / "white.tif")
    os.symlink("o.tif", pics / "link.npy")
    before = snapshot(pics)
    r = run("in/img0.png", "mask.png", "-o", "o.png", *args, cwd=pics)
    assert r.returncode == 2 and r.stdout == ""
    assert __import__("re").search(text, r.stderr) and r.stderr.count("\n") == 1
    assert snapshot(pics) == before and not os.listdir(pics / "out")


def test_command_refuses_a_mask_of_every_pixel(pics):
    Image.fromarray(np.full((H, W), 255, np.uint8)).save(pics / "white.png")
    r = run("in/img0.png", "white.png", "-o", "o.png", cwd=pics)
    assert r.returncode == 2 and "marks every pixel" in r.stderr
    assert not (pics / "o.png").exists()


# --- batches: what they write, and where ----------------------------------

@pytest.mark.parametrize("target", ["in/img1.png", "mask.png"])
def test_a_link_in_the_output_folder_is_replaced_never_followed(pics, target):
    os.symlink(os.path.join("..", target), pics / "out" / "img0.png")
    inputs = snapshot(pics / "in"), (pics / "mask.png").read_bytes()
    r = run("batch", "in", "--out-dir", "out", "--mask", "mask.png", "-r", "2",
            "--overwrite", "--device", "cpu", "-j", "0", cwd=pics)
    assert r.returncode == 0, r.stderr
    assert (snapshot(pics / "in"), (pics / "mask.png").read_bytes()) == inputs
    assert not os.path.islink(pics / "out" / "img0.png")
    want = pics / "want.png"
    patchwell.inpaint_file(str(pics / "in" / "img0.png"), str(pics / "mask.png"), str(want),
                           rad=2, method=patchwell.InpaintGPU, device="cpu")
    assert (pics / "out" / "img0.png").read_bytes() == want.read_bytes()


@pytest.mark.parametrize("extra, text", [
    (["--mask-dir", "in", "--out-dir", "in"], "would replace it"),
    (["--mask-dir", "m", "--out-dir", "m"], "is a mask"),
    (["--mask", "mask.png", "--out-dir", "out", "--source-mask", "out/img1.png"],
     "is the source mask"),
    (["--mask", "mask.png", "--out-dir", "out", "-r", "3", "--search-radius", "3"],
     "at least 4"),
    (["--mask-pattern", "{stem:>999999999}", "--out-dir", "out"], "plain fields"),
    (["--mask-pattern", "{stem:{name.__class__.__mro__}}", "--out-dir", "out"], "plain fields"),
    (["--mask-pattern", "{stem!r}.png", "--out-dir", "out"], "plain fields"),
])
def test_batches_that_would_overwrite_inputs_are_refused_up_front(pics, extra, text):
    (pics / "m").mkdir()
    for k in range(2):
        shutil.copy(pics / "mask.png", pics / "m" / f"img{k}.png")
        shutil.copy(pics / "mask.png", pics / "out" / f"img{k}.png")
    before = [snapshot(pics / d) for d in ("in", "m", "out")]
    r = run("batch", "in/img0.png", "in/img1.png", *extra, "--overwrite", "--device", "cpu",
            cwd=pics)
    assert r.returncode == 2 and text in r.stderr
    assert [snapshot(pics / d) for d in ("in", "m", "out")] == before


def test_an_output_that_appears_meanwhile_is_left_alone(pics, monkeypatch):
    from patchwell.batch import _picture
    from patchwell.batch._items import Task
    out = pics / "out" / "img0.png"
    out.write_bytes(b"someone else's")
    # Another process writes the output after the batch looked for it.
    monkeypatch.setattr(_picture.os.path, "lexists", lambda path: False)
    record = _picture.repair_picture(
        Task(str(pics / "in" / "img0.png"), str(pics / "mask.png"), str(out)),
        _picture.Options(device="cpu"))
    assert record.status == "skipped"
    assert out.read_bytes() == b"someone else's"
    assert os.listdir(pics / "out") == ["img0.png"]


def test_the_marker_is_there_before_the_output(pics, monkeypatch):
    # A signal that ends the batch while the output is saved (after the
    # core wrote it, before the batch could mark it): the picture is done
    # again on the next run.
    from patchwell.batch import _picture
    real = _picture._core._repair_file
    marker = pics / "out" / ".img0.png.incomplete"

    def stopped_after_the_save(*args, **kw):
        assert marker.exists()
        real(*args, **kw)
        raise KeyboardInterrupt

    monkeypatch.setattr(_picture._core, "_repair_file", stopped_after_the_save)
    with pytest.raises(KeyboardInterrupt):
        list(repair_files([pics / "in" / "img0.png"], pics / "out", mask=pics / "mask.png",
                          jobs=0, device="cpu"))
    assert (pics / "out" / "img0.png").exists() and marker.exists()
    monkeypatch.setattr(_picture._core, "_repair_file", real)
    records = list(repair_files([pics / "in" / "img0.png"], pics / "out",
                                mask=pics / "mask.png", jobs=0, device="cpu"))
    assert [r.status for r in records] == ["repaired"]
    assert os.listdir(pics / "out") == ["img0.png"]


def test_what_is_not_a_regular_file_is_never_written_into(pics):
    os.mkfifo(pics / "out" / "img0.png")
    reader = os.open(pics / "out" / "img0.png", os.O_RDONLY | os.O_NONBLOCK)
    os.mkdir(pics / "out" / ".img1.png.incomplete")
    try:
        r = run("batch", "in", "--out-dir", "out", "--mask", "mask.png", "--device", "cpu",
                "--overwrite", "-j", "0", cwd=pics)
        assert os.read(reader, 1) == b""  # nothing came through the pipe
    finally:
        os.close(reader)
    assert r.returncode == 1
    assert r.stderr.splitlines() == [
        "patchwell: in/img0.png: cannot write 'out/img0.png': a pipe is in its place, "
        "not a regular file",
        "patchwell: in/img1.png: cannot write 'out/.img1.png.incomplete': a folder is in "
        "its place, not a regular file"]
    assert sorted(os.listdir(pics / "out")) == [".img1.png.incomplete", "img0.png"]


def test_long_picture_names(pics):
    name = "p" * 242 + ".png"  # its marker's name would be 258 bytes
    shutil.copy(pics / "in" / "img0.png", pics / "in" / name)
    (pics / "in" / "img0.png").unlink()
    (pics / "in" / "img1.png").unlink()
    big = np.zeros((H, W), np.uint8)
    big[4:20, 6:24] = 255
    Image.fromarray(big).save(pics / "hole.png")
    Image.fromarray(np.where(np.arange(W) < 4, 255, 0).astype(np.uint8)[None, :].repeat(H, 0)
                    ).save(pics / "left.png")
    narrow = dict(search_radius=3, source_mask=pics / "left.png")
    # Incomplete, then repaired again (not skipped), then whole.
    for options, status in [(narrow, "incomplete"), (narrow, "incomplete"),
                            ({"search_radius": 60}, "repaired")]:
        records = list(repair_files([pics / "in"], pics / "out", mask=pics / "hole.png",
                                    radius=2, jobs=0, device="cpu", **options))
        assert [(r.status, "found no source" in (r.error or "")) for r in records] == [
            (status, status == "incomplete")], records[0].error
        assert all(len(os.fsencode(n)) <= 255 for n in os.listdir(pics / "out"))
    assert os.listdir(pics / "out") == [name]


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give files other owners")
def test_replaced_outputs_keep_owner_group_and_mode(pics):
    out = pics / "out"
    (out / "img0.png").write_bytes(b"old")
    os.chown(out / "img0.png", 1001, 5000)
    os.chmod(out / "img0.png", 0o600)
    r = run("batch", "in/img0.png", "--out-dir", "out", "--mask", "mask.png", "--overwrite",
            "--device", "cpu", "-j", "0", cwd=pics)
    assert r.returncode == 0, r.stderr
    st = os.stat(out / "img0.png")
    assert (st.st_uid, st.st_gid, st.st_mode & 0o7777) == (1001, 5000, 0o600)


def test_incomplete_pictures_are_told_apart_and_repaired_again(pics):
    big = np.zeros((H, W), np.uint8)
    big[4:20, 6:24] = 255
    Image.fromarray(big).save(pics / "hole.png")
    args = ["batch", "in", "--out-dir", "out", "--mask", "hole.png", "-r", "2", "--device",
            "cpu", "-j", "0", "--source-mask", "left.png"]
    Image.fromarray(np.where(np.arange(W) < 4, 255, 0).astype(np.uint8)[None, :].repeat(H, 0)
                    ).save(pics / "left.png")
    r = run(*args, "--search-radius", "3", cwd=pics)
    assert r.returncode == 4
    assert "2 pictures: 0 repaired, 2 incomplete (holes left), 0 failed" in r.stdout
    assert r.stderr.count("pixels found no source") == 2
    assert os.path.exists(pics / "out" / ".img0.png.incomplete")
    records = list(repair_files([pics / "in"], pics / "out", mask=pics / "hole.png", radius=2,
                                search_radius=60, jobs=0, device="cpu"))
    assert [r.status for r in records] == ["repaired", "repaired"]
    assert sorted(os.listdir(pics / "out")) == ["img0.png", "img1.png"]
    again = list(repair_files([pics / "in"], pics / "out", mask=pics / "hole.png", radius=2,
                              search_radius=60, jobs=0, device="cpu"))
    assert [r.status for r in again] == ["skipped", "skipped"]


def test_stale_temporary_files_are_swept_when_a_batch_starts(pics):
    dead = subprocess.Popen(["true"])
    dead.wait()
    stale = pics / "out" / f".img0.png.{dead.pid}-0.tmp"
    stale.write_bytes(b"left by a killed batch")
    # A live writer in another PID namespace or on another machine: its PID
    # means nothing here, but it holds the file locked.
    live = pics / "out" / ".img1.png.999999999-0.tmp"
    with open(live, "wb") as held:
        fcntl.lockf(held, fcntl.LOCK_EX)
        r = run("batch", "in", "--out-dir", "out", "--mask", "mask.png", "--device", "cpu",
                "-j", "1", cwd=pics)
    assert r.returncode == 0, r.stderr
    assert not stale.exists() and live.exists()


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_a_batch_leaves_no_temporary_file(pics, signal_number):
    Image.fromarray(photo_like(1200, 1600, seed=3)).save(pics / "in" / "big.png")
    mask = np.zeros((1200, 1600), np.uint8)
    mask[::97, ::89] = 255
    Image.fromarray(mask).save(pics / "bigmask.png")
    p = subprocess.Popen([EXE, "batch", "in/big.png", "--out-dir", "out", "--mask",
                          "bigmask.png", "--search-radius", "8", "--device", "cpu", "-j", "1"],
                         cwd=pics, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not any(
            n.endswith(".tmp") for n in os.listdir(pics / "out")):
        time.sleep(0.002)
    os.killpg(p.pid, signal_number)
    _, err = p.communicate(timeout=60)
    assert p.returncode == 130 and "stopped" in err
    assert not [n for n in os.listdir(pics / "out") if n.endswith(".tmp")]


def test_inpaint_file_ended_by_a_signal_leaves_no_temporary_file(tmp_path):
    Image.fromarray(photo_like(1500, 2000, seed=3)).save(tmp_path / "big.png")
    mask = np.zeros((1500, 2000), np.uint8)
    mask[5, 5] = 255
    Image.fromarray(mask).save(tmp_path / "m.png")
    code = ("import patchwell; patchwell.inpaint_file('big.png', 'm.png', 'out.png', rad=1, "
            "method=patchwell.InpaintGPU, device='cpu', search_radius=3)")
    p = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and p.poll() is None and not any(
            n.endswith(".tmp") for n in os.listdir(tmp_path)):
        time.sleep(0.001)
    p.send_signal(signal.SIGTERM)
    assert p.wait(timeout=60) == -signal.SIGTERM
    assert sorted(os.listdir(tmp_path)) == ["big.png", "m.png"]


def test_the_pixel_limit_and_quality_reach_every_worker(pics):
    patchwell.set_max_image_pixels(100)
    try:
        records = list(repair_files([pics / "in" / "img0.png"], pics / "out", mask=pics / "mask.png",
                                    jobs=1, device="cpu"))
    finally:
        patchwell.set_max_image_pixels(2**28)
    assert records[0].status == "failed" and "more than the limit of 100" in records[0].error
    Image.open(pics / "in" / "img0.png").save(pics / "in" / "img0.jpg", quality=95)
    want = pics / "want.jpg"
    # The default is the command's: keep a JPEG input's own tables.
    for quality in (95, "keep", None):
        given = [] if quality is None else ["--quality", str(quality)]
        r = run("batch", "in/img0.jpg", "--out-dir", "out", "--mask", "mask.png", *given,
                "--max-pixels", "1000", "--device", "cpu", "--overwrite", cwd=pics)
        assert r.returncode == 0, r.stderr
        patchwell.inpaint_file(str(pics / "in" / "img0.jpg"), str(pics / "mask.png"), str(want),
                               rad=3, method=patchwell.InpaintGPU, device="cpu",
                               quality=quality or "keep")
        assert (pics / "out" / "img0.jpg").read_bytes() == want.read_bytes()


def test_links_to_folders_do_not_make_globs_endless(pics):
    os.makedirs(pics / "in" / "a")
    os.symlink("..", pics / "in" / "a" / "up")
    os.symlink("../..", pics / "in" / "a" / "up2")
    shutil.copy(pics / "in" / "img0.png", pics / "in" / "a" / "deep.png")
    r = run("batch", "in/**/*.png", "--out-dir", "out", "--mask", "mask.png", "--device", "cpu",
            "-v", cwd=pics)
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(pics / "out")) == ["deep.png", "img0.png", "img1.png"]


def test_many_double_stars_read_each_folder_once(pics, monkeypatch):
    from patchwell.batch import _items
    folder = pics / "in"
    for depth in range(12):
        folder = folder / f"d{depth}"
        folder.mkdir()
    shutil.copy(pics / "in" / "img0.png", folder / "deep.png")
    real, read = os.scandir, []
    monkeypatch.setattr(_items.os, "scandir", lambda path: read.append(path) or real(path))
    monkeypatch.chdir(pics)
    deep = os.path.join("in", *[f"d{k}" for k in range(12)], "deep.png")
    for pattern in ["in/**/**/**/**/**/**/**/**/*.png", "in/**/d*/**/d*/**/d*/**/*.png"]:
        read.clear()
        found = [p for p, _ in _items.expand_inputs([pattern])]
        assert sorted(found) == sorted([deep] + [f"in/img{k}.png" for k in range(2)]
                                       if pattern.startswith("in/**/**") else [deep])
        assert len(read) == len(set(read)) <= 13, pattern


def test_a_full_disk_is_named_as_such(pics):
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
    r = run("batch", "in/img0.png", "--out-dir", "out", "--mask", "mask.png", "--device", "cpu",
            "-j", "0", cwd=pics, preexec_fn=small_files)
    assert r.returncode == 1
    assert r.stderr == "patchwell: in/img0.png: cannot write 'out/img0.png': File too large\n"
    assert os.listdir(pics / "out") == []


def test_too_many_workers_for_the_open_file_limit_fail_in_one_line(pics):
    def few_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (12, 12))
    r = run("batch", "in", "--out-dir", "out", "--mask", "mask.png", "--device", "cpu",
            "--jobs", "40", cwd=pics, preexec_fn=few_files)
    assert r.returncode == 1 and r.stderr.count("\n") == 1
    assert "cannot start 2 worker processes: the limit of open files (12" in r.stderr


def test_a_script_without_a_main_guard_gets_the_reason_once(pics):
    (pics / "script.py").write_text(textwrap.dedent("""\
        from patchwell.batch import repair_files
        for r in repair_files(["in"], "out", mask="mask.png", jobs=2, device="cpu"):
            print(r.status, r.error)
        """))
    r = subprocess.run([sys.executable, "script.py"], cwd=pics, capture_output=True, text=True,
                       timeout=120)
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("failed the worker processes could not "
                                                   "start") for line in lines)
    assert "if __name__ ==" in lines[0] and "Traceback" not in r.stderr
