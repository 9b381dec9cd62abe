"""The `patchwell` command installed next to the interpreter."""
import os
import pty
import re
import signal
import subprocess
import sys
import sysconfig
import termios

import numpy as np
import pytest
import tifffile
from PIL import Image

import patchwell
from conftest import H, W, HAS_CUDA, drained, photo_like, snapshot, speckled_mask, square_hole

# The installed command, or another build of it (scripts/sanitize.sh).
EXE = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")


def run(*args, cwd=None, stderr=subprocess.PIPE):
    return subprocess.run([EXE, *args], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=stderr, text=True, timeout=120)


@pytest.fixture
def scene(tmp_path):
    img = photo_like(26, 31, seed=7)
    mask = speckled_mask(26, 31, 25, seed=8)
    Image.fromarray(img).save(tmp_path / "photo.png")
    Image.fromarray(mask).save(tmp_path / "mask.png")
    # The command's defaults are repair's (method auto, the default radius).
    return tmp_path, patchwell.repair(img, mask > 128, device="cpu")[0]


def test_is_installed_with_help_and_version():
    assert os.access(EXE, os.X_OK)
    r = run("--help")
    assert r.returncode == 0 and r.stdout.startswith("usage: patchwell IMAGE [MASK]")
    for option in ["-o", "-r", "-m", "--device", "--quality", "--max-pixels", "-v", "-q",
                   "--version", "status 3"]:
        assert option in r.stdout
    r = run("--version")
    # The version, then what a run would use and why.
    assert r.returncode == 0
    assert r.stdout.startswith(f"Patchwell {patchwell.__version__} (gpu) \u00b7 "
                               + patchwell.device_info())
    if not HAS_CUDA:
        assert re.search(r" \((no NVIDIA driver|no CUDA device|built without CUDA)\)\n$",
                         r.stdout)


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
    r = run("photo.png", "mask.png", "-o", "v.ppm", "-v", "--device", "cpu", "-m", "gpu", cwd=d)
    assert r.returncode == 0
    assert "Noise Pixels: " in r.stdout and "Output Image:       v.ppm\n" in r.stdout
    assert "Inpaint Method:     GPU on the CPU (" in r.stdout  # the device that runs
    assert r.stdout.endswith("v.ppm\n")
    # The Python API's method names, and the module run as the command.
    for method, python_name in [("fast", patchwell.InpaintGPUfast), ("exhaustive", patchwell.InpaintGPU)]:
        img, m = np.asarray(Image.open(d / "photo.png")).copy(), np.asarray(Image.open(d / "mask.png")).copy()
        patchwell.inpaint(img, m, 3, python_name, device="cpu")
        r = subprocess.run([sys.executable, "-m", "patchwell", "photo.png", "mask.png", "-o", "m.png",
                            "-m", method, "--device", "cpu"], cwd=d, capture_output=True, text=True)
        assert r.returncode == 0 and r.stdout == "m.png\n", r.stderr
        np.testing.assert_array_equal(np.asarray(Image.open(d / "m.png")), img)


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
            "--source-mask", "source.png", "--device", "cpu", "-m", "gpu", cwd=d)
    # Written, but the holes far from the allowed sources are told apart.
    assert (r.returncode, r.stderr) == (4, "patchwell: 7 of 25 pixels found no source (the "
                                           "source mask allows no window centre within 6 "
                                           "pixels of them)\n")
    assert r.stdout == "out.png\n" and (mask == 1).sum() == 7
    np.testing.assert_array_equal(np.asarray(Image.open(d / "out.png")), img)
    r = run("photo.png", "mask.png", "--source-mask", "missing.png", cwd=d)
    assert r.returncode == 1
    assert r.stderr == "patchwell: cannot read source mask 'missing.png': No such file or directory\n"


