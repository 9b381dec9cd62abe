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
