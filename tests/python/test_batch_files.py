"""Batches nobody watches: a batch writes nothing but its own outputs, as
regular files, whatever the output folder holds, and signals, a full disk
and limits cost no more than they must."""
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
from conftest import H, W, photo_like, snapshot

EXE = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")


def run(*args, cwd, **kw):
    return subprocess.run([EXE, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, **kw)


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
    assert run("in/img0.png", "mask.png", "-o", "want.png", "-r", "2", "--device", "cpu",
               cwd=pics).returncode == 0
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
    # Incomplete, then repaired again (not skipped), then whole, then skipped.
    for options, status in [(narrow, "incomplete"), (narrow, "incomplete"),
                            ({"search_radius": 60}, "repaired"), ({}, "skipped")]:
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
        assert run("in/img0.jpg", "mask.png", "-o", str(want), *given, "--device", "cpu",
                   cwd=pics).returncode == 0
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
