"""
Damage found, then repaired
===========================

A scan with dust and a fibre on it, and no mask: ``find_damage`` looks for
what stands out from the picture's own grain and texture, marks it out to
its soft edge, and ``repair`` fills it. Showing what was found over the
picture lets a person check it before a whole batch runs (the command does
the same with ``patchwell detect IMAGE -o MASK --overlay PREVIEW``).
"""
import matplotlib.pyplot as plt
import numpy as np
import skimage.data

import patchwell

photo = skimage.data.chelsea()[:, :400].astype(float)  # 300 x 400, RGB
rng = np.random.default_rng(3)
yy, xx = np.mgrid[0:photo.shape[0], 0:photo.shape[1]]

# %%
# Film grain, then soft-edged dark specks and a curved fibre.
scan = photo + rng.normal(0, 3, photo.shape[:2])[..., None]
cover = np.zeros(photo.shape[:2])
for y, x, r in zip(rng.uniform(20, 280, 25), rng.uniform(20, 380, 25),
                   rng.uniform(1, 4, 25)):
    cover = np.maximum(cover, 1 / (1 + np.exp(np.minimum((np.hypot(yy - y, xx - x) - r) / 0.5, 50))))
t = np.linspace(0, 1, 400)
fibre = np.stack([60 + 180 * t, 40 + 120 * t + 25 * np.sin(6 * t)], 1)
for y, x in fibre:
    cover = np.maximum(cover, 0.8 / (1 + np.exp(np.minimum((np.hypot(yy - y, xx - x) - 0.8) / 0.4, 50))))
damaged = np.clip(scan * (1 - cover[..., None]) + 20 * cover[..., None], 0, 255)
damaged = damaged.astype(np.uint8)

# %%
# What is found, drawn in magenta; then the repair with it.
found = patchwell.find_damage(damaged)
overlay = damaged.copy()
overlay[found] = [255, 0, 255]
result, unfilled = patchwell.repair(damaged, found, search_radius=32)
print(f"{found.sum()} pixels found ({100 * found.mean():.2f} % of the picture), "
      f"{unfilled.sum()} left unfilled")

fig, axes = plt.subplots(1, 3, figsize=(12, 3.6), layout="constrained")
for ax, (picture, title) in zip(axes, [(damaged, "scan"), (overlay, "damage found"),
                                       (result, "repaired")]):
    ax.imshow(picture)
    ax.set_title(title)
    ax.set_axis_off()
plt.show()
