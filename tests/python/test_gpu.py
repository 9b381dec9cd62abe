"""CUDA against the CPU backend, byte for byte. Skipped without a device."""
import numpy as np
import pytest

import patchwell
from conftest import HAS_CUDA, photo_like, speckled_mask

pytestmark = pytest.mark.gpu

GPU = patchwell.InpaintGPU
FAST = patchwell.InpaintGPUfast


def both(image, mask, rad, method=GPU, **domain):
    out = []
    for device in ("cpu", "cuda"):
        img, msk = image.copy(), mask.copy()
        ok = patchwell.inpaint(img, msk, rad, method, device=device, **domain)
        expected = "cpu" if method == patchwell.InpaintCPU else device
        assert patchwell._last_run_stats()["device"] == expected
        stats = patchwell._last_run_stats()
        out.append((ok, img, msk, (stats["passes"], stats["targets"])))
    (ok_c, img_c, msk_c, passes_c), (ok_g, img_g, msk_g, passes_g) = out
    assert ok_c == ok_g
    assert passes_c == passes_g
    np.testing.assert_array_equal(img_g, img_c)
    np.testing.assert_array_equal(msk_g, msk_c)
    return img_c, msk_c


def few_levels(h, w, levels, seed):
    rng = np.random.default_rng(seed)
    return (rng.integers(0, levels, (h, w, 3)) * (255 // max(levels - 1, 1))).astype(np.uint8)


def cases():
    """Inputs for the backend comparison: photos, flat areas with many tied
    candidates, few grey levels, radii above 7, windows larger than the
    image, holes at the corners and a large hole."""
    flat = np.full((70, 90, 3), 90, np.uint8)
    rng = np.random.default_rng(6)
    flat[rng.random((70, 90)) < 0.04] = (10, 200, 30)
    levels = (np.random.default_rng(7).integers(0, 3, (37, 53, 3)) * 100).astype(np.uint8)
    # Black and white: exact matches of different centres tie in one slot.
    greys = np.repeat(np.random.default_rng(19).integers(0, 2, (120, 150, 1)) * 255,
                      3, axis=2).astype(np.uint8)
    hole = speckled_mask(60, 80, 40, seed=3)
    hole[25:35, 30:44] = 255
    corners = np.zeros((40, 43), np.uint8)
    corners[[0, 0, -1, -1], [0, -1, 0, -1]] = 255
    corners[0:3, 20:25] = 255
    large = np.zeros((90, 100), np.uint8)
    large[20:60, 30:75] = 255
    starving = np.zeros((36, 36), np.uint8)  # GPU Fast's order starves 5 targets
    starving[4:32, 4:32] = 255
    return [
        ("photo r3", photo_like(60, 80, seed=2), hole, 3),
        ("photo r7", photo_like(96, 128, seed=5), speckled_mask(96, 128, 150, seed=6), 7),
        ("flat ties r1", flat, speckled_mask(70, 90, 120, seed=8), 1),
        ("flat ties r2", flat, speckled_mask(70, 90, 60, seed=9), 2),
        ("levels r1", levels, speckled_mask(37, 53, 90, seed=10), 1),
        ("two greys r1", greys, speckled_mask(120, 150, 80, seed=20), 1),
        ("levels r0", levels, speckled_mask(37, 53, 30, seed=11), 0),
        ("photo r9", photo_like(64, 72, seed=16), speckled_mask(64, 72, 40, seed=17), 9),
        ("hole r13", photo_like(60, 75, seed=18), hole[:, :75].copy(), 13),
        ("tiny r4", photo_like(7, 12, seed=12), speckled_mask(7, 12, 9, seed=13), 4),
        ("one row r1", photo_like(1, 40, seed=14), speckled_mask(1, 40, 5, seed=15), 1),
        ("corners r3", photo_like(40, 43, 2), corners, 3),
        ("narrower than the window r7", photo_like(30, 9, 3), speckled_mask(30, 9, 10, 3), 7),
        ("large hole r5", photo_like(90, 100, 4), large, 5),
        ("sweeps after the order r1", few_levels(36, 36, 2, 24), starving, 1),
    ]


@pytest.mark.parametrize("method", [FAST, GPU], ids=["fast", "exhaustive"])
@pytest.mark.parametrize("name,image,mask,radius", cases(), ids=[c[0] for c in cases()])
def test_cuda_and_cpu_backends_are_byte_identical(method, name, image, mask, radius):
    both(image, mask, radius, method)


@pytest.mark.parametrize("name,image,mask,radius",
                         [c for c in cases() if c[3] > 0 and c[1].shape[0] > 7],
                         ids=[c[0] for c in cases() if c[3] > 0 and c[1].shape[0] > 7])
def test_auto_gives_the_same_bytes_on_both_devices(name, image, mask, radius):
    got = [patchwell.repair(image, mask > 128, radius, device=d, return_sources=True)
           for d in ("cpu", "cuda")]
    for cpu, cuda in zip(*got):
        np.testing.assert_array_equal(cuda, cpu)


def test_device_info_names_the_device():
    assert patchwell.device_info().startswith("CUDA: ")
    assert "compute capability" in patchwell.device_info()


@pytest.mark.parametrize("method", [GPU, FAST])
@pytest.mark.parametrize("domain", [{"search_radius": 0}, {"search_radius": 5},
                                    {"search_radius": 9, "source_mask": "right"},
                                    {"source_mask": "stripes"}])
def test_search_domain(method, domain):
    h, w = 36, 47
    image = few_levels(h, w, 4, 11)
    mask = speckled_mask(h, w, 60, 12)
    mask[10:16, 5:12] = 255
    allowed = {"right": np.arange(w)[None, :] >= w // 3,
               "stripes": (np.arange(h)[:, None] // 3 + np.arange(w)[None, :]) % 4 != 0}
    if "source_mask" in domain:
        domain = dict(domain, source_mask=np.broadcast_to(allowed[domain["source_mask"]],
                                                          (h, w)).copy())
    both(image, mask, 2, method, **domain)


@pytest.mark.parametrize("method", [GPU, FAST], ids=["exhaustive", "fast"])
@pytest.mark.parametrize("radius, search_radius, source", [(1, 2, False), (2, 6, True), (3, 9, False)])
def test_many_regions(method, radius, search_radius, source):
    """Scattered specks, a scratch chaining its pixels together and holes on
    the border: the CPU repairs them region by region, side by side, and
    matches the device's one-by-one walk."""
    h, w = 150, 190
    image = few_levels(h, w, 3, 21)
    mask = speckled_mask(h, w, 80, 22)
    mask[70:72, 20:170] = 255
    mask[0, :4] = mask[-3:, -1] = 255
    domain = {"search_radius": search_radius}
    if source:
        domain["source_mask"] = np.random.default_rng(23).random((h, w)) < 0.85
    both(image, mask, radius, method, **domain)
    assert patchwell._last_run_stats()["regions"] > 1


@pytest.mark.parametrize("method, per_target", [(GPU, 1), (FAST, 6)], ids=["exhaustive", "fast"])
def test_batched_launches(monkeypatch, method, per_target):
    """Scattered specks with a search radius: the device loop fills the
    targets that cannot see each other in one launch per batch (GPU Fast's
    last block of each target ends its search), batches chaining through
    their neighbours; the per-target path keeps its launches per target."""
    h, w = 200, 260
    image = few_levels(h, w, 4, 31)
    mask = speckled_mask(h, w, 400, 32)
    both(image, mask, 2, method, search_radius=6)
    stats = patchwell._last_run_stats()
    assert stats["launches"] * 4 < stats["targets"]
    monkeypatch.setenv("PATCHWELL_CUDA_LOOP", "per-target")
    both(image, mask, 2, method, search_radius=6)
    assert patchwell._last_run_stats()["launches"] >= stats["targets"] * per_target


def far_candidates(rad, seed):
    """A 3 x 3 hole whose windows lie wholly inside the picture and
    candidates only in the last column with whole windows, clear of the
    hole: every target is filled, at radius 64 through the whole 129 x 129
    constant window. Columns alternate between near black and near white
    in bands as wide as the shift from the first target to the candidates,
    so from radius 74 on its sums pass 2^24, where float sums round."""
    h, w = 2 * rad + 4, 3 * rad + 4
    rng = np.random.default_rng(seed)
    band = (np.arange(w) // (rad + 3)) % 2
    image = (band[None, :, None] * 254 + rng.integers(0, 2, (h, w, 3))).astype(np.uint8)
    mask = np.zeros((h, w), np.uint8)
    mask[rad:rad + 3, rad:rad + 3] = 255
    return image, mask


@pytest.mark.parametrize("rad,method", [
    pytest.param(rad, method, id=f"r{rad}-{name}")
    for rad, method, name in [(64, GPU, "exhaustive"), (64, FAST, "fast"),
                              (65, GPU, "exhaustive"), (74, GPU, "exhaustive"),
                              (74, FAST, "fast"), (127, GPU, "exhaustive")]])
def test_large_windows_fill(rad, method):
    image, mask = far_candidates(rad, rad)
    if rad >= 74:  # the first target against the nearest candidate
        t = image[0:2 * rad + 1, 0:2 * rad + 1].astype(np.int64)
        c = image[0:2 * rad + 1, rad + 3:3 * rad + 4].astype(np.int64)
        known = (mask[0:2 * rad + 1, 0:2 * rad + 1] == 0)[..., None]
        assert (np.abs(t - c) * known).sum() > 2 ** 24
    img, msk = both(image, mask, rad, method)
    assert not msk.any()


@pytest.mark.parametrize("rad", [3, 9, 64])
@pytest.mark.parametrize("method", [GPU, FAST], ids=["exhaustive", "fast"])
def test_image_just_larger_than_the_window(rad, method):
    h, w = 2 * rad + 2, 2 * rad + 3
    image = few_levels(h, w, 5, rad)
    mask = np.zeros((h, w), np.uint8)
    mask[[0, 0, -1, -1], [0, -1, 0, -1]] = 255
    img, msk = both(image, mask, rad, method)
    assert (msk == 0).sum() > (mask == 0).sum()


def test_device_numbers():
    image = photo_like(21, 24, 6)
    mask = speckled_mask(21, 24, 12, 6)
    expected, _ = both(image, mask, 2)
    img, msk = image.copy(), mask.copy()
    assert patchwell.inpaint(img, msk, 2, GPU, device="cuda:0") is True
    assert patchwell._last_run_stats()["device"] == "cuda"
    np.testing.assert_array_equal(img, expected)
    with pytest.raises(RuntimeError, match="CUDA device 99 does not exist"):
        patchwell.inpaint(image.copy(), mask.copy(), 2, GPU, device="cuda:99")


def test_cpu_method_ignores_the_device():
    image = photo_like(25, 26, 5)
    mask = speckled_mask(25, 26, 20, 5)
    both(image, mask, 2, patchwell.InpaintCPU)


@pytest.mark.parametrize("rad", [2, 74])
@pytest.mark.parametrize("method", [GPU, FAST], ids=["exhaustive", "fast"])
def test_per_target_loop(monkeypatch, rad, method):
    """The per-target path, kept for timing beside the device loop, matches
    the CPU too; an unknown loop name is refused."""
    if rad > 64:
        image, mask = far_candidates(rad, rad)
    else:
        image, mask = few_levels(30, 41, 4, 5), speckled_mask(30, 41, 40, 5)
    monkeypatch.setenv("PATCHWELL_CUDA_LOOP", "per-target")
    both(image, mask, rad, method)
    monkeypatch.setenv("PATCHWELL_CUDA_LOOP", "graph")
    with pytest.raises(ValueError, match='PATCHWELL_CUDA_LOOP must be "device" or "per-target"'):
        patchwell.inpaint(image.copy(), mask.copy(), rad, method, device="cuda")