def test_long_run_is_forecast_with_a_bounded_search_suggested(tmp_path):
    h, w = 1600, 2400
    Image.fromarray(photo_like(h, w, seed=3)).save(tmp_path / "big.png")
    Image.fromarray(speckled_mask(h, w, h * w // 100, seed=4)).save(tmp_path / "m.png")
    proc = subprocess.Popen([EXE, "big.png", "m.png", "--device", "cpu", "-m", "exhaustive",
                             "--search-radius", "all"], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = [proc.stderr.readline() for _ in range(2)]
    finally:
        proc.kill()
        proc.wait()
    assert lines[0].startswith("patchwell: 38400 pixels to fill, about ")
    assert "--search-radius 48 would take about" in lines[1]


@pytest.mark.parametrize("args, words", [
    (["missing.png", "mask.png"], "cannot read image 'missing.png': No such file or directory"),
    (["photo.png", "missing.png"], "cannot read mask 'missing.png': No such file or directory"),
    (["photo.png", "folder.png"], "cannot read mask 'folder.png': Is a directory"),
    (["photo.png", "float.tif"], "cannot read mask 'float.tif': only TIFF files of 8- or 16-bit"),
    (["photo.png", "small.png"], "mask 'small.png' is 30x26 pixels but image 'photo.png' is 31x26"),
    (["photo.png", "mask.png", "-o", "out.xyz"], "cannot write 'out.xyz'"),
    (["photo.png", "mask.png", "-o", "no/such/dir.png"], "cannot write 'no/such/dir.png'"),
    (["photo.png"], "no MASK given and image 'photo.png' has no alpha channel"),
    (["photo.png", "mask.png", "--max-pixels", "805"], "image 'photo.png' declares 31x26 pixels"),
])
def test_failures_exit_non_zero_with_one_line(scene, args, words):
    d, _ = scene
    Image.fromarray(np.zeros((26, 30), np.uint8)).save(d / "small.png")
    tifffile.imwrite(d / "float.tif", np.zeros((26, 31), np.float32))
    (d / "folder.png").mkdir()
    r = run(*args, "-v", cwd=d)
    assert r.returncode == 1
    assert r.stdout == ""  # refused before any run: no statistics
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("patchwell: ")
    assert words in r.stderr
    assert not (d / "out.xyz").exists()


def test_an_empty_mask_gives_the_picture_unchanged(scene):
    # As a batch does: written, told on standard error, a success.
    d, _ = scene
    Image.fromarray(np.full((26, 31), 128, np.uint8)).save(d / "dark.png")
    for out in ["same.png", "other.bmp"]:
        r = run("photo.png", "dark.png", "-o", out, "--sources", "map.npy", cwd=d)
        assert (r.returncode, r.stdout, r.stderr) == (
            0, out + "\n", "patchwell: nothing to inpaint: no pixel of mask 'dark.png' is "
                           "brighter than 128\n")
        np.testing.assert_array_equal(np.asarray(Image.open(d / out)),
                                      np.asarray(Image.open(d / "photo.png")))
        assert (np.load(d / "map.npy") == -1).all()
    assert (d / "same.png").read_bytes() == (d / "photo.png").read_bytes()


@pytest.mark.parametrize("args", [[], ["a.png", "b.png", "-r", "200"], ["a.png", "--quality", "0"],
                                  ["a.png", "b.png", "--bogus"], ["a.png", "b.png", "-m"],
                                  ["a.png", "b.png", "--search-radius", "-3"],
                                  ["a.png", "b.png", "--search-radius", "x"],
                                  ["a.png", "b.png", "--device", "cuda:x"]])
def test_usage_errors_exit_2(args):
    r = run(*args)
    assert r.returncode == 2
    assert r.stderr.count("\n") == 1 and "see patchwell --help" in r.stderr


def test_progress_bar_on_a_terminal(scene):
    d, _ = scene
    for quiet in ([], ["-q"]):  # -q keeps the terminal quiet
        master, slave = pty.openpty()
        r = run("photo.png", "mask.png", "--device", "cpu", *quiet, cwd=d, stderr=slave)
        os.close(slave)
        text = drained(master).decode()
        os.close(master)
        assert r.returncode == 0
        assert text == "" if quiet else ("\r[" in text and "100%" in text and "elapsed" in text
                                        and "left" in text and text.endswith("\n"))


def test_alpha_as_the_mask_and_jpeg_quality(scene):
    d, expected = scene
    img = np.asarray(Image.open(d / "photo.png"))
    holes = np.asarray(Image.open(d / "mask.png")) > 128
    Image.fromarray(np.dstack([img, np.where(holes, 0, 255).astype(np.uint8)])).save(d / "cut.png")
    r = run("cut.png", "--device", "cpu", cwd=d)
    assert r.returncode == 0 and r.stdout == "cut_inpaint.png\n", r.stderr
    np.testing.assert_array_equal(np.asarray(Image.open(d / "cut_inpaint.png")), expected)
    assert run("photo.png", "mask.png", "-o", "a.JPEG", "--quality", "20", cwd=d).returncode == 0
    assert run("photo.png", "mask.png", "-o", "b.jpg", cwd=d).returncode == 0
    assert (d / "a.JPEG").stat().st_size < (d / "b.jpg").stat().st_size


def start_on_terminal(tmp_path):
    """Runs a long repair with standard input and error on a terminal and
    returns once its progress bar shows."""
    Image.fromarray(photo_like(300, 300, seed=2)).save(tmp_path / "big.png")
    Image.fromarray(square_hole(300, 300, 80)).save(tmp_path / "hole.png")
    master, slave = pty.openpty()
    p = subprocess.Popen([EXE, "big.png", "hole.png", "-r", "7", "--device", "cpu",
                          "--search-radius", "all"], cwd=tmp_path,
                         stdin=slave, stdout=subprocess.PIPE, stderr=slave)
    drawn = b""
    while b"\r[" not in drawn:
        drawn += os.read(master, 4096)
    return p, master, slave, drawn


def finish_on_terminal(p, master, drawn):
    """Waits for the command and returns its standard output and all it
    drew on the terminal."""
    out = p.communicate(timeout=120)[0]
    return out.decode(), (drawn + drained(master)).decode()


def test_escape_writes_the_partial_picture_and_exits_3(tmp_path):
    p, master, slave, drawn = start_on_terminal(tmp_path)
    os.write(master, b"\x1b")
    out, drawn = finish_on_terminal(p, master, drawn)
    os.close(slave)
    os.close(master)
    assert p.returncode == 3
    assert out == "big_inpaint.png\n"
    assert (tmp_path / "big_inpaint.png").exists()
    n = int(re.findall(r"\[[#-]+\] +(\d+)%", drawn)[-1])  # the bar's last percent
    k, m = re.search(r"patchwell: stopped at %d %%: (\d+) of (\d+) pixels filled\r\n$" % n,
                     drawn).groups()
    assert 0 < int(k) < int(m) == 80 * 80 and int(k) * 100 // int(m) == n < 100


def test_a_signal_gives_the_terminal_back(tmp_path):
    p, master, slave, drawn = start_on_terminal(tmp_path)
    assert not termios.tcgetattr(slave)[3] & termios.ECHO  # keys are read one by one
    p.send_signal(signal.SIGTERM)
    finish_on_terminal(p, master, drawn)
    assert p.returncode == -signal.SIGTERM
    assert termios.tcgetattr(slave)[3] & termios.ECHO
    os.close(slave)
    os.close(master)
    assert not [f for f in os.listdir(tmp_path) if f.endswith(".tmp")]


@pytest.fixture(scope="module")
def thread_start_shim(tmp_path_factory):
    """A preloadable library that makes pthread_create fail with EAGAIN."""
    source = os.path.join(os.path.dirname(__file__), "..", "cpp", "fail_thread_start.c")
    lib = str(tmp_path_factory.mktemp("shim") / "libfail_thread_start.so")
    try:
        subprocess.run(["cc", "-shared", "-fPIC", "-o", lib, source, "-ldl"], check=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler for the pthread_create shim")
    return lib


def test_threads_that_cannot_start_are_an_error(scene, thread_start_shim):
    d, _ = scene
    env = dict(os.environ, LD_PRELOAD=thread_start_shim, PW_THREAD_STARTS_ALLOWED="0",
               OPENBLAS_NUM_THREADS="1")
    r = subprocess.run([EXE, "photo.png", "mask.png", "--device", "cpu", "-m", "gpu"], cwd=d,
                       env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.startswith("patchwell: cannot start the inpaint worker thread")
    assert not (d / "photo_inpaint.png").exists()
    # The module: the worker, then (with two cores or more) a pool helper.
    code = """
import ctypes, sys, numpy as np, patchwell
allow = ctypes.CDLL(None).pw_fail_thread_starts_after
img = np.arange(40 * 30 * 3, dtype=np.uint8).reshape(30, 40, 3)
for allowed in ([0, 1] if patchwell.device_info() != "CPU: 1 thread" else [0]):
    image, mask = img.copy(), np.zeros((30, 40), np.uint8)
    mask[10:14, 10:14] = 255
    allow(allowed)
    try:
        patchwell.inpaint(image, mask, 2, patchwell.InpaintGPU, device="cpu")
        sys.exit("no error")
    except RuntimeError as e:
        assert "cannot start" in str(e), e
    allow(-1)
    assert (image == img).all() and mask.sum() == 16
print("ok")
"""
    env["PW_THREAD_STARTS_ALLOWED"] = "-1"
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                       timeout=60)
    assert r.stdout == "ok\n", r.stderr


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
    ([], "marks every pixel"),  # with the mask white.tif
    (["--quality", "90"], "--quality applies to JPEG and WebP outputs only, and 'o.png'"),
    (["-o", "o.webp", "--quality", "keep"], "--quality applies to JPEG outputs only"),
])
def test_command_refuses_impossible_jobs_before_the_run(pics, args, text):
    Image.fromarray(np.zeros((H, W), np.uint8)).save(pics / "black.png")
    Image.fromarray(np.full((H, W), 255, np.uint8)).save(pics / "white.tif")
    os.symlink("o.tif", pics / "link.npy")
    before = snapshot(pics)
    mask = "white.tif" if not args else "mask.png"
    r = run("in/img0.png", mask, "-o", "o.png", "-m", "exhaustive", *args, cwd=pics)
    assert r.returncode == 2 and r.stdout == ""
    assert re.search(text, r.stderr) and r.stderr.count("\n") == 1
    assert snapshot(pics) == before and not os.listdir(pics / "out")

