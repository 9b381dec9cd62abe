"""End to end: hand-checked fills, identical methods, console messages."""
import contextlib
import io
import re

import numpy as np
import pytest

import patchwell
from conftest import photo_like, speckled_mask

GPU = patchwell.InpaintGPU
CPU = patchwell.InpaintCPU


@pytest.mark.parametrize("h, w, r", [(20, 6, 3), (1, 40, 22), (80, 200, 101)])
@pytest.mark.parametrize("method, passes", [(GPU, 0), (patchwell.InpaintGPUfast, 32)])
def test_window_larger_than_the_image_fills_nothing(h, w, r, method, passes, capfd):
    img = np.random.default_rng(h * w + r).integers(0, 256, (h, w, 3), dtype=np.uint8)
    before = img.copy()
    mask = np.zeros((h, w), np.uint8)
    mask[h // 2, w // 2] = mask[0, 0] = 255
    assert patchwell.inpaint(img, mask, r, method, True, device="cpu") is True
    np.testing.assert_array_equal(img, before)
    assert mask[h // 2, w // 2] == mask[0, 0] == 1 and mask.sum() == 2  # still marked
    # As a run whose every target finds nothing: all marks, every pass.
    assert ("----50%----100%\nInpaint incomplete: 2 of 2 pixels found no source\n"
            in capfd.readouterr().out)
    stats = patchwell._last_run_stats()
    assert (stats["targets"], stats["passes"]) == (2, 2 * passes)


def test_methods_and_devices_give_identical_results():
    base = photo_like(48, 61, seed=4)
    mask0 = speckled_mask(48, 61, 60, seed=5)
    mask0[20:27, 30:36] = 255
    results = []
    for method, device in [(GPU, "auto"), (GPU, "cpu"), (CPU, "auto")]:
        img, mask = base.copy(), mask0.copy()
        assert patchwell.inpaint(img, mask, 3, method, device=device)
        results.append((img, mask))
    for img, mask in results[1:]:
        np.testing.assert_array_equal(img, results[0][0])
        np.testing.assert_array_equal(mask, results[0][1])
    # Only masked pixels changed, and every one of them was filled.
    changed = (results[0][0] != base).any(-1)
    assert not (changed & (mask0 == 0)).any()
    assert not results[0][1].any()


@pytest.mark.parametrize("method", [GPU, patchwell.InpaintGPUfast])
def test_search_domain_limits_and_equivalences(method):
    """A domain that admits every centre changes nothing; one that admits
    none fills nothing; sources come from inside the domain only."""
    base = photo_like(40, 52, seed=8)
    mask0 = speckled_mask(40, 52, 30, seed=9)
    mask0[15:20, 20:26] = 255

    def run(**domain):
        img, mask = base.copy(), mask0.copy()
        assert patchwell.inpaint(img, mask, 2, method, device="cpu", **domain)
        return img, mask

    whole = run()
    allow_all = np.ones((40, 52), bool)
    for same in [run(search_radius=52), run(search_radius=10**12),
                 run(source_mask=allow_all), run(source_mask=allow_all.view(np.uint8) * 7)]:
        np.testing.assert_array_equal(same[0], whole[0])
        np.testing.assert_array_equal(same[1], whole[1])
    for nothing in [run(search_radius=0), run(source_mask=np.zeros((40, 52), bool))]:
        np.testing.assert_array_equal(nothing[0], base)
        assert (nothing[1] == (mask0 > 128)).all()
    # Only the right half may give: every fill copies a colour found there.
    right = np.zeros((40, 52), bool)
    right[:, 26:] = True
    img, mask = run(source_mask=right)
    filled = (mask0 > 128) & (mask == 0)
    assert filled.any()
    right_colours = {tuple(p) for p in base[:, 26:].reshape(-1, 3)}
    assert all(tuple(p) in right_colours for p in img[filled])


@pytest.mark.parametrize("method, name", [(GPU, "GPU"), (CPU, "CPU"),
                                          (patchwell.InpaintGPUfast, "GPU Fast")])
def test_verbose_output_is_exact(method, name, capfd):
    img = photo_like(30, 40)
    mask = np.zeros((30, 40), np.uint8)
    mask[10, 10:13] = 255
    assert patchwell.inpaint(img.copy(), mask.copy(), 2, method) is True
    assert capfd.readouterr() == ("", "")  # a quiet run prints nothing
    assert patchwell.inpaint(img, mask, 2, method, True) is True
    out, err = capfd.readouterr()
    assert err == ""
    assert re.fullmatch(
        r"Initialize Pixmap:\n"
        r"Noise Pixels:       3\n"
        r"Image Pixels:       1200\n"
        r"Radius:             2\n"
        rf"Inpaint Method:     {name}\n"
        r"TFLOPS:             0\.0000\n"
        r"Starting Inpaint\.\.\.\.\.\n"
        r"Press ESC to cancel\n"
        r"----30%----60%----100%\n"
        r"Inpaint completed OK!\n"
        r"Inpaint time:       \d+\.00 ms\n", out), out


def test_nothing_to_inpaint_with_statistics(capfd):
    img = photo_like(10, 10)
    mask = np.full((10, 10), 100, np.uint8)
    with pytest.warns(UserWarning, match="above 128"):
        assert patchwell.inpaint(img, mask, 7, GPU, True) is False
    out = capfd.readouterr().out
    assert out == ("Initialize Pixmap:\n"
                   "Noise Pixels:       0\n"
                   "Image Pixels:       100\n"
                   "Radius:             7\n"
                   "Inpaint Method:     GPU\n"
                   "TFLOPS:             0.0000\n"
                   "Nothing to inpaint!\n")


def test_work_estimate_of_a_large_run(capfd):
    # 1000 x 1000, radius 7, 10000 noise pixels: 6.7500. The run is stopped
    # at its first progress report; the statistics come before it.
    img = np.zeros((1000, 1000, 3), np.uint8)
    mask = speckled_mask(1000, 1000, 10000, seed=9)

    def stop(percent):
        raise StopIteration

    with pytest.raises(StopIteration):
        patchwell.inpaint(img, mask, 7, GPU, True, progress=stop)
    out = capfd.readouterr().out
    assert "TFLOPS:             6.7500\n" in out


@pytest.mark.parametrize("call", ["inpaint", "repair", "inpaint_file", "nothing"])
def test_output_goes_through_sys_stdout(call, tmp_path, capfd):
    """Jupyter and redirect_stdout see the statistics, the progress marks and
    the messages; nothing reaches the process's own stdout."""
    img = photo_like(30, 40)
    mask = np.zeros((30, 40), np.uint8)
    mask[10, 10:13] = 255
    out, err = io.StringIO(), io.StringIO()
    seen = []  # what the stream held when the progress callback ran
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        if call == "inpaint":
            patchwell.inpaint(img, mask, 2, GPU, True,
                              progress=lambda p: seen.append(out.getvalue()))
            assert "Press ESC to cancel\n" in seen[0]
        elif call == "repair":
            patchwell.repair(img, mask, 2, verbose=True, method="exhaustive")
        elif call == "inpaint_file":
            patchwell.inpaint_file(str(tmp_path / "missing.png"), "m.png", rad=2, method=GPU)
        else:
            patchwell.inpaint(img, np.zeros_like(mask), 2, GPU)
    text = out.getvalue()
    if call == "inpaint_file":
        assert text == "Error openning image: %s\n" % (tmp_path / "missing.png")
        assert err.getvalue() == ("patchwell: cannot read image '%s': No such file or "
                                  "directory\n" % (tmp_path / "missing.png"))
    elif call == "nothing":
        assert text == "Nothing to inpaint!\n"
    else:
        assert text.startswith("Initialize Pixmap:\nNoise Pixels:       3\n")
        assert "----30%----60%----100%\nInpaint completed OK!\n" in text
    assert capfd.readouterr() == ("", "")


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
