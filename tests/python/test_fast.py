"""The pruned method end to end: hand-checked fills, skipped targets, run
figures, and both backends byte for byte (where a GPU is present)."""
import numpy as np
import pytest

import patchwell
from conftest import photo_like, speckled_mask

FAST = patchwell.InpaintGPUfast
GPU = patchwell.InpaintGPU


def prune_case(with_near_miss):
    """Background 200, radius 1. The target (y=4, x=4) sits in a 3x3 block
    of (30, 60, 90). Around (1, 1) every pixel matches the target's known
    ones, but the centre is (120, 150, 180): distance 0, key 10 (pass 1).
    Optionally a block of (33, 63, 93) around (y=1, x=10): key 3 and
    distance 3, found in pass 0, which then ends the search."""
    img = np.full((9, 13, 3), 200, np.uint8)
    img[3:6, 3:6] = (30, 60, 90)
    img[0:3, 0:3] = (30, 60, 90)
    img[1, 1] = (120, 150, 180)
    if with_near_miss:
        img[0:3, 9:12] = (33, 63, 93)
    mask = np.zeros((9, 13), np.uint8)
    mask[4, 4] = 255
    return img, mask


def test_search_stops_before_a_better_match_in_a_later_bucket():
    img, mask = prune_case(True)
    assert patchwell.inpaint(img, mask, 1, FAST) is True
    assert tuple(img[4, 4]) == (33, 63, 93)
    assert mask[4, 4] == 0
    assert patchwell._last_run_stats()["passes"] == 1

    img, mask = prune_case(False)
    assert patchwell.inpaint(img, mask, 1, FAST) is True
    assert tuple(img[4, 4]) == (120, 150, 180)
    assert patchwell._last_run_stats()["passes"] == 2

    # The exhaustive method scores everyone and takes the exact match.
    img, mask = prune_case(True)
    patchwell.inpaint(img, mask, 1, GPU)
    assert tuple(img[4, 4]) == (120, 150, 180)


def test_radius_zero_fills_nothing():
    img = photo_like(30, 30)
    before = img.copy()
    mask = speckled_mask(30, 30, 20)
    assert patchwell.inpaint(img, mask, 0, FAST) is True
    np.testing.assert_array_equal(img, before)
    assert (mask == 1).sum() == 20


def test_fills_a_photo_and_touches_only_masked_pixels(capfd):
    base = photo_like(48, 61, seed=4)
    mask0 = speckled_mask(48, 61, 60, seed=5)
    mask0[20:27, 30:36] = 255
    img, mask = base.copy(), mask0.copy()
    assert patchwell.inpaint(img, mask, 3, FAST, True, device="cpu") is True
    assert "Inpaint Method:     GPU Fast\n" in capfd.readouterr().out
    assert not mask.any()
    changed = (img != base).any(-1)
    assert not (changed & (mask0 == 0)).any()
    stats = patchwell._last_run_stats()
    assert stats["device"] == "cpu"
    assert stats["targets"] == int((mask0 > 128).sum())
    assert stats["targets"] <= stats["passes"] <= 32 * stats["targets"]

    # The same result on every call, and close to the exhaustive one.
    again, mask2 = base.copy(), mask0.copy()
    patchwell.inpaint(again, mask2, 3, FAST, device="cpu")
    np.testing.assert_array_equal(again, img)
    exhaustive, mask3 = base.copy(), mask0.copy()
    patchwell.inpaint(exhaustive, mask3, 3, GPU, device="cpu")
    filled = mask0 > 128
    diff = np.abs(exhaustive.astype(int) - img.astype(int))[filled].mean()
    assert diff < 10


def cases():
    """Inputs for the backend comparison: photos, flat areas with many tied
    candidates, few grey levels, radii above 7 and windows larger than the
    image."""
    flat = np.full((70, 90, 3), 90, np.uint8)
    rng = np.random.default_rng(6)
    flat[rng.random((70, 90)) < 0.04] = (10, 200, 30)
    levels = (np.random.default_rng(7).integers(0, 3, (37, 53, 3)) * 100).astype(np.uint8)
    # Black and white: exact matches of different centres tie in one slot.
    greys = np.repeat(np.random.default_rng(19).integers(0, 2, (120, 150, 1)) * 255,
                      3, axis=2).astype(np.uint8)
    hole = speckled_mask(60, 80, 40, seed=3)
    hole[25:35, 30:44] = 255
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
    ]


@pytest.mark.gpu
@pytest.mark.parametrize("method", [FAST, GPU], ids=["fast", "exhaustive"])
@pytest.mark.parametrize("name,image,mask,radius", cases(), ids=[c[0] for c in cases()])
def test_cuda_and_cpu_backends_are_byte_identical(method, name, image, mask, radius):
    results = []
    for device in ("cpu", "cuda"):
        img, msk = image.copy(), mask.copy()
        assert patchwell.inpaint(img, msk, radius, method, device=device) is True
        stats = patchwell._last_run_stats()
        assert stats["device"] == device
        results.append((img, msk, stats["passes"], stats["targets"]))
    (cpu_img, cpu_mask, cpu_passes, cpu_targets), (gpu_img, gpu_mask, gpu_passes, gpu_targets) = results
    assert cpu_img.tobytes() == gpu_img.tobytes()
    assert cpu_mask.tobytes() == gpu_mask.tobytes()
    assert cpu_passes == gpu_passes
    assert cpu_targets == gpu_targets
