"""Photos, damage and scores shared by bench/quality_kinds.py and
bench/radius_quality.py.

Four kinds of damage, each on five crops of scikit-image's bundled photos
(no download), drawn by fixed seeds so that every run measures the same
pixels:

dust        specks 1 to 6 pixels across, round (soft) or ragged (hard)
scratches   lines 1 or 2 pixels wide, straight and curved
edge        a 3 pixel wide scratch lying along the strongest edge of the
            crop (traced by Canny's detector)
holes       discs 56 pixels across in textured areas, three per crop

Scores, both over the damaged pixels only:

PSNR            10 log10(255^2 / mean squared error) over every sample of
                the damaged pixels against the undamaged photo.
texture kept    the mean squared finite-difference gradient of the
                luminance inside the holes over the same in a ring 4 to 12
                pixels around them. A pixel counts when it and its right and
                lower neighbours all lie in the area, so the seam at the
                hole's edge counts for neither. 1 keeps the surrounding
                texture's contrast; a smooth fill gives about 0.1.
"""
import numpy as np
import skimage.data as data
from scipy import ndimage
from skimage.draw import bezier_curve, disk, line
from skimage.feature import canny
from skimage.filters import sobel

HOLE_DIAMETER = 56
RING = (4, 12)

# Crops (name, rows, columns) per kind: colour and gray photos, each with
# the kind of detail the damage falls on (faces, fur, grass, brick...).
CROPS = {
    "dust": [("astronaut", (0, 256), (100, 356)), ("camera", (60, 316), (150, 406)),
             ("coffee", (40, 296), (160, 416)), ("chelsea", (20, 276), (100, 356)),
             ("rocket", (150, 406), (0, 256))],
    "scratches": [("astronaut", (40, 296), (140, 396)), ("camera", (256, 512), (0, 256)),
                  ("coffee", (120, 376), (300, 556)), ("chelsea", (44, 300), (180, 436)),
                  ("immunohistochemistry", (0, 256), (0, 256))],
    "edge": [("camera", (60, 316), (100, 356)), ("astronaut", (256, 512), (256, 512)),
             ("coffee", (100, 356), (300, 556)), ("coins", (0, 256), (0, 256)),
             ("chelsea", (0, 256), (195, 451))],
    "holes": [("grass", (0, 256), (0, 256)), ("gravel", (128, 384), (128, 384)),
              ("brick", (96, 352), (128, 384)), ("chelsea", (0, 300), (0, 160)),
              ("immunohistochemistry", (256, 512), (256, 512))],
}
KINDS = list(CROPS)


def crop(name, rows, cols):
    img = getattr(data, name)()
    return np.ascontiguousarray(img[rows[0]:rows[1], cols[0]:cols[1]])


def luminance(img):
    img = img.astype(np.float64)
    return img if img.ndim == 2 else img[..., :3].mean(axis=2)


