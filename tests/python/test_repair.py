"""repair(): the conventions of image libraries over the same fill as
inpaint, byte for byte, with the inputs left alone."""
import warnings

import numpy as np
import pytest

import patchwell
from conftest import photo_like, speckled_mask

METHODS = {"exhaustive": patchwell.InpaintGPU, "fast": patchwell.InpaintGPUfast}


def reference(rgb, holes, radius, method):
    """inpaint on packed copies, the mask as bytes above 128."""
    img = np.ascontiguousarray(rgb).copy()
    mask = np.where(holes, 255, 0).astype(np.uint8)
    patchwell.inpaint(img, mask, radius, METHODS[method], device="cpu")
    return img, mask == 1


def random_case(seed):
    rng = np.random.default_rng(seed)
    h, w = int(rng.integers(3, 40)), int(rng.integers(3, 40))
    img = photo_like(h, w, seed)
    if seed % 3 == 0:  # flat areas: ties
        img //= 64
        img *= 64
    holes = rng.random((h, w)) < rng.uniform(0.02, 0.5)
    return img, holes, min(int(rng.integers(0, 6)), (min(h, w) - 1) // 2)


def as_gray(rgb):
    return rgb[:, :, 1].copy()


def with_alpha(rgb):
    alpha = np.arange(rgb.shape[0] * rgb.shape[1], dtype=np.uint8).reshape(rgb.shape[:2])
    return np.dstack([rgb, alpha])


def wide(image):
    """16 bits whose high bytes are the picture, with low bytes that differ
    from pixel to pixel."""
    low = np.random.default_rng(5).integers(0, 256, image.shape)
    return (image.astype(np.uint16) << 8 | low).astype(np.uint16)


# How people hand over pictures and masks; each must give inpaint's pixels.
LAYOUTS = {
    "rgb, bool mask": (lambda i: i, lambda m: m),
    "gray": (as_gray, lambda m: m),
    "rgba": (with_alpha, lambda m: m),
    "16-bit rgba": (lambda i: wide(with_alpha(i)), lambda m: m),
    "16-bit gray": (lambda i: wide(as_gray(i)), lambda m: m),
    "bgr view (negative stride)": (lambda i: i[:, :, ::-1], lambda m: m),
    "transposed views": (lambda i: i.transpose(1, 0, 2).copy().transpose(1, 0, 2),
                         lambda m: m.T.copy().T),
    "read-only": (lambda i: np.frombuffer(i.tobytes(), np.uint8).reshape(i.shape),
                  lambda m: np.frombuffer(m.tobytes(), bool).reshape(m.shape)),
    "0/1 uint8 mask": (lambda i: i, lambda m: m.astype(np.uint8)),
    "255 uint8 mask": (lambda i: i, lambda m: m.astype(np.uint8) * 255),
    "float mask": (lambda i: i, lambda m: m * 0.5),
    "int64 list mask": (lambda i: i, lambda m: m.astype(np.int64).tolist()),
}


@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("seed", range(4))
def test_repair_equals_inpaint_and_leaves_its_inputs_alone(layout, method, seed):
    rgb, holes, radius = random_case(seed)
    make_image, make_mask = LAYOUTS[layout]
    image, mask = make_image(rgb), make_mask(holes)
    image_before = np.array(image, copy=True)
    mask_before = np.array(mask, copy=True)

    result, unfilled, sources = patchwell.repair(image, mask, radius, method=method,
                                                 device="cpu", return_sources=True)

    # The search sees 8-bit RGB: the high bytes of 16-bit samples, no alpha.
    eight = (image >> 8).astype(np.uint8) if image.dtype == np.uint16 else image
    work = eight[:, :, :3] if image.ndim == 3 else np.dstack([eight] * 3)
    want_rgb, want_unfilled = reference(work, holes, radius, method)
    assert result.dtype == image.dtype and result.shape == image.shape
    assert unfilled.dtype == bool and unfilled.shape == holes.shape
    high = (result >> 8).astype(np.uint8) if image.dtype == np.uint16 else result
    if image.ndim == 2:
        np.testing.assert_array_equal(high, want_rgb[:, :, 0])
        assert (want_rgb == want_rgb[:, :, :1]).all()  # gray stays gray
    else:
        np.testing.assert_array_equal(high[:, :, :3], want_rgb)
    np.testing.assert_array_equal(unfilled, want_unfilled)
    # Every sample of a filled pixel (low bytes, alpha) is its source's;
    # the other pixels are the picture's.
    n = holes.size
    pixels, before, src = result.reshape(n, -1), np.asarray(image).reshape(n, -1), sources.reshape(-1)
    filled = src >= 0
    np.testing.assert_array_equal(filled, (holes & ~want_unfilled).reshape(-1))
    np.testing.assert_array_equal(pixels[filled], pixels[src[filled]])
    np.testing.assert_array_equal(pixels[~filled], before[~filled])
    np.testing.assert_array_equal(image, image_before)
    np.testing.assert_array_equal(np.asarray(mask), mask_before)
    assert not np.shares_memory(result, image)


def test_nothing_to_fill_returns_a_copy_and_no_unfilled(capfd):
    image = photo_like(9, 11)
    result, unfilled = patchwell.repair(image, np.zeros((9, 11), np.float32))
    np.testing.assert_array_equal(result, image)
    assert result is not image and not np.shares_memory(result, image)
    assert unfilled.dtype == bool and unfilled.shape == (9, 11) and not unfilled.any()
    assert capfd.readouterr() == ("", "")


def _far_source_mask():
    allowed = np.arange(40) < 12 + np.zeros((40, 1))  # far from the second hole
    return {"search_radius": 3, "source_mask": allowed}


@pytest.mark.parametrize("holes, radius, method, options, left, text", [
    # the source mask allows nothing within the search radius of the right hole
    ((np.s_[10:14, 5:8], np.s_[10:14, 30:34]), 2, "exhaustive", _far_source_mask(), 16,
     r"the source mask allows no window centre within 3 pixels of them\)"),
    # damage every fourth column: no 5 x 5 window is clear of it
    ((np.s_[:, ::4],), 2, "exhaustive", {"search_radius": None}, 360,
     r"no window of 5 x 5 pixels lies in the picture clear of the damage\)"),
    # GPU Fast ranks by the known pixels of the window, and a 1 x 1 one has none
    ((np.s_[10:14, 5:8],), 0, "fast", {}, 12,
     r"their windows of 1 x 1 pixels hold no known pixel, which GPU Fast ranks the "
     r"candidates by\)"),
], ids=["source mask far", "no clear window", "fast without a key"])
def test_holes_without_a_source_are_marked_and_warned_about(holes, radius, method, options,
                                                             left, text):
    image = photo_like(40, 40)
    mask = np.zeros((40, 40), bool)
    for part in holes:
        mask[part] = True
    with pytest.warns(patchwell.UnfilledWarning,
                      match=r"^%d of %d pixels found no source \(%s" % (left, mask.sum(), text)):
        result, unfilled = patchwell.repair(image, mask, radius, method=method, **options)
    assert unfilled.sum() == left
    np.testing.assert_array_equal(result[unfilled], image[unfilled])
    with warnings.catch_warnings():
        warnings.simplefilter("error", patchwell.UnfilledWarning)
        with pytest.raises(patchwell.UnfilledWarning):
            patchwell.repair(image, mask, radius, method=method, **options)


@pytest.mark.parametrize("radius", [1, 3])
def test_fast_fills_a_large_flat_hole_whole(radius):
    """The fill order reaches targets of a 64 x 64 hole before any pixel of
    their window is known (961 of them were left unfilled at radius 1, 2 at
    radius 3): the sweeps after the order fill them."""
    image = np.full((256, 256, 3), 128, np.uint8)
    holes = np.zeros((256, 256), bool)
    holes[96:160, 96:160] = True
    with warnings.catch_warnings():
        warnings.simplefilter("error", patchwell.UnfilledWarning)
        result, unfilled = patchwell.repair(image, holes, radius, method="fast")
    assert not unfilled.any() and (result == 128).all()


@pytest.mark.parametrize("shape, holes, radius, kwargs, text", [
    ((20, 20), (5, 5), 2, {"search_radius": 2}, "search radius of at least 3"),
    ((20, 5), (4, 2), 3, {}, "radius of at most 2"),
    ((20, 20), None, 1, {}, "marks every pixel"),
    ((20, 20), (5, 5), 1, {"source_mask": np.zeros((20, 20), bool)}, "allows no pixel"),
    ((20, 20), (5, 5), 3, {"source_mask": np.arange(20)[:, None] + np.zeros(20) < 1},
     "allows no window centre.*radius of at most 0"),
])
def test_jobs_where_no_hole_can_be_filled_are_refused_up_front(shape, holes, radius, kwargs,
                                                              text):
    mask = np.ones(shape, bool) if holes is None else np.zeros(shape, bool)
    if holes is not None:
        mask[holes] = True
    with pytest.raises(ValueError, match=text):
        patchwell.repair(photo_like(*shape), mask, radius, method="exhaustive", **kwargs)


@pytest.mark.parametrize("image, mask, kwargs, error, text", [
    (np.zeros((8, 8, 3)), None, {}, TypeError, "float64.*astype"),
    (np.zeros((8, 8, 3), np.int16), None, {}, TypeError, "int16"),
    ([[0] * 8] * 8, None, {}, TypeError, "int64"),
    (np.zeros((8, 8, 2), np.uint8), None, {}, ValueError, r"\(8, 8, 2\)"),
    (np.zeros(8, np.uint8), None, {}, ValueError, "shape"),
    (None, np.zeros((8, 7)), {}, ValueError, r"\(8, 8\)"),
    (None, np.zeros((8, 8, 3)), {}, ValueError, "mask.any"),
    (None, np.full((8, 8), "x"), {}, TypeError, "numbers or bools"),
    (None, None, {"radius": 7.5}, TypeError, "radius.*float"),
    (None, None, {"radius": 128}, ValueError, "radius"),
    (None, None, {"method": "quick"}, ValueError, "'exhaustive' or 'fast'"),
    (None, None, {"method": 1}, TypeError, "method"),
    (None, None, {"device": "tpu"}, ValueError, "device"),
    (None, None, {"progress": 3}, TypeError, "progress"),
    (None, None, {"source_mask": np.zeros((3, 3))}, ValueError, "source_mask"),
    # Checked before a mask of no holes returns the picture.
    (None, np.zeros((8, 8), bool), {"search_radius": -1}, ValueError, "search_radius must be 0"),
])
def test_bad_input_raises_before_anything_runs(image, mask, kwargs, error, text):
    image = np.zeros((8, 8, 3), np.uint8) if image is None else image
    mask = np.ones((8, 8), bool) if mask is None else mask
    with pytest.raises(error, match=text):
        patchwell.repair(image, mask, **kwargs)


@pytest.mark.parametrize("method", sorted(METHODS))
def test_search_options_give_the_pixels_of_inpaint(method):
    rgb, holes, _ = random_case(7)
    h, w = holes.shape
    allowed = np.random.default_rng(1).random((h, w)) * (np.arange(w) % 3 != 0)
    img, mask = rgb.copy(), np.where(holes, 255, 0).astype(np.uint8)
    patchwell.inpaint(img, mask, 2, METHODS[method], device="cpu", search_radius=4,
                      source_mask=allowed != 0)
    # A float source mask in a strided view: non-zero allows.
    result, unfilled = patchwell.repair(rgb, holes, 2, method=method, device="cpu",
                                        search_radius=np.int64(4),
                                        source_mask=allowed.T.copy().T)
    np.testing.assert_array_equal(result, img)
    np.testing.assert_array_equal(unfilled, mask == 1)


def plane(h, w, channels, scale):
    """Each channel its own plane (whole numbers): the smooth fill gives
    it back exactly."""
    y, x = np.mgrid[0:h, 0:w]
    planes = [(20 + (2 + c % 2) * x + (c + 1) * y) * scale for c in range(channels)]
    dtype = np.uint16 if scale > 1 else np.uint8
    return np.squeeze(np.dstack(planes)).astype(dtype)


@pytest.mark.parametrize("channels, scale", [(1, 1), (3, 1), (4, 1), (3, 256), (4, 257)])
def test_auto_fills_thin_damage_smoothly_and_holes_by_the_search(channels, scale):
    image = plane(30, 40, channels, scale)
    mask = np.zeros((30, 40), bool)
    mask[5, 2:30] = True           # a scratch, 1 px
    mask[20:22, 30:32] = True      # a speck
    mask[12:24, 8:20] = True       # a hole: a disc of radius 3 fits
    mask[12:24, 20] = True         # its rim goes with it
    hole = np.zeros_like(mask)
    hole[12:24, 8:21] = True
    result, unfilled, sources = patchwell.repair(image, mask, 2, return_sources=True)
    assert not unfilled.any()
    thin = mask & ~hole
    np.testing.assert_array_equal(result[thin], image[thin])  # exact, every channel
    assert (sources[thin] == -1).all() and (sources[hole] >= 0).all()
    flat = result.reshape(30 * 40, -1)
    np.testing.assert_array_equal(flat[sources[hole]], result[hole].reshape(hole.sum(), -1))
    np.testing.assert_array_equal(result[~mask], image[~mask])


def test_auto_is_the_same_on_one_thread_or_two_and_refuses_radius_0():
    image = photo_like(70, 90, seed=4)
    mask = speckled_mask(70, 90, 60, seed=5) > 128
    mask[30:45, 40:60] = True
    results = []
    for threads in (1, 2):
        patchwell.set_num_threads(threads)
        try:
            results.append(patchwell.repair(image, mask, 3, device="cpu"))
        finally:
            patchwell.set_num_threads(None)
    for one, two in zip(*results):
        np.testing.assert_array_equal(one, two)
    for call in (patchwell.repair, lambda i, m, r: patchwell.estimate_seconds(i.shape, m, r)):
        with pytest.raises(ValueError, match="method auto needs a radius of 1 or more"):
            call(image, mask, 0)


def test_repair_reports_fractions_of_the_work(monkeypatch):
    holes = speckled_mask(40, 40, 60, seed=2) > 128
    seen = []
    patchwell.repair(photo_like(40, 40), holes, progress=seen.append)
    assert seen[0] == 0.0 and seen[-1] == 1.0
    assert all(isinstance(f, float) and 0.0 <= f <= 1.0 for f in seen)


def test_estimate_seconds_follows_the_search_domain():
    holes = np.zeros((1500, 2000), bool)
    holes[::40, ::40] = True
    whole = patchwell.estimate_seconds(holes.shape, holes, 7, device="cpu", search_radius=None,
                                       method="exhaustive")
    bounded = patchwell.estimate_seconds((1500, 2000, 3), holes, 7, search_radius=48,
                                         device="cpu", method="exhaustive")
    assert 0 < bounded < whole / 50
    # The defaults: the specks are thin, filled smoothly without a search.
    assert 0 < patchwell.estimate_seconds(holes.shape, holes, 7, device="cpu") < bounded / 10
    assert patchwell.estimate_seconds(holes.shape, np.zeros_like(holes), device="cpu") == 0
    with pytest.raises(ValueError, match="shape"):
        patchwell.estimate_seconds((5,), holes)
