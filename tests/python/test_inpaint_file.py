"""inpaint_file: signature, messages, formats, and results identical to inpaint."""
import os
import pathlib

import numpy as np
import pytest
from PIL import Image

import patchwell
from conftest import HAS_CUDA, photo_like, speckled_mask

GPU = patchwell.InpaintGPU


def save(array, path, **kw):
    Image.fromarray(array).save(path, **kw)
    return str(path)


def load(path):
    return np.asarray(Image.open(path))


@pytest.fixture
def files(tmp_path):
    """A photo-like picture 37 pixels wide (padded rows), its mask and the result."""
    img = photo_like(30, 37, seed=3)
    mask = speckled_mask(30, 37, 40, seed=4)
    mask[10:15, 12:18] = 255
    expected, m = img.copy(), mask.copy()
    assert patchwell.inpaint(expected, m, 2, GPU, device="cpu")
    return {
        "image": save(img, tmp_path / "photo.png"),
        "mask": save(mask, tmp_path / "mask.png"),
        "array": img,
        "mask_array": mask,
        "expected": expected,
        "dir": tmp_path,
    }


@pytest.mark.parametrize("name, method", [(None, GPU), ("", patchwell.InpaintCPU)] + [
    (name, GPU) for name in ("out.png", "out.bmp", "out.ppm", "OUT.PNG", "OUT.BMP")])
def test_lossless_outputs_hold_the_exact_result(files, name, method):
    out = files["dir"] / (name or "photo_inpaint.png")  # None and "": the default name
    assert patchwell.inpaint_file(files["image"], files["mask"], name and str(out), 2, method,
                                  device="cpu") is True
    np.testing.assert_array_equal(load(out), files["expected"])


def test_jpeg_output_is_baseline_rgb(files):
    out = files["dir"] / "r.jpg"
    assert patchwell.inpaint_file(files["image"], files["mask"], str(out), 2, GPU,
                                  device="cpu")
    with Image.open(out) as im:
        assert im.format == "JPEG" and im.mode == "RGB"
        assert not im.info.get("progressive")
        got = np.asarray(im).astype(int)
    # As close to the result as the same encoder settings get it.
    save(files["expected"], files["dir"] / "q80.jpg", quality=80)
    reference = load(files["dir"] / "q80.jpg").astype(int)
    assert np.abs(got - reference).mean() < 0.5


@pytest.mark.parametrize("name, mode, exact, written", [
    ("gray.jpg", "L", False, "L"), ("cmyk.jpg", "CMYK", False, "RGB"),
    ("palette.png", "P", True, "RGB"), ("gray_alpha.png", "LA", True, "LA"),
    ("rgba.png", "RGBA", True, "RGB"), ("gray.png", "L", True, "L"),
])
def test_every_kind_of_picture_is_read_as_rgb(tmp_path, name, mode, exact, written):
    """Inputs are filled as Pillow's RGB conversion of them, and gray ones
    are written back gray (with their alpha); gray and palette files work
    as masks."""
    img = Image.fromarray(photo_like(16, 19, seed=5)).convert(mode)
    img.save(tmp_path / name, **({"quality": 95} if name.endswith(".jpg") else {}))
    holes = speckled_mask(16, 19, 9, seed=6)
    Image.fromarray(holes).convert("P").save(tmp_path / "mask.png")
    out = str(tmp_path / "out.png")
    assert patchwell.inpaint_file(str(tmp_path / name), str(tmp_path / "mask.png"), out,
                                  1, GPU, device="cpu")
    with Image.open(tmp_path / name) as im:
        rgb = np.asarray(im.convert("RGB")).copy()
    m = holes.copy()
    patchwell.inpaint(rgb, m, 1, GPU, device="cpu")
    with Image.open(out) as im:
        assert im.mode == written
        got = np.asarray(im.convert("RGB"))
    if exact:
        np.testing.assert_array_equal(got, rgb)
    else:  # the decoders may round a little differently
        assert np.abs(got.astype(int) - rgb).mean() < 2


