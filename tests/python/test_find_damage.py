"""patchwell.find_damage: the same damage found in every picture type, and
the arguments it refuses."""
import os
import subprocess
import sysconfig

import numpy as np
import pytest

import patchwell


def speck_picture():
    rng = np.random.default_rng(5)
    gray = np.clip(170 + rng.normal(0, 3, (80, 80)), 0, 255)
    yy, xx = np.mgrid[0:80, 0:80]
    alpha = 1 / (1 + np.exp((np.hypot(yy - 30, xx - 50) - 2.0) / 0.5))
    return np.round(gray * (1 - alpha) + 20 * alpha).astype(np.uint8)


@pytest.mark.parametrize("convert", [
    lambda g: g,
    lambda g: np.dstack([g.astype(np.uint16) * 257] * 3),
    lambda g: np.dstack([g] * 3 + [np.zeros_like(g)])[:, ::-1][:, ::-1],  # RGBA, strided
])
def test_speck_found_in_every_picture_type(convert):
    mask = patchwell.find_damage(convert(speck_picture()))
    assert mask.dtype == np.bool_ and mask.shape == (80, 80)
    found = np.argwhere(mask)
    assert mask[28:33, 48:53].all()
    assert (np.abs(found - [30, 50]) <= 5).all()


@pytest.mark.parametrize("radius, tone", [(1.5, 20), (5, 235), (7, 20)])
def test_speck_covered_out_to_its_soft_edge(radius, tone):
    # The soft edge of a large speck is far below its core's contrast: what
    # is left of it after a repair shows as a ring.
    rng = np.random.default_rng(3)
    clean = 128 + rng.normal(0, 3, (96, 96))
    yy, xx = np.mgrid[0:96, 0:96]
    cover = 1 / (1 + np.exp((np.hypot(yy - 48.3, xx - 47.6) - radius) / 1.0))
    damaged = clean * (1 - cover) + tone * cover
    mask = patchwell.find_damage(np.rint(damaged).astype(np.uint8), "dust")
    change = np.abs(damaged - clean)
    assert mask[change >= 24].all() and mask[change >= 8].mean() > 0.85
    assert not mask[cover < 0.001].any()


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(kinds="dirt"), ValueError, "unknown kind 'dirt'"),
    (dict(kinds=[1]), TypeError, "kinds must be strings"),
    (dict(kinds=None), TypeError, "kinds must be a string or an iterable"),
    (dict(kinds=()), ValueError, "names nothing"),
    (dict(kinds="infrared"), ValueError, "pass infrared="),
    (dict(infrared=np.zeros((80, 80), np.uint16)), ValueError, "not among kinds"),
    (dict(kinds="infrared", infrared=np.zeros((8, 8), np.uint16)), ValueError,
     "image's height and width"),
    (dict(kinds="infrared", infrared=np.zeros((80, 80))), TypeError, "uint8 or uint16"),
    (dict(sensitivity=0), ValueError, "sensitivity"),
    (dict(sensitivity="2"), TypeError, "sensitivity must be a number"),
    (dict(max_size=0), ValueError, "max_size"),
    (dict(dilation=1.5), TypeError, "dilation"),
])
def test_refused_arguments(kwargs, error, words):
    with pytest.raises(error, match=words):
        patchwell.find_damage(speck_picture(), **kwargs)


@pytest.mark.parametrize("centre", [(0, 0), (40, 79), (79, 3)])
def test_speck_cut_by_the_edge_found(centre):
    # Dust at the edge of a scan is half a speck: the finder sees the
    # picture mirrored beyond its edge, where the speck is whole.
    rng = np.random.default_rng(4)
    clean = 128 + rng.normal(0, 3, (80, 80))
    yy, xx = np.mgrid[0:80, 0:80]
    cover = 1 / (1 + np.exp((np.hypot(yy - centre[0], xx - centre[1]) - 2.5) / 0.5))
    damaged = np.rint(clean * (1 - cover) + 20 * cover).astype(np.uint8)
    mask = patchwell.find_damage(damaged, "dust")
    assert mask[np.abs(damaged - clean) >= 24].all() and not mask[cover < 0.001].any()


def test_same_mask_on_any_thread_count():
    # Rows are cut into bands that threads share, and specks grow across
    # them afterwards: neither may depend on how many threads there are.
    rng = np.random.default_rng(8)
    gray = np.clip(120 + rng.normal(0, 6, (200, 150)), 0, 255)
    yy, xx = np.mgrid[0:200, 0:150]
    for y, x in rng.uniform(10, 140, (30, 2)):
        gray[np.hypot(yy - y - 40, xx - x) < 2.5] = 20
    gray[60:140, 75] = 230
    picture = gray.astype(np.uint8)
    before = patchwell.get_num_threads()
    try:
        masks = []
        for threads in (1, 2):
            patchwell.set_num_threads(threads)
            masks.append(patchwell.find_damage(picture))
    finally:
        patchwell.set_num_threads(before)
    assert masks[0].sum() > 0 and (masks[0] == masks[1]).all()


