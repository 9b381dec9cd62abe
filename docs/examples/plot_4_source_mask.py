"""
Choosing where sources come from
================================

To take the name tag off the astronaut's suit, every repaired pixel should
be orange fabric. Searching the whole neighbourhood may copy pieces of the
white straps, the helmet or the mission patch into the hole; a source mask
that allows only the suit's orange keeps them out. The source mask applies
to window centres: a pixel is copied only from where it is True.
"""
import time

import matplotlib.pyplot as plt
import numpy as np
import skimage.data

import patchwell

photo = skimage.data.astronaut()  # 512 x 512, RGB

# %%
# The name tag, and the pixels that may serve as sources: the orange ones.
mask = np.zeros(photo.shape[:2], bool)
mask[339:376, 277:330] = True
red, green, blue = (photo[..., k].astype(int) for k in range(3))
sources = (red > 150) & (green < 150) & (blue < 110) & (red - blue > 90)
sources[mask] = False

timings, results = {}, {}
for name, allowed in [("whole neighbourhood", None), ("orange only", sources)]:
    start = time.perf_counter()
    results[name], unfilled = patchwell.repair(photo, mask, radius=4, search_radius=64,
                                               source_mask=allowed)
    timings[name] = time.perf_counter() - start
    print(f"{name}: {mask.sum()} pixels repaired in {timings[name]:.2f} s; "
          f"{unfilled.sum()} left unfilled")

# %%
# The hole (white) and the pixels that are not sources (dark), then both
# repairs.
shown = photo.copy()
shown[~sources] = shown[~sources] // 3
shown[mask] = 255
fig, axes = plt.subplots(1, 3, figsize=(12, 4.2), layout="constrained")
crop = (slice(270, 450), slice(200, 400))
panels = [(shown, "hole (white), not sources (dark)")]
panels += [(results[n], f"{n}: {timings[n]:.2f} s") for n in results]
for ax, (picture, title) in zip(axes, panels):
    ax.imshow(picture[crop])
    ax.set_title(title)
    ax.set_axis_off()
plt.show()
