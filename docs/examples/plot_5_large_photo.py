"""
A large photo: the search radius
================================

On a photo of real size a search of the whole picture compares every
damaged pixel with millions of windows: hours on a CPU. A search radius
bounds where sources may come from, and the work then follows the damage
alone. :func:`patchwell.estimate_seconds` tells the two apart before
anything runs.
"""
import time

import matplotlib.pyplot as plt
import numpy as np
import skimage.data
from PIL import Image
from skimage.draw import line

import patchwell

# %%
# The coffee photo brought to 3000 x 2000 pixels (6 megapixels).
small = skimage.data.coffee()
photo = np.asarray(Image.fromarray(small).resize((3000, 2000), Image.BICUBIC))
height, width = photo.shape[:2]

# %%
# Long scratches and dust, about 0.3 % of the picture.
rng = np.random.default_rng(5)
mask = np.zeros((height, width), bool)
for _ in range(10):
    rows, cols = line(*rng.integers(0, height, 1), *rng.integers(0, width, 1),
                      *rng.integers(0, height, 1), *rng.integers(0, width, 1))
    for shift in range(2):
        mask[rows, np.minimum(cols + shift, width - 1)] = True
for y, x, size in zip(rng.integers(0, height - 4, 800), rng.integers(0, width - 4, 800),
                      rng.integers(1, 5, 800)):
    mask[y:y + size, x:x + size] = True
damaged = photo.copy()
damaged[mask] = (250, 250, 240)

# %%
# The forecast: the whole picture against sources within 32 pixels. It
# counts the comparisons and prices them as an idle machine runs them, so a
# busy machine takes longer; what it tells is minutes against seconds.
whole = patchwell.estimate_seconds(mask.shape, mask)
bounded = patchwell.estimate_seconds(mask.shape, mask, search_radius=32)
print(f"{mask.sum()} pixels to fill: about {whole / 60:.0f} min searching the whole "
      f"picture, about {bounded:.1f} s with search_radius=32")

start = time.perf_counter()
result, unfilled = patchwell.repair(damaged, mask, search_radius=32)
seconds = time.perf_counter() - start
print(f"repaired in {seconds:.2f} s ({patchwell.device_info()}); "
      f"{unfilled.sum()} left unfilled")

# %%
# The whole picture, and a detail at full size.
fig, axes = plt.subplots(2, 2, figsize=(10, 8), layout="constrained",
                         height_ratios=(2, 3))
detail = (slice(900, 1200), slice(1300, 1700))
for column, (picture, title) in enumerate(
        [(damaged, "damaged, 3000 x 2000"), (result, f"repaired in {seconds:.2f} s")]):
    axes[0, column].imshow(picture[::4, ::4])
    axes[0, column].set_title(title)
    axes[1, column].imshow(picture[detail], interpolation="nearest")
    axes[1, column].set_title("detail, full size")
for ax in axes.flat:
    ax.set_axis_off()
plt.show()