def test_without_a_mask_the_transparent_pixels_are_filled(tmp_path, capfd):
    img = photo_like(20, 23, seed=8)
    holes = speckled_mask(20, 23, 15, seed=9) > 128
    alpha = np.where(holes, 127, 128).astype(np.uint8)
    save(np.dstack([img, alpha]), tmp_path / "cut.png")
    assert patchwell.inpaint_file(str(tmp_path / "cut.png"), None, rad=2, method=GPU,
                                  device="cpu")
    expected, m = img.copy(), holes.astype(np.uint8) * 255
    patchwell.inpaint(expected, m, 2, GPU, device="cpu")
    np.testing.assert_array_equal(load(tmp_path / "cut_inpaint.png"), expected)  # no alpha
    save(img, tmp_path / "opaque.png")
    with pytest.raises(ValueError, match="no alpha"):
        patchwell.inpaint_file(str(tmp_path / "opaque.png"), None, rad=2, method=GPU)


def test_jpeg_quality_and_the_pixel_limit(files, capfd):
    d = files["dir"]
    sizes = {}
    for q in (30, 95):
        out = d / ("q%d.jpeg" % q)
        assert patchwell.inpaint_file(files["image"], files["mask"], str(out), 2, GPU,
                                      device="cpu", quality=q)
        sizes[q] = out.stat().st_size
    assert sizes[30] < sizes[95]
    for q in (0, 101):
        with pytest.raises(ValueError, match="quality"):
            patchwell.inpaint_file(files["image"], files["mask"], rad=2, method=GPU, quality=q)

    assert patchwell.max_image_pixels() == 2 ** 28
    try:
        patchwell.set_max_image_pixels(30 * 37 - 1)
        assert patchwell.inpaint_file(files["image"], files["mask"], rad=2, method=GPU) is False
        printed = capfd.readouterr()
        assert printed.out == "Error openning image: %s\n" % files["image"]
        assert "37 x 30 pixels, more than the limit of 1109" in printed.err
        patchwell.set_max_image_pixels(None)
        assert patchwell.max_image_pixels() is None
        assert patchwell.inpaint_file(files["image"], files["mask"], rad=2, method=GPU,
                                      device="cpu")
        with pytest.raises(ValueError):
            patchwell.set_max_image_pixels(0)
    finally:
        patchwell.set_max_image_pixels(2 ** 28)


def test_messages_and_results(files, capfd):
    d = files["dir"]
    image, mask = files["image"], files["mask"]
    small = save(files["mask_array"][:, :-1], d / "small.png")
    assert patchwell.inpaint_file(image, small, rad=2, method=GPU) is False
    assert capfd.readouterr().out == "Error openning mask: %s\n" % small

    dark = save(np.full((30, 37), 128, np.uint8), d / "dark.png")
    assert patchwell.inpaint_file(image, dark, rad=2, method=GPU) is False
    assert capfd.readouterr().out == "Nothing to inpaint!\n"
    assert not (d / "photo_inpaint.png").exists()

    for out in [str(d / "r.xyz"), str(d / "nowhere" / "r.png")]:
        # Refused before the run: verbose shows no statistics.
        assert patchwell.inpaint_file(image, mask, out, 2, GPU, True, device="cpu") is False
        assert capfd.readouterr().out == "Error saving image: %s\n" % out
        assert not os.path.exists(out)


def test_arguments(files, capfd):
    image, mask = files["image"], files["mask"]
    for args, keywords, error in [
            ((image, mask, 2, GPU), {}, TypeError),  # rad is not out_file
            ((image, mask), {"rad": 2}, TypeError),  # method has no default
            ((None, mask), {"rad": 2, "method": GPU}, TypeError)]:
        with pytest.raises(error):
            patchwell.inpaint_file(*args, **keywords)
    if not HAS_CUDA:
        with pytest.raises(RuntimeError, match="CUDA"):
            patchwell.inpaint_file(image, mask, rad=2, method=GPU, device="cuda")
    # os.PathLike names work as well; verbose names the output last.
    out = files["dir"] / "pathlike.png"
    capfd.readouterr()
    assert patchwell.inpaint_file(pathlib.Path(image), pathlib.Path(mask), out, 2, GPU, True,
                                  device="cpu")
    printed = capfd.readouterr().out
    assert printed.startswith("Initialize Pixmap:\n") and "Noise Pixels: " in printed
    assert printed.endswith("Output Image:       %s\n" % out)
    np.testing.assert_array_equal(load(out), files["expected"])


