"""The `patchwell` command installed next to the interpreter."""
import os
import pty
import subprocess
import sysconfig

import numpy as np
import pytest
from PIL import Image

import patchwell
from conftest import photo_like, speckled_mask

EXE = os.path.join(sysconfig.get_path("scripts"), "patchwell")


def run(*args, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([EXE, *args], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=stderr, text=True, timeout=120)


@pytest.fixture
def scene(tmp_path):
    img = photo_like(26, 31, seed=7)
    mask = speckled_mask(26, 31, 25, seed=8)
    Image.fromarray(img).save(tmp_path / "photo.png")
    Image.fromarray(mask).save(tmp_path / "mask.png")
    expected, m = img.copy(), mask.copy()
    patchwell.inpaint(expected, m, 7, patchwell.InpaintGPU, device="cpu")
    return tmp_path, expected


def test_is_installed_with_help_and_version():
    assert os.access(EXE, os.X_OK)
    r = run("--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: patchwell IMAGE MASK")
    for option in ["-o", "-r", "-m", "--device", "-v", "-q", "--version"]:
        assert option in r.stdout
    r = run("--version")
    assert r.returncode == 0 and r.stdout == "Patchwell 1.0.2 (gpu)\n"


def test_repairs_with_the_defaults_and_prints_the_output(scene):
    d, expected = scene
    r = run("photo.png", "mask.png", "--device", "cpu", cwd=d)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "photo_inpaint.png\n"
    assert r.stderr == ""  # not a terminal: no progress bar
    np.testing.assert_array_equal(np.asarray(Image.open(d / "photo_inpaint.png")), expected)


def test_options(scene):
    d, _ = scene
    img = np.asarray(Image.open(d / "photo.png")).copy()
    mask = np.asarray(Image.open(d / "mask.png")).copy()
    patchwell.inpaint(img, mask, 3, patchwell.InpaintGPU, device="cpu")
    r = run("photo.png", "mask.png", "-o", "out.bmp", "-r", "3", "-m", "cpu", "-q", cwd=d)
    assert r.returncode == 0 and r.stdout == "" and r.stderr == ""
    np.testing.assert_array_equal(np.asarray(Image.open(d / "out.bmp")), img)
    r = run("photo.png", "mask.png", "-o", "v.ppm", "-v", "--device", "cpu", cwd=d)
    assert r.returncode == 0
    assert "Noise Pixels: " in r.stdout and "Output Image:       v.ppm\n" in r.stdout
    assert r.stdout.endswith("v.ppm\n")


def test_search_domain_options(scene):
    d, _ = scene
    img = np.asarray(Image.open(d / "photo.png")).copy()
    mask = np.asarray(Image.open(d / "mask.png")).copy()
    allowed = np.zeros(mask.shape, np.uint8)
    allowed[:, 10:] = 255
    Image.fromarray(allowed).save(d / "source.png")
    patchwell.inpaint(img, mask, 3, patchwell.InpaintGPU, device="cpu",
                      search_radius=6, source_mask=allowed > 128)
    r = run("photo.png", "mask.png", "-o", "out.png", "-r", "3", "--search-radius", "6",
            "--source-mask", "source.png", "--device", "cpu", cwd=d)
    assert r.returncode == 0, r.stderr
    np.testing.assert_array_equal(np.asarray(Image.open(d / "out.png")), img)
    r = run("photo.png", "mask.png", "--source-mask", "missing.png", cwd=d)
    assert r.returncode == 1 and "cannot read source mask 'missing.png'" in r.stderr


def test_long_run_is_forecast_with_a_bounded_search_suggested(tmp_path):
    h, w = 1200, 1600
    Image.fromarray(photo_like(h, w, seed=3)).save(tmp_path / "big.png")
    Image.fromarray(speckled_mask(h, w, h * w // 100, seed=4)).save(tmp_path / "m.png")
    proc = subprocess.Popen([EXE, "big.png", "m.png", "--device", "cpu"], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = [proc.stderr.readline() for _ in range(2)]
    finally:
        proc.kill()
        proc.wait()
    assert lines[0].startswith("patchwell: 19200 pixels to fill, about ")
    assert "--search-radius 48 would take about" in lines[1]


@pytest.mark.parametrize("args, words", [
    (["missing.png", "mask.png"], "cannot read image 'missing.png'"),
    (["photo.png", "missing.png"], "cannot read mask 'missing.png'"),
    (["photo.png", "small.png"], "mask 'small.png' is 30x26 pixels but image 'photo.png' is 31x26"),
    (["photo.png", "dark.png"], "nothing to inpaint"),
    (["photo.png", "mask.png", "-o", "out.xyz"], "cannot write 'out.xyz'"),
    (["photo.png", "mask.png", "-o", "no/such/dir.png"], "cannot write 'no/such/dir.png'"),
])
def test_failures_exit_non_zero_with_one_line(scene, args, words):
    d, _ = scene
    Image.fromarray(np.zeros((26, 30), np.uint8)).save(d / "small.png")
    Image.fromarray(np.zeros((26, 31), np.uint8)).save(d / "dark.png")
    r = run(*args, cwd=d)
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("patchwell: ")
    assert words in r.stderr
    assert not (d / "out.xyz").exists()


@pytest.mark.parametrize("args", [[], ["a.png"], ["a.png", "b.png", "-r", "200"],
                                  ["a.png", "b.png", "--bogus"], ["a.png", "b.png", "-m"],
                                  ["a.png", "b.png", "--search-radius", "-3"],
                                  ["a.png", "b.png", "--search-radius", "x"]])
def test_usage_errors_exit_2(args):
    r = run(*args)
    assert r.returncode == 2
    assert r.stderr.count("\n") == 1 and "see patchwell --help" in r.stderr


def test_progress_bar_on_a_terminal(scene):
    d, _ = scene
    master, slave = pty.openpty()
    try:
        r = run("photo.png", "mask.png", "--device", "cpu", cwd=d, stderr=slave)
        os.close(slave)
        slave = None
        drawn = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
    assert r.returncode == 0
    text = drawn.decode()
    assert "\r[" in text and "100%" in text and "elapsed" in text and "left" in text
    assert text.endswith("\n") or text.endswith("\r\n")
    # -q keeps the terminal quiet.
    master, slave = pty.openpty()
    r = run("photo.png", "mask.png", "-q", "--device", "cpu", cwd=d, stderr=slave)
    os.close(slave)
    try:
        leftover = os.read(master, 4096)
    except OSError:
        leftover = b""
    os.close(master)
    assert r.returncode == 0 and leftover == b""
