import numpy as np
import pytest

import patchwell

HAS_CUDA = patchwell.device_info().startswith("CUDA")


def pytest_collection_modifyitems(config, items):
    if HAS_CUDA:
        return
    skip = pytest.mark.skip(reason="no usable CUDA device")
    for item in items:
        if "gpu" in item.keywords:
            item.add_marker(skip)


def photo_like(height, width, seed=0):
    """A smooth picture with texture: gradients, stripes and noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    r = 128 + 90 * np.sin(x / 9.0) * np.cos(y / 13.0)
    g = 40 + 150 * (x + y) / (width + height)
    b = 128 + 60 * np.sign(np.sin(x / 4.0 + y / 7.0))
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 6, (height, width, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def speckled_mask(height, width, count, seed=1):
    rng = np.random.default_rng(seed)
    mask = np.zeros((height, width), np.uint8)
    mask.flat[rng.choice(height * width, count, replace=False)] = 255
    return mask


@pytest.fixture
def picture():
    return photo_like(40, 52)