def test_progress_callback_and_its_exception(files):
    seen = []
    assert patchwell.inpaint_file(files["image"], files["mask"], rad=2, method=GPU,
                                  device="cpu", progress=seen.append)
    assert seen[0] == 0 and seen[-1] == 100

    def fail(percent):
        raise KeyError("stop here")

    out = files["dir"] / "stopped.png"
    with pytest.raises(KeyError, match="stop here"):
        patchwell.inpaint_file(files["image"], files["mask"], str(out), 2, GPU,
                               device="cpu", progress=fail)
    assert not out.exists()


def test_search_domain_from_a_source_mask_file(files, capfd):
    h, w = files["mask_array"].shape
    allowed = np.zeros((h, w), np.uint8)
    allowed[:, w // 2:] = 200  # gray above 128 allows
    source = save(allowed, files["dir"] / "source.png")
    img, mask = files["array"].copy(), files["mask_array"].copy()
    patchwell.inpaint(img, mask, 2, GPU, device="cpu", search_radius=9,
                      source_mask=allowed > 128)
    out = str(files["dir"] / "out.png")
    # Holes beyond the search radius of every allowed source: written, and told.
    with pytest.warns(patchwell.UnfilledWarning,
                      match=r"^%d of %d pixels found no source \(the source mask allows no "
                            r"window centre within 9 pixels of them\)" % (
                                (mask == 1).sum(), (files["mask_array"] > 128).sum())):
        assert patchwell.inpaint_file(files["image"], files["mask"], out, 2, GPU,
                                      search_radius=9, source_mask=source) is True
    np.testing.assert_array_equal(load(out), img)
    capfd.readouterr()
    small = save(allowed[:, 1:], files["dir"] / "small.png")
    for bad, why in [(small, ""), (str(files["dir"] / "missing.png"),
                                   "No such file or directory")]:
        assert patchwell.inpaint_file(files["image"], files["mask"], out, 2, GPU,
                                      source_mask=bad) is False
        printed = capfd.readouterr()
        assert printed.out == f"Error openning mask: {bad}\n"
        assert printed.err == (why and f"patchwell: cannot read source mask '{bad}': {why}\n")


def test_non_ascii_names_are_opened_and_printed(files, capfd):
    d = files["dir"]
    image = d / "фото été.png"
    image.write_bytes(pathlib.Path(files["image"]).read_bytes())
    assert patchwell.inpaint_file(str(image), files["mask"], rad=2, method=GPU,
                                  device="cpu")
    assert (d / "фото été_inpaint.png").exists()
    missing = str(d / "ñame.bmp")
    assert patchwell.inpaint_file(missing, files["mask"], rad=2, method=GPU) is False
    assert capfd.readouterr().out == "Error openning image: %s\n" % missing


def test_concurrent_calls_take_turns_and_share_nothing(files):
    """File runs and array runs from four threads at once."""
    import threading
    outs = [str(files["dir"] / ("t%d.png" % i)) for i in range(2)]
    arrays = [(files["array"].copy(), files["mask_array"].copy()) for _ in range(2)]
    results = []
    threads = [threading.Thread(target=lambda out=out: results.append(patchwell.inpaint_file(
        files["image"], files["mask"], out, 2, GPU, device="cpu"))) for out in outs] + [
        threading.Thread(target=patchwell.inpaint, args=(i, m, 2, GPU)) for i, m in arrays]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 2
    for got in [load(out) for out in outs] + [i for i, _ in arrays]:
        np.testing.assert_array_equal(got, files["expected"])
