"""
Taking out an object
====================

A hole can be an object to remove rather than damage: here the round
mission patch on the astronaut's suit. The hole is filled from its edge
inwards with the suit's own fabric, folds included. A hole this wide wants
a somewhat larger window (radius 4), so that a match is judged on more of
the surroundings.
"""
import time

import matplotlib.pyplot as plt
import numpy as np
import skimage.data

import patchwell

photo = skimage.data.astronaut()  # 512 x 512, RGB

# %%
# The patch, a disc of radius 46 pixels, marked in a bool mask.
rows, cols = np.ogrid[:512, :512]
mask = (rows - 385) ** 2 + (cols - 170) ** 2 <= 46 ** 2

start = time.perf_counter()
result, unfilled = patchwell.repair(photo, mask, radius=4, search_radius=80)
seconds = time.perf_counter() - start
print(f"{mask.sum()} pixels repaired in {seconds:.2f} s ({patchwell.device_info()}); "
      f"{unfilled.sum()} left unfilled")

# %%
# The marked hole (in white) and the picture without the patch.
marked = photo.copy()
marked[mask] = 255
fig, axes = plt.subplots(1, 2, figsize=(10, 5.2), layout="constrained")
crop = (slice(256, 512), slice(40, 330))
for ax, picture, title in zip(axes, (marked, result),
                              ("the hole", f"repaired in {seconds:.2f} s")):
    ax.imshow(picture[crop])
    ax.set_title(title)
    ax.set_axis_off()
plt.show()
