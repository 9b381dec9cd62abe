"""
Dust on a scanned print
=======================

Dust on a film scan is many small specks, one to three pixels across,
spread over the whole picture. A small window (radius 2) follows the fine
detail next to each speck best, and a search radius keeps the work
proportional to the damage.
"""
import time

import matplotlib.pyplot as plt
import numpy as np
import skimage.data

import patchwell

photo = skimage.data.camera()  # 512 x 512, gray
rng = np.random.default_rng(7)

# %%
# About 1 % of the pixels: white specks of one to three pixels across.
mask = np.zeros(photo.shape, bool)
for y, x, size in zip(rng.integers(0, 510, 1200), rng.integers(0, 510, 1200),
                      rng.integers(1, 4, 1200)):
    mask[y:y + size, x:x + size] = True
damaged = photo.copy()
damaged[mask] = 255

# %%
# Gray pictures are repaired as they are and come back gray.
start = time.perf_counter()
result, unfilled = patchwell.repair(damaged, mask, radius=2, search_radius=24)
seconds = time.perf_counter() - start
error = np.abs(result[mask].astype(int) - photo[mask]).mean()
print(f"{mask.sum()} pixels repaired in {seconds:.2f} s ({patchwell.device_info()}); "
      f"mean error {error:.1f} gray levels, {unfilled.sum()} left unfilled")

# %%
# The whole picture, and a detail at four times the size.
fig, axes = plt.subplots(2, 2, figsize=(9, 9), layout="constrained")
detail = (slice(190, 290), slice(230, 330))
for column, (picture, title) in enumerate(
        [(damaged, "dusty"), (result, f"repaired in {seconds:.2f} s")]):
    axes[0, column].imshow(picture, cmap="gray", vmin=0, vmax=255)
    axes[0, column].set_title(title)
    axes[1, column].imshow(picture[detail], cmap="gray", vmin=0, vmax=255,
                           interpolation="nearest")
    axes[1, column].set_title("detail")
for ax in axes.flat:
    ax.set_axis_off()
plt.show()
