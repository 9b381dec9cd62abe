"""
Four kinds of damage, four fills
================================

Dust, thin scratches, a scratch lying along an edge and holes in texture,
each on a small crop of one of scikit-image's photos, repaired by patchwell
(``method="auto"``) and by the fills a user would otherwise pick: OpenCV's
``cv2.inpaint`` (TELEA and NS, radius 3) and scikit-image's
``inpaint_biharmonic``. Each title gives the PSNR over the damaged pixels
against the undamaged photo (higher is better).

The smooth fills continue the colours around a gap, which is right for
damage a pixel or two across and wrong for a hole, whose inside they blur.
An exemplar fill copies real pixels, so a hole keeps its texture; but a
window straddling a thin line along an edge matches pixels from either
side, and the copy may break the edge. ``method="auto"`` takes each where
it works: the holes by the exemplar search, the thin damage by a smooth
(biharmonic) fill. ``bench/quality_kinds.py`` measures the same on five
photos per kind.
"""
import cv2
import matplotlib.pyplot as plt
import numpy as np
import skimage.data
from skimage.draw import bezier_curve, disk, line
from skimage.filters import sobel
from skimage.restoration import inpaint_biharmonic

import patchwell


def psnr(result, photo, mask):
    error = (result[mask].astype(float) - photo[mask].astype(float)) ** 2
    return 10 * np.log10(255.0 ** 2 / error.mean())


def biharmonic(image, mask):
    out = inpaint_biharmonic(image, mask, channel_axis=-1 if image.ndim == 3 else None)
    return np.clip(np.rint(out * 255), 0, 255).astype(np.uint8)


FILLS = {
    "patchwell": lambda image, mask: patchwell.repair(image, mask, method="auto")[0],
    "TELEA": lambda image, mask: cv2.inpaint(image, mask.astype(np.uint8), 3,
                                             cv2.INPAINT_TELEA),
    "NS": lambda image, mask: cv2.inpaint(image, mask.astype(np.uint8), 3, cv2.INPAINT_NS),
    "biharmonic": biharmonic,
}


def damaged_copy(photo, mask):
    damaged = photo.copy()
    damaged[mask] = 235
    return damaged


def compare(photo, mask, kind):
    """The damaged crop and every fill side by side."""
    damaged = damaged_copy(photo, mask)
    panels = [(damaged, kind)]
    for name, fill in FILLS.items():
        result = fill(damaged, mask)
        title = f"{name}: {psnr(result, photo, mask):.1f} dB"
        panels.append((result, title))
        print(f"{kind}, {title}")
    show(panels)


def edge_scratch(photo, x, rows):
    """A scratch three pixels wide along an edge: from column `x`, on each
    row the pixel of the strongest gradient within three of the row
    before's, and one on each side."""
    gray = photo.astype(float) if photo.ndim == 2 else photo.mean(axis=2)
    gradient = sobel(gray)
    mask = np.zeros(gray.shape, bool)
    for y in rows:
        lo, hi = max(x - 3, 1), min(x + 4, gray.shape[1] - 1)
        x = lo + int(np.argmax(gradient[y, lo:hi]))
        mask[y, x - 1:x + 2] = True
    return mask


def show(panels):
    fig, axes = plt.subplots(1, len(panels), figsize=(2.6 * len(panels), 3),
                             layout="constrained")
    for ax, (picture, title) in zip(axes, panels):
        ax.imshow(picture, cmap="gray", vmin=0, vmax=255, interpolation="nearest")
        ax.set_title(title, fontsize=10)
        ax.set_axis_off()
    plt.show()


rng = np.random.default_rng(8)

# %%
# Dust
# ----
# Specks one to six pixels across on the cat's fur and eye. Every fill does
# well: a speck is small beside the detail around it.
photo = skimage.data.chelsea()[60:220, 150:310]  # 160 x 160, RGB
mask = np.zeros(photo.shape[:2], bool)
for y, x, size in zip(rng.integers(3, 157, 90), rng.integers(3, 157, 90),
                      rng.integers(1, 7, 90)):
    rows, cols = disk((y, x), size / 2 + 0.1, shape=mask.shape)
    mask[rows, cols] = True
compare(photo, mask, "dust")

# %%
# Thin scratches
# --------------
# Lines one or two pixels wide, straight and curved, across a face and
# hair.
photo = skimage.data.astronaut()[20:180, 160:320]  # 160 x 160, RGB
mask = np.zeros(photo.shape[:2], bool)
for r0, c0, r1, c1 in rng.integers(0, 160, (4, 4)):
    rows, cols = line(r0, c0, r1, c1)
    mask[rows, cols] = True
    if rng.random() < 0.5:  # two pixels wide
        mask[rows, np.minimum(cols + 1, 159)] = True
rows, cols = bezier_curve(10, 150, 90, 20, 150, 120, 1, shape=mask.shape)
mask[rows, cols] = True
compare(photo, mask, "scratches")

# %%
# A scratch along an edge
# -----------------------
# A scratch three pixels wide on the edge of the photographer's coat
# against the sky. A window centred on it holds both sides; the best
# match elsewhere may put the sky's grey into the coat and break the
# edge, which the smooth fills keep.
photo = skimage.data.camera()[80:240, 40:200]  # 160 x 160, gray
mask = edge_scratch(photo, 45, range(60, 155))
compare(photo, mask, "edge scratch")

# %%
# Holes in texture
# ----------------
# Two holes 56 pixels across in gravel. The smooth fills leave blurs with
# nothing of the gravel in them; the copies of real windows keep its
# stones, though a copied stone a little off its true place costs more
# PSNR than a blur does.
photo = skimage.data.gravel()[200:360, 200:360]  # 160 x 160, gray
mask = np.zeros(photo.shape, bool)
for y, x in [(45, 48), (112, 110)]:
    rows, cols = disk((y, x), 28, shape=mask.shape)
    mask[rows, cols] = True
compare(photo, mask, "holes")

# %%
# Where the two fills disagree
# ----------------------------
# On thin damage ``"auto"`` uses the smooth fill. Across a texture it wins
# on PSNR yet leaves a soft line in the grain, where the exemplar search
# (``method="exhaustive"``) carries the grain across; along an edge in a
# textured scene (the rim of the saucer on the wooden table) the smooth
# fill keeps the edge whole where the copied windows break it.
grass = skimage.data.grass()[0:160, 0:160]  # 160 x 160, gray
across = np.zeros(grass.shape, bool)
rows, cols = line(150, 10, 10, 150)
across[rows, cols] = True
across[rows, cols + 1] = True
table = skimage.data.coffee()[150:310, 440:600]  # 160 x 160, RGB
rim = edge_scratch(table, 40, range(45, 150))
for photo, mask, kind in [(grass, across, "across grass"), (table, rim, "saucer rim")]:
    damaged = damaged_copy(photo, mask)
    panels = [(damaged, kind)]
    for method in ("auto", "exhaustive"):
        result, _ = patchwell.repair(damaged, mask, method=method)
        panels.append((result, f"{method}: {psnr(result, photo, mask):.1f} dB"))
    panels.append((photo, "undamaged"))
    show(panels)
