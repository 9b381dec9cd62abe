"""The library against fill_model, a literal model of the fill written
independently of the C++ code: many small seeded pictures, both methods,
image and mask compared byte for byte. The first tests pin the model's own
fill order to hand-worked cases, so that a disagreement points at the
library and not at the model."""
import pathlib

import numpy as np
import pytest

import patchwell
import fill_model
from fill_model import build_fill_list, drain_order

METHODS = {
    "gpu": (fill_model.GPU, patchwell.InpaintGPU),
    "fast": (fill_model.GPU_FAST, patchwell.InpaintGPUfast),
}


# ---------------------------------------------------------------------------
# The model's fill order on hand-worked cases
# ---------------------------------------------------------------------------

def worked_orders():
    """The hand-worked fill orders of tests/fill_orders.txt, which the C++
    tests hold the library to as well."""
    for line in (pathlib.Path(__file__).parents[1] / "fill_orders.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            head, rows, order, ranked = line.split("|")
            w, h, r = map(int, head.split())
            mask = [255 if c == "F" else int(c) for c in "".join(rows.split())]
            yield (np.array(mask, np.uint8).reshape(h, w), r, [int(p) for p in order.split()],
                   [tuple(map(int, e.split(":"))) for e in ranked.split()])


@pytest.mark.parametrize("mask, r, order, ranked", list(worked_orders()))
def test_model_order_on_worked_cases(mask, r, order, ranked):
    h, w = mask.shape
    assert drain_order(list(mask.reshape(-1)), w, h, r) == ranked
    assert build_fill_list(mask, w, h, r) == order


# ---------------------------------------------------------------------------
# The model's search domain
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("h, w, x, y, s", [
    (5, 6, 3, 2, 0), (5, 6, 3, 2, 1), (5, 6, 0, 0, 2), (5, 6, 5, 4, 3),
    (7, 4, 1, 5, 9), (1, 8, 7, 0, 2)])
def test_model_domain_is_the_box_and_the_source_mask(h, w, x, y, s):
    box = np.zeros((h, w), bool)
    box[max(0, y - s):y + s + 1, max(0, x - s):x + s + 1] = True
    source = np.random.default_rng(h * w + s).integers(0, 3, (h, w)).astype(np.uint8) * 100
    domain = fill_model.search_domain
    assert domain(h, w, x, y, None, None) is None
    assert np.array_equal(domain(h, w, x, y, s, None), box)
    assert np.array_equal(domain(h, w, x, y, None, source), source != 0)
    assert np.array_equal(domain(h, w, x, y, s, source.astype(bool)), box & (source != 0))


@pytest.mark.parametrize("search_radius, excluded, source", [
    (None, None, (0, 0)),  # index 0 wins every tie
    (1, None, (4, 2)),     # index 16: the best slot inside the 3 x 3 box
    (1, (4, 2), (2, 1)),   # then index 8
    (0, None, None),       # only the target itself, which is unknown
])
def test_model_box_and_source_mask_with_ties_at_radius_0(search_radius, excluded, source):
    """Radius 0: every known pixel scores 0, so the tie-break alone picks the
    source among the allowed ones."""
    img = np.arange(90).reshape(5, 6, 3).astype(np.uint8)  # every pixel distinct
    mask = np.zeros((5, 6), np.uint8)
    mask[2, 3] = 255
    allowed = None
    if excluded is not None:
        allowed = np.ones((5, 6), bool)
        allowed[excluded[1], excluded[0]] = False
    _, got_img, got_mask = fill_model.inpaint(img, mask, 0, fill_model.GPU,
                                              search_radius=search_radius, source_mask=allowed)
    if source is None:
        assert got_mask[2, 3] == 1 and np.array_equal(got_img, img)
    else:
        assert got_mask[2, 3] == 0 and tuple(got_img[2, 3]) == tuple(img[source[1], source[0]])


# ---------------------------------------------------------------------------
# Random cases
# ---------------------------------------------------------------------------

KINDS = ("dust", "holes", "edges", "almost_all", "narrow", "wide")
OPTION_KINDS = ("dust", "holes", "edges", "wide")

SEEDS = range(150)                     # the whole-image search
OPTION_SEEDS = range(150, 222)         # with search_radius and/or source_mask
BIG_WINDOW_SEEDS = range(222, 262)     # a window as large as the image or larger
REGION_SEEDS = range(262, 292)         # larger pictures falling apart into regions
SWEEP_SEEDS = range(292, 304)          # holes whose order starves GPU Fast: sweeps follow
ALL_SEEDS = range(304)


def draw_options(rng, h, w, radius):
    """search_radius and/or source_mask for an h x w picture."""
    options = {}
    pick = rng.random()
    if pick < 0.75:
        # within radius of the target every candidate's window holds the
        # target itself, so the boxes that matter start at radius + 1
        options["search_radius"] = int(rng.choice(
            [0, radius, radius + 1, radius + 2, 2 * radius + 1, 2 * radius + 3,
             max(h, w) - 1, max(h, w) + 3]))
    if pick > 0.5:  # both options in a quarter of the cases
        kind = int(rng.integers(0, 4))
        if kind == 0:  # allows nothing
            source = np.zeros((h, w), bool)
        elif kind == 1:
            source = rng.random((h, w)) < rng.uniform(0.3, 0.9)
        elif kind == 2:  # any non-zero byte allows
            source = np.where(rng.random((h, w)) < 0.6,
                              rng.integers(1, 256, (h, w)), 0).astype(np.uint8)
        else:  # an object kept out of the repair
            source = np.full((h, w), 255, np.uint8)
            y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
            source[y:y + int(rng.integers(1, 8)), x:x + int(rng.integers(1, 8))] = 0
        options["source_mask"] = source
    return options


# (height, width, radius) seen filled from pixel (0, 0) with the exhaustive
# method on the CPU, one target at the centre
REPORTED_BIG_WINDOWS = [(30, 30, 22), (50, 50, 30), (20, 20, 19), (40, 1, 22)]


def big_window_shape(rng, radius):
    """Height and width with the window side 2 * radius + 1 at least as large
    as the image in one or both axes: one candidate row or column, none, or
    (shorter still) a negative count of candidate rows or columns."""
    side = 2 * radius + 1

    def short():
        pick = rng.random()
        if pick < 0.3:  # at most half the window
            return int(rng.integers(1, radius + 1))
        if pick < 0.5:
            return int(rng.integers(radius + 1, side - 1))
        return int(rng.choice([side, side - 1, side - 2]))

    axes = int(rng.choice([0, 0, 0, 1, 2]))  # 0: both, 1: rows only, 2: columns only
    h = short() if axes != 2 else int(rng.integers(side, side + 8))
    w = short() if axes != 1 else int(rng.integers(side, side + 8))
    return h, w


def region_case(rng, seed):
    """A picture whose damage a small search radius splits into regions:
    specks far apart, a long scratch that chains its targets together, and
    holes on the border; sometimes a source mask."""
    radius = int(rng.integers(1, 3))
    h, w = int(rng.integers(40, 64)), int(rng.integers(40, 72))
    levels = int(rng.choice([2, 3, 256]))
    img = (rng.integers(0, levels, (h, w, 3)) * (255 // (levels - 1))).astype(np.uint8)
    holes = np.zeros((h, w), bool)
    for _ in range(int(rng.integers(3, 9))):
        y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
        holes[y:y + int(rng.integers(1, 3)), x:x + int(rng.integers(1, 3))] = True
    if seed % 2:  # a scratch across the picture, a pixel or two wide
        y = int(rng.integers(0, h - 2))
        holes[y:y + int(rng.integers(1, 3)), int(rng.integers(0, w // 3)):w - int(rng.integers(0, 8))] = True
    if seed % 3 == 0:
        holes[0, :3] = holes[-2:, -1] = True
    mask = np.where(holes, 255, 0).astype(np.uint8)
    options = {"search_radius": radius + 1 + int(rng.integers(0, 4))}
    if seed % 5 == 0:
        options["source_mask"] = rng.random((h, w)) < 0.8
    return img, mask, radius, options


def starved_targets(holes, radius):
    """How many targets of the fill order meet a window without a known
    pixel when every target before them has been filled."""
    h, w = holes.shape
    mask = holes.astype(np.uint8)
    return len(fill_model.take_blind(build_fill_list(mask.reshape(-1), w, h, radius),
                                     mask, radius)[1])


def sweep_case(rng, seed):
    """Large overlapping rectangles at radius 1, drawn until the fill order
    reaches a target before any pixel of its window is known: GPU Fast has
    no key for it, and the sweeps after the order take it again. Every
    third case with a search radius (regions on the CPU)."""
    while True:
        h, w = int(rng.integers(12, 26)), int(rng.integers(12, 26))
        holes = np.zeros((h, w), bool)
        for _ in range(int(rng.integers(1, 5))):
            y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
            holes[y:y + int(rng.integers(2, 14)), x:x + int(rng.integers(2, 14))] = True
        if starved_targets(holes, 1):
            break
    levels = int(rng.choice([2, 3, 256]))
    img = (rng.integers(0, levels, (h, w, 3)) * (255 // (levels - 1))).astype(np.uint8)
    options = {"search_radius": int(rng.integers(2, 9))} if seed % 3 == 0 else {}
    return img, np.where(holes, 255, 0).astype(np.uint8), 1, options


def make_case(seed):
    """A small picture, a mask, a radius and the search options (a dict of
    keyword arguments, empty for the whole-image search), all drawn from
    `seed`."""
    rng = np.random.default_rng(1000 + seed)
    if seed in REGION_SEEDS:
        return region_case(rng, seed)
    if seed in SWEEP_SEEDS:
        return sweep_case(rng, seed)
    kind = "big_window" if seed in BIG_WINDOW_SEEDS else KINDS[seed % len(KINDS)]
    radius = int(rng.integers(0, 5))
    if seed in OPTION_SEEDS:
        # pictures in which both methods find sources, so that the options
        # decide which
        kind = OPTION_KINDS[seed % len(OPTION_KINDS)]
        radius %= 3
    reported = seed - BIG_WINDOW_SEEDS.start
    if kind == "big_window" and reported < len(REPORTED_BIG_WINDOWS):
        h, w, radius = REPORTED_BIG_WINDOWS[reported]
    elif kind == "big_window":
        # small radii, and the large ones that take another search path
        radius = int(rng.integers(1, 9) if rng.random() < 0.3 else rng.integers(16, 25))
        h, w = big_window_shape(rng, radius)
    elif kind == "wide":
        # more than 512 pixels: several candidates per selection slot
        h, w = int(rng.integers(22, 30)), int(rng.integers(24, 32))
        radius = int(rng.integers(0, 2))
    elif kind == "narrow":
        side = 2 * radius + 1
        h, w = int(rng.integers(3, 14)), int(rng.integers(3, 14))
        if rng.random() < 0.5:
            w = int(rng.integers(1, side + 1))
        else:
            h = int(rng.integers(1, side + 1))
    else:
        h, w = int(rng.integers(3, 21)), int(rng.integers(3, 25))
    levels = int(rng.choice([2, 2, 3, 4, 256]))
    step = 255 // max(levels - 1, 1)
    img = (rng.integers(0, levels, (h, w, 3)) * step).astype(np.uint8)
    if rng.random() < 0.3:  # grey: ties across channels too
        img[:] = img[..., :1]
    if rng.random() < 0.2:  # a little noise on some levels: near ties
        img = np.clip(img.astype(int) + rng.integers(-1, 2, img.shape), 0, 255).astype(np.uint8)

    holes = np.zeros((h, w), bool)
    if kind == "dust" or kind == "wide":
        holes = rng.random((h, w)) < rng.uniform(0.01, 0.12)
        if not holes.any():
            holes[rng.integers(0, h), rng.integers(0, w)] = True
    elif kind == "holes" or kind == "big_window":
        big = 5 if kind == "holes" else 3  # few targets for the large windows
        for _ in range(int(rng.integers(1, 4))):
            y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
            holes[y:y + int(rng.integers(1, big)), x:x + int(rng.integers(1, big))] = True
    elif kind == "edges":
        # holes touching the borders and the corners
        for _ in range(int(rng.integers(1, 4))):
            hh, ww = int(rng.integers(1, 4)), int(rng.integers(1, 4))
            side_ = int(rng.integers(0, 4))
            y = 0 if side_ == 0 else h - hh if side_ == 1 else int(rng.integers(0, h))
            x = 0 if side_ == 2 else w - ww if side_ == 3 else int(rng.integers(0, w))
            holes[y:y + hh, x:x + ww] = True
        if rng.random() < 0.5:
            holes[[0, 0, -1, -1], [0, -1, 0, -1]] = True
    elif kind == "almost_all":
        holes = rng.random((h, w)) < rng.uniform(0.85, 1.0)
    else:  # narrow
        holes = rng.random((h, w)) < 0.3
    if kind == "big_window" and reported < len(REPORTED_BIG_WINDOWS):
        holes = np.zeros((h, w), bool)
        holes[h // 2, w // 2] = True
    # bytes above 128 mark the pixels to fill; others are known whatever they hold
    mask = np.where(holes, rng.integers(129, 256, (h, w)),
                    rng.integers(0, 129, (h, w))).astype(np.uint8)
    options = {}
    if seed in OPTION_SEEDS or (kind == "big_window" and reported >= len(REPORTED_BIG_WINDOWS)
                                and rng.random() < 0.3):
        options = draw_options(rng, h, w, radius)
    return img, mask, radius, options


@pytest.mark.parametrize("seed", ALL_SEEDS)
@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.filterwarnings("ignore:the mask has non-zero bytes")
def test_library_matches_the_model(method, seed, capfd):
    model_method, lib_method = METHODS[method]
    img, mask, radius, options = make_case(seed)
    stats = {}
    want_ok, want_img, want_mask = fill_model.inpaint(img, mask, radius, model_method, stats,
                                                      **options)

    got_img, got_mask = img.copy(), mask.copy()
    lib_options = {k: v.copy() if k == "source_mask" else v for k, v in options.items()}
    got_ok = patchwell.inpaint(got_img, got_mask, radius, lib_method, device="cpu", **lib_options)
    capfd.readouterr()

    assert got_ok == want_ok
    assert np.array_equal(got_mask, want_mask), np.argwhere(got_mask != want_mask)
    assert np.array_equal(got_img, want_img), np.argwhere((got_img != want_img).any(axis=2))
    if "source_mask" in options:  # never modified
        assert np.array_equal(lib_options["source_mask"], options["source_mask"])
    if want_ok:
        run = patchwell._last_run_stats()
        assert run["targets"] == int((mask > 128).sum())
        if method == "fast":
            assert run["passes"] == stats["passes"]
            assert run["sweeps"] == len(stats.get("sweeps", []))
    if method == "fast":
        # The sweeps start after the order: every pixel the order fills
        # keeps its bytes, and they fill more only where the order starved.
        _, order_img, order_mask = fill_model.inpaint(img, mask, radius, model_method,
                                                      sweeps=False, **options)
        by_order = (order_mask == 0) & (mask > 128)
        assert np.array_equal(want_img[by_order], order_img[by_order])
        assert not (want_mask & ~order_mask).any()
        assert (want_mask != order_mask).any() == (seed in SWEEP_SEEDS)
    if seed in REGION_SEEDS:
        # specks alone fall apart; one thread fills the same bytes
        assert run["regions"] > 1 or seed % 2
        one_img, one_mask = img.copy(), mask.copy()
        patchwell.set_num_threads(1)
        try:
            patchwell.inpaint(one_img, one_mask, radius, lib_method, device="cpu", **lib_options)
        finally:
            patchwell.set_num_threads(None)
        assert np.array_equal(one_img, want_img) and np.array_equal(one_mask, want_mask)


@pytest.mark.parametrize("device", ["cpu", pytest.param("cuda", marks=pytest.mark.gpu)])
@pytest.mark.parametrize("seed", SWEEP_SEEDS)
def test_blind_targets_wait_for_the_sweeps_as_in_the_model(seed, device):
    """Method auto's search fills only the hole part, leaving the other
    holes unknown, and defers a target that sees no known pixel to the
    sweeps: the model's bytes, mask, targets and sweep count."""
    img, mask, radius, options = make_case(seed)
    holes = mask > 128
    targets = holes & (np.random.default_rng(seed).random(holes.shape) < 0.85)
    stats = {}
    want_img, want_mask = fill_model.search_targets(img, mask, radius, targets, stats,
                                                    **options)
    got_img, got_mask = img.copy(), holes.copy()
    patchwell._core._repair_array(
        got_img, got_mask, radius, patchwell.InpaintGPU, False, device=device,
        cuda_device=-1, progress=None, search_radius=options.get("search_radius"),
        source_mask=None, targets=targets)
    assert np.array_equal(got_mask, want_mask == 1), np.argwhere(got_mask != want_mask)
    assert np.array_equal(got_img, want_img), np.argwhere((got_img != want_img).any(axis=2))
    run = patchwell._last_run_stats()
    assert run["targets"] == int(targets.sum())
    assert run["sweeps"] == len(stats.get("sweeps", []))
    assert (got_mask & ~targets).sum() == (holes & ~targets).sum()  # left for the smooth fill


def _even_split(total, parts):
    q, r = divmod(total, parts)
    return [q + (1 if i < r else 0) for i in range(parts)]


def key_boundary_case(b, e):
    """Radius 1. The target (x=2, y=3) has 7 known window pixels with channel
    sums b (its right neighbour is unknown too). The window around (6, 3)
    repeats them and holds pixels of channel sums e at the two positions
    facing the unknown ones: distance 0, and a mean difference of exactly
    24 levels, so its key is 7 or 8 depending on float32 rounding, in the
    order the key is evaluated. The window around (9, 3) differs from the
    target at one known pixel by 3 per channel (distance 3/7) and has a key
    in the first bucket. If the first pass scores (6, 3), it wins; if not,
    the search stops after the first pass with (9, 3)."""
    img = np.zeros((7, 11, 3), np.uint8)
    mask = np.zeros((7, 11), np.uint8)
    known = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1)
             if (dx, dy) not in ((0, 0), (1, 0))]
    pix = np.array([_even_split(b[k], 7) for k in range(3)]).T
    for cx, extra in ((2, None), (6, e), (9, [v - 60 for v in e])):
        for j, (dx, dy) in enumerate(known):
            img[3 + dy, cx + dx] = pix[j]
        if extra is not None:
            q = np.array([_even_split(v, 2) for v in extra]).T
            img[3, cx], img[3, cx + 1] = q[0], q[1]
    img[2, 8] = pix[0] + 3
    mask[3, 2] = mask[3, 3] = 255
    return img, mask


@pytest.mark.parametrize("b, e, source", [
    # float32 in the fixed order gives 23.99999...: key 7, scored in pass 0
    ([504, 803, 1024], [293, 297, 292], (3, 6)),
    # float32 in the fixed order reaches 24: key 8, never scored
    ([139, 1273, 79], [219, 221, 202], (3, 9)),
])
def test_library_key_rounds_like_the_model_at_a_bucket_edge(b, e, source, capfd):
    img, mask = key_boundary_case(b, e)
    stats = {}
    want_ok, want_img, want_mask = fill_model.inpaint(img, mask, 1, fill_model.GPU_FAST, stats)
    assert want_ok and tuple(want_img[3, 2]) == tuple(img[source])

    got_img, got_mask = img.copy(), mask.copy()
    assert patchwell.inpaint(got_img, got_mask, 1, patchwell.InpaintGPUfast, device="cpu")
    capfd.readouterr()
    assert np.array_equal(got_img, want_img) and np.array_equal(got_mask, want_mask)
    assert patchwell._last_run_stats()["passes"] == stats["passes"]


# Plain cases and cases with a search domain (seeds 150 on).
SOURCE_SEEDS = [0, 1, 2, 3, 7, 10, 151, 152, 158, 165, 176, 190, 292, 294]


@pytest.mark.parametrize("device", ["cpu", pytest.param("cuda", marks=pytest.mark.gpu)])
@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("seed", SOURCE_SEEDS)
@pytest.mark.filterwarnings("ignore::patchwell.UnfilledWarning")
def test_source_map_matches_the_model_and_replays_the_fill(seed, method, device):
    """The source map is the model's, and copying each filled pixel from its
    source along the fill order rebuilds the result from the picture."""
    model_method, _ = METHODS[method]
    img, mask, radius, options = make_case(seed)
    holes = mask > 128
    h, w = holes.shape
    want = np.full(h * w, -1, np.int64)
    stats = {}
    _, want_img, _ = fill_model.inpaint(img, holes * np.uint8(255), radius, model_method,
                                        stats, sources=want, **options)
    try:
        result, unfilled, sources = patchwell.repair(
            img, holes, radius, method="exhaustive" if method == "gpu" else "fast",
            device=device, return_sources=True, **options)
    except ValueError:  # refused as impossible: the model finds nothing either
        assert (want == -1).all()
        return
    assert sources.dtype == np.int32 and sources.shape == (h, w)
    np.testing.assert_array_equal(sources.reshape(-1), want)
    np.testing.assert_array_equal(result, want_img)
    np.testing.assert_array_equal(unfilled, holes & (sources < 0))
    replay = img.reshape(-1, 3).copy()
    # the order, then each sweep: a pixel when the pass that fills it comes
    runs = [build_fill_list(holes.astype(np.uint8).reshape(-1), w, h, radius)]
    runs += stats.get("sweeps", [])
    for run, after in zip(runs, runs[1:] + [[]]):
        later = set(after)  # still unfilled after this pass
        for p in run:
            if want[p] >= 0 and p not in later:
                replay[p] = replay[want[p]]
    np.testing.assert_array_equal(replay.reshape(img.shape), result)
