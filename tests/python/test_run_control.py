"""Progress callback, cancellation, Ctrl+C, the interpreter lock, Escape."""
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import patchwell
from conftest import photo_like, speckled_mask, square_hole

GPU = patchwell.InpaintGPU
# Runs that must last long enough to be stopped run on the CPU: a GPU may
# finish them before the first progress report.
SLOW = {"device": "cpu"}


def slow_case(count=1000, size=300, seed=2):
    """A run of seconds: on a flat picture every candidate ties at 0, so no
    search can stop early. The specks lie in the left third, leaving the
    rest for candidates. The tests that use it stop the run themselves. The
    noise pixels start black, so a fill is visible."""
    image = np.full((size, size, 3), 128, np.uint8)
    mask = np.zeros((size, size), np.uint8)
    mask[:, :size // 3] = speckled_mask(size, size // 3, count, seed)
    image[mask > 128] = 0
    return image, mask


def test_progress_gets_zero_first_and_hundred_last():
    img, mask = photo_like(60, 60), speckled_mask(60, 60, 200)
    seen = []
    assert patchwell.inpaint(img, mask, 3, GPU, progress=seen.append)
    assert seen[0] == 0 and seen[-1] == 100
    assert seen == sorted(seen)
    assert all(isinstance(p, int) for p in seen)


def test_exception_in_progress_stops_the_run_and_is_reraised():
    img, mask = slow_case()
    base = img.copy()
    noise = (mask > 128).copy()
    calls = []  # the percent, and how many noise pixels the image shows filled

    def stop(percent):
        calls.append((percent, int((img != base).any(-1)[noise].sum())))
        if percent > 0:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        patchwell.inpaint(img, mask, 10, GPU, progress=stop, **SLOW)
    percent, changed = calls[-1]
    assert 0 < percent < 100  # not called again after raising
    # The preview shows at least the pixels the percent stands for.
    assert changed > 0 and changed >= percent * int(noise.sum()) // 100
    filled = (mask == 0) & noise
    assert filled.any() and (mask[noise] == 1).any()
    # Filled pixels came back; unfilled ones kept their input bytes.
    np.testing.assert_array_equal(img[mask == 1], base[mask == 1])


@pytest.mark.parametrize("during", ["the fill", "the fill order"])
def test_ctrl_c_stops_the_run_with_pixels_filled_so_far(during):
    if during == "the fill":
        img, mask, options = *slow_case(), SLOW
    else:  # a million holes take seconds to order: stopped there, none filled
        img, mask = np.full((1100, 1100, 3), 90, np.uint8), square_hole(1100, 1100, 1000)
        options = {}
    noise = (mask > 128).copy()
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            patchwell.inpaint(img, mask, 10 if options else 7, GPU, **options)
    finally:
        timer.cancel()
    assert (mask[noise] == 1).any() and (mask[noise] == 0).any() == (during == "the fill")


def test_other_threads_run_while_inpainting():
    img, mask = slow_case()
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    def stop_after_a_while(percent):
        if time.monotonic() - start > 0.3:
            raise StopIteration

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = time.monotonic()
        with pytest.raises(StopIteration):
            patchwell.inpaint(img, mask, 10, GPU, progress=stop_after_a_while, **SLOW)
    finally:
        done.set()
        t.join()
    during = [tick for tick in ticks if tick > start + 0.05]
    assert len(during) >= 5


ESCAPE_CHILD = r"""
import sys, numpy as np, patchwell
sys.path.insert(0, sys.argv[1])
from conftest import photo_like, speckled_mask, square_hole
from test_run_control import slow_case
img, mask = slow_case()
print("READY", flush=True)
if sys.argv[2] == "inpaint":
    patchwell.inpaint(img, mask, 10, patchwell.InpaintGPU, device="cpu")
    print("LEFT", int((mask == 1).sum()), flush=True)
else:  # repair does not listen to Escape (a search long enough to be pressed during)
    left = patchwell.repair(img, mask > 128, 10, device="cpu", method="exhaustive",
                            search_radius=None)[1]
    print("LEFT", int(left.sum()), flush=True)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs a pty")
@pytest.mark.parametrize("entry", ["inpaint", "repair"])
def test_escape_on_a_terminal_stops_inpaint_and_restores_the_terminal(entry):
    import pty
    import termios
    here = os.path.dirname(__file__)
    master, slave = pty.openpty()
    before = termios.tcgetattr(slave)
    proc = subprocess.Popen([sys.executable, "-c", ESCAPE_CHILD, here, entry],
                            stdin=slave, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "READY"
        time.sleep(0.5)
        os.write(master, b"\x1b")
        out = proc.stdout.readline()  # the pipe's rest may sit in readline's buffer
        proc.wait(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    left = int(out.split()[1])
    assert (left > 0) == (entry == "inpaint"), f"{entry}: {left} pixels left"
    after = termios.tcgetattr(slave)
    assert after[3] == before[3]  # local modes (ICANON, ECHO) restored
    os.close(master)
    os.close(slave)


def test_inpaint_from_a_progress_callback_is_refused():
    img, mask = photo_like(30, 30), speckled_mask(30, 30, 20)
    inner = []

    def nested(percent):
        if percent == 0:
            with pytest.raises(RuntimeError, match="progress callback"):
                patchwell.inpaint(photo_like(10, 10), speckled_mask(10, 10, 3), 1, GPU)
            inner.append(True)

    assert patchwell.inpaint(img, mask, 2, GPU, progress=nested)
    assert inner == [True]


LOCK_CHILD = r"""
import os, signal, sys, threading, time
import numpy as np, patchwell
sys.path.insert(0, sys.argv[1])
from test_run_control import slow_case
scenario = sys.argv[2]
GPU = patchwell.InpaintGPU


def small_run():
    img = np.zeros((9, 9, 3), np.uint8)
    mask = np.zeros((9, 9), np.uint8)
    mask[4, 4] = 255
    return patchwell.inpaint(img, mask, 1, GPU)


def run_slow(stop_when):
    def progress(percent):
        if stop_when():
            raise StopIteration
    img, mask = slow_case()
    try:
        patchwell.inpaint(img, mask, 10, GPU, progress=progress, device="cpu")
    except StopIteration:
        pass


if scenario == "stats from the callback":
    calls = []
    run_slow(lambda: calls.append(patchwell._last_run_stats()) or len(calls) >= 2)
elif scenario == "stats from another thread":
    reads, done = [], threading.Event()
    def reader():
        while not done.is_set():
            reads.append(patchwell._last_run_stats())
    t = threading.Thread(target=reader)
    t.start()
    run_slow(lambda: len(reads) >= 3)
    done.set()
    t.join()
elif scenario == "a waiting run leaves the callback free":
    waiting = []
    def progress_check():
        if not waiting:
            waiting.append(threading.Thread(target=small_run))
            waiting[0].start()
            return False
        time.sleep(0.05)  # Python work while the other call waits
        return True
    run_slow(progress_check)
    waiting[0].join()
elif scenario == "fork during a run":
    started, stop = threading.Event(), threading.Event()
    t = threading.Thread(target=run_slow,
                         args=(lambda: started.set() or stop.is_set(),))
    t.start()
    started.wait()
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)  # a child stuck on an inherited lock dies
        ok = small_run() and patchwell._last_run_stats()["targets"] == 1
        os._exit(0 if ok else 3)
    stop.set()
    t.join()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
print("OK")
"""


@pytest.mark.parametrize("scenario", [
    "stats from the callback", "stats from another thread",
    "a waiting run leaves the callback free", "fork during a run"])
def test_locks_never_hang(scenario):
    """_last_run_stats never waits for a run; another thread's call waits
    with the interpreter lock released; a child forked during a run does
    not inherit a held lock."""
    here = os.path.dirname(__file__)
    try:
        proc = subprocess.run(
            [sys.executable, "-W", "ignore::DeprecationWarning", "-c",
             LOCK_CHILD, here, scenario], capture_output=True, text=True,
            timeout=90)
    except subprocess.TimeoutExpired:
        pytest.fail(f"deadlock: {scenario}")
    assert proc.stdout.strip() == "OK", proc.stderr