def test_dust_regions_judged_with_their_neighbours():
    # Texture repeats what dust does once: each region proposed counts the
    # others near it (centres within 24 px), and knows its own polarity.
    rng = np.random.default_rng(9)
    gray = 140 + rng.normal(0, 2, (90, 120))
    yy, xx = np.mgrid[0:90, 0:120]
    centres = [(30, 20, 20), (30, 40, 20), (60, 100, 250)]  # two near, one far and bright
    for y, x, tone in centres:
        cover = 1 / (1 + np.exp((np.hypot(yy - y, xx - x) - 2.5) / 0.5))
        gray = gray * (1 - cover) + tone * cover
    features, regions = patchwell._core._dust_regions(np.rint(gray).astype(np.uint8))
    ids = [regions[y, x] - 1 for y, x, _ in centres]
    assert min(ids) >= 0 and len(set(ids)) == 3
    assert features[ids, 15].tolist() == [1, 1, 0]  # neighbours
    assert features[ids, 14].tolist() == [1, 1, -1]  # dark, dark, bright
    assert (features[ids, 0] >= 9).all() and (features[ids, 1] <= 9).all()


def test_higher_sensitivity_finds_all_a_lower_one_does():
    # The finders propose the same specks and runs at every sensitivity and
    # only judge them more leniently: a restorer turning it up loses nothing.
    rng = np.random.default_rng(10)
    gray = np.clip(ndimage_blur(rng.normal(0, 1, (160, 160))) * 15 + 128, 0, 255)
    yy, xx = np.mgrid[0:160, 0:160]
    for y, x in rng.uniform(8, 152, (25, 2)):
        cover = 1 / (1 + np.exp((np.hypot(yy - y, xx - x) - rng.uniform(1, 4)) / 0.6))
        gray = gray * (1 - cover) + rng.choice([15, 240]) * cover
    gray[20:140, 80:82] = 0.3 * gray[20:140, 80:82] + 0.7 * 250
    picture = np.rint(gray).astype(np.uint8)
    masks = [patchwell.find_damage(picture, sensitivity=s) for s in (0.25, 1, 4, 16)]
    assert 0 < masks[0].sum() < masks[-1].sum()
    for lower, higher in zip(masks, masks[1:]):
        assert not (lower & ~higher).any()


def test_gray_picture_read_as_its_colour_twin():
    # A gray picture's colour features are read off its luma: they must be
    # what the colour path reads (a tinted corner pixel sends its twin there).
    rng = np.random.default_rng(11)
    gray = np.rint(np.clip(ndimage_blur(rng.normal(0, 1, (96, 96))) * 20 + 128, 0, 255))
    gray = gray.astype(np.uint8)
    twin = np.dstack([gray] * 3)
    twin[0, 0, 0] ^= 1
    plain, colour = (patchwell._core._speck_features(p)[40:, 40:] for p in (gray, twin))
    assert np.isfinite(plain).any()
    np.testing.assert_array_equal(plain, colour)


def ndimage_blur(noise):
    """A cheap texture: noise averaged over 3 x 3."""
    padded = np.pad(noise, 1, mode="edge")
    return sum(padded[dy:dy + noise.shape[0], dx:dx + noise.shape[1]]
               for dy in range(3) for dx in range(3)) / 3


@pytest.mark.parametrize("call", [
    lambda: patchwell._core._speck_features(np.zeros((8, 8, 2), np.uint8)),
    lambda: patchwell._core._speck_features(np.zeros((0, 8), np.uint8)),
    lambda: patchwell._core._line_runs(np.zeros((8, 8, 5), np.uint16)),
    lambda: patchwell._core._line_runs(np.zeros((8, 8), np.uint8), max_width=0),
    lambda: patchwell._core._dust_regions(np.zeros((8, 8, 2), np.uint8)),
    lambda: patchwell._core._dust_regions(np.zeros((8, 8), np.uint8), max_speck=65),
])
def test_training_entries_refuse_what_the_finder_refuses(call):
    # What the model trainers read goes through the finder's own code: it
    # must refuse what would make that code read past a pixel.
    with pytest.raises(ValueError):
        call()