def dust(shape, rng, coverage=0.012):
    """Specks 1 to 6 pixels across: discs (a soft speck's blurred round
    spot) and ragged clumps (hard grit), until `coverage` of the picture."""
    h, w = shape
    mask = np.zeros(shape, bool)
    while mask.mean() < coverage:
        size = int(rng.integers(1, 7))
        y, x = int(rng.integers(0, h - size)), int(rng.integers(0, w - size))
        if rng.random() < 0.5:
            rr, cc = disk((y + size / 2 - 0.5, x + size / 2 - 0.5), size / 2 + 0.1, shape=shape)
            mask[rr, cc] = True
        else:
            clump = rng.random((size, size)) < 0.6
            clump[size // 2, size // 2] = True
            mask[y:y + size, x:x + size] |= clump
    return mask


def scratches(shape, rng, count=8):
    """Lines 1 or 2 pixels wide across a third to four fifths of the
    picture; every other one curved (a quadratic Bezier curve)."""
    h, w = shape
    mask = np.zeros(shape, bool)
    for i in range(count):
        y0, x0 = rng.uniform(0, h - 1), rng.uniform(0, w - 1)
        angle, length = rng.uniform(0, np.pi), rng.uniform(0.33, 0.8) * min(h, w)
        y1 = np.clip(y0 + length * np.sin(angle), 0, h - 1)
        x1 = np.clip(x0 + length * np.cos(angle), 0, w - 1)
        if i % 2:
            bend = rng.uniform(-0.3, 0.3) * length
            ym = np.clip((y0 + y1) / 2 + bend * np.cos(angle), 0, h - 1)
            xm = np.clip((x0 + x1) / 2 - bend * np.sin(angle), 0, w - 1)
            rr, cc = bezier_curve(int(y0), int(x0), int(ym), int(xm), int(y1), int(x1), 1,
                                  shape=shape)
        else:
            rr, cc = line(int(y0), int(x0), int(y1), int(x1))
        mask[rr, cc] = True
        if rng.random() < 0.5:  # two pixels wide, across the line's direction
            if abs(np.sin(angle)) > abs(np.cos(angle)):
                mask[rr, np.minimum(cc + 1, w - 1)] = True
            else:
                mask[np.minimum(rr + 1, h - 1), cc] = True
    return mask


def edge_scratch(img, length=96):
    """A scratch 3 pixels wide on the strongest edge: the edge pixels found
    by Canny's detector, chained into curves; the curve with the largest
    summed gradient, kept within length/2 pixels (in both axes) of its
    strongest point, then widened by one pixel on each side."""
    gray = luminance(img)
    edges = canny(gray, sigma=2.0)
    edges[:8], edges[-8:], edges[:, :8], edges[:, -8:] = False, False, False, False
    strength = sobel(ndimage.gaussian_filter(gray, 1.0))
    labels, count = ndimage.label(edges, structure=np.ones((3, 3)))
    if count == 0:
        raise ValueError("no edge found to lay a scratch on")
    sums = ndimage.sum(strength, labels, index=np.arange(1, count + 1))
    curve = labels == 1 + int(np.argmax(sums))
    ys, xs = np.nonzero(curve)
    k = int(np.argmax(strength[ys, xs]))
    near = (np.abs(ys - ys[k]) <= length // 2) & (np.abs(xs - xs[k]) <= length // 2)
    mask = np.zeros(gray.shape, bool)
    mask[ys[near], xs[near]] = True
    return ndimage.binary_dilation(mask, structure=np.ones((3, 3)))


def holes(img, rng, count=3, diameter=HOLE_DIAMETER):
    """`count` discs in textured areas: centres drawn at random among those
    whose surroundings have a gradient energy in the picture's top 40 %, each at
    least the ring's width from the border and clear of the others' rings."""
    gray = luminance(img)
    h, w = gray.shape
    radius = diameter / 2
    energy = ndimage.uniform_filter(sobel(gray) ** 2, size=diameter)
    margin = int(np.ceil(radius)) + RING[1] + 1
    ys, xs = np.mgrid[margin:h - margin, margin:w - margin]
    ys, xs = ys.ravel(), xs.ravel()
    textured = energy[ys, xs] >= np.percentile(energy, 60)
    ys, xs = ys[textured], xs[textured]
    mask = np.zeros((h, w), bool)
    centres = []
    for i in rng.permutation(len(ys)):
        y, x = ys[i], xs[i]
        if all(np.hypot(y - cy, x - cx) >= diameter + 2 * RING[1] for cy, cx in centres):
            centres.append((y, x))
            # Centred between pixels when the diameter is even.
            shift = 0.5 * (1 - diameter % 2)
            rr, cc = disk((y - shift, x - shift), radius, shape=(h, w))
            mask[rr, cc] = True
            if len(centres) == count:
                break
    return mask


def damage(kind, img, rng):
    shape = img.shape[:2]
    if kind == "dust":
        return dust(shape, rng)
    if kind == "scratches":
        return scratches(shape, rng)
    if kind == "edge":
        return edge_scratch(img)
    if kind == "holes":
        return holes(img, rng)
    raise ValueError("unknown kind of damage %r" % kind)


def cases(kind, seed=31):
    """The five (name, photo, mask) of a kind, the same on every run."""
    out = []
    for i, (name, rows, cols) in enumerate(CROPS[kind]):
        img = crop(name, rows, cols)
        rng = np.random.default_rng([seed, KINDS.index(kind), i])
        out.append((name, img, damage(kind, img, rng)))
    return out


def painted(img, mask):
    """The damage made visible: damaged pixels a pale grey."""
    out = img.copy()
    out[mask] = 230
    return out


def psnr(result, truth, mask):
    err = (result[mask].astype(np.float64) - truth[mask].astype(np.float64)) ** 2
    return 10 * np.log10(255.0 ** 2 / max(err.mean(), 1e-9))


def _gradient_energy(img, area):
    """Mean squared forward difference of the luminance over the pixels of
    `area` whose right and lower neighbours are in `area` too."""
    g = luminance(img)
    dx = np.diff(g, axis=1)[:-1, :]
    dy = np.diff(g, axis=0)[:, :-1]
    inner = area[:-1, :-1] & area[:-1, 1:] & area[1:, :-1]
    return float((dx[inner] ** 2 + dy[inner] ** 2).mean())


def texture_kept(result, hole_mask):
    """Gradient energy inside the holes over that in the ring 4 to 12
    pixels around them (see the module's docstring)."""
    distance = ndimage.distance_transform_edt(~hole_mask)
    ring = (distance >= RING[0]) & (distance <= RING[1])
    return _gradient_energy(result, hole_mask) / _gradient_energy(result, ring)


def split(mask, radius=3):
    """Holes and thin damage: the holes are the mask's opening by a disc of
    `radius` (what a window of that radius cannot straddle), grown by one
    pixel within the mask; the rest is thin (dust, scratches)."""
    yy, xx = np.mgrid[-radius:radius + 1, -radius:radius + 1]
    opened = ndimage.binary_opening(mask, structure=yy ** 2 + xx ** 2 <= radius ** 2)
    hole = ndimage.binary_dilation(opened, structure=np.ones((3, 3))) & mask
    return hole, mask & ~hole


def largest_depth(hole):
    """The largest distance, in both axes (chessboard), from a hole pixel
    to the nearest pixel outside the hole."""
    if not hole.any():
        return 0
    return int(ndimage.distance_transform_cdt(hole, metric="chessboard").max())
