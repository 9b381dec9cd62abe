"""CUDA against the CPU backend, byte for byte. Skipped without a device."""
import numpy as np
import pytest

import patchwell
from conftest import HAS_CUDA, photo_like, speckled_mask

pytestmark = pytest.mark.gpu

GPU = patchwell.InpaintGPU


def both(image, mask, rad, method=GPU):
    out = []
    for device in ("cpu", "cuda"):
        img, msk = image.copy(), mask.copy()
        ok = patchwell.inpaint(img, msk, rad, method, device=device)
        out.append((ok, img, msk))
    (ok_c, img_c, msk_c), (ok_g, img_g, msk_g) = out
    assert ok_c == ok_g
    np.testing.assert_array_equal(img_g, img_c)
    np.testing.assert_array_equal(msk_g, msk_c)
    return img_c, msk_c


def few_levels(h, w, levels, seed):
    rng = np.random.default_rng(seed)
    return (rng.integers(0, levels, (h, w, 3)) * (255 // max(levels - 1, 1))).astype(np.uint8)


def test_device_info_names_the_device():
    assert patchwell.device_info().startswith("CUDA: ")
    assert "compute capability" in patchwell.device_info()


@pytest.mark.parametrize("rad", [0, 1, 7])
@pytest.mark.parametrize("shape", [(17, 23), (31, 30), (48, 61)])
def test_random_images_and_masks(rad, shape):
    h, w = shape
    for seed in range(3):
        image = few_levels(h, w, 3 if seed == 0 else 256, seed)
        mask = speckled_mask(h, w, max(1, h * w // 25), seed)
        mask[h // 3:h // 3 + 5, w // 4:w // 4 + 6] = 255
        both(image, mask, rad)


def test_targets_at_the_corners():
    image = photo_like(40, 43, 2)
    mask = np.zeros((40, 43), np.uint8)
    mask[0, 0] = mask[0, -1] = mask[-1, 0] = mask[-1, -1] = 255
    mask[0:3, 20:25] = 255
    both(image, mask, 3)


def test_image_narrower_than_the_window():
    image = photo_like(30, 9, 3)
    mask = speckled_mask(30, 9, 10, 3)
    img, msk = both(image, mask, 7)
    assert (msk == 1).sum() == 10


def test_large_hole():
    image = photo_like(90, 100, 4)
    mask = np.zeros((90, 100), np.uint8)
    mask[20:60, 30:75] = 255
    both(image, mask, 5)


@pytest.mark.parametrize("rad", [64, 65])
def test_radius_at_and_above_the_constant_window(rad):
    side = 2 * rad + 1
    image = few_levels(side + 6, side + 9, 4, rad)
    mask = speckled_mask(side + 6, side + 9, 4, rad)
    both(image, mask, rad)


def test_cpu_method_ignores_the_device():
    image = photo_like(25, 26, 5)
    mask = speckled_mask(25, 26, 20, 5)
    both(image, mask, 2, patchwell.InpaintCPU)