def test_infrared_hair_found_and_repaired():
    rng = np.random.default_rng(6)
    picture = np.full((64, 64, 3), 120, np.uint8)
    picture[10:50, 30] = 10
    infrared = (50000 + rng.normal(0, 300, (64, 64))).astype(np.uint16)
    infrared[10:50, 30] = 15000
    mask = patchwell.find_damage(picture, ["infrared"], infrared=infrared)
    assert mask[10:50, 29:32].all() and not mask[:, :25].any()
    result, unfilled = patchwell.repair(picture, mask)
    assert (result == 120).all() and not unfilled.any()


CLI = os.environ.get("PATCHWELL_CLI") or os.path.join(sysconfig.get_path("scripts"), "patchwell")


@pytest.mark.parametrize("args, status, written, words", [
    (["-o", "mask.png", "--overlay", "look.png"], 0, {"mask.png", "look.png"}, ""),
    (["-o", "mask.png", "--kinds", "dust,dirt"], 2, set(), "unknown kind 'dirt'"),
    (["--overlay", "look.png"], 2, set(), "-o MASK"),
    (["-o", "mask.xyz"], 2, set(), "extension"),
    (["-o", "./scan.png"], 2, set(), "is the picture itself"),
    (["-o", "mask.png", "--overlay", "../{folder}/scan.png"], 2, set(), "picture itself"),
])
def test_detect_command(tmp_path, args, status, written, words):
    from PIL import Image
    Image.fromarray(np.dstack([speck_picture()] * 3)).save(tmp_path / "scan.png")
    args = [a.format(folder=tmp_path.name) for a in args]
    done = subprocess.run([CLI, "detect", "scan.png", *args], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == status and words in done.stderr
    assert set(os.listdir(tmp_path)) == {"scan.png"} | written
    if status == 0:
        mask = np.asarray(Image.open(tmp_path / "mask.png"))
        assert (mask == np.where(patchwell.find_damage(speck_picture()), 255, 0)).all()
        look = np.asarray(Image.open(tmp_path / "look.png"))
        assert (look[mask == 255] == [255, 0, 255]).all()


def write_inputs(folder):
    """scan.png: a speck at (30, 50) and a bright square that hole.png
    marks; rgbi.tif: a 16-bit scan whose infrared sample shows a hair the
    picture hides, and rgba.tif the same with an alpha sample."""
    import tifffile
    from PIL import Image
    picture = np.dstack([speck_picture()] * 3)
    picture[55:75, 5:25] = 250
    Image.fromarray(picture).save(folder / "scan.png")
    Image.fromarray(np.where(picture[..., 0] == 250, 255, 0).astype(np.uint8)).save(
        folder / "hole.png")
    rng = np.random.default_rng(8)
    rgb = np.full((64, 64, 3), 120 * 257, np.uint16)
    rgb[10:50, 30] = 100 * 257
    infrared = (50000 + rng.normal(0, 300, (64, 64))).astype(np.uint16)
    infrared[10:50, 30] = 15000
    for name, extra in (("rgbi.tif", 0), ("rgba.tif", 2)):
        tifffile.imwrite(folder / name, np.dstack([rgb, infrared]), photometric="rgb",
                         extrasamples=[extra])


@pytest.mark.parametrize("args, output, status, words", [
    (["scan.png", "-o", "out.png", "--find", "dust"], "out.png", 0, ""),
    (["scan.png", "hole.png", "-o", "out.png", "--find", "dust"], "out.png", 0, ""),
    (["rgbi.tif", "-o", "out.tif", "--find", "infrared"], "out.tif", 0, ""),
    (["batch", "scan.png", "--out-dir", "done", "--find", "dust"], "done/scan.png", 0, ""),
    (["rgba.tif", "-o", "out.tif", "--find", "infrared"], None, 1, "needs an infrared channel"),
    (["scan.png", "-o", "out.png", "--find", "dirt"], None, 2, "unknown kind 'dirt'"),
])
def test_repair_with_damage_found(tmp_path, args, output, status, words):
    import tifffile
    from PIL import Image
    write_inputs(tmp_path)
    done = subprocess.run([CLI, *args], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == status and words in done.stderr, done.stderr
    if args[0] == "batch":
        assert done.stdout.startswith("1 picture: 1 repaired, 0 failed; ")
    if output is None:
        assert not {"out.png", "out.tif"} & set(os.listdir(tmp_path))
        return
    path = tmp_path / output
    result = tifffile.imread(path) if output.endswith(".tif") else np.asarray(Image.open(path))
    if output.endswith(".tif"):  # the hair filled, the infrared sample not written
        assert result.shape == (64, 64, 3) and (result == 120 * 257).all()
        return
    assert np.abs(result[28:33, 48:53].astype(int) - 170).max() < 20  # the speck
    square = result[55:75, 5:25]
    assert (square == 250).all() != ("hole.png" in args)  # filled only when masked
